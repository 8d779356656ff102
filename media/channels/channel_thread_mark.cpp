#include "media/channels/channel_thread_mark.h"

namespace korvalt {
namespace {
thread_local const ICameraChannel* tChannel = nullptr;
}  // namespace

CChannelThreadMark::CChannelThreadMark(const ICameraChannel* channel) : Previous(tChannel) {
  tChannel = channel;
}

CChannelThreadMark::~CChannelThreadMark() {
  tChannel = Previous;
}

const ICameraChannel* CChannelThreadMark::Current() {
  return tChannel;
}

}  // namespace korvalt
