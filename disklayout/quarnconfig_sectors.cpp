// Sectors of a guest that need no backup: the Windows page file, Linux swap partitions past their
// header, and the free clusters of NTFS volumes; found per volume and mapped to the disks' sectors.
#include <algorithm>
#include <cstring>
#include <memory>

#include "disklayout/quarnconfig.h"
#include "platform/disk/CDRVolume.h"
#include "platform/disk/CLVM.h"
#include "platform/disk/ReadExt3DirFromDevice.h"

namespace {

constexpr uint8_t kNtfsType = 7;
constexpr uint8_t kSwapType = 0x82;  // the MBR's, and the guest volume library's for the GPT Linux swap type
constexpr int kResultOpenFailed = 25;
constexpr int kResultNotNtfs = 105;
constexpr int kResultFreeSpaceFailed = 106;
constexpr int kResultNotSwap = 124;
constexpr int kResultPageFileUnsupported = 125;
constexpr int kResultDynamicDisk = 134;
constexpr int kPageFileNotFound = -5;
constexpr int kPageFileUnsupported = -6;
constexpr uint64_t kSwapSignatureAt4K = 4086;
constexpr uint64_t kSwapSignatureAt8K = 8182;

std::string HexDump(const char* data, size_t size) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    if (i > 0) text += ' ';
    text += kHex[static_cast<unsigned char>(data[i]) >> 4];
    text += kHex[static_cast<unsigned char>(data[i]) & 0xF];
  }
  return text;
}

bool IsSwapSignature(const char* data) {
  return std::memcmp(data, "SWAPSPACE2", 10) == 0 || std::memcmp(data, "SWAP_SPACE", 10) == 0;
}

}  // namespace

int RDFDReadCallBack(void* context, char* buffer, uint32_t length, uint64_t offset) {
  auto* read = static_cast<RDFDReadContext*>(context);
  if (read == nullptr || read->clvm == nullptr || read->volume == nullptr || buffer == nullptr) return 0;
  return read->clvm->ReadVolumeData(read->volume, offset, length, buffer).IsSuccess() ? static_cast<int>(length) : 0;
}

int quarnDiskConfig::GetVolumePageFileSectors(LVM_Volume_t* volume, CLVM* clvm,
                                              std::vector<VMInfoStructs::SectorRange>& ranges) {
  static const char* const sig =
      "int quarnDiskConfig::GetVolumePageFileSectors(LVM_Volume_t*, CLVM*, std::vector<VMInfoStructs::SectorRange>&)";
  ranges.clear();
  if (volume->isRaid) {
    m_event.Debug(sig, "Volume [%s] is a RAID volume. Page file sector enumeration on RAID volume is not supported",
                  volume->name.c_str());
    return kResultPageFileUnsupported;
  }
  if (!volume->segments.empty() && volume->segments.front().llCompSizeInSectors != 0) {
    m_event.Debug(sig, "Volume [%s] is a striped volume. Page file sector enumeration on striped volume is not supported",
                  volume->name.c_str());
    return kResultPageFileUnsupported;
  }
  if (volume->partitionType != kNtfsType) {
    const bool swap = GetLinuxSwapPartitionSectors(volume, clvm, ranges);
    m_event.Debug(sig, "Volume [%s], ext3ret [%d] vPageFileSectors size [%zd]", volume->name.c_str(), swap ? 1 : 0,
                  ranges.size());
    return swap ? 0 : kResultNotSwap;
  }
  CDRVolume drVolume;
  int code = drVolume.OpenVolume(clvm, volume, 1);
  if (code != 0) {
    m_event.Debug(sig, "[VM File Filter] Error [%d] opening volume [%s]", code, volume->name.c_str());
    return kResultOpenFailed;
  }
  m_event.Debug(sig, "[VM File Filter] Searching for page file on VM volume [%s]", volume->name.c_str());
  uint64_t size = 0;
  code = drVolume.OpenPageFile(size, ranges);
  if (code == kPageFileUnsupported) {
    ranges.clear();
    return kResultPageFileUnsupported;
  }
  if (code != 0 && code != kPageFileNotFound) {
    m_event.Error(sig, "[VM File Filter] Could not find page file on volume [%s] Err[%d]", volume->name.c_str(), code);
    ranges.clear();
    return code;
  }
  if (size == 0) {
    m_event.Error(sig, "[VM File Filter] Failed to find page file on volume [%s]", volume->name.c_str());
    ranges.clear();
    return code;
  }
  for (const VMInfoStructs::SectorRange& range : ranges)
    m_event.DebugLvl(2, sig, "[VM File Filter] Found page file on Volume [%s]. Page file LBA StartSec[%llu] - EndSec[%llu] SecCount[%llu]",
                     volume->name.c_str(), static_cast<unsigned long long>(range.first),
                     static_cast<unsigned long long>(range.last),
                     static_cast<unsigned long long>(range.last - range.first + 1));
  return 0;
}

