// The index of a backup copy of a snapshot job: the snapshot job's index becomes the copy's, so that
// what a later job asks of the copy (its VMs, their metadata files and what the index knows of each)
// reads as it did of the snapshot job.
#include <vector>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabIndex.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxPath.h"

namespace {

const char* Flag(bool on) { return on ? "1" : "0"; }

}  // namespace

bool vsIndexClient::RecordVMEntry(const std::string& vmGuid, const std::vector<std::string>& fields) {
  std::string guid, error;
  int64_t jobId = 0;
  if (!JobIdentity(guid, jobId)) return false;
  if (vmGuid.empty()) {
    SetError("a record of a VM needs the VM's GUID");
    return false;
  }
  if (lab::AppendIndexVMEntry(guid, vmGuid, jobId, fields, error)) return true;
  SetError(error);
  return false;
}

bool vsIndexClient::SendFileInfo(const std::string& vmGuid, const std::string& name, int64_t number, int64_t time,
                                 uint64_t size, bool vmRecord, bool flag2, bool flag3) {
  if (!CheckOpen() || Faulted("index.SendFileInfo", vmGuid)) return false;
  if (name.empty()) {
    SetError("a file record needs a name");
    return false;
  }
  if (!RecordVMEntry(vmGuid, {"file", name, std::to_string(number), std::to_string(time), std::to_string(size),
                              Flag(vmRecord), Flag(flag2), Flag(flag3)}))
    return false;
  if (vmRecord) return true;
  const size_t slash = name.find_last_of("\\/");
  const std::string indexName = slash == std::string::npos ? name : name.substr(slash + 1);
  if (!RecordVMEntry(vmGuid, {"disk", indexName, std::to_string(number)})) return false;
  // The item's index metadata sent before its record goes under the item's index name.
  std::string held;
  {
    ZtMutexLock lock(mutex_);
    auto it = heldItemMetadata_.find(vmGuid);
    if (it != heldItemMetadata_.end()) {
      held = it->second;
      heldItemMetadata_.erase(it);
    }
  }
  return held.empty() || RecordVMEntry(vmGuid, {"meta", "disk", indexName, held});
}

bool vsIndexClient::SendFileHeader(const std::string& vmGuid, const std::string& name, uint64_t number, int64_t time,
                                   bool failed, uint32_t kind, const std::string& text, int flags, uint64_t size) {
  if (!CheckOpen() || Faulted("index.SendFileHeader", vmGuid)) return false;
  return RecordVMEntry(vmGuid, {"header", name, std::to_string(number), std::to_string(time), Flag(failed),
                                std::to_string(kind), text, std::to_string(flags), std::to_string(size)});
}

bool vsIndexClient::SendIndexMetaDataInfo(const std::string& vmGuid, IdxMetadata::IdxMetaData& metadata) {
  if (!CheckOpen() || Faulted("index.SendIndexMetaDataInfo", vmGuid)) return false;
  std::string xml;
  if (!metadata.serialize(xml, true)) {
    SetError("the index metadata cannot be written");
    return false;
  }
  const auto* common = metadata.getObject<IdxMetadata::IdxCommonMetaData>(IdxMetadata::IdxMetaData::F_common, false);
  const std::string item = common != nullptr ? common->getstring(IdxMetadata::IdxCommonMetaData::F_itemName) : "";
  if (common != nullptr && common->getint64(IdxMetadata::IdxCommonMetaData::F_isVM) == 1) {
    if (!item.empty() && !RecordVMEntry(vmGuid, {"name", item})) return false;
    return RecordVMEntry(vmGuid, {"meta", "vm", xml});
  }
  if (vmGuid.empty()) {
    SetError("the index metadata of an item needs its VM's GUID");
    return false;
  }
  ZtMutexLock lock(mutex_);
  heldItemMetadata_[vmGuid] = xml;
  return true;
}

bool vsIndexClient::sendErrorIdxMetadata(const std::string& vmName, int code, const std::string& reason) {
  if (!CheckOpen() || Faulted("index.sendErrorIdxMetadata", vmName)) return false;
  return RecordJobEntry({"error", vmName, std::to_string(code), reason});
}

