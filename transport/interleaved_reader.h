#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "thread/annotated_mutex.h"
#include "transport/rtsp_connection.h"
#include "transport/rtsp_framing.h"

namespace korvalt {

// Receiver of the binary frames that share an RTSP connection with its messages (RTP on one
// channel, RTCP on the next). Called on the thread that reads the connection.
class IInterleavedSink {
 public:
  // data is valid only during the call.
  virtual void OnInterleavedFrame(uint8_t channel, const uint8_t* data, size_t length) = 0;
  // The connection ended (closed or reset by the camera, or unreadable) while a reader ran.
  virtual void OnInterleavedEnded() = 0;

 protected:
  ~IInterleavedSink() = default;
};

// The bytes read from an RTSP connection and not yet taken, cut into frames and messages.
class CRTSPConnectionBuffer {
 public:
  enum class Taken { kResponse, kNeedMore, kTooLarge };

  explicit CRTSPConnectionBuffer(size_t maxMessage) : MaxMessage(maxMessage) {}

  // Takes units from the front: frames go to sink (dropped without one); line ends, stray bytes
  // and the server's own requests are dropped. Ends at the first whole response, which it moves
  // into response, or when more bytes are needed. A response larger than the limit is dropped
  // (kTooLarge) so that the bytes after it can still be read.
  Taken Take(IInterleavedSink* sink, std::string& response);
  void Append(const char* data, size_t size) { Bytes.append(data, size); }
  // Room left before the buffer holds the largest unit it has to keep whole.
  size_t Room() const;
  void Clear();
  bool Empty() const { return Bytes.empty(); }

 private:
  const size_t MaxMessage;
  std::string Bytes;
  CRTSPFraming::Scan Scan;  // of the unit at the front
};

// Reads an RTSP connection on a thread of its own once RTP arrives over it: frames go to the sink
// as they arrive, responses are kept (a few at most) for the thread that sent the requests.
class CInterleavedReader {
 public:
  static constexpr size_t kMaxQueuedResponses = 8;

  // connection stays the owner's and open until Stop returned; sink is borrowed until then.
  CInterleavedReader(CRTSPConnection& connection, IInterleavedSink* sink, CRTSPConnectionBuffer& pending);
  ~CInterleavedReader();
  CInterleavedReader(const CInterleavedReader&) = delete;
  CInterleavedReader& operator=(const CInterleavedReader&) = delete;

  bool Start();
  // Wakes and joins the thread; what it left unread goes back into the owner's buffer.
  void Stop();

  enum class Wait { kResponse, kStopped, kTimeout, kEnded };
  // The next response, waiting until deadlineMs (monotonic) or until stop is set.
  Wait NextResponse(std::string& response, int64_t deadlineMs, platform::Event& stop);
  // Waits up to ms for stop or for the end of the connection.
  Wait WaitEnded(int ms, platform::Event& stop);
  bool Ended() const { return EndedFlag.load(); }

 private:
  void Run();

  CRTSPConnection& Connection;
  IInterleavedSink* const Sink;
  CRTSPConnectionBuffer& Pending;  // the owner's; the thread's alone while it runs
  platform::Event StopEvent{platform::Event::ResetMode::kManual};
  platform::Event ResponseArrived;  // auto-reset: one waiter, the owner's thread
  platform::Event EndedEvent{platform::Event::ResetMode::kManual};
  std::atomic<bool> EndedFlag{false};
  CMutex Lock;  // guards Responses
  std::deque<std::string> Responses QL_GUARDED_BY(Lock);
  platform::Thread Thread;
};

}  // namespace korvalt
