#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"
#include "ptz/ip_ptz_driver_if.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

class CBasePTZControl;
class IDriver;

// PTZ access of one device: one control per channel, created on the first request and kept for
// the handler's life, and the one preset file that all channels share, opened on first need.
class CBasePTZHandler : public CIPPTZDriverIf {
 public:
  // driver is borrowed for the handler's life.
  CBasePTZHandler(IDriver* driver, uint32_t channelCount, std::string deviceTypeName);
  ~CBasePTZHandler() override;
  CBasePTZHandler(const CBasePTZHandler&) = delete;
  CBasePTZHandler& operator=(const CBasePTZHandler&) = delete;

  // Null for a channel beyond the device's count or when the channel cannot be set up.
  ipcapture::IIPPTZApiEx* GetPTZApiEx(uint32_t channel) override;
  // Name of the preset file; empty when it cannot be formed.
  virtual std::string GetXMLStorageFileName() = 0;
  // A new, uninitialised control of the vendor's class, or null.
  virtual CBasePTZControl* CreateControl(uint32_t channel) = 0;
  virtual void DestroyControls();
  virtual bool InitializeXMLStorage();

 protected:
  IDriver* const Driver;

 private:
  ipcapture::IIPPTZApiEx* GetPTZApiExLocked(uint32_t channel) QL_REQUIRES(Lock);

  // Recorders may ask for channels from several threads at once; the lock makes each channel's
  // control and the shared reader be created once.
  CRecursiveMutex Lock;                                               // guards Controls and Reader
  std::map<uint32_t, CBasePTZControl*> Controls QL_GUARDED_BY(Lock);  // owned; deleted by DestroyControls
  const uint32_t ChannelCount;
  TSmartPtr<CXMLPrepositionReader> Reader QL_GUARDED_BY(Lock);
  const std::string DeviceTypeName;
};

}  // namespace korvalt
