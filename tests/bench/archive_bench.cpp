// The archive writer on the data path: a disk's extents sent through a stream (extent header, data,
// end of item per extent, one archive file synced at close) against the same bytes written to a plain
// file with write(2) and one fsync; small extents show the batching of small records; and the
// reader's check of a whole archive.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/archive/ArchiveReader.h"
#include "platform/archive/vsArchive.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"

namespace {

constexpr uint64_t kDiskBytes = 256ull << 20;

// A lab of its own in the temporary folder, removed at exit.
struct BenchLab {
  BenchLab() {
    lab::SetRoot(root.Path());
    job.setJobId("1");
    job.setMediaAgent("ma1");
  }
  benchsupport::ScratchFolder root{"quarn-archive-bench"};
  vsJobMgr job;
};

BenchLab& Lab() {
  static BenchLab lab;
  return lab;
}

std::vector<char> Extent(size_t size) {
  std::vector<char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  return bytes;
}

// Writes a disk of kDiskBytes as extents of the given size into one archive file; returns its path.
std::string WriteDisk(vsArchive& stream, const std::vector<char>& extent) {
  stream.createArchiveFile("vm-guid", 2, 3, 4, "", 1);
  const std::string path = stream.GetArchiveFilePath();
  for (uint64_t n = 0; n * extent.size() < kDiskBytes; ++n) {
    const std::string name = "\\vm-guid\\disk0\\Extent" + std::to_string(n);
    stream.sendExtentHeader(name, "disk0", extent.size(), 0, false, 1, 0, 0, 0, nullptr);
    stream.sendExtentData(extent.data(), extent.size(), {}, 512, nullptr);
    stream.sendEOF(true, 0);
  }
  stream.sendDiskHeader("\\vm-guid\\disk0", kDiskBytes, kDiskBytes, false, 1, extent.size() / 512, false);
  stream.sendEOF(true, 0);
  stream.closeArchiveFile();
  return path;
}

void BM_ArchiveWriteDisk(benchmark::State& state) {
  BenchLab& lab = Lab();
  vsArchive stream(&lab.job, nullptr, nullptr, "km");
  stream.init(true);
  const std::vector<char> extent = Extent(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    const std::string path = WriteDisk(stream, extent);
    state.PauseTiming();
    unlink(path.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDiskBytes));
}
BENCHMARK(BM_ArchiveWriteDisk)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

// The ceiling: the same bytes in writes of the extent size to a plain file, synced once.
void BM_PlainWriteDisk(benchmark::State& state) {
  BenchLab& lab = Lab();
  const std::vector<char> extent = Extent(static_cast<size_t>(state.range(0)));
  const std::string path = lab.root.Path() + "/plain.bin";
  for (auto _ : state) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    for (uint64_t done = 0; done < kDiskBytes; done += extent.size()) {
      if (write(fd, extent.data(), extent.size()) != static_cast<ssize_t>(extent.size())) state.SkipWithError("write");
    }
    fsync(fd);
    close(fd);
    state.PauseTiming();
    unlink(path.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDiskBytes));
}
BENCHMARK(BM_PlainWriteDisk)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reading an archive back with every check value verified (from the page cache).
void BM_ArchiveReadDisk(benchmark::State& state) {
  BenchLab& lab = Lab();
  vsArchive stream(&lab.job, nullptr, nullptr, "km");
  stream.init(true);
  const std::string path = WriteDisk(stream, Extent(1 << 20));
  for (auto _ : state) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    if (!archive::ReadArchive(path, contents, problem)) state.SkipWithError(problem.text.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDiskBytes));
  unlink(path.c_str());
}
BENCHMARK(BM_ArchiveReadDisk)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
