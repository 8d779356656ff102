#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/host/video.h"
#include "driver/host_destructor.h"
#include "driver/idriver.h"
#include "media/channels/camera_channel.h"
#include "thread/annotated_mutex.h"
#include "thread/spin_mutex.h"

namespace korvalt {

// The host's view of the device's video channels: one stream channel per started channel.
// Host threads call it, several at once; the table lock is held only to read or change an entry,
// never across a channel call. Channels are shared: a host thread that polls or restarts a
// channel keeps it alive while another one stops it, so the channel goes with the last user.
// A restart and the stop of the same channel are ordered by the entry's lock: a restart that
// found the channel before the stop took it finishes first and is then stopped with it; one
// that comes after finds the channel retired and restarts nothing.
// A host may stop or restart a channel from inside a callback on that channel's own thread (signal
// loss, a frame): nothing can be joined there. The channel is then retired at once and joined by
// the next StopChannel, StartChannel, RestartChannel or the destruction on another thread.
class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx {
 public:
  CIPVideoCapture(ICustomCreator* creator, int32_t channelCount);
  virtual ~CIPVideoCapture();
  QUENLARK_HOST_DESTRUCTOR

  uint32_t GetChannelCount() override;
  bool StartChannel(uint32_t index, ipcapture::IFrameSink* sink,
                    ipcapture::IChannelSettings* settings) override;
  bool StopChannel(uint32_t index) override;
  bool RestartChannel(uint32_t index, ipcapture::IPictureSize* size, uint32_t frameInterval) override;
  int32_t ReservedCapture() override { return 0; }
  bool GetChannelState(uint32_t index, int32_t* state, int32_t* reservedValue, uint8_t* reservedByte,
                       int32_t reservedFlag) override;
  bool ReservedCapture2(int32_t, int32_t, int32_t) override { return false; }
  bool ReservedCapture3(int32_t, int32_t, int32_t) override { return false; }
  bool ReservedCaptureEx(int32_t) override { return false; }
  bool ReservedCaptureEx2(int32_t) override { return false; }

 private:
  struct Entry {
    explicit Entry(std::shared_ptr<ICameraChannel> channel) : Channel(std::move(channel)) {}
    const std::shared_ptr<ICameraChannel> Channel;
    CMutex ControlLock;                               // held across a restart and to retire
    bool Retired QL_GUARDED_BY(ControlLock) = false;  // taken out of the table to be stopped
  };

  // The entry (Take: taken out of the table); null for an index out of range.
  std::shared_ptr<Entry> Lookup(uint32_t index);
  std::shared_ptr<Entry> Take(uint32_t index);
  // Marks the entry retired (after a restart under way) and stops its channel; on the channel's
  // own thread without waiting, leaving the join to JoinRetired.
  void Retire(const std::shared_ptr<Entry>& entry);
  // Joins the channels retired from their own threads, except the calling thread's own.
  void JoinRetired();
  static bool OnThreadOf(const Entry& entry);

  ICustomCreator* Creator;  // borrowed from the driver
  CSpinMutex TableLock;     // guards Channels
  std::vector<std::shared_ptr<Entry>> Channels QL_GUARDED_BY(TableLock);
  std::vector<std::shared_ptr<Entry>> Retiring QL_GUARDED_BY(TableLock);  // stopped, not yet joined
};

}  // namespace korvalt
