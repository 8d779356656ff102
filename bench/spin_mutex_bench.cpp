// CSpinMutex against std::recursive_mutex: uncontended and with two threads contending.

#include <benchmark/benchmark.h>

#include <mutex>

#include "thread/spin_mutex.h"

namespace {

struct SpinAdapter {
  korvalt::CSpinMutex Mutex;
  void lock() { Mutex.Lock(); }
  void unlock() { Mutex.Unlock(); }
};

template <typename M>
void BM_LockUnlock(benchmark::State& state) {
  static M mutex;           // shared by the benchmark's threads
  static long counter = 0;  // guarded by mutex
  for (auto _ : state) {
    mutex.lock();
    ++counter;
    mutex.unlock();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_TEMPLATE(BM_LockUnlock, SpinAdapter)->Name("CSpinMutex/uncontended")->Threads(1);
BENCHMARK_TEMPLATE(BM_LockUnlock, std::recursive_mutex)->Name("recursive_mutex/uncontended")->Threads(1);
BENCHMARK_TEMPLATE(BM_LockUnlock, SpinAdapter)->Name("CSpinMutex/contended")->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_LockUnlock, std::recursive_mutex)
    ->Name("recursive_mutex/contended")
    ->Threads(2)
    ->UseRealTime();

}  // namespace
