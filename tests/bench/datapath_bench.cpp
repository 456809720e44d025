// The data path's speed on real files: one VM of four disks (QUARN_BENCH_DISK_MIB each, 512 by
// default) backed up through the worker's road, its disk pipeline and the lab's media agent, with
// the disks' page cache dropped before each timed run. The labs live in QUARN_BENCH_DIR (default
// /var/tmp/quarn-bench) and are made on first use; scripts/bench.sh removes them before each of its
// runs and prints these as its second table, after whole jobs of the lab tool beside their references.
//
// Only the VM's backup is timed (the set-up job and the changes between jobs are not), its mount's
// snapshots included (they copy nothing). These are the in-process figures; scripts/bench.sh times
// whole jobs of the lab tool beside them. Counters: the disks' bytes, the bytes sent, the CPU seconds
// and the peak resident set of the timed job (run one benchmark per process for the peak to be that
// benchmark's), and the times of the VM's road and of the job's ending after it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

// The test support's lab helpers name the host program; this program never runs it.
#ifndef QUARN_HOST_BINARY
#define QUARN_HOST_BINARY "quarn"
#endif
#include "platform/lab/LabSettings.h"
#include "platform/os/CPxCRC32.h"
#include "support/DataPathTestSupport.h"

namespace {

constexpr int kDisks = 4;
constexpr uint64_t kMiB = 1 << 20;

std::string BenchDir() {
  const char* dir = std::getenv("QUARN_BENCH_DIR");
  return dir != nullptr && *dir ? dir : "/var/tmp/quarn-bench";
}

uint64_t DiskBytes() {
  const char* mib = std::getenv("QUARN_BENCH_DISK_MIB");
  const uint64_t value = mib != nullptr ? std::strtoull(mib, nullptr, 10) : 0;
  return (value > 0 ? value : 512) * kMiB;
}

void Evict(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

// The process's peak resident set is reset before a timed job, so that the set-up job before it
// (run in the same process) does not count.
void ResetPeakResident() {
  if (FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", refs);
    std::fclose(refs);
  }
}

double PeakResidentMiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  double kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmHWM: %lf kB", &kib) == 1) break;
  std::fclose(status);
  return kib / 1024.0;
}

std::vector<std::string> Images() {
  std::vector<std::string> images;
  for (int disk = 0; disk < kDisks; ++disk) images.push_back(datapathtest::ImageOf(disk));
  return images;
}

// The lab of one content: "random" (every byte seeded) or "zeros25" (every fourth MiB zeros). Made
// on first use; afterwards only selected, with its settings back to the defaults.
void UseLab(const std::string& content, bool indexingV2) {
  const std::string root = BenchDir() + "/" + content;
  lab::SetRoot(root);
  lab::SetFocusClient("coordinator");
  std::string error;
  if (!lab::IsDirectory(lab::JobsDir())) {
    lab::LabPlan plan;
    plan.vms = 1;
    plan.disksPerVM = kDisks;
    int kept = 0;
    lab::CreateLab(root, plan, kept, error);
    lab::VMDescription vm;
    lab::FindVM(lab::SampleServer(), datapathtest::kVM, vm);
    for (lab::VMDisk& disk : vm.disks) {
      disk.sizeBytes = DiskBytes();
      const std::string image = lab::DiskImagePath(lab::SampleServer(), disk.file);
      std::vector<lab::ByteRange> ranges;
      for (uint64_t at = 0; at < disk.sizeBytes; at += kMiB)
        if (content != "zeros25" || (at / kMiB) % 4 != 3) ranges.emplace_back(at, kMiB);
      std::string id;
      if (truncate(image.c_str(), static_cast<off_t>(disk.sizeBytes)) != 0 ||
          !lab::WriteDiskRanges(image, ranges, true, 7, id, error))
        std::fprintf(stderr, "cannot make %s: %s\n", image.c_str(), error.c_str());
    }
    lab::WriteVMDescription(lab::SampleServer(), vm, error);
  }
  EvDebug::shutdownLog();
  EvDebug::initializeLog(1, "quarn");
  EvDebug::setLevel(1);
  lab::SetSubclientValue("1", "indexingV2", indexingV2 ? "1" : "0", error);
  lab::SetSubclientValue("1", "useCBT", "1", error);
  // No fault table: with one, every stand-in operation reads and rewrites it.
  unlink(lab::FaultTablePath().c_str());
  lab::WriteSetting("coordinator", "VirtualServer", "nIgnoreChangeId", "0", error);
  lab::WriteSetting("coordinator", "VirtualServer", "nAllowMultiStreamsPerVM", "1", error);
  QuarnRegistry::TEST_Unload();
}

void Setting(const std::string& key, const std::string& value) {
  std::string error;
  lab::WriteSetting("coordinator", "VirtualServer", key, value, error);
  QuarnRegistry::TEST_Unload();
}

int64_t NextJob() {
  static int64_t next = 0;
  if (next == 0) next = 100000 + (static_cast<int64_t>(time(nullptr)) % 100000) * 100;
  return ++next;
}

// Runs one job of the VM; the timed one's wall time goes to the state, and its archives are removed
// afterwards. The set-up job's stay: an incremental builds only on a backup that stands on the media.
int RunJobWithId(int64_t id, int level, benchmark::State* state) {
  datapathtest::Job job(id, level, kDisks);
  for (const std::string& image : Images()) Evict(image);
  rusage before{}, after{};
  ResetPeakResident();
  getrusage(RUSAGE_SELF, &before);
  // Job::Run's steps, each timed: the VM's road (the data path), then what ends the job.
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const int result = job.ProcessVM();
  const auto processed = Clock::now();
  job.EndJob();
  const auto end = Clock::now();
  const double seconds = std::chrono::duration<double>(end - start).count();
  getrusage(RUSAGE_SELF, &after);
  uint64_t sent = 0;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(job.id)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    archive::ReadArchive(location.path, contents, problem);
    sent += contents.dataBytes;
    if (state != nullptr) unlink(location.path.c_str());
  }
  if (state != nullptr) {
    state->SetIterationTime(seconds);
    const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) + (after.ru_stime.tv_usec - before.ru_stime.tv_usec)) / 1e6;
    state->counters["cpu_s"] = cpu;
    state->counters["peak_rss_mb"] = PeakResidentMiB();
    state->counters["road_s"] = std::chrono::duration<double>(processed - start).count();
    state->counters["ending_s"] = std::chrono::duration<double>(end - processed).count();
    state->counters["disk_bytes"] = static_cast<double>(DiskBytes() * kDisks);
    state->counters["sent_bytes"] = static_cast<double>(sent);
    if (result != 0) state->SkipWithError(("the backup failed with " + std::to_string(result)).c_str());
  }
  return result;
}

