// What looking inside a guest costs and gains, on a VM whose one disk holds a 2 GiB NTFS volume with
// 512 MiB of files and old bytes in its free clusters (as a guest leaves them after deleting files):
//   GuestPass                the pre-processing pass alone (partition table, $Bitmap, page file)
//   FullBackupLeavingFreeOut a whole lab job ("quarn-lab run"), the pass finding and leaving out the
//                            free clusters
//   FullBackupWholeDisk      the same job with the pass off, every sector read and sent
// Before each timed part the disk image's pages are dropped from the page cache, so the job reads the
// disk as a backup of a cold VM does. The two jobs run in turn (random interleaving of repetitions),
// so that a change of the machine's load touches both alike. Run by hand, in a Release build:
// build-bench/guest_bench. Each repetition makes a new lab and copies the image in through the lab
// model, outside the timed part. Needs mkntfs, ntfscp and sfdisk, and about 6 GiB in the temporary folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "disklayout/quarnconfig.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSettings.h"
#include "support/GuestImages.h"
#include "support/TestLab.h"

namespace {

constexpr uint64_t kNtfsStart = 2048;
constexpr uint64_t kNtfsBytes = 2ULL << 30;
constexpr uint64_t kDiskBytes = kNtfsBytes + (2ULL << 20);

benchsupport::ScratchFolder& Scratch() {
  static benchsupport::ScratchFolder scratch("quarn-guest-bench");
  return scratch;
}

// The disk image, made once: old bytes everywhere, a quick NTFS format over them, 512 MiB of files.
const std::string& DiskImage() {
  static const std::string path = [] {
    const std::string dir = Scratch().Path();
    const std::string disk = dir + "/disk.img", volume = dir + "/volume.img", data = dir + "/data.bin";
    using guestimages::Run;
    if (Run("head -c " + std::to_string(kNtfsBytes) + " /dev/urandom > " + volume) != 0 ||
        Run("mkntfs -F -Q -q -s 512 -c 4096 -p " + std::to_string(kNtfsStart) + " -H 255 -S 63 " + volume) != 0 ||
        Run("head -c 536870912 /dev/urandom > " + data + " && ntfscp -f " + volume + " " + data + " data.bin") != 0 ||
        Run("truncate -s " + std::to_string(kDiskBytes) + " " + disk + " && printf 'label: dos\\nstart=2048, size=" +
            std::to_string(kNtfsBytes / 512) + ", type=7\\n' | sfdisk -q " + disk) != 0 ||
        !guestimages::Place(disk, kNtfsStart * 512, volume))
      return std::string();
    std::remove(volume.c_str());
    std::remove(data.c_str());
    return disk;
  }();
  return path;
}

int Tool(const std::vector<std::string>& args, const std::string& out) {
  std::vector<std::string> argv = {QUARN_LAB_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::WaitProgram(testsupport::StartProgram(argv, out));
}

// The file's pages leave the page cache (written out first), so the next read comes from the disk.
void Evict(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

void GuestPass(benchmark::State& state) {
  if (DiskImage().empty()) return state.SkipWithError("the image could not be made");
  for (auto _ : state) {
    state.PauseTiming();
    Evict(DiskImage());
    state.ResumeTiming();
    quarnDiskConfig config;
    config.SetMountIndexForLVMDisks(0);
    config.addDiskForLVMProcessing(kProductVMware, DiskImage(), "id", 2, "disk", 2048, 512, true);
    doMetadataProcessingArgs args;
    args.mFlags = 2 | 8 | 16 | 32;
    if (config.doMetadataProcessing(&args) != 0 || args.mFreeSectors.empty())
      return state.SkipWithError("the pass found no free sectors");
    uint64_t free = 0;
    for (const auto& entry : args.mFreeSectors) free += entry.second.last - entry.second.first + 1;
    state.counters["freeMiB"] = static_cast<double>(free) / 2048;
  }
}

// A new lab of one VM of one disk whose image is the bench's; the disk's image path in the lab.
std::string MakeLab(const std::string& lab, const std::string& out, bool leaveFreeOut) {
  std::error_code ignored;
  std::filesystem::remove_all(lab, ignored);
  if (Tool({"create", lab, "--vms", "1", "--disks", "1", "--clients", "coordinator", "--time-scale", "60"}, out) != 0)
    return std::string();
  lab::SetRoot(lab);
  std::string image, error;
  lab::VMDescription vm;
  if (lab::FindVM(lab::SampleServer(), "vm01", vm) && vm.disks.size() == 1) {
    image = lab::DiskImagePath(lab::SampleServer(), vm.disks[0].file);
    vm.disks[0].sizeBytes = kDiskBytes;
    if (!std::filesystem::copy_file(DiskImage(), image, std::filesystem::copy_options::overwrite_existing, ignored) ||
        !lab::WriteVMDescription(lab::SampleServer(), vm, error))
      image.clear();
  }
  if (!leaveFreeOut) {
    for (const char* key : {"bDetectVolUnusedSectors", "bEnableLiveBrowsePrefetchExtents"})
      if (!lab::WriteSetting("coordinator", "VirtualServer", key, "0", error)) image.clear();
  }
  lab::SetRoot(std::string());
  return image;
}

uint64_t LeftOutSectors(const std::string& lab) {
  lab::SetRoot(lab);
  uint64_t sectors = 0;
  for (const lab::MountRecord& mount : lab::ListMountRecords(1001))
    for (const lab::MountedDisk& disk : mount.disks)
      for (const auto& range : disk.leftOut) sectors += range.second - range.first + 1;
  lab::SetRoot(std::string());
  return sectors;
}

// The disk blocks the waited-for children read and wrote, in MiB: page-cache hits are not counted.
std::pair<double, double> ChildrenBlocksMiB() {
  struct rusage usage {};
  getrusage(RUSAGE_CHILDREN, &usage);
  return {static_cast<double>(usage.ru_inblock) / 2048, static_cast<double>(usage.ru_oublock) / 2048};
}

// One whole lab job over the image, timed from its start to its end. Counters: the sectors the job
// left out, and the disk blocks its processes read (the disk and the lab's records) and wrote (the
// archives and records).
void FullBackup(benchmark::State& state, bool leaveFreeOut) {
  if (DiskImage().empty()) return state.SkipWithError("the image could not be made");
  const std::string lab = Scratch().Path() + "/lab", out = Scratch().Path() + "/tool.txt";
  for (auto _ : state) {
    const std::string image = MakeLab(lab, out, leaveFreeOut);
    if (image.empty()) return state.SkipWithError("the image could not be put in a new lab");
    sync();
    Evict(image);
    Evict(DiskImage());
    const auto blocksBefore = ChildrenBlocksMiB();
    const auto start = std::chrono::steady_clock::now();
    const int status = Tool({"run", lab, "--", "-numStreams", "1"}, out);
    const auto end = std::chrono::steady_clock::now();
    const auto blocksAfter = ChildrenBlocksMiB();
    if (status != 0) return state.SkipWithError("the job failed");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    state.counters["leftOutMiB"] = static_cast<double>(LeftOutSectors(lab)) / 2048;
    state.counters["readMiB"] = blocksAfter.first - blocksBefore.first;
    state.counters["writtenMiB"] = blocksAfter.second - blocksBefore.second;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDiskBytes));
  std::error_code ignored;
  std::filesystem::remove_all(lab, ignored);
}

void FullBackupLeavingFreeOut(benchmark::State& state) { FullBackup(state, true); }
void FullBackupWholeDisk(benchmark::State& state) { FullBackup(state, false); }

}  // namespace

BENCHMARK(GuestPass)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(FullBackupLeavingFreeOut)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(3);
BENCHMARK(FullBackupWholeDisk)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(3);

// The jobs run in turn unless the command line says otherwise.
int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + (argc > 0 ? 1 : 0), interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
