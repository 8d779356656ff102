#pragma once

#include <map>
#include <memory>
#include <string>

#include "driver/device_info.h"
#include "driver/host/capture_driver.h"
#include "driver/host_destructor.h"
#include "driver/idriver.h"
#include "media/channels/stream_transport_memory.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

// Camera-independent driver: host interfaces, parameter table and the lifetimes of the
// sub-objects. Open, Close, the accessors and deletion come from one host thread at a time;
// IDriver operations come from the sub-objects' threads. A second Open keeps the digital I/O
// object and the PTZ handler, whose threads go on reading the record while Open rewrites it, so
// every field Open writes is read and written under RecordLock.
class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx3, public IDriver, public ICustomCreator {
 public:
  CIPCaptureDriver();
  ~CIPCaptureDriver() override;
  QUENLARK_HOST_DESTRUCTOR

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
  DEVICE_INFO GetDeviceInfo() override;
  std::pair<int32_t, int32_t> GetIOCounts() override;
  ipcapture::ISampleAllocator* GetSampleAllocator() override;
  int32_t GetVideoStandard() override;
  int32_t GetCodecType() override;
  int32_t GetChannelCount() override;
  std::string GetCustomParameter(int key) override;
  int32_t GetCustomParameterNumber(int key) override;
  CStreamTransportMemory* GetStreamTransportMemory() override { return &TransportMemory; }

 protected:
  // Held only to copy a field in or out; never across a call to the host or a sub-object.
  mutable CMutex RecordLock;
  // Borrowed from the host between Open and the driver's deletion.
  ipcapture::IDebugSink* Sink QL_GUARDED_BY(RecordLock) = nullptr;
  ipcapture::ISampleAllocator* Allocator QL_GUARDED_BY(RecordLock) = nullptr;
  DEVICE_INFO DeviceInfo QL_GUARDED_BY(RecordLock);
  int32_t InputCount QL_GUARDED_BY(RecordLock) = 0;
  int32_t OutputCount QL_GUARDED_BY(RecordLock) = 0;
  int32_t ChannelCount QL_GUARDED_BY(RecordLock) = 0;
  int32_t CodecType QL_GUARDED_BY(RecordLock) = 0;
  int32_t VideoStandard QL_GUARDED_BY(RecordLock) = 0;
  std::map<int32_t, std::string> CustomParameters QL_GUARDED_BY(RecordLock);
  CStreamTransportMemory TransportMemory;  // shared by the channels; outlives them
  // Owned sub-objects, destroyed through their virtual destructors.
  HostInterfacePtr<ICaptureIOApi> DigitalIO;
  HostInterfacePtr<ipcapture::IIPVideoCaptureEx> VideoCapture;
  HostInterfacePtr<ipcapture::IIPPTZDriverEx> PTZHandler;

 private:
  // Destroys the video capture object, the digital I/O object and the PTZ handler, in that order.
  void DestroySubObjects();
  void DestroyVideoCapture();
  bool OpenUnguarded(ipcapture::IDebugSink* sink, ipcapture::ISampleAllocator* allocator,
                     ipcapture::IDeviceParams* params);
};

}  // namespace korvalt
