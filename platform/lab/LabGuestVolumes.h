#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/lab/LabSubclient.h"

// The guest volumes of a VM that a plain disk image cannot carry by itself: logical volumes of a
// volume manager (LVM2), volumes of dynamic disks, spanned, striped and RAID volumes. The lab
// describes them in a script beside the VM's description, hypervisor/<server>/vms/<vm>.volumes, and
// the guest volume library takes them as it would have found them in the volume managers' metadata.
// key=value lines:
//   volumeCount=<n>
//   volume<i>.name=<text>  volume<i>.type=<partition-type byte>  volume<i>.id=<32 hex digits, dynamic disks>
//   volume<i>.raid=0|1  volume<i>.sectorSize=<bytes>  volume<i>.segmentCount=<n>
//   volume<i>.segment<j>=<first volume sector>,<last volume sector>,<stripe sectors, 0 unless striped>
//   volume<i>.segment<j>.componentCount=<n>
//   volume<i>.segment<j>.component<k>=<disk image file>,<partition>,<first>,<last>,<partition first>,<partition last>
// A component names the disk by its image's file name (a mount's copy keeps it) and the partition by
// its number (0: the whole disk); its first and last sectors are its place in the volume, the
// partition's are its place on the disk. A partition that a component names is no volume of its own.
namespace lab {

struct GuestComponent {
  std::string diskFile;
  int32_t partition = 0;
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t partitionFirst = 0;
  uint64_t partitionLast = 0;
};

struct GuestSegment {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t stripeSectors = 0;
  std::vector<GuestComponent> components;
};

struct GuestVolume {
  std::string name;
  int32_t type = 0;
  std::string id;  // empty, or 32 hex digits
  bool raid = false;
  uint32_t sectorSize = 512;
  std::vector<GuestSegment> segments;
};

struct GuestVolumeScript {
  std::vector<GuestVolume> volumes;
};

// Most volumes, segments per volume and components per segment a script may hold.
constexpr int64_t kMaxGuestVolumes = 256;
constexpr int64_t kMaxGuestPieces = 64;

bool ParseGuestVolumeScript(const std::string& text, GuestVolumeScript& script, std::string& error);
std::string FormatGuestVolumeScript(const GuestVolumeScript& script);
// The script of the VM (by name or GUID, on any server); kMissing when the VM has none.
RecordRead ReadGuestVolumeScript(const std::string& vm, GuestVolumeScript& script, std::string& error);
bool WriteGuestVolumeScript(const std::string& vm, const GuestVolumeScript& script, std::string& error);

}  // namespace lab
