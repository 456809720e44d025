// The guest's operating system worked out from its disks, for hypervisors that do not report it:
// from the partition types the guest-metadata pass read, or from the file-system names lsblk prints
// for disks the proxy sees as devices.
#include <array>

#include "disklayout/quarnconfig.h"
#include "platform/disk/PartitionTable.h"
#include "platform/os/FXString.h"
#include "platform/os/ZtProcess.h"

namespace {

constexpr int kGuestOSWindows = 21;
constexpr uint32_t kSchemeNone = 1;
constexpr uint32_t kSchemeMBR = 2;
constexpr uint32_t kSchemeGPT = 3;
constexpr uint32_t kVolumeManager = 3;
constexpr int32_t kBackupAsDisk = 1;
constexpr unsigned long kProbeTimeoutMs = 60 * 1000;

// Basic data, reserved, recovery, LDM metadata, LDM data, storage spaces.
const std::array<const char*, 6> kWindowsGuidTexts = {
    "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "E3C9E316-0B5C-4DB8-817D-F92DF00215AE",
    "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "5808C8AA-7E8F-42E0-85D2-E1E90434CFB3",
    "AF9B60A0-1431-4F62-BC68-3311714A69AD", "E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D"};
const std::array<int64_t, 7> kWindowsMbrTypes = {0x01, 0x04, 0x06, 0x07, 0x0B, 0x0C, 0x0E};
// FAT16 and FAT32 (CHS): what a Linux guest's boot partition often is too.
const std::array<int64_t, 2> kFatTypesSkippable = {0x06, 0x0B};
const std::array<const char*, 8> kLinuxFileSystems = {"ext", "xfs", "LVM", "swap", "reiser", "zfs", "hfs", "jfs"};
const std::array<const char*, 4> kWindowsFileSystems = {"ntfs", "dos", "refs", "vfat"};

template <typename Array, typename Value>
bool Contains(const Array& values, const Value& value) {
  for (const auto& candidate : values)
    if (candidate == value) return true;
  return false;
}

bool IsWindowsGuid(const GuidBytes& guid) {
  for (const char* text : kWindowsGuidTexts) {
    GuidBytes windows{};
    if (guestdisk::ParseGuidText(text, windows) && windows == guid) return true;
  }
  return false;
}

bool HasAny(const std::string& text, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (FXString::FindString(text, names[i], true) != std::string::npos) return true;
  return false;
}

}  // namespace

int quarnDiskConfig::DetectGuestOS(const std::vector<DiskPartitionType>& partitionTypes, bool skipFat) {
  static const char* const sig = "virtual int quarnDiskConfig::DetectGuestOS(std::vector<DiskPartitionType>&, bool)";
  for (const DiskPartitionType& disk : partitionTypes) {
    if (disk.scheme == kSchemeNone) continue;
    if (disk.scheme == kSchemeMBR || disk.volumeManagement == kVolumeManager) {
      for (int64_t type : disk.mbrTypes) {
        if (skipFat && Contains(kFatTypesSkippable, type)) continue;
        if (Contains(kWindowsMbrTypes, type)) {
          m_event.Debug(sig, "Found a partition type that is recognized by Windows");
          return kGuestOSWindows;
        }
      }
    } else if (disk.scheme == kSchemeGPT) {
      for (const GuidBytes& guid : disk.gptTypes) {
        if (IsWindowsGuid(guid)) {
          m_event.Debug(sig, "Found a partition GUID that is recognized by Windows");
          return kGuestOSWindows;
        }
      }
    }
  }
  m_event.Debug(sig, "Did not find a partition type/GUID that is recognized by Windows, Possibly the VM OS is Linux");
  return 0;
}

int quarnDiskConfig::DetectGuestOS(const std::string& devicePath) { return DetectGuestOSUnix(devicePath); }

int quarnDiskConfig::DetectGuestOSUnix(const std::string& devicePath) {
  static const char* const sig = "int quarnDiskConfig::DetectGuestOSUnix(const std::string&)";
  m_event.Debug(sig, "Trying to DetectGuestOS by looking at partitions of attached disks");
  int result = 0;
  bool windows = false;
  for (const VMInfoStructs::SMountInfoFull& record : mMountInfos) {
    for (const VMInfoStructs::SDisk& disk : record.disks) {
      if (disk.backupType != kBackupAsDisk) {
        if (!devicePath.empty()) break;
        continue;
      }
      const std::string device = devicePath.empty() ? disk.path : devicePath;
      std::string output, errorText;
      const int code = RunFileSystemProbe(device, output, errorText);
      if (code != 0) {
        m_event.DebugLvl(2, sig, "Failed to get partition FS info. Rc [%d]. Out : [%s], Err: [%s]", code,
                         output.c_str(), errorText.c_str());
        if (!devicePath.empty()) break;
        continue;
      }
      const size_t firstLineEnd = output.find('\n');
      if (firstLineEnd != std::string::npos && output.find('\n', firstLineEnd + 1) != std::string::npos) {
        m_event.Debug(sig, "One or more partitions found, skipping FS label assigned to entire disk");
        output.erase(0, firstLineEnd + 1);
      }
      if (HasAny(output, kLinuxFileSystems.data(), kLinuxFileSystems.size())) {
        windows = false;
        break;
      }
      if (HasAny(output, kWindowsFileSystems.data(), kWindowsFileSystems.size())) windows = true;
      // A device named by the caller is the one disk looked at.
      if (!devicePath.empty()) break;
    }
    if (windows) {
      result = kGuestOSWindows;
      break;
    }
    if (!devicePath.empty()) break;
  }
  m_event.Debug(sig, "DetectGuestOS returned simOSId as [%d]", result);
  return result;
}

int quarnDiskConfig::RunFileSystemProbe(const std::string& device, std::string& output, std::string& errorText) {
  // The device goes to lsblk as an argument of its own, never through a shell: a path holding a
  // quote or a ';' must not run anything.
  int exitCode = 0;
  const int code =
      ZtProcess::Run({"lsblk", "-o", "FSTYPE", "-a", "-r", "-n", "-f", device}, output, exitCode, kProbeTimeoutMs);
  errorText.clear();
  if (code < 0) errorText = "lsblk could not be run or did not end in time";
  return code;
}
