// What the platform clock costs a timed wait: two threads hand a turn back and forth through events
// with time-outs (each hand-over is one timed wait that ends by a signal), and a reading of the clock.
#include <benchmark/benchmark.h>

#include <thread>

#include "platform/os/ZtHandles.h"
#include "platform/os/ZtTime.h"

namespace {

void BM_TimedEventHandOver(benchmark::State& state) {
  ZtEventH ping(false), pong(false);
  bool stop = false;
  std::thread other([&] {
    for (;;) {
      ping.wait(10000);
      if (stop) return;
      pong.set();
    }
  });
  for (auto _ : state) {
    ping.set();
    pong.wait(10000);
  }
  stop = true;
  ping.set();
  other.join();
  state.SetItemsProcessed(state.iterations() * 2);
}

void BM_ClockReading(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ZtClock::NowTicks());
}

BENCHMARK(BM_TimedEventHandOver)->UseRealTime();
BENCHMARK(BM_ClockReading);

}  // namespace
