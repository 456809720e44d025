#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "records/VMInfoStructs.h"

// Records of the guest volume library (partitions, LVM, file systems): the disks it is given to
// parse. The worker's layout object collects them while it walks a VM's disks.

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

// One guest disk: its product and its files.
struct LVM_HardDisk_t {
  ProductType_t productType = kProductUnknown;
  std::vector<Disk_t> files;
};
