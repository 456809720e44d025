#include "platform/disk/CArchiveVirtualDiskFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ev/EvDebug.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabMount.h"
#include "records/MountCtx.h"

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

CArchiveVirtualDiskFile::~CArchiveVirtualDiskFile() = default;

void CArchiveVirtualDiskFile::SetVMInfo(IVMInfo* vmInfo, const std::string& vmName, const std::string& backupName,
                                        MountCtx* ctx, void* /*restoreCtx*/) {
  vmInfo_ = vmInfo;
  vmName_ = vmName;
  backupName_ = backupName;
  mountCtx_ = ctx;
}

CPxError CArchiveVirtualDiskFile::Fault(const char* op) {
  lab::FaultCall call;
  call.op = op;
  call.vm = backupName_.empty() ? vmName_ : backupName_;
  call.disk = diskGuid_;
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return CPxError::Success();
  return CPxError(-EIO, std::string("[") + op + "] " + fault.text, fault.code);
}

CPxError CArchiveVirtualDiskFile::Open(const std::string& path, uint32_t /*diskType*/) {
  static const char* const sig = "CPxError CArchiveVirtualDiskFile::Open(const std::string&, DiskType_t)";
  if (disk_.IsOpen()) Close();
  if (displayFileName_.empty()) displayFileName_ = BaseName(path);
  CPxError error = Fault("disk.Open");
  if (error.IsError()) return error;
  // A volume is read from the point-in-time copy of it that the VM's mount took.
  std::string image = path;
  if (lab::IsVolumeName(path)) {
    std::string why;
    if (mountCtx_ == nullptr || !lab::MountedVolumeCopy(static_cast<int64_t>(mountCtx_->jobId), mountCtx_->vmGuid, path, image, why))
      return CPxError(-ENOENT, "volume " + path + " cannot be opened: " + (mountCtx_ == nullptr ? "no mount is given" : why));
  }
  error = OpenImage(image);
  if (error.IsError()) return error;
  EvDebug::DebugLvl(2, sig, "Opened disk [%s] of [%llu] bytes, %s", path.c_str(),
                    static_cast<unsigned long long>(diskBytes_),
                    tracking_ ? "reading the extents changed since its change id" : "reading every extent");
  return CPxError::Success();
}

CPxError CArchiveVirtualDiskFile::OpenForInspection(const std::string& path) {
  if (disk_.IsOpen()) Close();
  if (displayFileName_.empty()) displayFileName_ = BaseName(path);
  return OpenImage(path);
}

CPxError CArchiveVirtualDiskFile::ReadAt(uint64_t offset, size_t size, char* out) {
  if (!disk_.IsOpen()) return CPxError(-EBADF, "the disk is not open", kErrNotOpen);
  if (offset > diskBytes_ || size > diskBytes_ - offset)
    return CPxError(-EINVAL, "bytes " + std::to_string(offset) + "+" + std::to_string(size) + " lie outside disk " + path_,
                    kErrEndOfDisk);
  return ReadImage(offset, size, out);
}

CPxError CArchiveVirtualDiskFile::OpenImage(const std::string& path) {
  int errorNumber = 0;
  std::string why;
  if (!disk_.Open(path, errorNumber, why)) return CPxError(-errorNumber, why);
  // The disk is read once from start to end: let the kernel read ahead as far as it will.
  disk_.AdviseSequential();
  path_ = path;
  imageBytes_ = disk_.Size();
  if (diskBytes_ == 0) diskBytes_ = imageBytes_;
  nextExtent_ = 0;
  extentsBuilt_ = false;
  aheadUntil_ = 0;
  aheadExtents_ = 0;
  injected_.clear();
  tracking_ = LoadChanges(changeId_);
  return CPxError::Success();
}

CPxError CArchiveVirtualDiskFile::Close() {
  if (!disk_.IsOpen()) return CPxError(-EBADF, "the disk is not open", kErrNotOpen);
  disk_.Close();
  return CPxError::Success();
}

void CArchiveVirtualDiskFile::SetDiskSize(uint64_t maxDiskSize, uint64_t fileSize) {
  diskBytes_ = maxDiskSize != 0 ? maxDiskSize : fileSize != 0 ? fileSize : imageBytes_;
  extentsBuilt_ = false;
}

