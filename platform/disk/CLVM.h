#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/disk/LVMTypes.h"
#include "platform/disk/PartitionTable.h"
#include "platform/os/CPxError.h"

class CArchiveVirtualDiskFile;
class IVMInfo;
struct MountCtx;

// The guest volume library: reads the partition tables of a VM's disks (MBR with its logical
// partitions, GPT) as the mount offers them, and lists the guest's volumes, each as segments of
// components on the disks. Volumes of a volume manager (LVM2 logical volumes, dynamic-disk volumes,
// spanned, striped and RAID volumes) come from the lab's volume script of the VM
// (platform/lab/LabGuestVolumes.h); a partition that one of them uses is no volume of its own.
//
// A disk whose partition table is damaged fails InitializeFromDisk as a whole: where a volume lies
// is then unknown, and a caller must back every sector up. A disk without a table is one volume when
// a file system starts at its first sector, and none when it is blank.
//
// Fault table operations: "lvm.InitializeFromDisk" (selectors vm = the VM id text given to SetVMInfo,
// disk = a disk's index name; the rule's text is the error's), "lvm.ReadVolumeData" (vm, disk = the
// volume's name).
//
// One object is used by one thread.
class CLVM {
 public:
  CLVM();
  ~CLVM();
  CLVM(const CLVM&) = delete;
  CLVM& operator=(const CLVM&) = delete;

  void SetLinuxMetadataSupport(bool on) { linuxMetadata_ = on; }
  void SetVMInfo(IVMInfo* vmInfo, const std::string& vmName, const std::string& vmId);
  void SetMountCtx(MountCtx* ctx) { mountCtx_ = ctx; }

  // Opens every disk (the first file of each: the mount's view of the disk) and reads its table.
  // `readers` is not used: the disks are opened from their paths.
  CPxError InitializeFromDisk(std::vector<LVM_HardDisk_t>& disks, bool readOnly, const std::vector<void*>& readers);
  std::vector<LVM_Volume_t>& GetVolumes() { return volumes_; }
  std::vector<VolDriveLetter> GetVecDiskPartId() const;
  std::vector<DiskPartitionType> GetDiskPartitionTypesVec() const;
  // The partition tables read, one per disk, in the order given.
  const std::vector<guestdisk::PartitionTable>& GetPartitionTables() const { return tables_; }

  // Bytes of the volume at a byte offset of the volume, through its segments and components (a
  // striped segment by its stripes, a RAID volume from its first component). An error for a range
  // outside the volume or a component outside its partition.
  CPxError ReadVolumeData(const LVM_Volume_t* volume, uint64_t offset, size_t size, char* out);
  // The volume's size in bytes.
  static uint64_t VolumeBytes(const LVM_Volume_t& volume) { return volume.sizeInSectors * volume.sectorSize; }
  // The NTFS geometry of the volume; an error when it holds no NTFS that can be read.
  CPxError GetNTFSVolInfo(const LVM_Volume_t* volume, NTFSVolInfo& info);
  // Writes what the volumes are (their segments and components) to a text file.
  CPxError DumpVolumeInfoToFile(const std::string& path, const std::vector<LVM_Volume_t>& volumes);

  // The file-system type byte a volume's first sectors suggest: 7 for NTFS, 0x82 for Linux swap,
  // 0x83 for an ext file system, 0 when nothing is recognised.
  static uint8_t ProbeFileSystemType(const GuestByteSource& source, uint64_t bytes);

 private:
  CPxError Fault(const char* op, const std::string& disk);
  CPxError ReadDisk(size_t disk, uint64_t offset, size_t size, char* out);
  void AddPartitionVolumes(size_t disk, const guestdisk::PartitionTable& table);
  CPxError AddScriptedVolumes();

  bool linuxMetadata_ = false;
  IVMInfo* vmInfo_ = nullptr;
  MountCtx* mountCtx_ = nullptr;
  std::string vmName_;
  std::string vmId_;
  std::vector<LVM_HardDisk_t> disks_;
  std::vector<std::unique_ptr<CArchiveVirtualDiskFile>> readers_;
  std::vector<uint64_t> diskBytes_;
  std::vector<guestdisk::PartitionTable> tables_;
  std::vector<LVM_Volume_t> volumes_;
};
