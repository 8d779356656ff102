#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "driver/host/device_params.h"

namespace hostkit {

// Everything a recorder stores for one device.
struct DeviceConfig {
  std::string Model = "QL-3110";
  int32_t Channels = 1;
  int32_t Inputs = 0;
  int32_t Outputs = 0;
  std::string Address = "127.0.0.1";
  uint16_t Port = 80;
  int32_t CodecType = korvalt::ipcapture::kCodecTypeH264;
  std::string UserName;
  std::string Password;
  // Custom parameters by 1-based index; the module asks 1, 2, 3... until one is missing.
  std::map<int32_t, std::string> Custom;
};

class DeviceDescription : public korvalt::ipcapture::IDeviceDescription {
 public:
  explicit DeviceDescription(const DeviceConfig& config) : Config(config) {}
  void Reserved1() override {}
  const char* GetModelName() override { return Config.Model.c_str(); }
  int32_t GetChannelCount() override { return Config.Channels; }
  void Reserved4() override {}
  int32_t GetInputCount() override { return Config.Inputs; }
  int32_t GetOutputCount() override { return Config.Outputs; }

 private:
  const DeviceConfig& Config;
};

class ConnectionParams : public korvalt::ipcapture::IConnectionParams {
 public:
  explicit ConnectionParams(const DeviceConfig& config) : Config(config) {}
  const char* GetAddress() override { return Config.Address.c_str(); }
  uint16_t GetPort() override { return Config.Port; }
  void Reserved3() override {}
  int32_t GetCodecType() override { return Config.CodecType; }
  const char* GetUserName() override { return Config.UserName.c_str(); }
  const char* GetPassword() override { return Config.Password.c_str(); }

 private:
  const DeviceConfig& Config;
};

// Device parameters as a recorder hands them to Open; reads the config live.
class DeviceParams : public korvalt::ipcapture::IDeviceParams {
 public:
  explicit DeviceParams(DeviceConfig config = {})
      : Config(std::move(config)), Description(Config), Connection(Config) {}
  DeviceParams(const DeviceParams&) = delete;
  DeviceParams& operator=(const DeviceParams&) = delete;

  korvalt::ipcapture::IDeviceDescription* GetDescription() override { return &Description; }
  korvalt::ipcapture::IConnectionParams* GetConnection() override { return &Connection; }
  void Reserved3() override {}
  const char* GetCustomParameter(int32_t index) override {
    const auto it = Config.Custom.find(index);
    return it == Config.Custom.end() ? nullptr : it->second.c_str();
  }

  DeviceConfig Config;

 private:
  DeviceDescription Description;
  ConnectionParams Connection;
};

}  // namespace hostkit