bool quarnDiskConfig::GetLinuxSwapPartitionSectors(LVM_Volume_t* volume, CLVM* clvm,
                                                   std::vector<VMInfoStructs::SectorRange>& ranges) {
  static const char* const sig =
      "bool quarnDiskConfig::GetLinuxSwapPartitionSectors(LVM_Volume_t*, CLVM*, std::vector<VMInfoStructs::SectorRange>&)";
  // A signature alone is no proof: a data partition may keep one from an earlier use, and leaving it
  // out would lose its data.
  if (volume->partitionType != kSwapType) {
    m_event.Debug(sig, "Volume [%s] is of partition type [0x%X], not Linux swap: its sectors are backed up",
                  volume->name.c_str(), static_cast<unsigned>(volume->partitionType));
    return false;
  }
  bool supported = false;
  std::string type = "Unknown";
  RDFDReadContext context{clvm, volume};
  try {
    std::unique_ptr<ReadExt3DirFromDevice> probe(new ReadExt3DirFromDevice(&RDFDReadCallBack, &context, nullptr, 0,
                                                                           nullptr, 0, false, 0x400000, 512, nullptr));
    probe->CheckFileSystem(0, supported, type);
    m_event.Debug(sig, "fIsSupportedFs %d FsType = %s.", supported ? 1 : 0, type.c_str());
    return false;
  } catch (const RDFDException& exception) {
    m_event.Debug(sig, "%s", exception.GetErrorMsg().c_str());
    m_event.Debug(sig, "Caught exception, fIsSupportedFs %d FsType = %s.", supported ? 1 : 0, type.c_str());
    if (supported) return false;
  }

  char header[10];
  uint64_t pageSize = 0;
  for (uint64_t at : {kSwapSignatureAt4K, kSwapSignatureAt8K}) {
    if (clvm->ReadVolumeData(volume, at, sizeof(header), header).IsError()) continue;
    m_event.DebugLvl(2, sig, "Volume/Partition Header [%s]", HexDump(header, sizeof(header)).c_str());
    if (IsSwapSignature(header)) {
      pageSize = at + sizeof(header);
      break;
    }
  }
  if (pageSize == 0) return false;
  m_event.Debug(sig, "Its Linux Swap");
  if (volume->sectorSize == 0) volume->sectorSize = 512;
  const uint64_t headerSectors = pageSize / volume->sectorSize;
  if (volume->segments.size() > 1) {
    m_event.Debug(sig, "SWAP Partition has multiple [%zu] segments. This could either be an extended or spanned SWAP partition. Complete partition will be backed up",
                  volume->segments.size());
    return true;
  }
  if (volume->segments.empty()) return false;
  const LVM_Segment_t& segment = volume->segments.front();
  m_event.Debug(sig, "Segment: llLBAStart %llu llLBAEnd %llu llCompSizeInSectors %llu vComponents size %zu.",
                static_cast<unsigned long long>(segment.llLBAStart), static_cast<unsigned long long>(segment.llLBAEnd),
                static_cast<unsigned long long>(segment.llCompSizeInSectors), segment.vComponents.size());
  bool added = false;
  for (size_t i = 0; i < segment.vComponents.size(); ++i) {
    const LVM_Component_t& c = segment.vComponents[i];
    m_event.Debug(sig, "Component: nHardDiskIndex %d nPartNum %d llLBAStart %llu llLBAEnd %llu llPartitionStartSector %llu llPartitionEndSector %llu",
                  c.nHardDiskIndex, c.nPartNum, static_cast<unsigned long long>(c.llLBAStart),
                  static_cast<unsigned long long>(c.llLBAEnd), static_cast<unsigned long long>(c.llPartitionStartSector),
                  static_cast<unsigned long long>(c.llPartitionEndSector));
    if (i == 0) {
      if (c.llLBAStart + headerSectors > c.llLBAEnd + 1) continue;
      m_event.Debug(sig, "Backing up beginning [%d] sectors of SWAP partition as they are reserved for swap header",
                    static_cast<int>(headerSectors));
      m_event.Debug(sig, "SwapPartition sectorList size %zu + (%llu, %llu)", ranges.size(),
                    static_cast<unsigned long long>(c.llLBAStart + headerSectors),
                    static_cast<unsigned long long>(c.llLBAEnd));
      // A header that fills the whole component leaves nothing to skip (and no inverted range).
      if (c.llLBAStart + headerSectors <= c.llLBAEnd) {
        ranges.emplace_back(c.llLBAStart + headerSectors, c.llLBAEnd);
        added = true;
      }
      continue;
    }
    m_event.Debug(sig, "SwapPartition size %zu + (%llu, %llu)", ranges.size(),
                  static_cast<unsigned long long>(c.llLBAStart), static_cast<unsigned long long>(c.llLBAEnd));
    ranges.emplace_back(c.llLBAStart, c.llLBAEnd);
    added = true;
  }
  return added;
}

