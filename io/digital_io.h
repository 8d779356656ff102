#pragma once

#include <cstdint>

#include <atomic>

#include "http/http_sender.h"
#include "io/io_base.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

// Digital I/O of the Quenlark cameras: "/config/io.cgi" reads every input, "/config/io.cgi?outN=on|off"
// sets one output.
class CDigitalIO : public CIOBase {
 public:
  // driver is borrowed for the object's whole life.
  explicit CDigitalIO(IDriver* driver);
  // Stops the threads first: they use the HTTP clients destroyed here.
  ~CDigitalIO() override;

  // On the output thread (or the host's during Start).
  bool SetOutputNow(int32_t index, int32_t state) override;
  // On the input thread (or the host's during Start). A failed request changes nothing and is
  // tried again at the next tick. After refused credentials 1, 2, 4, ... polls are skipped, up to
  // a minute's worth: cameras lock accounts after a handful of failed logins.
  bool PollInputs() override;

 protected:
  void AbortRequests() override;
  void ResumeRequests() override;

 private:
  void NoteRefused();

  // One client per thread, so that the two never share a connection. A client serves one request
  // at a time: the host's thread uses them during Start while a worker stopped from inside a sink
  // call and revived may still be sending, so each request holds its client's lock (Abort and
  // ClearAbort do not need it).
  CMutex OutputLock;
  Web::CHttpSender OutputSender QL_GUARDED_BY(OutputLock);
  CMutex InputLock;
  Web::CHttpSender InputSender QL_GUARDED_BY(InputLock);
  // The input poll's refused logins in a row and the polls still to skip; a stop clears both, so
  // a new start polls at once. Atomic: the host's thread polls during Start, the ticker after.
  std::atomic<uint32_t> RefusedPolls{0};
  std::atomic<uint32_t> PollsToSkip{0};
};

}  // namespace korvalt
