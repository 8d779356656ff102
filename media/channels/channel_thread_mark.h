#pragma once

namespace korvalt {

class ICameraChannel;

// Marks the calling thread as one of a channel's own (its worker for the worker's life, its
// receive thread while it hands a frame to the host), so that a stop or restart the host makes
// from inside such a call knows not to wait for the very thread it runs on.
class CChannelThreadMark {
 public:
  explicit CChannelThreadMark(const ICameraChannel* channel);
  ~CChannelThreadMark();
  CChannelThreadMark(const CChannelThreadMark&) = delete;
  CChannelThreadMark& operator=(const CChannelThreadMark&) = delete;

  // The channel whose thread this is; null on every other thread.
  static const ICameraChannel* Current();

 private:
  const ICameraChannel* Previous;
};

}  // namespace korvalt
