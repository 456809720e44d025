#include "platform/disk/CLVM.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>

#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/disk/NtfsVolume.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabGuestVolumes.h"
#include "platform/os/CPxPath.h"

namespace {

constexpr uint8_t kTypeNtfs = 0x07;
constexpr uint8_t kTypeSwap = 0x82;
constexpr uint8_t kTypeLinux = 0x83;
constexpr uint8_t kTypeLinuxLvm = 0x8E;
constexpr uint8_t kTypeLdm = 0x42;
constexpr uint32_t kVolumeManagerDisk = 3;

bool IsVolumeManagerMember(const guestdisk::Partition& partition) {
  if (partition.mbrType == kTypeLinuxLvm || partition.mbrType == kTypeLdm) return true;
  return partition.typeGuid == guestdisk::kGptLinuxLvm || partition.typeGuid == guestdisk::kGptLdmData ||
         partition.typeGuid == guestdisk::kGptLdmMetadata;
}

bool HexId(const std::string& text, GuidBytes& id) {
  if (text.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  return true;
}

LVM_Volume_t OneComponentVolume(const std::string& name, uint8_t type, uint32_t sectorSize, int32_t disk,
                                int32_t partNum, uint64_t first, uint64_t last) {
  LVM_Volume_t volume;
  volume.name = name;
  volume.partitionType = type;
  volume.sectorSize = sectorSize;
  volume.sizeInSectors = last - first + 1;
  LVM_Segment_t segment;
  segment.llLBAStart = 0;
  segment.llLBAEnd = last - first;
  LVM_Component_t component;
  component.nHardDiskIndex = disk;
  component.nPartNum = partNum;
  component.llLBAStart = 0;
  component.llLBAEnd = last - first;
  component.llPartitionStartSector = first;
  component.llPartitionEndSector = last;
  segment.vComponents.push_back(component);
  volume.segments.push_back(segment);
  return volume;
}

}  // namespace

CLVM::CLVM() = default;
CLVM::~CLVM() = default;

void CLVM::SetVMInfo(IVMInfo* vmInfo, const std::string& vmName, const std::string& vmId) {
  vmInfo_ = vmInfo;
  vmName_ = vmName;
  vmId_ = vmId;
}

CPxError CLVM::Fault(const char* op, const std::string& disk) {
  lab::FaultCall call;
  call.op = op;
  call.vm = vmId_.empty() ? vmName_ : vmId_;
  call.disk = disk;
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return CPxError::Success();
  return CPxError(-EIO, std::string("[") + op + "] " + (fault.text.empty() ? "failed" : fault.text), fault.code);
}

CPxError CLVM::ReadDisk(size_t disk, uint64_t offset, size_t size, char* out) {
  if (disk >= readers_.size()) return CPxError(-EINVAL, "no disk " + std::to_string(disk));
  return readers_[disk]->ReadAt(offset, size, out);
}

uint8_t CLVM::ProbeFileSystemType(const GuestByteSource& source, uint64_t bytes) {
  char head[8192];
  const size_t size = static_cast<size_t>(std::min<uint64_t>(sizeof(head), bytes));
  if (size < 1024 || !source(0, size, head)) return 0;
  if (std::memcmp(head + 3, "NTFS    ", 8) == 0) return kTypeNtfs;
  for (size_t at : {4086u, 8182u}) {
    if (at + 10 <= size && (std::memcmp(head + at, "SWAPSPACE2", 10) == 0 || std::memcmp(head + at, "SWAP-SPACE", 10) == 0))
      return kTypeSwap;
  }
  if (size >= 1082 && static_cast<unsigned char>(head[1080]) == 0x53 && static_cast<unsigned char>(head[1081]) == 0xEF)
    return kTypeLinux;
  return 0;
}

void CLVM::AddPartitionVolumes(size_t disk, const guestdisk::PartitionTable& table) {
  const Disk_t& file = disks_[disk].files.front();
  const uint32_t sectorSize = file.sectorSize;
  const std::string label = file.indexDirName.empty() ? "disk" + std::to_string(disk) : file.indexDirName;
  if (table.scheme == guestdisk::Scheme::kNone) {
    const uint64_t sectors = diskBytes_[disk] / sectorSize;
    if (sectors == 0) return;
    GuestByteSource source = [this, disk](uint64_t offset, size_t size, char* out) {
      return ReadDisk(disk, offset, size, out).IsSuccess();
    };
    const uint8_t type = ProbeFileSystemType(source, diskBytes_[disk]);
    if (type == 0) return;  // a blank disk, or one whose content is not known: no volume to look into
    volumes_.push_back(OneComponentVolume(label, type, sectorSize, static_cast<int32_t>(disk), 0, 0, sectors - 1));
    return;
  }
  for (const guestdisk::Partition& partition : table.partitions) {
    if (IsVolumeManagerMember(partition)) continue;
    uint8_t type = partition.mbrType;
    if (table.scheme == guestdisk::Scheme::kGPT) {
      // A GPT entry names no file system: the type byte is what its first sectors hold.
      const uint64_t first = partition.firstSector * sectorSize;
      const uint64_t bytes = (partition.lastSector - partition.firstSector + 1) * sectorSize;
      GuestByteSource source = [this, disk, first, bytes](uint64_t offset, size_t size, char* out) {
        return offset <= bytes && size <= bytes - offset && ReadDisk(disk, first + offset, size, out).IsSuccess();
      };
      type = ProbeFileSystemType(source, bytes);
      // A swap signature is swap only in a partition whose type says so: a data partition may keep one
      // left over from an earlier use.
      const bool swapType = partition.typeGuid == guestdisk::kGptLinuxSwap;
      if (type == kTypeSwap && !swapType) type = kTypeLinux;
      if (type == 0) type = swapType ? kTypeSwap : kTypeLinux;
    }
    volumes_.push_back(OneComponentVolume(label + "-part" + std::to_string(partition.number), type, sectorSize,
                                          static_cast<int32_t>(disk), static_cast<int32_t>(partition.number),
                                          partition.firstSector, partition.lastSector));
  }
}

CPxError CLVM::AddScriptedVolumes() {
  lab::GuestVolumeScript script;
  std::string error;
  switch (lab::ReadGuestVolumeScript(vmId_.empty() ? vmName_ : vmId_, script, error)) {
    case lab::RecordRead::kMissing: return CPxError::Success();
    case lab::RecordRead::kRead: break;
    default: return CPxError(-EINVAL, "the guest volume script of VM " + vmName_ + " cannot be used: " + error);
  }
  std::set<std::pair<size_t, int32_t>> members;  // (disk, partition) pairs the scripted volumes use
  for (const lab::GuestVolume& scripted : script.volumes) {
    LVM_Volume_t volume;
    volume.name = scripted.name;
    volume.partitionType = static_cast<uint8_t>(scripted.type);
    if (!scripted.id.empty()) HexId(scripted.id, volume.id);
    volume.isRaid = scripted.raid;
    volume.sectorSize = scripted.sectorSize;
    bool complete = true;
    for (const lab::GuestSegment& scriptedSegment : scripted.segments) {
      LVM_Segment_t segment;
      segment.llLBAStart = scriptedSegment.first;
      segment.llLBAEnd = scriptedSegment.last;
      segment.llCompSizeInSectors = scriptedSegment.stripeSectors;
      for (const lab::GuestComponent& scriptedComponent : scriptedSegment.components) {
        size_t disk = disks_.size();
        for (size_t i = 0; i < disks_.size(); ++i)
          if (CPxPath::GetFileName(disks_[i].files.front().path) == scriptedComponent.diskFile) disk = i;
        // A volume on a disk the caller left out is not readable here.
        if (disk == disks_.size()) complete = false;
        LVM_Component_t component;
        component.nHardDiskIndex = static_cast<int32_t>(disk);
        component.nPartNum = scriptedComponent.partition;
        component.llLBAStart = scriptedComponent.first;
        component.llLBAEnd = scriptedComponent.last;
        component.llPartitionStartSector = scriptedComponent.partitionFirst;
        component.llPartitionEndSector = scriptedComponent.partitionLast;
        segment.vComponents.push_back(component);
        members.emplace(disk, scriptedComponent.partition);
      }
      volume.sizeInSectors = std::max(volume.sizeInSectors, segment.llLBAEnd + 1);
      volume.segments.push_back(segment);
    }
    if (complete) volumes_.push_back(volume);
  }
  volumes_.erase(std::remove_if(volumes_.begin(), volumes_.end(),
                                [&](const LVM_Volume_t& volume) {
                                  if (volume.segments.size() != 1 || volume.segments[0].vComponents.size() != 1)
                                    return false;
                                  const LVM_Component_t& c = volume.segments[0].vComponents[0];
                                  const bool scripted = std::any_of(
                                      script.volumes.begin(), script.volumes.end(),
                                      [&](const lab::GuestVolume& v) { return v.name == volume.name; });
                                  return !scripted && members.count({static_cast<size_t>(c.nHardDiskIndex), c.nPartNum});
                                }),
                 volumes_.end());
  return CPxError::Success();
}

CPxError CLVM::InitializeFromDisk(std::vector<LVM_HardDisk_t>& disks, bool /*readOnly*/,
                                  const std::vector<void*>& /*readers*/) {
  disks_.clear();
  readers_.clear();
  diskBytes_.clear();
  tables_.clear();
  volumes_.clear();
  for (const LVM_HardDisk_t& disk : disks) {
    if (disk.files.empty()) return CPxError(-EINVAL, "a disk without files");
    CPxError error = Fault("lvm.InitializeFromDisk", disk.files.front().indexDirName);
    if (error.IsError()) return error;
    auto reader = std::make_unique<CArchiveVirtualDiskFile>();
    error = reader->OpenForInspection(disk.files.front().path);
    if (error.IsError()) return error;
    disks_.push_back(disk);
    diskBytes_.push_back(reader->GetDiskSize());
    readers_.push_back(std::move(reader));
  }
  for (size_t i = 0; i < disks_.size(); ++i) {
    const Disk_t& file = disks_[i].files.front();
    guestdisk::PartitionTable table;
    std::string reason;
    GuestByteSource source = [this, i](uint64_t offset, size_t size, char* out) {
      return ReadDisk(i, offset, size, out).IsSuccess();
    };
    if (!guestdisk::ReadPartitionTable(source, diskBytes_[i], file.sectorSize, table, reason))
      return CPxError(-EINVAL, "the partition table of disk [" + file.path + "] cannot be used: " + reason);
    tables_.push_back(table);
    AddPartitionVolumes(i, table);
  }
  return AddScriptedVolumes();
}

std::vector<VolDriveLetter> CLVM::GetVecDiskPartId() const {
  std::vector<VolDriveLetter> ids;
  for (size_t i = 0; i < tables_.size(); ++i) {
    VolDriveLetter id;
    id.name = disks_[i].files.front().indexDirName;
    switch (tables_[i].scheme) {
      case guestdisk::Scheme::kMBR:
        id.kind = 0;
        id.signature = tables_[i].diskSignature;
        for (const guestdisk::Partition& partition : tables_[i].partitions)
          id.partitionOffsets.push_back(partition.firstSector * disks_[i].files.front().sectorSize);
        break;
      case guestdisk::Scheme::kGPT:
        id.kind = 1;
        id.uniqueId = guestdisk::GuidText(tables_[i].diskGuid);
        break;
      default:
        id.kind = 2;
        break;
    }
    ids.push_back(id);
  }
  return ids;
}

std::vector<DiskPartitionType> CLVM::GetDiskPartitionTypesVec() const {
  std::vector<DiskPartitionType> types;
  for (const guestdisk::PartitionTable& table : tables_) {
    DiskPartitionType type;
    type.scheme = static_cast<uint32_t>(table.scheme);
    for (const guestdisk::Partition& partition : table.partitions) {
      if (IsVolumeManagerMember(partition)) type.volumeManagement = kVolumeManagerDisk;
      if (table.scheme == guestdisk::Scheme::kMBR) type.mbrTypes.push_back(partition.mbrType);
      if (table.scheme == guestdisk::Scheme::kGPT) type.gptTypes.push_back(partition.typeGuid);
    }
    types.push_back(type);
  }
  return types;
}

CPxError CLVM::ReadVolumeData(const LVM_Volume_t* volume, uint64_t offset, size_t size, char* out) {
  if (volume == nullptr || volume->sectorSize == 0) return CPxError(-EINVAL, "no volume");
  const uint64_t sectorSize = volume->sectorSize;
  if (offset > VolumeBytes(*volume) || size > VolumeBytes(*volume) - offset)
    return CPxError(-EINVAL, "bytes " + std::to_string(offset) + "+" + std::to_string(size) + " lie outside volume " +
                                 volume->name);
  CPxError fault = Fault("lvm.ReadVolumeData", volume->name);
  if (fault.IsError()) return fault;
  size_t done = 0;
  while (done < size) {
    const uint64_t at = offset + done;
    const uint64_t sector = at / sectorSize;
    const LVM_Segment_t* segment = nullptr;
    for (const LVM_Segment_t& candidate : volume->segments)
      if (sector >= candidate.llLBAStart && sector <= candidate.llLBAEnd) segment = &candidate;
    if (segment == nullptr || segment->vComponents.empty())
      return CPxError(-EINVAL, "sector " + std::to_string(sector) + " of volume " + volume->name + " lies in no segment");
    const LVM_Component_t* component = nullptr;
    uint64_t diskSector = 0, sectorsLeft = 0;
    if (segment->llCompSizeInSectors != 0 && !volume->isRaid) {
      const uint64_t stripe = segment->llCompSizeInSectors;
      const uint64_t relative = sector - segment->llLBAStart;
      const uint64_t stripeNumber = relative / stripe;
      component = &segment->vComponents[stripeNumber % segment->vComponents.size()];
      diskSector = component->llPartitionStartSector + (stripeNumber / segment->vComponents.size()) * stripe +
                   relative % stripe;
      sectorsLeft = stripe - relative % stripe;
    } else {
      for (const LVM_Component_t& candidate : segment->vComponents) {
        if (sector >= candidate.llLBAStart && sector <= candidate.llLBAEnd) {
          component = &candidate;
          break;  // a mirror is read from its first component
        }
      }
      if (component == nullptr)
        return CPxError(-EINVAL, "sector " + std::to_string(sector) + " of volume " + volume->name + " lies in no component");
      diskSector = sector - component->llLBAStart + component->llPartitionStartSector;
      sectorsLeft = component->llLBAEnd - sector + 1;
    }
    if (diskSector > component->llPartitionEndSector)
      return CPxError(-EINVAL, "volume " + volume->name + " runs past its partition");
    sectorsLeft = std::min(sectorsLeft, component->llPartitionEndSector - diskSector + 1);
    const uint64_t within = at % sectorSize;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, sectorsLeft * sectorSize - within));
    const CPxError error = ReadDisk(static_cast<size_t>(component->nHardDiskIndex), diskSector * sectorSize + within,
                                    piece, out + done);
    if (error.IsError()) return error;
    done += piece;
  }
  return CPxError::Success();
}

