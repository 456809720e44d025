#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "records/VMInfoStructs.h"

// Records of the guest volume library (partitions, LVM, file systems): the disks it is given to
// parse and the volumes it finds on them. The worker's layout object collects the disks while it
// walks a VM's disks.

// The hypervisor product a disk comes from, as the volume library numbers it.
enum ProductType_t : int32_t {
  kProductUnknown = 0,
  kProductVMware = 1,
  kProductMicrosoft = 2,  // Hyper-V and Azure
  kProductOther = 3,
};

// One file of a disk (a disk of its snapshot chain).
struct Disk_t {
  std::string path;
  DiskType_t diskType = 0;
  std::string indexDirName;
  uint64_t extentSize = 0;  // sectors
  uint32_t sectorSize = 512;
};

// One guest disk: its product and its files. rangeKey is the key under which the sector ranges found
// on this disk are stored for the backup (the mount's index of the disk), so that a range reaches the
// disk it was found on whichever disks were left out of the parse.
struct LVM_HardDisk_t {
  ProductType_t productType = kProductUnknown;
  std::vector<Disk_t> files;
  uint64_t rangeKey = static_cast<uint64_t>(-1);
};

using GuidBytes = std::array<uint8_t, 16>;  // as stored on disk (mixed-endian)

// Where a volume lies: a component is a piece of one partition of one disk (nHardDiskIndex is the
// disk's position in the list given to the parser); llLBAStart..llLBAEnd is its place in the volume,
// llPartitionStartSector..llPartitionEndSector the partition on the disk. All in sectors.
struct LVM_Component_t {
  int32_t nHardDiskIndex = 0;
  int32_t nPartNum = 0;
  uint64_t llLBAStart = 0;
  uint64_t llLBAEnd = 0;
  uint64_t llPartitionStartSector = 0;
  uint64_t llPartitionEndSector = 0;
};

// A run of the volume; llCompSizeInSectors is the stripe size of a striped segment (0 otherwise).
struct LVM_Segment_t {
  uint64_t llLBAStart = 0;
  uint64_t llLBAEnd = 0;
  uint64_t llCompSizeInSectors = 0;
  std::vector<LVM_Component_t> vComponents;
};

// A guest volume. id is all zero unless the volume lives on a dynamic disk; partitionType is the
// partition-type byte (7 NTFS; for a GPT partition the parser's reading of its file system);
// fsType2 is a further type number (0 for a plain file system).
struct LVM_Volume_t {
  std::string name;
  GuidBytes id{};
  uint8_t partitionType = 0;
  uint32_t fsType2 = 0;
  bool isRaid = false;
  uint32_t sectorSize = 512;
  uint64_t sizeInSectors = 0;
  std::vector<LVM_Segment_t> segments;

  bool IsOnDynamicDisk() const {
    for (uint8_t byte : id)
      if (byte != 0) return true;
    return false;
  }
};

// The partitioning of one guest disk, for guest OS detection. scheme: 1 none (raw), 2 MBR, 3 GPT.
struct DiskPartitionType {
  uint32_t volumeManagement = 0;  // 0 none, 3 a volume manager's disk (dynamic or LVM member)
  uint32_t scheme = 1;
  std::vector<int64_t> mbrTypes;
  std::vector<GuidBytes> gptTypes;
};

// The identity of one guest disk's partitioning: kind 0 MBR (disk signature and partition offsets in
// bytes), kind 1 GPT (the disk's GUID as text), other kinds unknown.
struct VolDriveLetter {
  int32_t kind = 0;
  std::string name;
  uint32_t signature = 0;
  std::vector<uint64_t> partitionOffsets;
  std::string uniqueId;
};

// What GetNTFSVolInfo tells of an NTFS volume.
struct NTFSVolInfo {
  uint64_t totalSectors = 0;
  uint32_t bytesPerSector = 0;
  uint32_t clusterSize = 0;
  uint64_t totalClusters = 0;
  uint64_t mftCluster = 0;
  uint32_t mftRecordSize = 0;
};
