#include "driver/ip_video_capture.h"

namespace korvalt {

CIPVideoCapture::CIPVideoCapture(ICustomCreator* creator, int32_t channelCount)
    : Creator(creator), Channels(channelCount > 0 ? static_cast<size_t>(channelCount) : 0) {}

CIPVideoCapture::~CIPVideoCapture() {
  for (uint32_t index = 0; index < Channels.size(); ++index) {
    try {
      if (auto entry = Take(index)) Retire(entry);
    } catch (...) {
    }
  }
}

void CIPVideoCapture::Retire(const std::shared_ptr<Entry>& entry) {
  {
    CMutexLock guard(entry->ControlLock);
    entry->Retired = true;
  }
  entry->Channel->Stop();
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
