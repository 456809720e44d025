#include "platform/disk/CDRVolume.h"

#include "platform/disk/CLVM.h"
#include "platform/lab/LabFaults.h"

const char _ErrMsg[31][50] = {
    "",
    "The volume could not be read",
    "The volume is not an NTFS volume",
    "The NTFS boot sector is damaged",
    "An MFT record is damaged",
    "The file was not found",
    "The operation is not supported on this file",
    "An attribute run list is damaged",
    "The cluster bitmap is damaged",
    "The volume is not open",
    "An NTFS attribute is damaged",
    "An injected failure",
    "The processing was stopped",
};

namespace {
constexpr int kErrInjected = -11;
constexpr uint16_t kFlagsNotPlain = 0x0001 | 0x4000 | 0x8000;  // compressed, encrypted, sparse
}  // namespace

CDRVolume::CDRVolume() = default;
CDRVolume::~CDRVolume() = default;

int CDRVolume::Fail(int code, const std::string& text) {
  error_ = text;
  return code;
}

int CDRVolume::OpenVolume(CLVM* clvm, LVM_Volume_t* volume, int /*flags*/) {
  CloseVolume();
  if (clvm == nullptr || volume == nullptr || volume->sectorSize == 0)
    return Fail(guestdisk::NtfsVolume::kErrRead, "no volume to open");
  lab::FaultCall call;
  call.op = "lvm.OpenVolume";
  call.disk = volume->name;
  lab::Fault fault;
  if (lab::CheckFault(call, fault))
    return Fail(fault.code > 0 ? -fault.code : (fault.code < 0 ? fault.code : kErrInjected),
                "[lvm.OpenVolume] " + fault.text);
  auto ntfs = std::make_unique<guestdisk::NtfsVolume>(
      [clvm, volume](uint64_t offset, size_t size, char* out) {
        return clvm->ReadVolumeData(volume, offset, size, out).IsSuccess();
      },
      CLVM::VolumeBytes(*volume));
  const int code = ntfs->Open();
  if (code != 0) return Fail(code, ntfs->LastError());
  clvm_ = clvm;
  volume_ = volume;
  ntfs_ = std::move(ntfs);
  if (extentCallback_) {
    const int reported = ReportMftRuns();
    if (reported != 0) {
      CloseVolume();
      return reported;
    }
  }
  return 0;
}

void CDRVolume::CloseVolume() {
  ntfs_.reset();
  clvm_ = nullptr;
  volume_ = nullptr;
}

void CDRVolume::AsSectorRanges(const std::vector<std::pair<uint64_t, uint64_t>>& bytes,
                               std::vector<VMInfoStructs::SectorRange>& ranges) const {
  const uint64_t sectorSize = volume_->sectorSize;
  const uint64_t volumeSectors = volume_->sizeInSectors;
  for (const auto& range : bytes) {
    // Only sectors wholly inside the range: a sector shared with a used cluster is kept.
    const uint64_t first = (range.first + sectorSize - 1) / sectorSize;
    const uint64_t end = (range.first + range.second) / sectorSize;  // exclusive
    if (end <= first || first >= volumeSectors) continue;
    ranges.emplace_back(first, std::min(end, volumeSectors) - 1);
  }
}

int CDRVolume::OpenPageFile(uint64_t& size, std::vector<VMInfoStructs::SectorRange>& ranges) {
  size = 0;
  ranges.clear();
  if (!ntfs_) return Fail(kErrNotOpen, "the volume is not open");
  guestdisk::NtfsVolume::DirectoryEntry entry;
  int code = ntfs_->FindInDirectory(guestdisk::NtfsVolume::kRecordRoot, u"pagefile.sys", entry);
  if (code != 0) return Fail(code, ntfs_->LastError());
  if (entry.isDirectory) return Fail(guestdisk::NtfsVolume::kErrNotFound, "pagefile.sys is a folder");
  guestdisk::NtfsVolume::Attribute data;
  code = ntfs_->ReadAttribute(entry.record, guestdisk::NtfsVolume::kAttrData, std::u16string(), data);
  if (code != 0) return Fail(code, ntfs_->LastError());
  if (data.resident || (data.flags & kFlagsNotPlain) != 0)
    return Fail(guestdisk::NtfsVolume::kErrUnsupported, "the page file is resident, compressed, sparse or encrypted");
  size = data.dataSize;
  AsSectorRanges(guestdisk::RunsAsByteRanges(data.runs, ntfs_->ClusterSize()), ranges);
  return 0;
}

int CDRVolume::GetFreeSectorsRegions(std::vector<VMInfoStructs::SectorRange>& ranges) {
  ranges.clear();
  if (!ntfs_) return Fail(kErrNotOpen, "the volume is not open");
  std::vector<std::pair<uint64_t, uint64_t>> bytes;
  uint64_t freeClusters = 0;
  const int code = ntfs_->FreeByteRanges(bytes, freeClusters);
  if (code != 0) return Fail(code, ntfs_->LastError());
  AsSectorRanges(bytes, ranges);
  return 0;
}

int CDRVolume::GetUsedSpace(uint64_t& used) {
  used = 0;
  if (!ntfs_) return Fail(kErrNotOpen, "the volume is not open");
  const int code = ntfs_->UsedBytes(used);
  return code != 0 ? Fail(code, ntfs_->LastError()) : 0;
}