bool vsIndexClient::UpdateRestartInfo(uint64_t value) {
  if (!CheckOpen() || Faulted("index.UpdateRestartInfo")) return false;
  return RecordJobEntry({"restart", std::to_string(value)});
}

bool vsIndexClient::UpdateIndexDataWithGUID(IdxMetadata::IdxMetaData& metadata, const std::string& itemPath,
                                            int64_t allocated, int64_t size, int64_t jobId, const std::string& text) {
  if (!CheckOpen() || Faulted("index.UpdateIndexDataWithGUID")) return false;
  if (itemPath.empty()) {
    SetError("the item's path is missing");
    return false;
  }
  auto* part = metadata.getObject<IdxMetadata::VirtualServerIdxMetaData>(IdxMetadata::IdxMetaData::F_virtualServer,
                                                                         true);
  if (part == nullptr) {
    SetError("the index metadata has no virtual-server part");
    return false;
  }
  using VS = IdxMetadata::VirtualServerIdxMetaData;
  if (part->getint64(VS::F_fileSize) == 0) part->setint64(VS::F_fileSize, size != 0 ? size : allocated);
  return true;
}

bool vsIndexClient::CopyIndexFolder(const std::string& from, const std::string& to, bool& found) {
  if (!CPxDirectory::Exists(from)) return true;
  found = true;
  if (!lab::MakeDirs(to)) {
    SetError("cannot create the cache folder " + to);
    return false;
  }
  bool copied = false;
  return CopyMatches(from, "*", to, copied);
}

int vsIndexClient::CopySnapIndexToBackupCopy(int64_t snapJobId, uint32_t, uint64_t) {
  std::string guid, error;
  int64_t jobId = 0;
  if (!CheckOpen() || Faulted("index.CopySnapIndexToBackupCopy") || !JobIdentity(guid, jobId)) return 0;
  const std::string from = lab::IndexJobDir(guid, snapJobId, error);
  const std::string to = lab::IndexJobDir(guid, jobId, error);
  if (from.empty() || to.empty()) {
    SetError(error);
    return 0;
  }
  bool found = false;
  if (!CopyIndexFolder(from, to, found)) return 0;

  // The job's record: its VMs, level and whether it was finalised.
  lab::IndexJobRecord snapRecord;
  bool exists = false;
  if (!lab::ReadIndexJobRecord(guid, snapJobId, snapRecord, exists, error)) {
    SetError(error);
    return 0;
  }
  if (exists) {
    found = true;
    const bool kept = lab::UpdateIndexJobRecord(
        guid, jobId,
        [&](lab::IndexJobRecord& record, std::string&) {
          if (record.level == 0) record.level = snapRecord.level;
          record.finalized = record.finalized || snapRecord.finalized;
          record.fixedLengthExtentNames = snapRecord.fixedLengthExtentNames;
          for (const auto& vm : snapRecord.vms) record.vms.insert(vm);
          return true;
        },
        error);
    if (!kept) {
      SetError(error);
      return 0;
    }
  }

  // Each VM's files and what the index knows of it from the snapshot job.
  for (const std::string& vm : lab::IndexVMs(guid)) {
    if (!CopyIndexFolder(lab::IndexVMJobDir(guid, vm, snapJobId, error), lab::IndexVMJobDir(guid, vm, jobId, error),
                         found))
      return 0;
    std::vector<std::vector<std::string>> entries;
    if (!lab::ReadIndexVMEntries(guid, vm, snapJobId, entries, error)) {
      SetError(error);
      return 0;
    }
    if (entries.empty()) continue;
    found = true;
    if (!lab::WriteIndexVMEntries(guid, vm, jobId, entries, error)) {
      SetError(error);
      return 0;
    }
  }
  if (!found) {
    SetError("snapshot job " + std::to_string(snapJobId) + " has no index");
    return 0;
  }
  return 1;
}