CPxError CLVM::GetNTFSVolInfo(const LVM_Volume_t* volume, NTFSVolInfo& info) {
  info = NTFSVolInfo();
  if (volume == nullptr) return CPxError(-EINVAL, "no volume");
  guestdisk::NtfsVolume ntfs(
      [this, volume](uint64_t offset, size_t size, char* out) {
        return ReadVolumeData(volume, offset, size, out).IsSuccess();
      },
      VolumeBytes(*volume));
  const int code = ntfs.Open();
  if (code != 0) return CPxError(code, ntfs.LastError());
  info.totalSectors = ntfs.TotalSectors();
  info.bytesPerSector = ntfs.BytesPerSector();
  info.clusterSize = ntfs.ClusterSize();
  info.totalClusters = ntfs.TotalClusters();
  info.mftCluster = ntfs.MftCluster();
  info.mftRecordSize = ntfs.RecordSize();
  return CPxError::Success();
}

CPxError CLVM::DumpVolumeInfoToFile(const std::string& path, const std::vector<LVM_Volume_t>& volumes) {
  std::ostringstream text;
  for (const LVM_Volume_t& volume : volumes) {
    text << "volume " << volume.name << " type " << static_cast<int>(volume.partitionType) << " raid "
         << (volume.isRaid ? 1 : 0) << " dynamic " << (volume.IsOnDynamicDisk() ? 1 : 0) << " sectors "
         << volume.sizeInSectors << " sectorSize " << volume.sectorSize << "\n";
    for (const LVM_Segment_t& segment : volume.segments) {
      text << "  segment " << segment.llLBAStart << "-" << segment.llLBAEnd << " stripe " << segment.llCompSizeInSectors
           << "\n";
      for (const LVM_Component_t& c : segment.vComponents) {
        const std::string disk = c.nHardDiskIndex >= 0 && static_cast<size_t>(c.nHardDiskIndex) < disks_.size()
                                     ? disks_[static_cast<size_t>(c.nHardDiskIndex)].files.front().indexDirName
                                     : std::string();
        text << "    component disk " << c.nHardDiskIndex << " (" << disk << ") partition " << c.nPartNum << " volume "
             << c.llLBAStart << "-" << c.llLBAEnd << " disk " << c.llPartitionStartSector << "-"
             << c.llPartitionEndSector << "\n";
      }
    }
  }
  std::string error;
  if (!lab::WriteFileAtomic(path, text.str(), error)) return CPxError(-EIO, "cannot write " + path + ": " + error);
  return CPxError::Success();
}
