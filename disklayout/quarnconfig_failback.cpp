// A failback's replica backed up under the index names of its source VM, so that its backups go on
// with the source's chain, and the items of the last backup that a VM no longer has.
#include <strings.h>

#include "app/QuarnUtils.h"
#include "disklayout/quarnconfig.h"
#include "platform/appmgr/vsAppMgr.h"
#include "records/messages/AppMessages.h"

namespace {

using Tracking = App::VSAReplicationTrakingIdInfo;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
using MountRecords = std::vector<VMInfoStructs::SMountInfoFull>;

constexpr int32_t kBackupAsDisk = 1;
constexpr int32_t kBackupAsConfigFile = 0;

const char* const kSigPlain =
    "virtual bool quarnDiskConfig::ModifyDiskIndexPathsForFailback(std::map<std::string, IdxMetadata::IdxMetaData>&, "
    "std::vector<App::VSAReplicationTrakingIdInfo*>&, VirtualServerInstanceType)";
const char* const kSigCrossVendor =
    "virtual bool quarnDiskConfig::ModifyDiskIndexPathsForCrossVendorFailback(std::map<std::string, "
    "IdxMetadata::IdxMetaData>&, std::vector<App::VSAReplicationTrakingIdInfo*>&, VirtualServerInstanceType)";

// The extension of a name: from its last dot on; empty when it has none.
std::string Extension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Whether `text` holds `part`. An empty part is in every text, so it names nothing here.
bool Holds(const std::string& text, const std::string& part) {
  return !part.empty() && text.find(part) != std::string::npos;
}

const VSMeta* VirtualServerPart(IdxMetadata::IdxMetaData& entry) {
  return entry.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
}

// An entry of a virtual disk of the last backup: only a disk's entry carries a sector size.
bool IsDiskEntry(IdxMetadata::IdxMetaData& entry) {
  const VSMeta* part = VirtualServerPart(entry);
  return part != nullptr && part->isSet(VSMeta::F_sectorSize);
}

// A configuration file's entry in the cross-vendor sense: its disk type is 0 (unset reads 0).
bool IsConfigFileEntry(IdxMetadata::IdxMetaData& entry) {
  const VSMeta* part = VirtualServerPart(entry);
  return part == nullptr || part->getint64(VSMeta::F_diskType) == 0;
}

// The sizes the entry recorded, where it recorded them.
void TakeSizes(IdxMetadata::IdxMetaData& entry, VMInfoStructs::SDisk& disk) {
  const VSMeta* part = VirtualServerPart(entry);
  if (part == nullptr) return;
  if (part->isSet(VSMeta::F_maxDiskSize)) disk.maxSize = part->getint64(VSMeta::F_maxDiskSize);
  if (part->isSet(VSMeta::F_fileSize)) disk.fileSize = part->getint64(VSMeta::F_fileSize);
}

// The tracking records in order, those of another message type left out.
std::vector<const CNMessageBase*> TrackingRecords(const CNMessageList& list) {
  std::vector<const CNMessageBase*> records;
  for (const CNMessagePtr& record : list)
    if (record && record->getTagID() == Tracking::TAG) records.push_back(record.get());
  return records;
}

// Names the disk after the source's disk its tracking record names: the source's index name, and the
// display name that index name holds. False, with the reason, when it holds none.
bool TakeSourceName(EvEvent& event, const char* sig, const CNMessageBase& match, VirtualServerInstanceType sourceType,
                    VMInfoStructs::SDisk& disk, std::string& error) {
  const std::string source = match.getstring(Tracking::F_text13);
  event.Debug(sig, "indexname [%s] diskFileName [%s]", source.c_str(), disk.path.c_str());
  if (!QuarnUtils::ExtractDiskDisplayNameFromIndexName(source, sourceType, disk.displayName)) {
    event.Error(sig, "Disk display name extraction has failed!");
    error = "No disk display name in the source's index name [" + source + "] of disk [" + disk.path + "]";
    return false;
  }
  disk.indexName = source;
  return true;
}

std::string NoTrackingRecord(const VMInfoStructs::SDisk& disk) {
  if (disk.displayName.empty() && disk.path.empty())
    return "A disk of the failback VM has neither a name nor a path: no replication tracking record can name it";
  return "No replication tracking record names disk [" + (disk.displayName.empty() ? disk.path : disk.displayName) +
         "] of the failback VM";
}

}  // namespace

