// What looking inside a guest costs and gains, on a VM whose one disk holds a 2 GiB NTFS volume with
// 512 MiB of files and old bytes in its free clusters (as a guest leaves them after deleting files):
//   GuestPass                the pre-processing pass alone (partition table, $Bitmap, page file)
//   FullBackupLeavingFreeOut a whole lab job, the pass finding and leaving out the free clusters
//   FullBackupWholeDisk      the same job with the pass off, every sector read and sent
// Run by hand (build-bench/guest_bench): each iteration makes a new lab and copies the image in,
// outside the timed part. Needs mkntfs, ntfscp and sfdisk, and about 6 GiB in the temporary folder.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/BenchSupport.h"
#include "disklayout/quarnconfig.h"
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

void GuestPass(benchmark::State& state) {
  if (DiskImage().empty()) return state.SkipWithError("the image could not be made");
  for (auto _ : state) {
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

// One whole lab job over the image, timed from its start to its end.
void FullBackup(benchmark::State& state, bool leaveFreeOut) {
  if (DiskImage().empty()) return state.SkipWithError("the image could not be made");
  const std::string lab = Scratch().Path() + "/lab", out = Scratch().Path() + "/tool.txt";
  for (auto _ : state) {
    guestimages::Run("rm -rf " + lab);
    if (Tool({"create", lab, "--vms", "1", "--disks", "1", "--clients", "coordinator", "--time-scale", "60"}, out) != 0)
      return state.SkipWithError("no lab");
    std::string found;
    guestimages::Run("find " + lab + "/hypervisor -name '*_0.img' | head -1", &found);
    while (!found.empty() && found.back() == '\n') found.pop_back();
    std::string vmFile;
    guestimages::Run("find " + lab + "/hypervisor -name '*.vm' | head -1", &vmFile);
    while (!vmFile.empty() && vmFile.back() == '\n') vmFile.pop_back();
    if (found.empty() || vmFile.empty() ||
        guestimages::Run("cp " + DiskImage() + " " + found + " && sed -i 's/^disk0.sizeBytes=.*/disk0.sizeBytes=" +
                         std::to_string(kDiskBytes) + "/' " + vmFile) != 0)
      return state.SkipWithError("the image could not be put in the lab");
    if (!leaveFreeOut) {
      for (const char* key : {"bDetectVolUnusedSectors", "bEnableLiveBrowsePrefetchExtents"})
        Tool({"set", lab, "coordinator", "VirtualServer", key, "0"}, out);
    }
    guestimages::Run("sync");
    const auto start = std::chrono::steady_clock::now();
    const int status = Tool({"run", lab, "--", "-numStreams", "1"}, out);
    const auto end = std::chrono::steady_clock::now();
    if (status != 0) return state.SkipWithError("the job failed");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  guestimages::Run("rm -rf " + lab);
}

void FullBackupLeavingFreeOut(benchmark::State& state) { FullBackup(state, true); }
void FullBackupWholeDisk(benchmark::State& state) { FullBackup(state, false); }

}  // namespace

BENCHMARK(GuestPass)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(FullBackupLeavingFreeOut)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);
BENCHMARK(FullBackupWholeDisk)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);
