// A guest disk or volume as the guest parsers read it: the partition table (MBR with its extended
// chain, GPT) and NTFS (boot sector, $MFT records and their fix-ups, attributes, run lists, $Bitmap,
// the root folder's index). Any bytes are read without harm; what is accepted lies inside the input:
// partitions inside the disk and apart, free clusters and a file's runs inside the volume.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/disk/NtfsVolume.h"
#include "platform/disk/PartitionTable.h"

namespace {

GuestByteSource Source(const std::string& bytes) {
  return [&bytes](uint64_t offset, size_t size, char* out) {
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    std::memcpy(out, bytes.data() + offset, size);
    return true;
  };
}

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// An MBR of 64 KiB: a primary partition and an extended one with two logical partitions.
std::string MbrSeed() {
  std::string disk(64 * 1024, '\0');
  auto entry = [&](size_t sector, int slot, uint8_t type, uint32_t start, uint32_t sectors) {
    const size_t at = sector * 512 + 446 + 16 * slot;
    disk[at + 4] = static_cast<char>(type);
    Put32(disk, at + 8, start);
    Put32(disk, at + 12, sectors);
    disk[sector * 512 + 510] = static_cast<char>(0x55);
    disk[sector * 512 + 511] = static_cast<char>(0xAA);
  };
  entry(0, 0, 0x07, 2, 30);
  entry(0, 1, 0x05, 32, 96);
  entry(32, 0, 0x82, 1, 31);
  entry(32, 1, 0x05, 32, 64);
  entry(64, 0, 0x83, 1, 63);
  return disk;
}

// A file made by a tool, when the tool is there.
std::string ToolSeed(const std::string& command, const std::string& path) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) return std::string();
  return fuzz::ReadBytes(path);
}

}  // namespace

std::vector<std::string> FuzzSeeds() {
  const std::string dir = fuzz::ScratchDir();
  std::vector<std::string> seeds = {MbrSeed()};
  const std::string ntfs = ToolSeed("truncate -s 1M " + dir + "/ntfs.img && mkntfs -F -Q -q -c 512 " + dir + "/ntfs.img",
                                    dir + "/ntfs.img");
  if (!ntfs.empty()) seeds.push_back(ntfs);
  const std::string gpt = ToolSeed("truncate -s 128K " + dir + "/gpt.img && printf 'label: gpt\\nfirst-lba=34\\nstart=40, size=100\\n' | sfdisk -q " +
                                       dir + "/gpt.img",
                                   dir + "/gpt.img");
  if (!gpt.empty()) seeds.push_back(gpt);
  return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  guestdisk::PartitionTable table;
  std::string error;
  if (guestdisk::ReadPartitionTable(Source(bytes), bytes.size(), 512, table, error)) {
    const uint64_t sectors = bytes.size() / 512;
    uint64_t previousLast = 0;
    std::vector<guestdisk::Partition> sorted = table.partitions;
    std::sort(sorted.begin(), sorted.end(),
              [](const guestdisk::Partition& a, const guestdisk::Partition& b) { return a.firstSector < b.firstSector; });
    for (size_t i = 0; i < sorted.size(); ++i) {
      FUZZ_CHECK(sorted[i].firstSector <= sorted[i].lastSector && sorted[i].lastSector < sectors, "outside the disk");
      FUZZ_CHECK(i == 0 || sorted[i].firstSector > previousLast, "overlapping partitions accepted");
      previousLast = sorted[i].lastSector;
    }
  } else {
    FUZZ_CHECK(!error.empty() && table.partitions.empty(), "a refusal without a reason, or with partitions");
  }

  guestdisk::NtfsVolume ntfs(Source(bytes), bytes.size());
  if (ntfs.Open() != 0) {
    FUZZ_CHECK(!ntfs.LastError().empty(), "a refusal without a reason");
    return 0;
  }
  const uint64_t clusterBytes = ntfs.TotalClusters() * ntfs.ClusterSize();
  FUZZ_CHECK(clusterBytes <= bytes.size(), "clusters past the volume");
  std::vector<std::pair<uint64_t, uint64_t>> free;
  uint64_t freeClusters = 0;
  if (ntfs.FreeByteRanges(free, freeClusters) == 0) {
    FUZZ_CHECK(freeClusters <= ntfs.TotalClusters(), "more free clusters than clusters");
    for (const auto& range : free) FUZZ_CHECK(range.first + range.second <= clusterBytes, "a free range past the clusters");
  }
  guestdisk::NtfsVolume::DirectoryEntry entry;
  if (ntfs.FindInDirectory(guestdisk::NtfsVolume::kRecordRoot, u"pagefile.sys", entry) == 0) {
    guestdisk::NtfsVolume::Attribute attribute;
    if (ntfs.ReadAttribute(entry.record, guestdisk::NtfsVolume::kAttrData, std::u16string(), attribute) == 0) {
      for (const auto& range : guestdisk::RunsAsByteRanges(attribute.runs, ntfs.ClusterSize()))
        FUZZ_CHECK(range.first + range.second <= clusterBytes, "a run past the clusters");
    }
  }
  return 0;
}