bool quarnDiskConfig::ModifyDiskIndexPathsForFailback(IdxMetadataByName& previous, const CNMessageList& tracking,
                                                      VirtualServerInstanceType sourceType) {
  const std::vector<const CNMessageBase*> records = TrackingRecords(tracking);
  mFailbackError.clear();
  // An erased record's successor moves into its place and is walked from its first disk.
  for (size_t r = 0; r < mMountInfos.size();) {
    bool erased = false;
    std::vector<VMInfoStructs::SDisk>& disks = mMountInfos[r].disks;
    for (VMInfoStructs::SDisk& disk : disks) {
      if (SameText(Extension(disk.indexName), ".log")) {
        erased = true;
        break;
      }
      if (disk.backupType == kBackupAsDisk) {
        const CNMessageBase* match = nullptr;
        for (const CNMessageBase* record : records) {
          if (Holds(record->getstring(Tracking::F_text1), disk.path)) {
            match = record;
            break;
          }
        }
        if (match != nullptr) {
          if (!TakeSourceName(m_event, kSigPlain, *match, sourceType, disk, mFailbackError)) return false;
          continue;
        }
        if (!disk.parentIndexName.empty()) {
          erased = true;
          break;
        }
        m_event.Error(kSigPlain, "Failed to find index Name for disk [%s]. Cannot continue with failback",
                      disk.path.c_str());
        mFailbackError = NoTrackingRecord(disk);
        return false;
      }
      // Another file takes the name of the source's file of its kind. A disk's entry is never one:
      // a file backed up under a disk's name would replace that disk in a restore.
      const std::string extension = Extension(disk.indexName);
      auto found = previous.begin();
      for (; found != previous.end(); ++found)
        if (!IsDiskEntry(found->second) && SameText(Extension(found->first), extension)) break;
      if (found == previous.end()) {
        erased = true;
        break;
      }
      disk.displayName = disk.indexName = found->first;
    }
    if (erased)
      mMountInfos.erase(mMountInfos.begin() + static_cast<std::ptrdiff_t>(r));
    else
      ++r;
  }
  return true;
}

bool quarnDiskConfig::ModifyDiskIndexPathsForCrossVendorFailback(IdxMetadataByName& previous,
                                                                 const CNMessageList& tracking,
                                                                 VirtualServerInstanceType sourceType) {
  const std::vector<const CNMessageBase*> records = TrackingRecords(tracking);
  mFailbackError.clear();
  // The source's configuration-file entries are handed out in order, each once.
  auto next = previous.begin();
  auto nextConfigEntry = [&] {
    while (next != previous.end() && !IsConfigFileEntry(next->second)) ++next;
    return next;
  };
  for (VMInfoStructs::SMountInfoFull& record : mMountInfos) {
    for (VMInfoStructs::SDisk& disk : record.disks) {
      if (disk.backupType == kBackupAsDisk) {
        const CNMessageBase* match = nullptr;
        for (const CNMessageBase* candidate : records) {
          std::string name = candidate->getstring(Tracking::F_text27);
          if (name.empty()) name = candidate->getstring(Tracking::F_text18);
          if (name.empty()) continue;
          if (Holds(name, disk.indexName) || Holds(disk.displayName, name) || Holds(name, disk.path) ||
              name == disk.diskId) {
            match = candidate;
            break;
          }
        }
        if (match == nullptr) {
          m_event.Error(kSigCrossVendor, "Failed to find index Name for disk [%s]. Cannot continue with failback",
                        disk.path.c_str());
          mFailbackError = NoTrackingRecord(disk);
          return false;
        }
        if (!TakeSourceName(m_event, kSigCrossVendor, *match, sourceType, disk, mFailbackError)) return false;
        continue;
      }
      if (nextConfigEntry() == previous.end()) continue;
      disk.path = disk.displayName = disk.indexName = next->first;
      disk.headerKind = 0;
      TakeSizes(next->second, disk);
      m_event.Debug(kSigCrossVendor, "Config file [%s]", disk.indexName.c_str());
      ++next;
    }
  }
  // The source's files that the replica has nothing for are backed up under their own names.
  for (; nextConfigEntry() != previous.end(); ++next) {
    VMInfoStructs::SMountInfoFull added;
    added.opened = 0;
    VMInfoStructs::SDisk file;
    file.path = file.displayName = file.indexName = next->first;
    file.backupType = kBackupAsConfigFile;
    TakeSizes(next->second, file);
    added.disks.push_back(file);
    mMountInfos.push_back(added);
  }
  return true;
}

bool quarnDiskConfig::getDeletedDisks(IdxMetadataByName& previous, std::vector<std::string>& deleted) {
  for (const auto& entry : previous) {
    bool present = false;
    // A disk whose older index name is still in the index goes on under that name (its id): it is
    // there, and a deletion of that name would drop the disk from every restore of this backup.
    for (const VMInfoStructs::SMountInfoFull& record : mMountInfos) {
      for (const VMInfoStructs::SDisk& disk : record.disks)
        present = present || SameText(disk.indexName, entry.first) ||
                  (disk.backupType == kBackupAsDisk && SameText(disk.diskId, entry.first));
    }
    if (!present) deleted.push_back(entry.first);
  }
  return true;
}
