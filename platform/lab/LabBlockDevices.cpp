#include "platform/lab/LabBlockDevices.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/disk/PartitionTable.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabSnapshot.h"

namespace lab {
namespace {

constexpr size_t kProbeBytes = 8192;
constexpr int kExitNotFound = 32;

// The file-system name lsblk gives the area's first bytes, as blkid would; empty when none is known.
std::string FileSystemAt(DiskReader& disk, uint64_t offset, uint64_t bytes) {
  char head[kProbeBytes];
  const size_t size = static_cast<size_t>(std::min<uint64_t>(sizeof(head), bytes));
  if (size < 1024 || disk.Read(head, size, offset) != static_cast<ssize_t>(size)) return std::string();
  const auto at = [&](size_t pos, const char* text) {
    const size_t length = std::strlen(text);
    return pos + length <= size && std::memcmp(head + pos, text, length) == 0;
  };
  if (at(3, "NTFS    ")) return "ntfs";
  if (at(0, "XFSB")) return "xfs";
  if (at(512, "LABELONE") && at(536, "LVM2 001")) return "LVM2_member";
  if (at(4086, "SWAPSPACE2") || at(4086, "SWAP-SPACE") || at(8182, "SWAPSPACE2")) return "swap";
  if (static_cast<unsigned char>(head[1080]) == 0x53 && static_cast<unsigned char>(head[1081]) == 0xEF) return "ext4";
  if (at(82, "FAT32   ") || at(54, "FAT16   ") || at(54, "FAT12   ")) return "vfat";
  return std::string();
}

}  // namespace

bool DescribeFileSystems(const std::string& path, std::string& text, std::string& error) {
  DiskReader disk;
  int errorNumber = 0;
  if (!disk.Open(path, errorNumber, error)) return false;
  const uint64_t size = disk.Size();
  guestdisk::PartitionTable table;
  const GuestByteSource source = [&disk](uint64_t offset, size_t length, char* out) {
    return disk.Read(out, length, offset) == static_cast<ssize_t>(length);
  };
  if (!guestdisk::ReadPartitionTable(source, size, 512, table, error)) return false;
  text.clear();
  if (table.scheme == guestdisk::Scheme::kNone) {
    text = FileSystemAt(disk, 0, size) + "\n";
    return true;
  }
  text = "\n";
  for (const guestdisk::Partition& partition : table.partitions) {
    const uint64_t first = partition.firstSector * 512;
    const uint64_t bytes = (partition.lastSector - partition.firstSector + 1) * 512;
    text += FileSystemAt(disk, first, bytes) + "\n";
  }
  return true;
}

int RunBlockDeviceTool(const std::vector<std::string>& argv, std::string& output) {
  output.clear();
  if (argv.size() < 2 || argv.back().empty() || argv.back()[0] == '-') {
    output = "lsblk: no device given\n";
    return 1;
  }
  const std::string& device = argv.back();
  std::string text, error;
  if (!DescribeFileSystems(device, text, error)) {
    output = "lsblk: " + device + ": " + error + "\n";
    return kExitNotFound;
  }
  output = text;
  return 0;
}

bool InstallLabTools(const std::string& program, std::string& folder, std::string& error) {
  if (Root().empty() || program.empty()) {
    error = "no lab or no lab tool to link to";
    return false;
  }
  folder = Root() + "/bin";
  if (!MakeDirs(folder)) {
    error = "cannot create " + folder;
    return false;
  }
  const std::string link = folder + "/" + kBlockDeviceToolName;
  unlink(link.c_str());
  if (symlink(program.c_str(), link.c_str()) != 0) {
    error = "cannot link " + link + " to " + program;
    return false;
  }
  return true;
}

}  // namespace lab
