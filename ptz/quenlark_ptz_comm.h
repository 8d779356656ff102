#pragma once

#include <cstdint>
#include <string>

#include "http/http_sender.h"
#include "ptz/base_ptz_comm.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

// The camera family's PTZ requests: continuous move and focus, their stops, and presets
// ("/config/ptz_preset.cgi", numbered from 1).
class CQuenlarkPTZComm : public CBasePTZComm {
 public:
  CQuenlarkPTZComm(IDriver* driver, const CPtzCapabilities& capabilities, uint16_t channel);
  // Stops the worker while the vendor part it calls still exists.
  ~CQuenlarkPTZComm() override;

  void HandleWorkItem(CWorkItemThreadEx::IWorkItem* item) override;

  bool StorePreposition(int32_t slot, const std::string& name) override;
  bool GotoPreposition(int32_t slot, const std::string& name, int32_t param) override;
  bool DeletePreposition(int32_t slot, const std::string& name) override;

  // Camera speed for a host speed: 1 to 16 map linearly onto 1 to 6; no clamping.
  static int32_t CameraSpeed(int32_t hostSpeed);
  // Path of the continuous-move request for a direction (the bare prefix for unknown ones).
  static std::string MovePath(int32_t direction, int32_t speed);

 protected:
  void AbortRequests() override;
  void ResumeRequests() override;

 private:
  bool Send(const std::string& path);
  void ProcessFocusCommand(const CWorkItem& item);

  // The worker's queued requests and the host's preset requests share one connection; the
  // preset gate orders them, and the lock keeps two requests from ever overlapping on it.
  CMutex SenderLock;
  Web::CHttpSender HttpSender QL_GUARDED_BY(SenderLock);  // but Abort may come from any thread
};

}  // namespace korvalt
