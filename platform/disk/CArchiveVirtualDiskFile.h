#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/lab/LabDisks.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/os/CPxError.h"
#include "records/CAutoMemory.h"
#include "records/VMInfoStructs.h"

class IVMInfo;
struct MountCtx;

// Reader of one virtual disk of a mounted VM, extent by extent.
//
// In the lab a disk is a flat image file, or the view of a mount's snapshot of one
// (platform/lab/LabSnapshot.h), with its change journal beside it (platform/lab/LabDisks.h). The reader hands out the disk in extents of a fixed number of
// 512-byte sectors, in order, each into the caller's buffer; the last extent of a disk whose size is
// not a multiple of the extent is short. With a previous change id that the disk's journal knows, an
// extent that has not changed since it comes without data (an empty buffer) and is not read at all;
// a change id the journal does not know makes the reader read every extent, which is always safe.
// Filtered sectors read as zeros. A volume of a volume-level backup, opened by its name
// ("\\?\Volume{<GUID>}", disk type 17), is read from the point-in-time copy that the VM's mount for
// the job took of it (platform/lab/LabMount.h MountedVolumeCopy), with that copy's change journal.
//
// GetFirstBlock is a probe: it reads the disk's volume header (its first kVolumeHeaderBytes, or the
// whole disk when smaller: partition tables and boot sectors lie there, and every caller's buffer for
// it is that size) and settles the extent size; the first GetNextBlock still delivers extent 0.
//
// Fault table operations: "disk.Open", "disk.Read" (selectors: vm = the VM's name or GUID, disk = the
// disk's GUID as SetVMDiskGuid gave it). A fired rule's code is the error's disk-layer code.
//
// One reader is used by one thread at a time.
class CArchiveVirtualDiskFile {
 public:
  // What the reader has done so far, for the caller's progress and extent names.
  struct Context_t {
    uint64_t extentsRead = 0;       // extents delivered by GetNextBlock, with or without data
    uint64_t sectorsPerExtent = 0;  // the extent size
    uint32_t unitSize = 0;          // bytes per sector
  };

  static constexpr uint32_t kSectorBytes = 512;
  // The extent size chosen when the caller leaves it to the reader (1 MiB), and the largest taken.
  static constexpr uint64_t kDefaultExtentSectors = 2048;
  static constexpr uint64_t kMaxExtentSectors = 128 * 1024;  // 64 MiB
  static constexpr uint64_t kReadAheadBytes = 8 * 1024 * 1024;
  static constexpr uint64_t kVolumeHeaderBytes = 64 * 1024;
  // Disk-layer codes of the reader's errors.
  static constexpr int32_t kErrEndOfDisk = 10002;
  static constexpr int32_t kErrNotOpen = 10003;
  // The answer of InjectBlocksToChangedExtentTable when the blocks will be read.
  static constexpr int kBlocksInjected = 10013;

  CArchiveVirtualDiskFile() = default;
  explicit CArchiveVirtualDiskFile(const std::string& displayFileName) : displayFileName_(displayFileName) {}
  explicit CArchiveVirtualDiskFile(int productType) : productType_(productType) {}
  // Closes the disk when it is still open.
  virtual ~CArchiveVirtualDiskFile();
  CArchiveVirtualDiskFile(const CArchiveVirtualDiskFile&) = delete;
  CArchiveVirtualDiskFile& operator=(const CArchiveVirtualDiskFile&) = delete;

  // The name under which the disk appears in logs and job events (the image's file name once open).
  const std::string& GetDisplayFileName() const { return displayFileName_; }
  void SetDisplayFileName(const std::string& name) { displayFileName_ = name; }

  // The reader reports the end of the disk with the disk layer's code 10002.
  static bool IsErrorEOF(const CPxError& error) { return FXErrorUtil::IsVS(error, kErrEndOfDisk); }

  // ---- Set-up, before Open ----
  void SetVMInfo(IVMInfo* vmInfo, const std::string& vmName, const std::string& backupName, MountCtx* ctx,
                 void* restoreCtx);
  void SetVMDiskGuid(const std::string& diskGuid) { diskGuid_ = diskGuid; }
  // The change id of the previous backup; empty reads the whole disk.
  void SetChangeId(const std::string& changeId) { changeId_ = changeId; }
  // Sectors per extent; 0 leaves the choice to the reader.
  void SetExtentSize(uint64_t sectors) { requestedExtentSectors_ = sectors; }

  CPxError Open(const std::string& path, uint32_t diskType);
  // Opens the disk for the guest parsers, which read it at random places (ReadAt) rather than extent
  // by extent. The backup's fault rules ("disk.Open", "disk.Read") are not asked: the parsers have
  // their own.
  CPxError OpenForInspection(const std::string& path);
  // Reads `size` bytes at `offset` into `out`; bytes past the image's end read as zeros, past the
  // disk's size not at all (an error).
  CPxError ReadAt(uint64_t offset, size_t size, char* out);
  CPxError Close();
  bool IsOpen() const { return disk_.IsOpen(); }