int RunJob(int level, benchmark::State* state) { return RunJobWithId(NextJob(), level, state); }

// The full job an incremental is measured after, run in a child process so that its memory and CPU
// time are not the measured process's (nothing else runs in this process yet: no thread is copied).
// The child's job takes the next job id in this process too.
void RunSetUpJob() {
  // The base of an earlier measurement is no base of this one: its archives go.
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles()) unlink(location.path.c_str());
  const int64_t id = NextJob();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) _exit(RunJobWithId(id, 1, nullptr) == 0 ? 0 : 1);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::fprintf(stderr, "the full backup before the incremental failed\n");
}

void ChangeDisks(uint32_t percent) {
  if (percent == 0) return;
  for (const std::string& image : Images()) {
    std::string id, error;
    lab::WriteDiskRanges(image, lab::SpreadRanges(DiskBytes(), percent), false, 0, id, error);
  }
}

const char* Content(int64_t arg) { return arg == 0 ? "random" : "zeros25"; }

// A full backup: args content (0 random, 1 a quarter zeros), disks in parallel (1) or one after the
// other (0).
void BM_Full(benchmark::State& state) {
  UseLab(Content(state.range(0)), true);
  Setting("nAllowMultiStreamsPerVM", state.range(1) ? "1" : "0");
  for (auto _ : state) RunJob(1, &state);
}
BENCHMARK(BM_Full)->ArgsProduct({{0, 1}, {0, 1}})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// An incremental by extent checksums after `percent` of every disk changed (disks one after the
// other, as the reference read-and-checksum pass runs).
void BM_ChecksumIncremental(benchmark::State& state) {
  UseLab("random", false);
  Setting("nIgnoreChangeId", "1");
  Setting("nAllowMultiStreamsPerVM", "0");
  RunSetUpJob();
  ChangeDisks(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) RunJob(2, &state);
}
BENCHMARK(BM_ChecksumIncremental)->Arg(0)->Arg(1)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// An incremental by change ids after `percent` of every disk changed.
void BM_ChangeIdIncremental(benchmark::State& state) {
  UseLab("random", true);
  RunSetUpJob();
  ChangeDisks(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) RunJob(2, &state);
}
BENCHMARK(BM_ChangeIdIncremental)->Arg(0)->Arg(1)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// References. The ceiling of a checksum incremental: every disk read cold and checksummed, one
// after the other, 1 MiB at a time.
void BM_ReadAndCRC(benchmark::State& state) {
  UseLab("random", true);
  std::vector<char> buffer(kMiB);
  for (auto _ : state) {
    for (const std::string& image : Images()) Evict(image);
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& image : Images()) {
      int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
      posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      CPxCRC32 crc;
      ssize_t n = 0;
      for (off_t at = 0; (n = pread(fd, buffer.data(), buffer.size(), at)) > 0; at += n) crc.UpdateCRC32(buffer.data(), n);
      benchmark::DoNotOptimize(crc.GetCRC32());
      close(fd);
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_ReadAndCRC)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The floor of a change-id incremental: the changed chunks of every disk read cold, and nothing else.
void BM_ChangedBytesAlone(benchmark::State& state) {
  UseLab("random", true);
  std::vector<char> buffer(kMiB);
  const std::vector<lab::ByteRange> ranges = lab::SpreadRanges(DiskBytes(), static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    for (const std::string& image : Images()) Evict(image);
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& image : Images()) {
      int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
      for (const lab::ByteRange& range : ranges)
        benchmark::DoNotOptimize(pread(fd, buffer.data(), range.second, static_cast<off_t>(range.first)));
      close(fd);
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_ChangedBytesAlone)->Arg(1)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