int quarnDiskConfig::GetVolumeFreeSectorsRegions(CDRVolume& drVolume, CLVM* clvm, LVM_Volume_t* volume,
                                                 std::vector<VMInfoStructs::SectorRange>& ranges) {
  static const char* const sig =
      "int quarnDiskConfig::GetVolumeFreeSectorsRegions(CDRVolume&, CLVM*, LVM_Volume_t*, std::vector<VMInfoStructs::SectorRange>&)";
  ranges.clear();
  if (volume->IsOnDynamicDisk()) {
    mUsedSpaceCache = 0;
    m_event.Debug(sig, "Volume [%s] resides in a dynamic disk. Volume unused cluster detection is not supported",
                  volume->name.c_str());
    return kResultDynamicDisk;
  }
  if (volume->partitionType != kNtfsType) return kResultNotNtfs;
  if (!OpenVolumeForMetadata(drVolume, clvm, volume, "free sectors regions calculation", sig)) return kResultOpenFailed;
  m_event.DebugLvl(2, sig, "Calculating free sectors regions in the file system...");
  const int code = drVolume.GetFreeSectorsRegions(ranges);
  m_event.DebugLvl(2, sig, "Calculating free sectors regions in the file system finished...");
  if (code != 0) {
    m_event.Debug(sig, "Failed to calculate free sectors regions in the file system, retCode [%d]", code);
    mLVMProcessingError = "Failed to to calculate free sectors regions in the file system";
    ranges.clear();
    return kResultFreeSpaceFailed;
  }
  return 0;
}

uint64_t quarnDiskConfig::RangeKeyOfDisk(int32_t hardDiskIndex) const {
  if (hardDiskIndex < 0 || static_cast<size_t>(hardDiskIndex) >= mLVMDisks.size()) return static_cast<uint64_t>(-1);
  return mLVMDisks[static_cast<size_t>(hardDiskIndex)].rangeKey;
}

