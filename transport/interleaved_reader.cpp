#include "transport/interleaved_reader.h"

#include <algorithm>
#include <memory>
#include <new>

#include "platform/clock.h"

namespace korvalt {
namespace {

// One read takes what a busy HD stream queues between two wake-ups.
constexpr size_t kReadChunk = 64 * 1024;
// The largest frame: its 4-byte header and 65535 bytes.
constexpr size_t kMaxFrame = CRTSPFraming::kFrameHeaderSize + 0xFFFF;

// A request of the server ("GET_PARAMETER rtsp://... RTSP/1.0") wants nothing we could give; it
// must not pass for the answer to ours.
bool IsServerRequest(std::string_view message) {
  if (message.substr(0, 5) == "RTSP/") return false;
  std::string_view line = message.substr(0, message.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line.size() > 9 && line.substr(line.size() - 9) == " RTSP/1.0";
}

}  // namespace

CRTSPConnectionBuffer::Taken CRTSPConnectionBuffer::Take(IInterleavedSink* sink, std::string& response) {
  // Taken units are cut off once at the end, so that a read full of small frames costs linear time.
  size_t consumed = 0;
  Taken result = Taken::kNeedMore;
  for (;;) {
    const std::string_view rest = std::string_view(Bytes).substr(consumed);
    size_t length = 0;
    uint8_t channel = 0;
    const CRTSPFraming::Unit unit = CRTSPFraming::NextUnit(rest, MaxMessage, length, channel, Scan);
    if (unit == CRTSPFraming::Unit::kIncomplete) break;
    if (unit == CRTSPFraming::Unit::kTooLarge) {
      // Its header block (or its first line, when even that is too long) is dropped; what follows
      // is read afresh.
      const std::string_view head = rest.substr(0, MaxMessage);
      const size_t lineEnd = head.find('\n');
      length = Scan.HeaderEnd > 0 ? Scan.HeaderEnd
                                  : (lineEnd == std::string_view::npos ? head.size() : lineEnd + 1);
      result = Taken::kTooLarge;
    }
    Scan = CRTSPFraming::Scan();
    if (unit == CRTSPFraming::Unit::kFrame && sink != nullptr) {
      sink->OnInterleavedFrame(channel,
                               reinterpret_cast<const uint8_t*>(rest.data()) + CRTSPFraming::kFrameHeaderSize,
                               length - CRTSPFraming::kFrameHeaderSize);
    }
    consumed += length;
    if (unit == CRTSPFraming::Unit::kTooLarge) break;
    if (unit == CRTSPFraming::Unit::kMessage && !IsServerRequest(rest.substr(0, length))) {
      response.assign(rest.substr(0, length));
      result = Taken::kResponse;
      break;
    }
  }
  Bytes.erase(0, consumed);
  return result;
}

size_t CRTSPConnectionBuffer::Room() const {
  const size_t limit = std::max(MaxMessage, kMaxFrame);
  return Bytes.size() >= limit ? 0 : limit - Bytes.size();
}

void CRTSPConnectionBuffer::Clear() {
  Bytes.clear();
  Scan = CRTSPFraming::Scan();
}

CInterleavedReader::CInterleavedReader(CRTSPConnection& connection, IInterleavedSink* sink,
                                       CRTSPConnectionBuffer& pending)
    : Connection(connection), Sink(sink), Pending(pending) {}

CInterleavedReader::~CInterleavedReader() {
  Stop();
}

bool CInterleavedReader::Start() {
  if (!StopEvent.Valid() || !ResponseArrived.Valid() || !EndedEvent.Valid()) return false;
  return Thread.Start([this] { Run(); });
}

void CInterleavedReader::Stop() {
  StopEvent.Set();
  if (Thread.Attached() && !Thread.IsCurrent()) Thread.JoinFor(platform::Event::kInfinite);
}

void CInterleavedReader::Run() {
  std::unique_ptr<char[]> chunk(new (std::nothrow) char[kReadChunk]);
  bool ended = chunk == nullptr;
  while (!ended) {
    // Units already held go out first: the bytes read with the last response of the opening.
    for (;;) {
      std::string response;
      const CRTSPConnectionBuffer::Taken taken = Pending.Take(Sink, response);
      if (taken == CRTSPConnectionBuffer::Taken::kNeedMore) break;
      if (taken != CRTSPConnectionBuffer::Taken::kResponse) continue;
      {
        CMutexLock guard(Lock);
        // Nobody waits for answers this old any more.
        if (Responses.size() >= kMaxQueuedResponses) Responses.pop_front();
        Responses.push_back(std::move(response));
      }
      ResponseArrived.Set();
    }
    const platform::WaitResult wait = Connection.Wait(StopEvent, POLLIN, platform::Event::kInfinite);
    if (wait == platform::WaitResult::kEvent) return;
    if (wait != platform::WaitResult::kSocket) break;
    const size_t room = std::min(kReadChunk, Pending.Room());
    if (room == 0) {
      // A unit larger than any the buffer keeps: start afresh.
      Pending.Clear();
      continue;
    }
    short again = 0;
    const intptr_t n = Connection.Receive(chunk.get(), room, again);
    if (n > 0) {
      Pending.Append(chunk.get(), static_cast<size_t>(n));
    } else if (n == 0 || again == 0) {
      ended = true;
    }
  }
  // The sink hears of the end before anyone waiting on the reader does: a watcher that sees the
  // connection closed can rely on the sink knowing it too.
  if (Sink != nullptr) Sink->OnInterleavedEnded();
  EndedFlag.store(true);
  EndedEvent.Set();
  ResponseArrived.Set();
}

CInterleavedReader::Wait CInterleavedReader::NextResponse(std::string& response, int64_t deadlineMs,
                                                          platform::Event& stop) {
  for (;;) {
    {
      CMutexLock guard(Lock);
      if (!Responses.empty()) {
        response = std::move(Responses.front());
        Responses.pop_front();
        return Wait::kResponse;
      }
    }
    if (EndedFlag.load()) return Wait::kEnded;
    const int64_t left = deadlineMs - platform::MonotonicMs();
    if (left <= 0) return Wait::kTimeout;
    const int woke = platform::WaitAny(stop, ResponseArrived, static_cast<int>(left));
    if (woke == 0) {
      stop.Set();  // leave it set for the owner's other waits
      return Wait::kStopped;
    }
  }
}

CInterleavedReader::Wait CInterleavedReader::WaitEnded(int ms, platform::Event& stop) {
  if (EndedFlag.load()) return Wait::kEnded;
  const int woke = platform::WaitAny(stop, EndedEvent, ms);
  if (woke == 0) {
    stop.Set();
    return Wait::kStopped;
  }
  return woke == 1 || EndedFlag.load() ? Wait::kEnded : Wait::kTimeout;
}

}  // namespace korvalt
