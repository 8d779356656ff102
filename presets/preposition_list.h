#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"
#include "thread/spin_mutex.h"

namespace korvalt {

class IPrepositionComm;

// The named presets of one PTZ channel: names and camera slots in memory, mirrored in the shared
// preset file, and the preset the camera is parked at. Results are the host's PTZ codes:
// kPtzSuccess, kPtzInvalidArgument (invalid name), kPtzNotAvailable (camera or file failure),
// kPtzPresetLimit.
//
// Host threads call every operation; each takes the list's lock, and camera requests are made
// under it, so one channel's preset calls are serialised.
class CPrepositionList {
 public:
  explicit CPrepositionList(int32_t channel);
  virtual bool WriteEntry(int32_t position, int32_t slot, const std::string& name);  // slot 0
  virtual bool SaveAll();                                                            // slot 1
  virtual void Load();                                                               // slot 2
  virtual ~CPrepositionList();                                                       // slot 3
  virtual bool Initialize(TSmartPtr<CXMLPrepositionReader> reader);                  // slot 4
  virtual int Count();                                                               // slot 5
  virtual bool GetName(int32_t position, std::string& name);                         // slot 6
  virtual bool Goto(const std::string& name, int32_t param);                         // slot 7
  virtual int AddPreposition(const std::string& name);                               // slot 8
  virtual bool Remove(const std::string& name);                                      // slot 9
  virtual bool GetCurrentName(std::string& name);                                    // slot 10

  CPrepositionList(const CPrepositionList&) = delete;
  CPrepositionList& operator=(const CPrepositionList&) = delete;

  // The camera left any stored position.
  void ResetCurrent();
  // Set by the owning control before Initialize, while no other thread uses the list.
  void SetPresetComm(IPrepositionComm* comm) { PresetComm = comm; }
  void SetMaxPrepositions(uint32_t limit) { MaxPrepositions = limit; }
  uint32_t GetMaxPrepositions() const { return MaxPrepositions; }

  // Non-empty, valid UTF-8 of characters that XML can carry, none of the characters & ! < > ' ".
  static bool IsValidName(const std::string& name);

 protected:
  // Gives the current preset a new name; takes the lock (it is recursive).
  int RenameCurrentPreposition(const std::string& name);

 private:
  // With Lock held. The line to log is returned in message: it goes out after the lock is released.
  int AddLocked(const std::string& name, int& level, std::string& message) QL_REQUIRES(Lock);
  int RenameLocked(const std::string& name, std::string& message) QL_REQUIRES(Lock);
  // Slot whose name equals name (lowest slot first), or -1.
  int32_t FindSlot(const std::string& name) const QL_REQUIRES(Lock);
  void Log(int level, const std::string& message);

  const int32_t Channel;
  IPrepositionComm* PresetComm = nullptr;  // borrowed from the owning control's executor
  uint32_t MaxPrepositions = 0;
  TSmartPtr<CXMLPrepositionReader> Reader QL_GUARDED_BY(Lock);
  CSpinMutex Lock;                                           // guards Names, Order, Current and Reader
  std::map<int32_t, std::string> Names QL_GUARDED_BY(Lock);  // name per occupied slot
  std::vector<int32_t> Order QL_GUARDED_BY(Lock);            // list order; host indices are positions here
  int32_t Current QL_GUARDED_BY(Lock) = -1;  // position in Order of the preset the camera is at
};

}  // namespace korvalt
