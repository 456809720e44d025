// A disk's checksum table: one record per extent inserted as the checksum stage does (in extent
// order) and written at close, then loaded by the next job and looked up extent by extent. The
// baseline writes the same number of bytes as one durable file, the least a table of that size costs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "bench/BenchSupport.h"
#include "platform/index/TVMCRCTable.h"
#include "platform/os/CPxFile.h"

namespace {

// A folder of the run's own, removed when the run ends.
std::string Scratch() {
  static benchsupport::ScratchFolder dir("quarn-crc-bench");
  return dir.Path();
}

void Fill(TVMCRCTable& table, int64_t extents) {
  for (int64_t e = 0; e < extents; ++e) table.insert(MakeCRCRecord(e, static_cast<uint32_t>(e * 2654435761u)));
}

void BM_InsertAndClose(benchmark::State& state) {
  const std::string name = Scratch() + "/written";
  for (auto _ : state) {
    TVMCRCTable table;
    table.initialize(name, false);
    Fill(table, state.range(0));
    if (table.close() != 0) state.SkipWithError(table.GetLastError().c_str());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_LoadAndLookUpEveryExtent(benchmark::State& state) {
  const std::string name = Scratch() + "/read";
  {
    TVMCRCTable table;
    table.initialize(name, false);
    Fill(table, state.range(0));
    table.close();
  }
  for (auto _ : state) {
    TVMCRCTable table;
    if (table.initialize(name, true) != 0) state.SkipWithError(table.GetLastError().c_str());
    TVMCRCRecord record;
    int64_t found = 0;
    for (int64_t e = 0; e < state.range(0); ++e) found += table.lookup(e, record);
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_BaselineDurableWriteOfTheSameBytes(benchmark::State& state) {
  const std::string bytes(32 + 12 * state.range(0), 'x');
  const std::string path = Scratch() + "/baseline";
  for (auto _ : state) CPxFile::WriteAll(path, bytes);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// 2 TiB of disk in 1 MiB extents is 2 Mi extents; 64 GiB is 64 Ki.
BENCHMARK(BM_InsertAndClose)->Arg(64 << 10)->Arg(2 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndLookUpEveryExtent)->Arg(64 << 10)->Arg(2 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineDurableWriteOfTheSameBytes)->Arg(64 << 10)->Arg(2 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