  // The disk's size: the first non-zero of the two, else the image's own size.
  void SetDiskSize(uint64_t maxDiskSize, uint64_t fileSize);
  uint64_t GetDiskSize() const { return diskBytes_; }
  // Sector ranges (inclusive, 512-byte sectors) that read as zeros.
  void SetFilteredSectors(const std::vector<VMInfoStructs::SectorRange>& sectors);

  // Reads the first extent into the buffer without consuming it and settles the extent size
  // (extentSectors, or the reader's choice for 0 or a size above kMaxExtentSectors).
  CPxError GetFirstBlock(CAutoMemory<char>& buffer, uint64_t extentSectors, Context_t& ctx);
  // The next extent: its number, and its bytes (none for an unchanged extent). changedBits stays
  // empty: the lab's disks change whole extents. kErrEndOfDisk after the last extent.
  CPxError GetNextBlock(CAutoMemory<char>& buffer, uint64_t& extentNo, std::vector<bool>& changedBits,
                        Context_t& ctx);

  // Reads one extent by its number, whatever the change id says, once GetFirstBlock has settled the
  // extent size (the last extent of the disk may be short). changedBits stays empty. kErrEndOfDisk for
  // an extent past the disk's end, kErrNotOpen before the extent size is settled.
  CPxError ReadBlock(CAutoMemory<char>& buffer, uint64_t extentNo, std::vector<bool>& changedBits, Context_t& ctx);
  // The lab's images have no allocation map to check a read against: kept for the callers that ask.
  void SetSkipAllocSectorsCheck(bool skip) { skipAllocCheck_ = skip; }

  // Marks blocks (counted in extents of extentSectors) as changed, so that they are read whatever
  // the change id says. kBlocksInjected when they will be read; another value when the reader
  // cannot take them (not open).
  int InjectBlocksToChangedExtentTable(const std::set<uint64_t>& blocks, uint32_t extentSectors);
  // Replaces the change id in use; empty reads every extent not yet delivered.
  void SetChangeIDForDisk(const std::string& changeId);
  // Whether the extents are being chosen by a change id (false: every extent is read).
  bool IsUsingChangeId() const { return tracking_; }
  std::string GetPhysicalDiskPath() const { return path_; }

 private:
  CPxError Fault(const char* op);
  CPxError OpenImage(const std::string& path);
  // Tells the lab's mount which sectors of its disk this backup reads as zeros.
  void RecordFiltered();
  // Reads the image's bytes, zeros past its end.
  CPxError ReadImage(uint64_t offset, size_t size, char* data);
  // Reads the extent's bytes into the buffer, zero past the image's end and over filtered sectors.
  CPxError ReadExtent(uint64_t extent, CAutoMemory<char>& buffer);
  CPxError ReadRange(uint64_t offset, size_t size, CAutoMemory<char>& buffer);
  // Reads the image's bytes outside the filtered sectors and zeros those: sectors a backup leaves
  // out (a guest's free space, its page file) cost no reads of the disk.
  CPxError ReadOutsideFiltered(uint64_t offset, size_t size, char* data);
  // Whether every sector of the extent is filtered: it is read as zeros, so no read-ahead is asked for.
  bool WhollyFiltered(uint64_t extent) const;
  // Loads the changed ranges of the change id from the image's journal; false reads everything.
  bool LoadChanges(const std::string& changeId);
  // The changed ranges and injected blocks as extents, once the extent size is settled.
  void BuildChangedExtents();
  void SettleExtentSize(uint64_t sectors);
  // Whether GetNextBlock reads the extent's bytes (false: an unchanged extent).
  bool WillRead(uint64_t extent) const;
  // Asks the kernel to start reading the next extents that will be read, kReadAheadBytes of them,
  // beyond `extent` (the one being read now). The kernel's own read-ahead follows each read rather than
  // running ahead of it, and it does not know which extents a change id skips.
  void ReadAhead(uint64_t extent);

  // The hypervisor kind picks the disk format a real reader parses; every lab image is raw.
  [[maybe_unused]] int productType_ = 0;
  std::string displayFileName_;
  IVMInfo* vmInfo_ = nullptr;
  MountCtx* mountCtx_ = nullptr;
  std::string vmName_;
  std::string backupName_;
  std::string diskGuid_;
  std::string changeId_;
  uint64_t requestedExtentSectors_ = 0;

  lab::DiskReader disk_;
  std::string path_;
  uint64_t imageBytes_ = 0;
  uint64_t diskBytes_ = 0;
  uint64_t extentSectors_ = 0;  // 0 until settled
  uint64_t nextExtent_ = 0;
  std::vector<VMInfoStructs::SectorRange> filtered_;  // sorted, merged

  // Change tracking: on while a valid change id chooses the extents.
  bool tracking_ = false;
  bool wholeDisk_ = false;
  std::vector<lab::ByteRange> changedRanges_;
  std::vector<std::pair<uint64_t, uint64_t>> injected_;  // first, last sector
  std::vector<bool> changedExtents_;                       // built on the first GetNextBlock
  bool extentsBuilt_ = false;

  bool skipAllocCheck_ = false;

  // Read-ahead: the extents before aheadUntil_ were considered; aheadExtents_ of them will be read
  // and have not been yet.
  uint64_t aheadUntil_ = 0;
  uint64_t aheadExtents_ = 0;
};
