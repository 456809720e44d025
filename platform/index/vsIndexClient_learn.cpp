// What the index learns of a VM from the archive files a job wrote for it: the VM's and each item's
// index metadata as the worker sent them, the disks with their sizes, and the checksum of every
// extent sent. A real index reads the same records off the data stream; the lab's reads them back
// from the media agents' files once the VM's archive is done (its archive-index run, or the job's
// finalised index when the job indexes as it goes).
#include <iterator>
#include <map>
#include <set>

#include "platform/archive/ArchiveReader.h"
#include "platform/index/ExtentNameConverter.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMissingExtents.h"
#include "platform/os/FXString.h"
#include "records/messages/IdxMetadataMessages.h"

namespace {

using Entries = std::vector<std::vector<std::string>>;

// The bytes of a unit of an extent's data when the data names none.
constexpr uint64_t kDefaultUnitSize = 512;

// The item's name below the VM ("\<guid>\<name>"), or its last component when it is not the VM's.
std::string NameBelowVM(const std::string& item, const std::string& vmGuid) {
  const std::string prefix = "\\" + vmGuid + "\\";
  if (item.size() > prefix.size() && FXString::CompareNoCase(item.substr(0, prefix.size()), prefix) == 0)
    return item.substr(prefix.size());
  const size_t slash = item.rfind('\\');
  return slash == std::string::npos ? item : item.substr(slash + 1);
}

// An extent's number from its item name: a fixed-length name, or "Extent<n>".
bool ExtentNumber(const std::string& item, uint64_t& number) {
  if (ExtentNameConverter::GetExtentNumberFromFileName(item, number)) return true;
  const size_t slash = item.rfind('\\');
  const std::string last = slash == std::string::npos ? item : item.substr(slash + 1);
  return last.compare(0, 6, "Extent") == 0 && labkv::ParseUInt64(last.substr(6), number);
}

// True when the archive is a VM's data archive that the job, or a child job of it, wrote.
bool WrittenBy(const archive::ArchiveContents& begin, int64_t jobId) {
  return !begin.indexOnly && (begin.jobId == jobId || begin.childJobId == jobId);
}

}  // namespace

void vsIndexClient::AddOwnArchives(int64_t jobId, std::vector<lab::NotedArchive>& noted, const std::string& vmGuid) {
  const int64_t own = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  if (own > 0 && own != jobId) {
    std::vector<lab::NotedArchive> ownFiles =
        vmGuid.empty() ? lab::ListNotedArchives(own) : lab::ListVMNotedArchives(own, vmGuid);
    std::move(ownFiles.begin(), ownFiles.end(), std::back_inserter(noted));
  }
}

vsIndexClient::VMArchives vsIndexClient::VMArchivesOf(const std::string& vmGuid, int64_t jobId) {
  VMArchives found;
  found.parentJob = jobId;
  std::vector<lab::NotedArchive> noted = lab::ListVMNotedArchives(jobId, vmGuid);
  AddOwnArchives(jobId, noted, vmGuid);
  for (lab::NotedArchive& archive : noted) {
    archive::ArchiveContents begin;
    archive::Problem problem;
    // Only the beginnings are read here; the VM's own archives are read whole afterwards. One whose
    // beginning does not read (or that is not there) is the VM's by its note: read with the others, it
    // is judged damaged unless its note shows it of an earlier attempt.
    if (archive.state != lab::NotedArchive::State::kMissing &&
        archive::ReadArchiveBegin(archive.FoundPath(), begin, problem)) {
      if (!WrittenBy(begin, jobId) || FXString::CompareNoCase(begin.vmGuid, vmGuid) != 0) continue;
      found.parentJob = begin.jobId;
    }
    found.archives.push_back(std::move(archive));
  }
  return found;
}

