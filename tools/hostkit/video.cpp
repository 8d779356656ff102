#include "tools/hostkit/video.h"

#include <new>

namespace hostkit {

korvalt::ipcapture::IFrameSample* SampleAllocator::CreateSample(uint32_t fourCC, uint32_t capacity,
                                                                const char* producer) {
  if (Refuse.load()) return nullptr;
  auto* sample = new (std::nothrow) FrameSample(fourCC, capacity, producer ? producer : "");
  if (sample == nullptr) return nullptr;
  ++Created;
  LastCapacity = capacity;
  return sample;
}

void SampleAllocator::ReleaseSample(korvalt::ipcapture::IFrameSample* sample) {
  if (sample == nullptr) return;
  ++Released;
  delete static_cast<FrameSample*>(sample);
}

bool FrameSink::Deliver(korvalt::ipcapture::IFrameSample* sample) {
  if (sample == nullptr) return false;
  ++Frames;
  return OnFrame ? OnFrame(*static_cast<FrameSample*>(sample)) : true;
}

}  // namespace hostkit
