#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "driver/host/ptz.h"
#include "driver/host_destructor.h"
#include "presets/preposition_list.h"
#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"

namespace korvalt {

class CBasePTZComm;
class IDriver;

// The PTZ control the recorder holds for one channel: movements go to the channel's command
// executor, preset calls to its preset list. It remembers which motions it started, so that
// one StopAll stops exactly those.
class CBasePTZControl : public ipcapture::IIPPTZApiEx, public ipcapture::IIPParams {
 public:
  // driver is borrowed for the control's life.
  CBasePTZControl(IDriver* driver, int32_t channel);
  virtual ~CBasePTZControl();
  QUENLARK_HOST_DESTRUCTOR
  CBasePTZControl(const CBasePTZControl&) = delete;
  CBasePTZControl& operator=(const CBasePTZControl&) = delete;

  // IIPPTZApi / IIPPTZApiEx.
  int32_t HasAnyPTZFunction() override;
  int32_t Move(int32_t direction, int32_t speed) override;
  int32_t StopAll() override;
  int32_t Center(int32_t a, int32_t b, int32_t c) override;
  int32_t ZoomIn(int32_t speed) override;
  int32_t ZoomOut(int32_t speed) override;
  int32_t Unzoom(int32_t a) override;
  int32_t AreaZoom(int32_t a, int32_t b, int32_t c, int32_t d) override;
  int32_t FocusPlus(int32_t speed) override;
  int32_t FocusMinus(int32_t speed) override;
  int32_t IrisPlus(int32_t speed) override;
  int32_t IrisMinus(int32_t speed) override;
  int32_t GetCapabilities(ipcapture::PTZ_CAPABILITIES* record) override;
  int32_t GetPrepositionCount() override;
  int32_t GetPrepositionName(int32_t index, char* buffer, uint32_t size) override;
  int32_t GotoPreposition(int32_t param, const char* name) override;
  int32_t AddPreposition(const char* name) override;
  int32_t RemovePreposition(const char* name) override;
  int32_t GetCurrentPreposition(char* buffer, uint32_t size) override;
  bool QueryFeature(int32_t value) override;

  virtual void ReleaseComm();
  // A new executor of the vendor's class, or null.
  virtual CBasePTZComm* CreateComm() = 0;
  virtual bool Initialize(TSmartPtr<CXMLPrepositionReader> reader);

  // IIPParams.
  int32_t GetChannel() override { return ChannelIndex; }
  bool GetHostFlagA() override { return HostFlagA.load(); }
  void SetHostFlagA(bool value) override { HostFlagA.store(value); }
  bool GetHostFlagB() override { return HostFlagB.load(); }
  void SetHostFlagB(bool value) override { HostFlagB.store(value); }

 protected:
  IDriver* const Driver;
  const int32_t ChannelIndex;

 private:
  int32_t StartZoom(int32_t direction, int32_t speed);
  int32_t StartFocus(bool positive, int32_t speed);
  int32_t StartIris(bool positive, int32_t speed);

  // Set by Initialize and cleared by ReleaseComm and the destructor, on the thread that owns
  // the control; host calls only read it.
  std::unique_ptr<CBasePTZComm> Comm;
  CPrepositionList Prepositions;
  // Atomic because recorder threads may overlap; the behaviour is that of plain flags.
  std::atomic<bool> HostFlagA{false};
  std::atomic<bool> HostFlagB{false};
  std::atomic<bool> Zooming{false};
  std::atomic<bool> Focusing{false};
  std::atomic<bool> IrisChanging{false};
  std::atomic<bool> Moving{false};
  // Host calls under way; the destructor lets them finish (their camera requests are aborted
  // first) before the executor and the list go.
  std::atomic<int32_t> ActiveCalls{0};
};

}  // namespace korvalt
