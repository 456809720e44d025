// What the index's keyed tables cost: inserting the records of a job (then closing, which writes the
// index file), and opening a table of that size and looking each record up, as a restarted job and the
// checksum tables of a disk do.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "bench/BenchSupport.h"
#include "platform/index/TVMGUIDTable.h"

namespace {

// A folder of the run's own, removed at exit.
std::string Folder() {
  static benchsupport::ScratchFolder folder("quarn-table-bench");
  return folder.Path();
}

TVMGUIDRecord2 Record(int64_t n) {
  TVMGUIDRecord2 record;
  record.clear();
  SetRecordText(record.vmGuid, sizeof(record.vmGuid), "5029" + std::to_string(n) + "-0000-4000-8000");
  SetRecordText(record.vmName, sizeof(record.vmName), "vm" + std::to_string(n));
  return record;
}

void BM_InsertAndClose(benchmark::State& state) {
  const std::string path = Folder() + "/insert";
  for (auto _ : state) {
    std::filesystem::remove(TCtreeTable::DataFile(path));
    std::filesystem::remove(TCtreeTable::IndexFile(path));
    TVMGUIDTable table;
    table.initialize(path, false);
    for (int64_t n = 0; n < state.range(0); ++n) table.insert(Record(n));
    table.close();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_OpenAndLookUpEach(benchmark::State& state) {
  const std::string path = Folder() + "/lookup-" + std::to_string(state.range(0));
  {
    TVMGUIDTable table;
    table.initialize(path, false);
    for (int64_t n = 0; n < state.range(0); ++n) table.insert(Record(n));
    table.close();
  }
  for (auto _ : state) {
    TVMGUIDTable table;
    table.initialize(path, true);
    for (int64_t n = 0; n < state.range(0); ++n) {
      TVMGUIDRecord2 record = Record(n);
      benchmark::DoNotOptimize(table.lookup(record));
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_InsertAndClose)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenAndLookUpEach)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
