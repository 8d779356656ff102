#pragma once

#include <cstdint>

#include "http/http_sender.h"
#include "http/refusal_backoff.h"
#include "io/io_base.h"

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
  // tried again at the next tick; after refused credentials the ticks of the back-off are
  // skipped.
  bool PollInputs() override;

 protected:
  void AbortRequests() override;
  void ResumeRequests() override;

 private:
  void NoteRefused();

  // One client per thread, so that the two never share a connection.
  Web::CHttpSender OutputSender;
  Web::CHttpSender InputSender;
  // Refused logins of the input poll; a stop clears it, so a new start polls at once.
  CRefusalBackoff InputBackoff;
};

}  // namespace korvalt