void quarnDiskConfig::MapRangeOnComponent(const LVM_Volume_t& volume, const LVM_Component_t& component,
                                          const VMInfoStructs::SectorRange& range, SectorRangeMap& diskRanges) {
  static const char* const sig = "int quarnDiskConfig::MapVolSectorsToDisk(LVM_Volume_t*, std::vector<VMInfoStructs::SectorRange>&, SectorRangeMap&)";
  // The component holds volume sectors llLBAStart..llLBAEnd at its partition's start: a sector's place
  // on the disk is its distance from the component's first volume sector, from the partition's start.
  const uint64_t first = range.first - component.llLBAStart + component.llPartitionStartSector;
  const uint64_t key = RangeKeyOfDisk(component.nHardDiskIndex);
  if (range.last < range.first || first > component.llPartitionEndSector || key == static_cast<uint64_t>(-1)) return;
  // A file system may claim more sectors than its partition holds: what lies past the partition's end
  // is another partition's, and is backed up.
  const uint64_t last =
      std::min(range.last - component.llLBAStart + component.llPartitionStartSector, component.llPartitionEndSector);
  m_event.DebugLvl(2, sig, "[VM File Filter] Disk Id[%d] Volume[%s], Page file sector number(s) StartSec [%llu] - EndSec [%llu] SecCount [%llu]",
                   component.nHardDiskIndex, volume.name.c_str(), static_cast<unsigned long long>(first),
                   static_cast<unsigned long long>(last), static_cast<unsigned long long>(last - first + 1));
  diskRanges.emplace(key, VMInfoStructs::SectorRange(first, last));
}

void quarnDiskConfig::MapRangeOnStripes(const LVM_Volume_t& volume, const LVM_Segment_t& segment,
                                        const VMInfoStructs::SectorRange& range, SectorRangeMap& diskRanges) {
  const uint64_t stripe = segment.llCompSizeInSectors;
  const uint64_t count = segment.vComponents.size();
  uint64_t sector = range.first;
  while (sector <= range.last) {
    const uint64_t relative = sector - segment.llLBAStart;
    const uint64_t stripeNumber = relative / stripe;
    const uint64_t within = relative % stripe;
    const uint64_t piece = std::min(stripe - within, range.last - sector + 1);
    const LVM_Component_t& component = segment.vComponents[stripeNumber % count];
    // The stripe's place in its component, as a one-component range of the component's own sectors.
    LVM_Component_t place = component;
    place.llLBAStart = 0;
    const uint64_t at = (stripeNumber / count) * stripe + within;
    MapRangeOnComponent(volume, place, VMInfoStructs::SectorRange(at, at + piece - 1), diskRanges);
    if (range.last - sector + 1 == piece) break;
    sector += piece;
  }
}

int quarnDiskConfig::MapVolSectorsToDisk(LVM_Volume_t* volume, const std::vector<VMInfoStructs::SectorRange>& ranges,
                                         SectorRangeMap& diskRanges) {
  static const char* const sig = "int quarnDiskConfig::MapVolSectorsToDisk(LVM_Volume_t*, std::vector<VMInfoStructs::SectorRange>&, SectorRangeMap&)";
  if (ranges.empty()) return 0;
  if (volume->isRaid) {
    // Where a RAID volume's sectors lie on its disks depends on its level: nothing is left out.
    m_event.Debug(sig, "Volume [%s] is a RAID volume: its sectors are not mapped to disks", volume->name.c_str());
    return 0;
  }
  for (const LVM_Segment_t& segment : volume->segments) {
    for (const VMInfoStructs::SectorRange& range : ranges) {
      if (range.last < range.first || range.first < segment.llLBAStart || range.last > segment.llLBAEnd) continue;
      if (segment.llCompSizeInSectors != 0) {
        if (!segment.vComponents.empty()) MapRangeOnStripes(*volume, segment, range, diskRanges);
        continue;
      }
      for (const LVM_Component_t& component : segment.vComponents) {
        if (component.llLBAStart <= range.first && component.llLBAEnd >= range.last)
          MapRangeOnComponent(*volume, component, range, diskRanges);
      }
    }
  }
  return 0;
}
