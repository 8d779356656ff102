#pragma once

#include <cstdint>
#include <string>

#include "presets/xml/xml_settings_api.h"
#include "thread/spin_mutex.h"

class IDebugMessage;

namespace korvalt {

// One preset of a channel as the file keeps it.
struct PrepositionEntry {
  std::string Name;  // UTF-8
  uint32_t Slot = 0;
};

// The preset file of one device, shared by the preset lists of all its channels:
// Root/PtzChannelCC/PrepositionPPP/{Name,Slot} with the data in "value" attributes
// (CC = channel + 1, at least two digits; PPP = list position, at least three digits).
//
// Every operation takes the reader's lock; callers that hold a preset list's lock take it after
// theirs.
class CXMLPrepositionReader {
 public:
  // sink (borrowed, may be null) receives the line that reports a preset file moved aside.
  explicit CXMLPrepositionReader(std::string rootName, IDebugMessage* sink = nullptr);
  virtual ~CXMLPrepositionReader();
  CXMLPrepositionReader(const CXMLPrepositionReader&) = delete;
  CXMLPrepositionReader& operator=(const CXMLPrepositionReader&) = delete;

  // Opens the file in the preset directory, or creates it with an empty root when it is missing
  // or empty. A file that exists but does not parse is moved aside to
  // "<name>.corrupt-YYYYMMDDThhmmss" (UTC) first, never overwritten, and a level-1 line says so;
  // one that cannot be read is left alone and the reader stays closed. Turns automatic saving on
  // when the file is open; returns whether it is.
  bool OpenFile(const std::string& fileName);
  // False when the entry has no name or its slot is not a plain unsigned decimal number (digits
  // only, at most 4294967295).
  bool ReadPreposition(uint32_t channel, uint32_t position, PrepositionEntry& entry);
  // With automatic saving on, true only when the file was saved too.
  bool WritePreposition(uint32_t channel, uint32_t position, const PrepositionEntry& entry);
  // Removes the channel's element with all its entries; false when there was none.
  bool RemoveChannel(uint32_t channel);
  // Turning it on saves the document at once; returns false only when that save failed.
  bool SetAutoSave(bool flag);

  const std::string& GetRootName() const { return RootName; }

  // Holds the reader for the calling thread across several operations. A channel rewrite (automatic
  // saving off, remove the channel, write its entries, saving on) runs under it, so another channel
  // can neither see the rewrite half done nor save it to disk half done.
  class QL_SCOPED_CAPABILITY CBatch {
   public:
    explicit CBatch(CXMLPrepositionReader& reader) QL_ACQUIRE(reader.Lock) : Guard(&reader.Lock) {}
    ~CBatch() QL_RELEASE() = default;

   private:
    CSpinMutexLock Guard;
  };

 private:
  // Under Lock: opens the file, moving an unparsable one aside; report receives the line to log.
  bool OpenExisting(const std::string& fileName, std::string& report) QL_REQUIRES(Lock);
  bool CreateAndOpen(const std::string& fileName) QL_REQUIRES(Lock);

  const std::string RootName;
  IDebugMessage* const Sink;  // borrowed for the reader's life
  CSpinMutex Lock;            // serialises every operation
  CXMLSettingsAPI Settings;
  bool AutoSave QL_GUARDED_BY(Lock) = false;
};

}  // namespace korvalt
