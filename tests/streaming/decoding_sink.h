#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "tools/hostkit/decoder.h"
#include "tools/hostkit/video.h"

namespace testsupport {

// Decodes every delivered picture on the module's receive thread and lets the test wait for
// a number of pictures.
class DecodingSink {
 public:
  DecodingSink() : Sink([this](const hostkit::FrameSample& sample) { return OnFrame(sample); }) {}

  bool OnFrame(const hostkit::FrameSample& sample) {
    std::lock_guard<std::mutex> guard(Lock);
    if (!Decoder || sample.FourCC != FirstFourCC) {
      // A restart may change the codec's parameters; start a fresh decoder on a key frame.
      FirstFourCC = sample.FourCC;
      Decoder = std::make_unique<hostkit::Decoder>(sample.FourCC);
    }
    FourCCs.push_back(sample.FourCC);
    Sizes.emplace_back(sample.Width, sample.Height);
    if (!Decoder->Decode(sample.Data.data(), sample.DataSize)) ++DecodeErrors;
    DecodedSizes.emplace_back(Decoder->Width, Decoder->Height);
    ++Frames;
    Changed.notify_all();
    return true;
  }

  // Waits until at least count frames arrived since the last Reset.
  bool WaitFrames(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return Frames >= count; });
  }
  void Reset() {
    std::lock_guard<std::mutex> guard(Lock);
    Frames = 0;
    DecodeErrors = 0;
    FourCCs.clear();
    Sizes.clear();
    DecodedSizes.clear();
    Decoder.reset();
  }

  hostkit::FrameSink Sink;
  std::mutex Lock;
  std::condition_variable Changed;
  std::unique_ptr<hostkit::Decoder> Decoder;
  uint32_t FirstFourCC = 0;
  size_t Frames = 0;  // since the last Reset
  size_t DecodeErrors = 0;
  std::vector<uint32_t> FourCCs;
  std::vector<std::pair<uint32_t, uint32_t>> Sizes;
  std::vector<std::pair<int, int>> DecodedSizes;
};

}  // namespace testsupport
