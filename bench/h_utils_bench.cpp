// Reply parsing against hostile camera replies: GetValue must take time in proportion to the
// reply, also when every line holds the key but no separator.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "http/h_utils.h"

namespace {

constexpr const char* kKeyOnlyLine = "in1\r\n";

// A reply of bytes length made of "in1" lines without "=", then the line the poll looks for.
std::string KeyOnlyReply(size_t bytes) {
  std::string reply;
  reply.reserve(bytes + 16);
  while (reply.size() < bytes) reply += kKeyOnlyLine;
  reply += "in1=on\r\n";
  return reply;
}

void BM_GetValueKeyOnlyLines(benchmark::State& state) {
  const std::string reply = KeyOnlyReply(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string value = korvalt::HUtils::GetValue("in1", "=", reply, "\r\n");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(reply.size()));
  state.SetComplexityN(state.range(0));
}
// 2 MB is the case that matters; the smaller sizes show how the time grows.
BENCHMARK(BM_GetValueKeyOnlyLines)
    ->Arg(256 << 10)
    ->Arg(512 << 10)
    ->Arg(1 << 20)
    ->Arg(2 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Ordinary replies: the value near the end of a reply of many name=value lines.
void BM_GetValueLastOfManyLines(benchmark::State& state) {
  std::string reply;
  for (int64_t i = 0; i < state.range(0); ++i) reply += "name" + std::to_string(i) + "=value\r\n";
  reply += "in1=on\r\n";
  for (auto _ : state) {
    std::string value = korvalt::HUtils::GetValue("in1", "=", reply, "\r\n");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(reply.size()));
}
BENCHMARK(BM_GetValueLastOfManyLines)->Arg(16)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
