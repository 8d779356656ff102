#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "presets/smart_ptr.h"
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
  // Bytes an entry adds to the file at most, beyond its name as written (markup and control
  // characters of a name are written as references of up to six bytes each).
  static constexpr size_t kEntryOverhead = 128;
  // Bytes a channel element adds to the file at most, beyond its entries.
  static constexpr size_t kChannelOverhead = 64;
  // Size of the largest file the preset lists can write: every channel full of names of the
  // longest length made only of control characters (the largest references names may hold).
  static constexpr int64_t MaxFileBytes(uint32_t channels, uint32_t entriesPerChannel, size_t nameLength) {
    const int64_t entry = static_cast<int64_t>(kEntryOverhead + 5 * nameLength);
    return 64 + int64_t{channels} * (int64_t{entriesPerChannel} * entry + int64_t{kChannelOverhead});
  }
  // Bytes the name takes in the file at most.
  static size_t WrittenNameBytes(std::string_view name);

  // sink (borrowed, may be null) receives the line that reports a preset file moved aside; it is
  // used only inside OpenFile.
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
  // Whether writing entry at the position would keep the saved file within what Open reads back
  // (CXMLSettingsAPI::kMaxFileBytes). Counts from the file as last saved, so it holds for a
  // change saved at once; a batch is kept within the limit by the save itself.
  bool HasRoomFor(uint32_t channel, uint32_t position, const PrepositionEntry& entry);
  // Counts the changes to a channel's entries, so that a list sees whether another list (another
  // driver of the same device) wrote the channel since it last looked.
  uint64_t Generation(uint32_t channel);

  // The reader of fileName in the preset directory that other drivers of this process opened,
  // or a new one opened now (and offered to them while its file is open). Null only when it
  // could not be allocated; opened tells whether its file is open. sink as for the constructor.
  static TSmartPtr<CXMLPrepositionReader> OpenShared(const std::string& rootName, const std::string& fileName,
                                                     IDebugMessage* sink, bool& opened);
  // Closes the shared readers that no driver uses any more.
  static void ReleaseUnused();

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
  IDebugMessage* const Sink;  // borrowed; used only inside OpenFile
  CSpinMutex Lock;            // serialises every operation
  CXMLSettingsAPI Settings;
  bool AutoSave QL_GUARDED_BY(Lock) = false;
  std::map<uint32_t, uint64_t> Generations QL_GUARDED_BY(Lock);  // per channel; absent is 0
};

}  // namespace korvalt
