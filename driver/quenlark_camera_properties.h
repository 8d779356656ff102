#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "driver/camera_properties.h"
#include "http/http_sender.h"
#include "platform/event.h"

namespace korvalt {

// The Quenlark family's capability requests: device information, video profile 1 (for the video
// standard), stream information and RS-485 (for PTZ).
class CQuenlarkCameraProperties : public CCameraPropertiesEx {
 public:
  explicit CQuenlarkCameraProperties(const DEVICE_INFO& device);
  ~CQuenlarkCameraProperties() override = default;

  bool QueryProperties(int32_t* errorCode) override;
  // Frame intervals, then the base answers, then the custom parameters "Video standard",
  // "Firmware", "MAC Address", "TLS key SHA-256" and "RTSP over TLS key SHA-256".
  bool SaveProperties(ipcapture::ICapabilityResults* results) override;
  // Ends the request in flight, so an owner never waits for a camera that does not answer.
  void CancelRequest() override;

  // The replies of the four requests, as QueryProperties reads them (false: the query fails).
  bool ParseDeviceInformation(const std::string& reply);
  void ParseVideoProfile(const std::string& reply);
  bool ParseStreamInformation(const std::string& reply);
  void ParseRs485(const std::string& reply);

  int32_t GetVideoStandard() const { return VideoStandard; }
  const std::set<int32_t>& GetFrameRates() const { return FrameRates; }
  const std::string& GetModel() const { return Model; }
  const std::string& GetFirmwareVersion() const { return FirmwareVersion; }
  const std::string& GetMacAddress() const { return MacAddress; }
  // The SHA-256 of the TLS key the camera's HTTPS presented; empty over plain HTTP.
  std::string KeySha256() const;
  // The SHA-256 of the key the RTSP over TLS port presented when it is not the HTTPS key; else empty.
  std::string VideoKeySha256() const;
  // The RTSP over TLS port the query asks for its key (the registered 322 unless set).
  void UseRtspsPort(uint16_t port) { RtspsPort = port; }

 private:
  bool QueryDeviceInformation();
  void QueryVideoProfile();
  bool QueryStreamInformation();
  void QueryPTZ();
  // A camera reached over HTTPS: the key its RTSP over TLS port presents (a handshake, no request).
  void QueryVideoPortKey();
  // The reply body as text (up to its first zero byte); false when the request failed or the
  // body is empty.
  bool Get(const char* path, std::string& text);

  Web::CHttpSender Sender;       // built from the device record; used by the query thread only
  int32_t VideoStandard = 0;     // 1 when profile 1 is at least 1.375:1 wide (NTSC sizes)
  std::set<int32_t> FrameRates;  // frames per second, distinct, ascending
  std::string Model;
  std::string FirmwareVersion;
  std::string MacAddress;  // without colons
  std::string PtzText;     // "ptz" of the device information, not used further
  uint16_t RtspsPort = 322;
  std::string VideoPortKey;                                        // presented by RtspsPort
  platform::Event Cancelled{platform::Event::ResetMode::kManual};  // ends the handshake's waits
};

}  // namespace korvalt
