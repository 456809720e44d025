#pragma once
// Guest disk images made at test time on plain files with the system's own tools (sfdisk, mkswap,
// mke2fs, mkntfs, ntfscp), and what independent tools (sfdisk -J, blkid -p, ntfsinfo, ntfscat,
// dumpe2fs) say of them. A missing tool fails the test that needs it: scripts/deps.sh installs them.
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace guestimages {

// Runs a shell command (its error text dropped); its exit status, its output in `output`.
inline int Run(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Quote(const std::string& text) { return "'" + text + "'"; }

// The tools the images need; empty when all are there, else the first one missing.
inline std::string MissingTool() {
  for (const char* tool : {"sfdisk", "mkswap", "mke2fs", "mkntfs", "ntfscp", "ntfsinfo", "ntfscat", "blkid",
                           "dumpe2fs", "debugfs"}) {
    if (Run(std::string("command -v ") + tool + " >/dev/null") != 0) return tool;
  }
  return std::string();
}

struct Partition {
  uint64_t start = 0;  // sectors
  uint64_t size = 0;
  std::string type;    // as sfdisk prints it: "7", "82" ..., or a GUID
  int number = 0;
};

// The partitions sfdisk -J lists (extended containers included, as sfdisk lists them).
inline std::vector<Partition> SfdiskPartitions(const std::string& image) {
  std::string json;
  std::vector<Partition> partitions;
  if (Run("sfdisk -J " + Quote(image), &json) != 0) return partitions;
  const std::regex entry("\"node\": \"[^\"]*?(\\d+)\",\\s*\"start\": (\\d+),\\s*\"size\": (\\d+),\\s*\"type\": \"([^\"]+)\"");
  for (std::sregex_iterator it(json.begin(), json.end(), entry), end; it != end; ++it) {
    Partition p;
    p.number = std::stoi((*it)[1]);
    p.start = std::stoull((*it)[2]);
    p.size = std::stoull((*it)[3]);
    p.type = (*it)[4];
    partitions.push_back(p);
  }
  return partitions;
}

// Writes `part` into `disk` at the byte offset, leaving the rest of the disk as it is.
inline bool Place(const std::string& disk, uint64_t offset, const std::string& part) {
  return Run("dd if=" + Quote(part) + " of=" + Quote(disk) + " bs=512 seek=" + std::to_string(offset / 512) +
             " conv=notrunc,sparse status=none") == 0;
}

// An NTFS volume of `bytes` in a file, as a partition starting at `startSector` would hold it, with
// a page file of pageFileBytes (none for 0) and `files` small files in its root folder (enough of
// them give the root's index an allocation of its own). The files' contents are "file <n> content".
inline bool MakeNtfs(const std::string& path, uint64_t bytes, uint64_t startSector, uint64_t pageFileBytes, int files,
                     uint32_t clusterSize = 4096) {
  if (Run("rm -f " + Quote(path) + " && truncate -s " + std::to_string(bytes) + " " + Quote(path)) != 0) return false;
  if (Run("mkntfs -F -Q -q -s 512 -c " + std::to_string(clusterSize) + " -p " + std::to_string(startSector) +
          " -H 255 -S 63 " + Quote(path)) != 0)
    return false;
  if (pageFileBytes > 0) {
    const std::string page = path + ".pagefile";
    if (Run("head -c " + std::to_string(pageFileBytes) + " /dev/urandom > " + Quote(page) + " && ntfscp -f " +
            Quote(path) + " " + Quote(page) + " pagefile.sys") != 0)
      return false;
    std::remove(page.c_str());
  }
  for (int i = 1; i <= files; ++i) {
    const std::string file = path + ".file";
    std::ofstream(file) << "file " << i << " content\n";
    if (Run("ntfscp -f " + Quote(path) + " " + Quote(file) + " file_number_" + std::to_string(i) + ".txt") != 0)
      return false;
    std::remove(file.c_str());
  }
  return true;
}

// What ntfsinfo and ntfscat say of an NTFS volume.
struct NtfsOracle {
  uint32_t clusterSize = 0;
  uint64_t clusters = 0;
  uint64_t freeClusters = 0;
  std::string bitmap;  // $Bitmap as ntfscat reads it
  std::vector<std::pair<uint64_t, uint64_t>> pageFileRuns;  // (LCN, clusters)
};

inline bool ReadNtfsOracle(const std::string& volume, NtfsOracle& oracle) {
  std::string info;
  if (Run("ntfsinfo -m " + Quote(volume), &info) != 0) return false;
  std::smatch m;
  if (!std::regex_search(info, m, std::regex("Cluster Size: (\\d+)"))) return false;
  oracle.clusterSize = static_cast<uint32_t>(std::stoul(m[1]));
  if (!std::regex_search(info, m, std::regex("Volume Size in Clusters: (\\d+)"))) return false;
  oracle.clusters = std::stoull(m[1]);
  if (!std::regex_search(info, m, std::regex("Free Clusters: (\\d+)"))) return false;
  oracle.freeClusters = std::stoull(m[1]);
  if (Run("ntfscat " + Quote(volume) + " '$Bitmap'", &oracle.bitmap) != 0) return false;
  std::string page;
  oracle.pageFileRuns.clear();
  if (Run("ntfsinfo -v -F pagefile.sys " + Quote(volume), &page) == 0) {
    const std::regex run("\\t\\t\\t0x([0-9a-f]+)\\t\\t0x([0-9a-f]+)\\t\\t0x([0-9a-f]+)");
    for (std::sregex_iterator it(page.begin(), page.end(), run), end; it != end; ++it)
      oracle.pageFileRuns.emplace_back(std::stoull((*it)[2], nullptr, 16), std::stoull((*it)[3], nullptr, 16));
  }
  return true;
}

// Free clusters of the oracle's bitmap as inclusive ranges of 512-byte sectors from `base`.
inline std::vector<std::pair<uint64_t, uint64_t>> FreeSectors(const NtfsOracle& oracle, uint64_t base) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  const uint64_t perCluster = oracle.clusterSize / 512;
  for (uint64_t c = 0; c < oracle.clusters; ++c) {
    const bool used = (static_cast<unsigned char>(oracle.bitmap[c / 8]) >> (c % 8)) & 1;
    if (used) continue;
    const uint64_t first = base + c * perCluster, last = first + perCluster - 1;
    if (!ranges.empty() && ranges.back().second + 1 == first)
      ranges.back().second = last;
    else
      ranges.emplace_back(first, last);
  }
  return ranges;
}

// The page file's clusters as inclusive ranges of 512-byte sectors from `base`.
inline std::vector<std::pair<uint64_t, uint64_t>> PageFileSectors(const NtfsOracle& oracle, uint64_t base) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  const uint64_t perCluster = oracle.clusterSize / 512;
  for (const auto& run : oracle.pageFileRuns)
    ranges.emplace_back(base + run.first * perCluster, base + (run.first + run.second) * perCluster - 1);
  return ranges;
}

