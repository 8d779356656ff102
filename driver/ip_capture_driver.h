#pragma once

#include <map>
#include <memory>
#include <string>

#include "driver/device_info.h"
#include "driver/host/capture_driver.h"
#include "driver/idriver.h"
#include "media/channels/stream_transport_memory.h"

namespace korvalt {

// Camera-independent driver: host interfaces, parameter table and the lifetimes of the
// sub-objects. Open, Close, the accessors and deletion come from one host thread at a time;
// IDriver operations come from the sub-objects' threads and only read what Open wrote.
class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx3, public IDriver, public ICustomCreator {
 public:
  CIPCaptureDriver();
  ~CIPCaptureDriver() override;

  // IIPCaptureDriver family.
  bool Open(ipcapture::IDebugSink* sink, ipcapture::ISampleAllocator* allocator,
            ipcapture::IDeviceParams* params) override;
  void Close() override;
  ipcapture::IIPVideoCapture* GetVideoCapture() override;
  ICaptureIOApi* GetCaptureIO() override;
  void* ReservedEx() override { return nullptr; }
  ipcapture::IIPPTZDriver* GetPTZDriver() override;
  void* ReservedEx2() override { return nullptr; }
  ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override;
  ipcapture::IIPPTZDriverEx* GetPTZDriverEx() override;
  virtual bool CreateCaptureIO() = 0;
  virtual bool CreatePTZHandler() = 0;

  // IDriver.
  void DebugMessage(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));
  DEVICE_INFO GetDeviceInfo() override { return DeviceInfo; }
  std::pair<int32_t, int32_t> GetIOCounts() override { return {InputCount, OutputCount}; }
  ipcapture::ISampleAllocator* GetSampleAllocator() override { return Allocator; }
  int32_t GetVideoStandard() override { return VideoStandard; }
  int32_t GetCodecType() override { return CodecType; }
  int32_t GetChannelCount() override { return ChannelCount; }
  std::string GetCustomParameter(int key) override;
  int32_t GetCustomParameterNumber(int key) override;
  CStreamTransportMemory* GetStreamTransportMemory() override { return &TransportMemory; }

 protected:
  // Borrowed from the host between Open and the driver's deletion.
  ipcapture::IDebugSink* Sink = nullptr;
  ipcapture::ISampleAllocator* Allocator = nullptr;
  DEVICE_INFO DeviceInfo;
  int32_t InputCount = 0;
  int32_t OutputCount = 0;
  int32_t ChannelCount = 0;
  int32_t CodecType = 0;
  int32_t VideoStandard = 0;
  std::map<int32_t, std::string> CustomParameters;
  CStreamTransportMemory TransportMemory;  // shared by the channels; outlives them
  // Owned sub-objects, destroyed through their virtual destructors.
  std::unique_ptr<ICaptureIOApi> DigitalIO;
  std::unique_ptr<ipcapture::IIPVideoCaptureEx> VideoCapture;
  std::unique_ptr<ipcapture::IIPPTZDriverEx> PTZHandler;

 private:
  // Destroys the video capture object, the digital I/O object and the PTZ handler, in that order.
  void DestroySubObjects();
  bool OpenUnguarded(ipcapture::IDebugSink* sink, ipcapture::ISampleAllocator* allocator,
                     ipcapture::IDeviceParams* params);
};

}  // namespace korvalt