bool vsIndexClient::LearnVMEntries(const std::string& vmGuid, int64_t jobId,
                                   const std::vector<lab::NotedArchive>& archives, Entries& entries,
                                   std::map<std::string, lab::DiskExtentsSent>& sent, bool& learned) {
  learned = false;
  entries.clear();
  sent.clear();
  Entries disks, metadata, checksums;
  std::map<std::string, uint64_t> sectorsPerExtent, unitSizes;
  std::string vmName;
  uint32_t level = 0;
  // Only the attempt that stands for the VM's backup in the job is learned, judged by itself: the
  // index learns what the archives hold; their data is checked by whoever reads it back.
  std::vector<archive::ArchiveContents> read(archives.size());
  std::vector<const archive::ArchiveContents*> all;
  for (size_t i = 0; i < archives.size(); ++i) {
    lab::ReadNotedVMArchive(archives[i], vmGuid, true, read[i]);
    all.push_back(&read[i]);
  }
  const archive::JobBackup judged = archive::JudgeJobBackup(all);
  if (!judged.malformed.empty()) {
    SetError("the archive file of VM [" + vmGuid + "] cannot be indexed: " + judged.malformed);
    return true;
  }
  if (!judged.failedItem.empty()) {
    SetError("the backup of VM [" + vmGuid + "] in job " + std::to_string(jobId) + " did not end well: " +
             judged.failedItem);
    return true;
  }
  for (const archive::ArchiveContents* taken : judged.archives) {
    const archive::ArchiveContents& contents = *taken;
    const std::string& path = contents.path;
    level = contents.backupLevel;
    for (const archive::Item& item : contents.items) {
      const std::string name = NameBelowVM(item.name, vmGuid);
      if (item.kind == archive::ItemKind::kDisk) {
        disks.push_back({"disk", name, std::to_string(item.declaredSize)});
        sent[name].sizeBytes = item.declaredSize;
        sectorsPerExtent[name] = item.sectorsPerExtent;
      }
      uint64_t extent = 0;
      if (item.kind == archive::ItemKind::kExtent && item.ended && item.success && ExtentNumber(item.name, extent)) {
        checksums.push_back({"crc", item.diskName, std::to_string(extent), std::to_string(item.crc)});
        sent[item.diskName].extents.insert(extent);
        for (const archive::Piece& piece : item.pieces)
          if (piece.unitSize > 0) unitSizes.emplace(item.diskName, piece.unitSize);
      }
      for (const archive::MetadataRecord& record : item.metadata) {
        std::string xml, error;
        if (!archive::ReadMetadataText(path, record, xml, error)) {
          SetError(error);
          return false;
        }
        if (record.vmLevel) {
          IdxMetadata::IdxMetaData message;
          const IdxMetadata::IdxCommonMetaData* common =
              message.deserialize(xml, &error)
                  ? message.getObject<IdxMetadata::IdxCommonMetaData>(IdxMetadata::IdxMetaData::F_common, false)
                  : nullptr;
          if (common != nullptr) vmName = common->getstring(IdxMetadata::IdxCommonMetaData::F_itemName);
          metadata.push_back({"meta", "vm", xml});
        } else {
          metadata.push_back({"meta", "disk", name, xml});
        }
      }
    }
    learned = true;
  }
  if (!learned) {
    SetError("job " + std::to_string(jobId) + " wrote no archive file of VM [" + vmGuid + "]");
    return true;
  }
  for (const auto& disk : sectorsPerExtent) {
    const auto unit = unitSizes.find(disk.first);
    sent[disk.first].extentBytes = disk.second * (unit != unitSizes.end() ? unit->second : kDefaultUnitSize);
  }
  if (!vmName.empty()) entries.push_back({"name", vmName});
  entries.push_back({"level", std::to_string(level)});
  entries.insert(entries.end(), disks.begin(), disks.end());
  entries.insert(entries.end(), metadata.begin(), metadata.end());
  entries.insert(entries.end(), checksums.begin(), checksums.end());
  return true;
}

bool vsIndexClient::LearnVM(const std::string& vmGuid, int64_t jobId, bool& learned) {
  return LearnVM(vmGuid, jobId, VMArchivesOf(vmGuid, jobId), learned);
}

bool vsIndexClient::LearnVM(const std::string& vmGuid, int64_t jobId, const VMArchives& archives, bool& learned) {
  Entries entries;
  std::map<std::string, lab::DiskExtentsSent> sent;
  std::string error;
  if (!LearnVMEntries(vmGuid, jobId, archives.archives, entries, sent, learned)) return false;
  if (!learned) return true;
  if (!lab::WriteIndexVMEntries(SubclientGuid(), vmGuid, archives.parentJob, entries, error)) {
    SetError(error);
    return false;
  }
  // A declaration the job settled that stayed would have every later job back the extents up again;
  // one that cannot be settled now only costs that.
  if (!lab::SettleMissingExtents(SubclientGuid(), archives.parentJob, vmGuid, sent, error)) SetError(error);
  return true;
}

bool vsIndexClient::LearnJob(int64_t jobId) {
  // One reading of every archive's beginning finds both the job's VMs and each VM's archives.
  std::vector<lab::NotedArchive> noted = lab::ListNotedArchives(jobId);
  const size_t jobFiles = noted.size();
  AddOwnArchives(jobId, noted);
  std::set<std::string> vms;
  std::map<std::string, VMArchives> archives;
  for (size_t i = 0; i < noted.size(); ++i) {
    archive::ArchiveContents begin;
    archive::Problem problem;
    // One whose beginning does not read, or that is not there, is the VM's its note names: read with
    // the others, it is judged damaged (unless its note shows it of an earlier attempt), and the VM is
    // not learned from what is left.
    if (noted[i].state == lab::NotedArchive::State::kMissing ||
        !archive::ReadArchiveBegin(noted[i].FoundPath(), begin, problem)) {
      if (i < jobFiles) vms.insert(noted[i].vm);
      archives[noted[i].vm].parentJob = noted[i].location.jobId;
      archives[noted[i].vm].archives.push_back(noted[i]);
      continue;
    }
    const std::string vm = FXString::ToLower(begin.vmGuid);
    if (i < jobFiles && !begin.vmGuid.empty() && !begin.indexOnly) vms.insert(vm);
    if (!WrittenBy(begin, jobId) || vm != noted[i].vm) continue;
    archives[vm].parentJob = begin.jobId;
    archives[vm].archives.push_back(noted[i]);
  }
  // A VM whose archive cannot be indexed is left out: its next backup is a full one.
  for (const std::string& vm : vms) {
    VMArchives none;
    none.parentJob = jobId;
    const auto found = archives.find(vm);
    bool learned = false;
    if (!LearnVM(vm, jobId, found != archives.end() ? found->second : none, learned)) return false;
  }
  return true;
}
