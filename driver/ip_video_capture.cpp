#include "driver/ip_video_capture.h"

#include "media/channels/channel_thread_mark.h"

namespace korvalt {

CIPVideoCapture::CIPVideoCapture(ICustomCreator* creator, int32_t channelCount)
    : Creator(creator), Channels(channelCount > 0 ? static_cast<size_t>(channelCount) : 0) {}

namespace {
// Channels whose capture object was destroyed from inside one of their callbacks: their threads
// still run and use them, so they stay alive until a later capture object joins them.
CSpinMutex gOrphanLock;
std::vector<std::shared_ptr<ICameraChannel>> gOrphans QL_GUARDED_BY(gOrphanLock);
}  // namespace

CIPVideoCapture::~CIPVideoCapture() {
  for (uint32_t index = 0; index < Channels.size(); ++index) {
    try {
      if (auto entry = Take(index)) Retire(entry);
    } catch (...) {
    }
  }
  try {
    JoinRetired();
    CSpinMutexLock table(&TableLock);
    if (Retiring.empty()) return;
    CSpinMutexLock orphans(&gOrphanLock);
    for (auto& entry : Retiring) gOrphans.push_back(entry->Channel);
    Retiring.clear();
  } catch (...) {
  }
}

bool CIPVideoCapture::OnThreadOf(const Entry& entry) {
  return CChannelThreadMark::Current() == entry.Channel.get();
}

void CIPVideoCapture::Retire(const std::shared_ptr<Entry>& entry) {
  if (OnThreadOf(*entry)) {
    // A restart on another host thread may hold the entry while it waits for this very thread;
    // the channel, stopped here, refuses that restart by itself.
    if (entry->ControlLock.try_lock()) {
      entry->Retired = true;
      entry->ControlLock.unlock();
    }
    entry->Channel->Stop();
    CSpinMutexLock guard(&TableLock);
    Retiring.push_back(entry);
    return;
  }
  {
    CMutexLock guard(entry->ControlLock);
    entry->Retired = true;
  }
  entry->Channel->Stop();
}

void CIPVideoCapture::JoinRetired() {
  std::vector<std::shared_ptr<ICameraChannel>> joinable;
  {
    CSpinMutexLock guard(&TableLock);
    for (auto it = Retiring.begin(); it != Retiring.end();) {
      if (OnThreadOf(**it)) {
        ++it;
        continue;
      }
      joinable.push_back((*it)->Channel);
      it = Retiring.erase(it);
    }
  }
  {
    CSpinMutexLock guard(&gOrphanLock);
    for (auto it = gOrphans.begin(); it != gOrphans.end();) {
      if (CChannelThreadMark::Current() == it->get()) {
        ++it;
        continue;
      }
      joinable.push_back(std::move(*it));
      it = gOrphans.erase(it);
    }
  }
  // Stop on another thread than the channel's joins what the stop from inside left running.
  for (auto& channel : joinable) channel->Stop();
}

std::shared_ptr<CIPVideoCapture::Entry> CIPVideoCapture::Lookup(uint32_t index) {
  CSpinMutexLock guard(&TableLock);
  return index < Channels.size() ? Channels[index] : nullptr;
}

std::shared_ptr<CIPVideoCapture::Entry> CIPVideoCapture::Take(uint32_t index) {
  CSpinMutexLock guard(&TableLock);
  if (index >= Channels.size()) return nullptr;
  return std::move(Channels[index]);
}

uint32_t CIPVideoCapture::GetChannelCount() {
  CSpinMutexLock guard(&TableLock);
  return static_cast<uint32_t>(Channels.size());
}

bool CIPVideoCapture::StartChannel(uint32_t index, ipcapture::IFrameSink* sink,
                                   ipcapture::IChannelSettings* settings) {
  try {
    if (index >= GetChannelCount()) return false;
    StopChannel(index);
    std::shared_ptr<ICameraChannel> channel(Creator->CreateChannel(static_cast<int>(index), sink));
    // An unknown codec type is not the host's fault: the start succeeds with nothing running.
    if (!channel) return true;
    StreamSettings record;
    if (settings != nullptr) {
      ipcapture::IEncodingParams* encoding = settings->GetEncodingParams();
      record.FrameInterval = encoding ? encoding->GetFrameInterval() : 0;
      encoding = settings->GetEncodingParams();
      record.Quality = encoding ? encoding->GetQuality() : 0;
      ipcapture::IVideoFormat* format = settings->GetVideoFormat();
      ipcapture::IPictureSize* size = format ? format->GetPictureSize() : nullptr;
      record.Width = size ? size->GetWidth() : 0;
      format = settings->GetVideoFormat();
      size = format ? format->GetPictureSize() : nullptr;
      record.Height = size ? size->GetHeight() : 0;
    }
    const bool started = channel->Start(record);
    auto entry = std::make_shared<Entry>(std::move(channel));
    std::shared_ptr<Entry> previous;
    {
      CSpinMutexLock guard(&TableLock);
      previous = std::move(Channels[index]);
      Channels[index] = std::move(entry);
    }
    // Another host thread raced us to this index; its channel must not leak.
    if (previous) Retire(previous);
    return started;
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::StopChannel(uint32_t index) {
  try {
    // Another host thread still inside this channel (state, restart) keeps it alive; the last
    // one to let go destroys it.
    auto entry = Take(index);
    JoinRetired();
    if (!entry) return false;
    Retire(entry);
    return true;
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::RestartChannel(uint32_t index, ipcapture::IPictureSize* size, uint32_t frameInterval) {
  try {
    const std::shared_ptr<Entry> entry = Lookup(index);
    if (!entry) return false;
    StreamSettings record;
    record.FrameInterval = frameInterval;
    record.Width = size ? size->GetWidth() : 0;
    record.Height = size ? size->GetHeight() : 0;
    if (OnThreadOf(*entry)) {
      // From inside one of the channel's callbacks: a host thread holding the entry may be
      // stopping or restarting it, and waiting for this very thread.
      if (!entry->ControlLock.try_lock()) return false;
      const bool restarted = !entry->Retired && entry->Channel->Restart(record);
      entry->ControlLock.unlock();
      return restarted;
    }
    JoinRetired();
    CMutexLock guard(entry->ControlLock);
    if (entry->Retired) return false;
    return entry->Channel->Restart(record);
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::GetChannelState(uint32_t index, int32_t* state, int32_t* reservedValue,
                                      uint8_t* reservedByte, int32_t reservedFlag) {
  try {
    if (reservedValue != nullptr) *reservedValue = 0;
    if (reservedFlag != 0 && reservedByte != nullptr) *reservedByte = 0;
    const std::shared_ptr<Entry> entry = Lookup(index);
    if (!entry) return false;
    const int32_t value = entry->Channel->GetState();
    // The host knows only "streaming" and "no picture".
    if (state != nullptr)
      *state = value == ipcapture::kChannelStateStopped ? ipcapture::kChannelStateSignalLost : value;
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace korvalt