void CArchiveVirtualDiskFile::SetFilteredSectors(const std::vector<VMInfoStructs::SectorRange>& sectors) {
  std::vector<VMInfoStructs::SectorRange> sorted;
  for (const VMInfoStructs::SectorRange& range : sectors)
    if (range.first <= range.last) sorted.push_back(range);
  std::sort(sorted.begin(), sorted.end(),
            [](const VMInfoStructs::SectorRange& a, const VMInfoStructs::SectorRange& b) { return a.first < b.first; });
  filtered_.clear();
  for (const VMInfoStructs::SectorRange& range : sorted) {
    if (!filtered_.empty() && (filtered_.back().last == UINT64_MAX || range.first <= filtered_.back().last + 1))
      filtered_.back().last = std::max(filtered_.back().last, range.last);
    else
      filtered_.push_back(range);
  }
  RecordFiltered();
}

void CArchiveVirtualDiskFile::RecordFiltered() {
  // What a restore of this disk holds as zeros is the lab's to know when it checks the backup.
  if (mountCtx_ == nullptr || path_.empty() || filtered_.empty()) return;
  std::vector<std::pair<uint64_t, uint64_t>> sectors;
  for (const VMInfoStructs::SectorRange& range : filtered_) sectors.emplace_back(range.first, range.last);
  std::string error;
  if (!lab::RecordLeftOutSectors(static_cast<int64_t>(mountCtx_->jobId), mountCtx_->vmGuid, path_, sectors, error))
    EvDebug::DebugLvl(2, "void CArchiveVirtualDiskFile::RecordFiltered()", "The sectors left out of disk [%s] are not recorded: %s",
                      path_.c_str(), error.c_str());
}

bool CArchiveVirtualDiskFile::LoadChanges(const std::string& changeId) {
  static const char* const sig = "bool CArchiveVirtualDiskFile::LoadChanges(const std::string&)";
  changedRanges_.clear();
  wholeDisk_ = false;
  if (changeId.empty() || path_.empty()) return false;
  lab::ChangeJournal journal;
  std::string error;
  if (lab::ReadChangeJournal(path_, journal, error) != lab::ReadResult::kRead) {
    EvDebug::Error(sig, "Disk [%s] has no change journal to use change id [%s] with; reading every extent. %s",
                   path_.c_str(), changeId.c_str(), error.c_str());
    return false;
  }
  if (!lab::ChangedSince(journal, changeId, changedRanges_, wholeDisk_, error)) {
    EvDebug::Error(sig, "Disk [%s]: %s; reading every extent", path_.c_str(), error.c_str());
    return false;
  }
  return true;
}

void CArchiveVirtualDiskFile::SettleExtentSize(uint64_t sectors) {
  if (extentSectors_ != 0) return;
  if (sectors == 0) sectors = requestedExtentSectors_;
  extentSectors_ = sectors == 0 || sectors > kMaxExtentSectors ? kDefaultExtentSectors : sectors;
}

void CArchiveVirtualDiskFile::BuildChangedExtents() {
  extentsBuilt_ = true;
  changedExtents_.clear();
  // What was read ahead was chosen by the old table.
  aheadUntil_ = nextExtent_;
  aheadExtents_ = 0;
  if (!tracking_ || wholeDisk_) return;
  const uint64_t extentBytes = extentSectors_ * kSectorBytes;
  const uint64_t extents = (diskBytes_ + extentBytes - 1) / extentBytes;
  changedExtents_.assign(static_cast<size_t>(extents), false);
  auto mark = [&](uint64_t firstByte, uint64_t lastByte) {
    for (uint64_t e = firstByte / extentBytes; e <= lastByte / extentBytes && e < extents; ++e)
      changedExtents_[static_cast<size_t>(e)] = true;
  };
  for (const lab::ByteRange& range : changedRanges_) mark(range.first, range.first + range.second - 1);
  for (const auto& sectors : injected_) {
    const uint64_t last = sectors.second > UINT64_MAX / kSectorBytes ? UINT64_MAX : sectors.second * kSectorBytes + kSectorBytes - 1;
    if (sectors.first <= UINT64_MAX / kSectorBytes) mark(sectors.first * kSectorBytes, last);
  }
}

