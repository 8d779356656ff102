#pragma once

#include <atomic>
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
// kPtzSuccess, kPtzInvalidArgument (invalid, too long or duplicate name), kPtzNotAvailable
// (camera or file failure, or a file that would grow beyond what is read back), kPtzPresetLimit.
//
// Host threads call every operation. The operations that ask the camera (Goto, AddPreposition,
// Remove) are serialised by CallLock, which they hold across the camera request; the list itself
// is guarded by Lock, which is never held across one, so reading the list and ResetCurrent (which
// takes no lock at all) never wait for a camera. Entry i of Order is always entry i of the
// channel in the file: after a load that skipped entries the channel is rewritten before the
// first change.
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

  // The camera left any stored position. Lock-free: movement calls must never wait.
  void ResetCurrent();
  // Set by the owning control before Initialize, while no other thread uses the list.
  void SetPresetComm(IPrepositionComm* comm) { PresetComm = comm; }
  void SetMaxPrepositions(uint32_t limit) { MaxPrepositions = limit; }
  uint32_t GetMaxPrepositions() const { return MaxPrepositions; }

  // Non-empty, at most kPtzMaxPresetNameLength bytes of valid UTF-8 of characters that XML can
  // carry, none of the characters & ! < > ' ".
  static bool IsValidName(const std::string& name);

 protected:
  // Gives the current preset a new name; takes the lock (it is recursive).
  int RenameCurrentPreposition(const std::string& name);

 private:
  // A line for the host, sent once no lock of ours is held.
  struct Line {
    int Level = 0;
    std::string Text;
  };
  // With CallLock held; they take Lock for the list and let go of it for the camera request.
  int AddNew(const std::string& name, Line& line) QL_REQUIRES(CallLock);
  int RenameLocked(const std::string& name, Line& line) QL_REQUIRES(Lock);
  // Reloads the channel when another list (another driver of the device) wrote it since this one
  // last looked; the current preset stays current if it is still there.
  void Refresh() QL_REQUIRES(Lock);
  // Writes the channel back contiguously when the last load skipped entries, so that each later
  // write lands on its own entry; false when that rewrite failed (nothing may be written then).
  bool EnsureContiguous() QL_REQUIRES(Lock);
  // Position of the preset the camera stands at, or -1 (a movement since it was set clears it).
  int32_t CurrentPosition() const QL_REQUIRES(Lock);
  void SetCurrent(int32_t position, uint64_t movesBefore) QL_REQUIRES(Lock);
  // Slot whose name equals name (lowest slot first), or -1.
  int32_t FindSlot(const std::string& name) const QL_REQUIRES(Lock);
  // First position of slot in Order, or -1.
  int32_t PositionOf(int32_t slot) const QL_REQUIRES(Lock);
  void Log(const Line& line);

  const int32_t Channel;
  IPrepositionComm* PresetComm = nullptr;  // borrowed from the owning control's executor
  uint32_t MaxPrepositions = 0;
  CSpinMutex CallLock;  // serialises Goto, AddPreposition and Remove with their camera requests
  TSmartPtr<CXMLPrepositionReader> Reader QL_GUARDED_BY(Lock);
  CSpinMutex Lock;                                           // guards everything below; taken after CallLock
  std::map<int32_t, std::string> Names QL_GUARDED_BY(Lock);  // name per occupied slot
  std::vector<int32_t> Order QL_GUARDED_BY(Lock);            // list order; host indices are positions here
  int32_t Current QL_GUARDED_BY(Lock) = -1;         // position in Order of the preset the camera is at
  uint64_t CurrentMoves QL_GUARDED_BY(Lock) = 0;    // Moves when the camera was last sent to Current
  bool NeedsRewrite QL_GUARDED_BY(Lock) = false;    // the last load skipped entries
  uint64_t SeenGeneration QL_GUARDED_BY(Lock) = 0;  // the reader's count of changes to the channel
  // Movement requests accepted so far; written by ResetCurrent on any host thread.
  std::atomic<uint64_t> Moves{0};
};

}  // namespace korvalt
