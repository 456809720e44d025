// What the platform clock costs a timed wait: two threads hand a turn back and forth through events,
// each hand-over a wait with a time-out that a signal ends.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "platform/os/ZtHandles.h"

namespace {

void BM_TimedEventHandOver(benchmark::State& state) {
  ZtEventH ping(false), pong(false);
  std::atomic<bool> stop{false};
  std::thread other([&] {
    while (ping.wait(10000) != 0 && !stop.load()) pong.set();
  });
  for (auto _ : state) {
    ping.set();
    pong.wait(10000);
  }
  stop = true;
  ping.set();
  other.join();
}

BENCHMARK(BM_TimedEventHandOver)->UseRealTime();

}  // namespace