// The file-system type blkid -p finds in the bytes at `offset` of an image ("" for none).
inline std::string BlkidType(const std::string& image, uint64_t offset, uint64_t size) {
  std::string out;
  Run("blkid -p -o value -s TYPE -O " + std::to_string(offset) + " -S " + std::to_string(size) + " " + Quote(image),
      &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// A disk of 40 MiB with an MBR: NTFS (16 MiB, a page file of 300,000 bytes, 40 files) as partition
// 1, and in the extended partition 2 the logical partitions 5 (swap, 4096-byte pages), 6 (swap,
// 8192-byte pages) and 7 (ext4 with one file "hello.txt").
struct MbrDisk {
  static constexpr uint64_t kNtfsStart = 2048, kNtfsSectors = 32768;
  static constexpr uint64_t kSwap4Start = 38912, kSwap8Start = 49152, kExtStart = 59392, kLogicalSectors = 8192;
};

inline bool MakeMbrDisk(const std::string& path) {
  const std::string work = path + ".part";
  const std::string script =
      "label: dos\nstart=2048, size=32768, type=7\nstart=36864, size=45056, type=5\n"
      "start=38912, size=8192, type=82\nstart=49152, size=8192, type=82\nstart=59392, size=8192, type=83\n";
  if (Run("rm -f " + Quote(path) + " && truncate -s 40M " + Quote(path) + " && printf '" + script +
          "' | sfdisk -q " + Quote(path)) != 0)
    return false;
  if (!MakeNtfs(work, MbrDisk::kNtfsSectors * 512, MbrDisk::kNtfsStart, 300000, 40) ||
      !Place(path, MbrDisk::kNtfsStart * 512, work))
    return false;
  for (auto swap : {std::make_pair(MbrDisk::kSwap4Start, 4096), std::make_pair(MbrDisk::kSwap8Start, 8192)}) {
    if (Run("rm -f " + Quote(work) + " && truncate -s 4M " + Quote(work) + " && mkswap -p " +
            std::to_string(swap.second) + " " + Quote(work) + " >/dev/null") != 0 ||
        !Place(path, swap.first * 512, work))
      return false;
  }
  const std::string hello = path + ".hello";
  std::ofstream(hello) << "hello from ext4\n";
  if (Run("rm -f " + Quote(work) + " && truncate -s 4M " + Quote(work) + " && mke2fs -q -F -t ext4 " + Quote(work) +
          " && debugfs -w -R " + Quote("write " + hello + " hello.txt") + " " + Quote(work) + " >/dev/null") != 0 ||
      !Place(path, MbrDisk::kExtStart * 512, work))
    return false;
  std::remove(hello.c_str());
  std::remove(work.c_str());
  return true;
}

// A disk of 24 MiB with a GPT: partition 1 Windows basic data with NTFS (8 MiB, no page file, 20
// files), 2 a Linux file system (ext4, 4 MiB), 3 Linux swap (4 MiB, 4096-byte pages).
struct GptDisk {
  static constexpr uint64_t kNtfsStart = 2048, kNtfsSectors = 16384;
  static constexpr uint64_t kExtStart = 18432, kSwapStart = 26624, kSectors = 8192;
};

inline bool MakeGptDisk(const std::string& path) {
  const std::string work = path + ".part";
  const std::string script =
      "label: gpt\nstart=2048, size=16384, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
      "start=18432, size=8192, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n"
      "start=26624, size=8192, type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F\n";
  if (Run("rm -f " + Quote(path) + " && truncate -s 24M " + Quote(path) + " && printf '" + script +
          "' | sfdisk -q " + Quote(path)) != 0)
    return false;
  if (!MakeNtfs(work, GptDisk::kNtfsSectors * 512, GptDisk::kNtfsStart, 0, 20) ||
      !Place(path, GptDisk::kNtfsStart * 512, work))
    return false;
  if (Run("rm -f " + Quote(work) + " && truncate -s 4M " + Quote(work) + " && mke2fs -q -F -t ext4 " + Quote(work)) != 0 ||
      !Place(path, GptDisk::kExtStart * 512, work))
    return false;
  if (Run("rm -f " + Quote(work) + " && truncate -s 4M " + Quote(work) + " && mkswap -p 4096 " + Quote(work) +
          " >/dev/null") != 0 ||
      !Place(path, GptDisk::kSwapStart * 512, work))
    return false;
  std::remove(work.c_str());
  return true;
}

// A disk of 12 MiB whose partition 1 (4 MiB) holds data of no known file system with a swap signature
// left over at the end of its first page (type 83, or the GPT Linux file-system type), and whose
// partition 2 (4 MiB) is Linux swap (type 82, or the GPT Linux swap type) with 4096-byte pages in use.
struct LeftoverSwapDisk {
  static constexpr uint64_t kDataStart = 2048, kSwapStart = 10240, kSectors = 8192;
};

inline bool MakeLeftoverSwapDisk(const std::string& path, bool gpt) {
  const std::string work = path + ".part";
  const std::string script =
      gpt ? "label: gpt\nstart=2048, size=8192, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n"
            "start=10240, size=8192, type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F\n"
          : "label: dos\nstart=2048, size=8192, type=83\nstart=10240, size=8192, type=82\n";
  if (Run("rm -f " + Quote(path) + " && truncate -s 12M " + Quote(path) + " && printf '" + script +
          "' | sfdisk -q " + Quote(path)) != 0)
    return false;
  if (Run("yes 'data of the guest that must come back' | head -c 4194304 > " + Quote(work) +
          " && printf SWAPSPACE2 | dd of=" + Quote(work) + " bs=1 seek=4086 conv=notrunc status=none") != 0 ||
      !Place(path, LeftoverSwapDisk::kDataStart * 512, work))
    return false;
  // Pages in use: the swap holds what no backup needs.
  if (Run("rm -f " + Quote(work) + " && truncate -s 4M " + Quote(work) + " && mkswap -p 4096 " + Quote(work) +
          " >/dev/null && yes 'a page swapped out' | head -c 4190208 | dd of=" + Quote(work) +
          " bs=4096 seek=1 conv=notrunc status=none") != 0 ||
      !Place(path, LeftoverSwapDisk::kSwapStart * 512, work))
    return false;
  std::remove(work.c_str());
  return true;
}

// The bytes of a part of an image, as a file of its own (for the tools that read a volume).
inline bool Extract(const std::string& image, uint64_t startSector, uint64_t sectors, const std::string& out) {
  return Run("dd if=" + Quote(image) + " of=" + Quote(out) + " bs=512 skip=" + std::to_string(startSector) +
             " count=" + std::to_string(sectors) + " status=none") == 0;
}

// ---- An NTFS disk for the live-browse walk, and the extents ntfsinfo says its metadata lies in ----

constexpr uint64_t kNtfsClusterSize = 4096;
constexpr uint64_t kNtfsVolumeSectors = 16384;

// The runs ntfsinfo reports for a record's attribute ("Runlist:" and its VCN/LCN/length lines).
inline std::vector<std::pair<uint64_t, uint64_t>> NtfsinfoRuns(const std::string& volume, int record,
                                                              const char* attribute) {
  std::string text;
  Run("ntfsinfo -v -i " + std::to_string(record) + " " + Quote(volume), &text);
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  std::istringstream lines(text);
  std::string line;
  bool inAttribute = false, inRuns = false;
  const std::regex run("^\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)\\s*$");
  while (std::getline(lines, line)) {
    if (line.find("Dumping attribute") != std::string::npos) {
      inAttribute = line.find(attribute) != std::string::npos;
      inRuns = false;
      continue;
    }
    if (inAttribute && line.find("Runlist:") != std::string::npos) {
      inRuns = true;
      continue;
    }
    std::smatch match;
    if (inRuns && std::regex_match(line, match, run)) {
      runs.emplace_back(std::stoull(match[2], nullptr, 16), std::stoull(match[3], nullptr, 16));
    } else {
      inRuns = false;
    }
  }
  return runs;
}

// A 20 MiB disk of NTFS partitions (8 MiB each, 60 files in the root folder) at the given sectors;
// each volume is left beside it as <disk>.<start sector> for ntfsinfo.
inline bool MakeNtfsDisk(const std::string& disk, const std::vector<uint64_t>& starts) {
  std::string table = "label: dos\n";
  for (uint64_t start : starts)
    table += "start=" + std::to_string(start) + ", size=" + std::to_string(kNtfsVolumeSectors) + ", type=7\n";
  if (Run("rm -f " + Quote(disk) + " && truncate -s 20M " + Quote(disk) + " && printf '" + table + "' | sfdisk -q " +
          Quote(disk)) != 0)
    return false;
  for (uint64_t start : starts) {
    const std::string volume = disk + "." + std::to_string(start);
    if (!MakeNtfs(volume, kNtfsVolumeSectors * 512, start, 0, 60) || !Place(disk, start * 512, volume)) return false;
  }
  return true;
}

// Adds the disk's extents that hold the runs (volume clusters) of a volume at the start sector.
inline void AddRunExtents(uint64_t start, const std::vector<std::pair<uint64_t, uint64_t>>& runs, uint64_t extentBytes,
                          std::set<uint64_t>& extents) {
  for (const auto& run : runs) {
    const uint64_t first = start * 512 + run.first * kNtfsClusterSize, end = first + run.second * kNtfsClusterSize;
    for (uint64_t extent = first / extentBytes; extent * extentBytes < end; ++extent) extents.insert(extent);
  }
}

// Adds the disk's extents that hold the volume's $MFT data and, with directories, the index
// allocations of its root folder and $Extend, as ntfsinfo reports their runs. False when ntfsinfo
// reports no $MFT run, or (with directories) no index allocation of the root folder of 60 files.
inline bool AddNtfsinfoExtents(const std::string& disk, uint64_t start, bool directories, uint64_t extentBytes,
                               std::set<uint64_t>& extents) {
  const std::string volume = disk + "." + std::to_string(start);
  const auto mft = NtfsinfoRuns(volume, 0, "$DATA");
  if (mft.empty()) return false;
  AddRunExtents(start, mft, extentBytes, extents);
  if (!directories) return true;
  const auto root = NtfsinfoRuns(volume, 5, "$INDEX_ALLOCATION");
  if (root.empty()) return false;
  AddRunExtents(start, root, extentBytes, extents);
  AddRunExtents(start, NtfsinfoRuns(volume, 11, "$INDEX_ALLOCATION"), extentBytes, extents);
  return true;
}

}  // namespace guestimages
