// Throughput of the RTP depacketisers on the committed test streams (tests/data/rtp), hand-off
// into a host sample that discards the picture included, next to a plain memcpy of the same
// payload bytes. Also counts heap allocations per packet once the parser is warm.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "driver/idriver.h"
#include "media/parsers/h264_rtp_media_parser.h"
#include "media/parsers/jpeg_rtp_media_parser.h"
#include "media/parsers/mpeg4_rtp_media_parser.h"
#include "transport/rtp_packet_info.h"

namespace benchsupport {
std::atomic<uint64_t> gAllocations{0};
}  // namespace benchsupport
using benchsupport::gAllocations;

// Counts every heap allocation of the process. GCC takes the malloc/free pair behind a
// replaced operator new/delete for a mismatch once the registration code inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}

namespace {

using benchsupport::BenchDriver;
using benchsupport::DiscardingHost;
using benchsupport::Load;
using benchsupport::Stream;

template <typename Parser>
void BM_Parser(benchmark::State& state, const char* streamName) {
  const Stream stream = Load(streamName);
  if (stream.Packets.empty()) {
    state.SkipWithError("test stream missing");
    return;
  }
  DiscardingHost host;
  BenchDriver driver(&host);
  Parser parser("QuenlarkIPCapture", &driver);
  parser.SetClient(&host);
  std::vector<uint8_t> copyTarget(12 * 1024 * 1024);
  uint16_t sequence = 0;
  auto pass = [&] {
    for (korvalt::RTP_PACKET_INFO info : stream.Packets) {
      info.SequenceNumber = sequence++;
      parser.ProcessPacket(info);
    }
  };
  pass();  // warm: the frame buffer reaches its size
  const uint64_t framesBefore = host.Frames;
  const uint64_t allocationsBefore = gAllocations.load();
  double parseSeconds = 0;
  double copySeconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    pass();
    const auto parsed = std::chrono::steady_clock::now();
    // The same payload bytes, copied one after the other as a picture is gathered.
    size_t offset = 0;
    for (const korvalt::RTP_PACKET_INFO& info : stream.Packets) {
      std::memcpy(copyTarget.data() + offset, info.Payload, info.PayloadLength);
      offset = info.Marker != 0 ? 0 : offset + info.PayloadLength;
    }
    benchmark::DoNotOptimize(copyTarget.data());
    benchmark::ClobberMemory();
    const auto copied = std::chrono::steady_clock::now();
    parseSeconds += std::chrono::duration<double>(parsed - start).count();
    copySeconds += std::chrono::duration<double>(copied - parsed).count();
    state.SetIterationTime(std::chrono::duration<double>(parsed - start).count());
  }
  const double iterations = static_cast<double>(state.iterations());
  const double packets = iterations * static_cast<double>(stream.Packets.size());
  state.counters["packets_per_s"] = benchmark::Counter(packets / parseSeconds);
  state.counters["payload_MB_per_s"] =
      benchmark::Counter(iterations * static_cast<double>(stream.PayloadBytes) / parseSeconds / 1e6);
  state.counters["memcpy_MB_per_s"] =
      benchmark::Counter(iterations * static_cast<double>(stream.PayloadBytes) / copySeconds / 1e6);
  state.counters["vs_memcpy"] = benchmark::Counter(copySeconds / parseSeconds);
  state.counters["allocs_per_packet"] =
      benchmark::Counter(static_cast<double>(gAllocations.load() - allocationsBefore) / packets);
  state.counters["frames_per_pass"] =
      benchmark::Counter(static_cast<double>(host.Frames - framesBefore) / iterations);
  state.SetBytesProcessed(static_cast<int64_t>(iterations * static_cast<double>(stream.PayloadBytes)));
}

void BM_H264Parser(benchmark::State& state, const char* stream) {
  BM_Parser<korvalt::CH264RTPMediaParser>(state, stream);
}
void BM_JpegParser(benchmark::State& state, const char* stream) {
  BM_Parser<korvalt::CJpegRTPMediaParser>(state, stream);
}
void BM_Mpeg4Parser(benchmark::State& state, const char* stream) {
  BM_Parser<korvalt::CMpeg4RTPMediaParser>(state, stream);
}

BENCHMARK_CAPTURE(BM_H264Parser, fu_a_1080p, "h264_gst_inband_1080p")->UseManualTime();
BENCHMARK_CAPTURE(BM_H264Parser, ffmpeg_720p, "h264_ffmpeg_720p")->UseManualTime();
BENCHMARK_CAPTURE(BM_JpegParser, type0_1080p, "mjpeg_gst_type0_1080p")->UseManualTime();
BENCHMARK_CAPTURE(BM_JpegParser, ffmpeg_640x480, "mjpeg_ffmpeg_640x480")->UseManualTime();
BENCHMARK_CAPTURE(BM_Mpeg4Parser, gst_352x288, "mpeg4_gst_352x288")->UseManualTime();

}  // namespace