CPxError CArchiveVirtualDiskFile::ReadOutsideFiltered(uint64_t offset, size_t size, char* data) {
  const uint64_t end = offset + size;
  if (size == 0) return CPxError::Success();
  const uint64_t lastSector = (end - 1) / kSectorBytes;
  auto range = std::lower_bound(filtered_.begin(), filtered_.end(), offset / kSectorBytes,
                                [](const VMInfoStructs::SectorRange& r, uint64_t s) { return r.last < s; });
  uint64_t at = offset;
  while (at < end) {
    const bool inRange = range != filtered_.end() && range->first <= lastSector;
    const uint64_t readEnd = inRange ? std::max(at, range->first * kSectorBytes) : end;
    if (readEnd > at) {
      CPxError error = ReadImage(at, static_cast<size_t>(readEnd - at), data + (at - offset));
      if (error.IsError()) return error;
      at = readEnd;
    }
    if (!inRange) break;
    const uint64_t zeroEnd = range->last >= lastSector ? end : (range->last + 1) * kSectorBytes;
    std::memset(data + (at - offset), 0, static_cast<size_t>(zeroEnd - at));
    at = zeroEnd;
    ++range;
  }
  return CPxError::Success();
}

bool CArchiveVirtualDiskFile::WhollyFiltered(uint64_t extent) const {
  if (filtered_.empty() || extentSectors_ == 0) return false;
  const uint64_t first = extent * extentSectors_;
  const uint64_t diskSectors = (diskBytes_ + kSectorBytes - 1) / kSectorBytes;
  if (diskSectors == 0 || first >= diskSectors) return false;
  const uint64_t last = std::min(first + extentSectors_ - 1, diskSectors - 1);
  auto range = std::lower_bound(filtered_.begin(), filtered_.end(), first,
                                [](const VMInfoStructs::SectorRange& r, uint64_t s) { return r.last < s; });
  return range != filtered_.end() && range->first <= first && range->last >= last;
}

CPxError CArchiveVirtualDiskFile::ReadExtent(uint64_t extent, CAutoMemory<char>& buffer) {
  const uint64_t extentBytes = extentSectors_ * kSectorBytes;
  const uint64_t offset = extent * extentBytes;
  return ReadRange(offset, static_cast<size_t>(std::min(extentBytes, diskBytes_ - offset)), buffer);
}

CPxError CArchiveVirtualDiskFile::ReadRange(uint64_t offset, size_t size, CAutoMemory<char>& buffer) {
  char* data = buffer.Allocate(size);
  if (data == nullptr && size > 0) return CPxError(-ENOMEM, "no memory for an extent of " + std::to_string(size) + " bytes");
  CPxError error = Fault("disk.Read");
  if (error.IsError()) return error;
  return ReadOutsideFiltered(offset, size, data);
}

CPxError CArchiveVirtualDiskFile::ReadImage(uint64_t offset, size_t size, char* data) {
  size_t done = 0;
  while (done < size && offset + done < imageBytes_) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, imageBytes_ - (offset + done)));
    ssize_t n = disk_.Read(data + done, want, offset + done);
    if (n < 0) return CPxError::FromErrno(errno, "cannot read " + path_ + " at offset " + std::to_string(offset + done));
    if (n == 0) break;  // the image ended early: the rest reads as zeros
    done += static_cast<size_t>(n);
  }
  if (done < size) std::memset(data + done, 0, size - done);
  return CPxError::Success();
}

CPxError CArchiveVirtualDiskFile::GetFirstBlock(CAutoMemory<char>& buffer, uint64_t extentSectors, Context_t& ctx) {
  if (!disk_.IsOpen()) return CPxError(-EBADF, "the disk is not open", kErrNotOpen);
  SettleExtentSize(extentSectors);
  ctx.sectorsPerExtent = extentSectors_;
  ctx.unitSize = kSectorBytes;
  ctx.extentsRead = 0;
  return ReadRange(0, static_cast<size_t>(std::min<uint64_t>(kVolumeHeaderBytes, diskBytes_)), buffer);
}

