#pragma once

#include <cstdint>

#include <atomic>

#include "http/http_sender.h"
#include "http/refusal_backoff.h"
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
  // tried again at the next tick. After refused credentials, anywhere in the driver, polls wait
  // for the camera's turn: cameras lock accounts after a handful of failed logins.
  bool PollInputs() override;

 protected:
  void AbortRequests() override;
  void ResumeRequests() override;

 private:
  void NoteRefused(const char* origin, const char* request);

  // One client per thread, so that the two never share a connection. A client serves one request
  // at a time: the host's thread uses them during Start while a worker stopped from inside a sink
  // call and revived may still be sending, so each request holds its client's lock (Abort and
  // ClearAbort do not need it).
  CMutex OutputLock;
  Web::CHttpSender OutputSender QL_GUARDED_BY(OutputLock);
  CMutex InputLock;
  Web::CHttpSender InputSender QL_GUARDED_BY(InputLock);
  // The camera's refused logins, shared with the driver's other parts; a stop and start of the
  // object tries at once, within the camera's cap. Any thread.
  CRefusalBackoff Logins;
};

}  // namespace korvalt