CPxError CArchiveVirtualDiskFile::GetNextBlock(CAutoMemory<char>& buffer, uint64_t& extentNo,
                                               std::vector<bool>& changedBits, Context_t& ctx) {
  if (!disk_.IsOpen()) return CPxError(-EBADF, "the disk is not open", kErrNotOpen);
  SettleExtentSize(0);
  if (!extentsBuilt_) BuildChangedExtents();
  changedBits.clear();
  const uint64_t extentBytes = extentSectors_ * kSectorBytes;
  extentNo = nextExtent_;
  if (nextExtent_ >= (diskBytes_ + extentBytes - 1) / extentBytes)
    return CPxError(-ENODATA, "end of disk", kErrEndOfDisk);
  if (WillRead(nextExtent_)) {
    if (!WhollyFiltered(nextExtent_)) ReadAhead(nextExtent_);
    CPxError error = ReadExtent(nextExtent_, buffer);
    if (error.IsError()) return error;
  } else {
    buffer.Allocate(0);
  }
  ++nextExtent_;
  ctx.extentsRead = nextExtent_;
  ctx.sectorsPerExtent = extentSectors_;
  ctx.unitSize = kSectorBytes;
  return CPxError::Success();
}

CPxError CArchiveVirtualDiskFile::ReadBlock(CAutoMemory<char>& buffer, uint64_t extentNo, std::vector<bool>& changedBits,
                                            Context_t& ctx) {
  if (!disk_.IsOpen() || extentSectors_ == 0) return CPxError(-EBADF, "the disk is not open for reading extents", kErrNotOpen);
  changedBits.clear();
  const uint64_t extentBytes = extentSectors_ * kSectorBytes;
  if (extentNo >= (diskBytes_ + extentBytes - 1) / extentBytes)
    return CPxError(-ENODATA, "extent " + std::to_string(extentNo) + " lies past the end of the disk", kErrEndOfDisk);
  CPxError error = ReadExtent(extentNo, buffer);
  if (error.IsError()) return error;
  ctx.sectorsPerExtent = extentSectors_;
  ctx.unitSize = kSectorBytes;
  return CPxError::Success();
}

bool CArchiveVirtualDiskFile::WillRead(uint64_t extent) const {
  return !tracking_ || wholeDisk_ || (extent < changedExtents_.size() && changedExtents_[static_cast<size_t>(extent)]);
}

void CArchiveVirtualDiskFile::ReadAhead(uint64_t extent) {
  const uint64_t extentBytes = extentSectors_ * kSectorBytes;
  const uint64_t extents = (diskBytes_ + extentBytes - 1) / extentBytes;
  const uint64_t window = std::max<uint64_t>(1, kReadAheadBytes / extentBytes);
  if (extent < aheadUntil_ && aheadExtents_ > 0) --aheadExtents_;
  if (aheadUntil_ <= extent) aheadUntil_ = extent + 1;
  // Every extent is considered once: the scan goes on from where the last one stopped.
  while (aheadExtents_ < window && aheadUntil_ < extents) {
    if (!WillRead(aheadUntil_) || WhollyFiltered(aheadUntil_)) {
      ++aheadUntil_;
      continue;
    }
    const uint64_t first = aheadUntil_;
    while (aheadExtents_ < window && aheadUntil_ < extents && WillRead(aheadUntil_) && !WhollyFiltered(aheadUntil_)) {
      ++aheadUntil_;
      ++aheadExtents_;
    }
    // Advice only: a refusal costs speed, never data.
    disk_.AdviseWillNeed(first * extentBytes, (aheadUntil_ - first) * extentBytes);
  }
}

int CArchiveVirtualDiskFile::InjectBlocksToChangedExtentTable(const std::set<uint64_t>& blocks, uint32_t extentSectors) {
  if (!disk_.IsOpen()) return kErrNotOpen;
  if (extentSectors == 0) return kErrNotOpen;
  for (uint64_t block : blocks) {
    if (block > UINT64_MAX / extentSectors) continue;
    const uint64_t first = block * extentSectors;
    injected_.emplace_back(first, first + extentSectors - 1);
  }
  extentsBuilt_ = false;
  return kBlocksInjected;
}

void CArchiveVirtualDiskFile::SetChangeIDForDisk(const std::string& changeId) {
  changeId_ = changeId;
  tracking_ = LoadChanges(changeId);
  extentsBuilt_ = false;
}
