#include "platform/lab/LabMissingExtents.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "platform/archive/ArchiveRestore.h"
#include "platform/index/ExtentNameConverter.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabSubclient.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageTable.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxPath.h"

namespace lab {
namespace {

// Indexing::VirtualServerMissingExtents (48/294) and Indexing::VirtualServerExtents (48/295), as
// their message tables declare them.
constexpr int kIndexingGroup = 48;
constexpr int kMissingType = 294;
constexpr int kDiskType = 295;
constexpr uint32_t kIndexNameCheck = 0x1EF626;

CNMessageList& DisksOf(CNMessageBase& file) {
  return file.getlistobject(1, 1, file.getTagID(), CNCheckOf("disks"), true);
}
std::string IndexNameOf(const CNMessageBase& disk) { return disk.getstring(2, 5, disk.getTagID(), kIndexNameCheck); }
std::vector<std::string>& ExtentNamesOf(CNMessageBase& disk) {
  return disk.getliststring(3, 9, disk.getTagID(), CNCheckOf("extentNames"), true);
}

const DiskExtentsSent* SentOf(const std::map<std::string, DiskExtentsSent>& disks, const std::string& indexName) {
  for (const auto& disk : disks)
    if (strcasecmp(disk.first.c_str(), indexName.c_str()) == 0) return &disk.second;
  return nullptr;
}

// The names still missing after the job; empty when none of the disk's extents is.
std::vector<std::string> StillMissing(const std::vector<std::string>& names, const DiskExtentsSent& sent) {
  const uint64_t extents =
      sent.extentBytes == 0 ? UINT64_MAX : (sent.sizeBytes + sent.extentBytes - 1) / sent.extentBytes;
  std::vector<std::string> left;
  bool anyMissing = false;
  for (const std::string& name : names) {
    uint64_t number = 0;
    // A declared name is "Extent<n>" or a fixed-length name, as an extent item's name ends.
    if (!archive::ParseExtentNumber(name, number)) {
      left.push_back(name);
    } else if (!sent.extents.count(number) && number < extents) {
      left.push_back(name);
      anyMissing = true;
    }
  }
  return anyMissing ? left : std::vector<std::string>();
}

// Settles one declaration file: rewritten when the job settled some of it, removed when it settled all.
bool SettleDeclaration(const std::string& path, const std::map<std::string, DiskExtentsSent>& disks,
                       std::string& error) {
  CNMessageBase file(kIndexingGroup, kMissingType);
  vsXMLFile xml(path);
  if (!xml.Exists()) return true;
  if (file.getDecl() == nullptr || !xml.Load(file)) {
    error = "the declaration " + path + " cannot be read: " + xml.LastError();
    return false;
  }
  CNMessageList& entries = DisksOf(file);
  bool changed = false;
  for (auto it = entries.begin(); it != entries.end();) {
    const DiskExtentsSent* sent = *it ? SentOf(disks, IndexNameOf(**it)) : nullptr;
    if (sent == nullptr) {
      ++it;
      continue;
    }
    std::vector<std::string>& names = ExtentNamesOf(**it);
    std::vector<std::string> left = StillMissing(names, *sent);
    changed = changed || left != names;
    if (left.empty()) {
      it = entries.erase(it);
      continue;
    }
    names.swap(left);
    ++it;
  }
  if (!changed) return true;
  if (entries.empty()) {
    if (std::remove(path.c_str()) != 0) {
      error = "cannot remove the settled declaration " + path;
      return false;
    }
    return true;
  }
  if (!xml.Save(file)) {
    error = "cannot keep the declaration: " + xml.LastError();
    return false;
  }
  return true;
}

}  // namespace

std::string MissingExtentsFileName(const std::string& vmGuid) { return "corruptExtents_" + vmGuid + ".xml"; }

bool DeclareMissingExtentNames(const std::string& appId, int64_t jobId, const std::string& vmGuid,
                               const std::string& diskIndexName, const std::vector<std::string>& names,
                               std::string& error) {
  SubclientRecord subclient;
  if (ReadSubclientRecord(appId, subclient, error) != RecordRead::kRead) {
    if (error.empty()) error = "subclient " + appId + " has no record";
    return false;
  }
  const std::string subclientGuid = subclient.settings["subclientGUID"];
  const std::string folder = IndexJobDir(subclientGuid, jobId, error);
  if (folder.empty() || !MakeDirs(folder)) {
    if (error.empty()) error = "cannot create the index folder of job " + std::to_string(jobId);
    return false;
  }
  CNMessageBase file(kIndexingGroup, kMissingType);
  if (file.getDecl() == nullptr) {
    error = "the index's message tables are not loaded";
    return false;
  }
  vsXMLFile xml(CPxPath::Append(folder, MissingExtentsFileName(vmGuid), false));
  if (xml.Exists() && !xml.Load(file)) {
    error = "the declaration there cannot be read: " + xml.LastError();
    return false;
  }
  CNMessageList& disks = DisksOf(file);
  CNMessageBase* entry = nullptr;
  for (CNMessagePtr& disk : disks)
    if (disk && strcasecmp(IndexNameOf(*disk).c_str(), diskIndexName.c_str()) == 0) entry = disk.get();
  if (entry == nullptr) {
    CNMessageBase disk(kIndexingGroup, kDiskType);
    disk.setstring(2, 5, diskIndexName, disk.getTagID(), kIndexNameCheck);
    disks.emplace_back(disk);
    entry = disks.back().get();
  }
  std::vector<std::string>& listed = ExtentNamesOf(*entry);
  for (const std::string& name : names)
    if (std::find(listed.begin(), listed.end(), name) == listed.end()) listed.push_back(name);
  if (!xml.Save(file)) {
    error = "cannot keep the declaration: " + xml.LastError();
    return false;
  }
  return true;
}

bool DeclareMissingExtents(const std::string& appId, int64_t jobId, const std::string& vmGuid,
                           const std::string& diskIndexName, const std::vector<uint64_t>& extents,
                           std::string& error) {
  SubclientRecord subclient;
  if (ReadSubclientRecord(appId, subclient, error) != RecordRead::kRead) {
    if (error.empty()) error = "subclient " + appId + " has no record";
    return false;
  }
  IndexJobRecord job;
  bool exists = false;
  if (!ReadIndexJobRecord(subclient.settings["subclientGUID"], jobId, job, exists, error)) return false;
  if (!exists) {
    error = "job " + std::to_string(jobId) + " has no index record";
    return false;
  }
  std::vector<std::string> names;
  for (uint64_t extent : extents)
    names.push_back(job.fixedLengthExtentNames ? ExtentNameConverter::GetFilePath(extent)
                                               : "Extent" + std::to_string(extent));
  return DeclareMissingExtentNames(appId, jobId, vmGuid, diskIndexName, names, error);
}

bool ReadMissingExtents(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid,
                        std::map<std::string, std::vector<std::string>>& disks, std::string& error) {
  disks.clear();
  const std::string folder = IndexJobDir(subclientGuid, jobId, error);
  if (folder.empty()) return false;
  vsXMLFile xml(CPxPath::Append(folder, MissingExtentsFileName(vmGuid), false));
  if (!xml.Exists()) return true;
  CNMessageBase file(kIndexingGroup, kMissingType);
  if (file.getDecl() == nullptr || !xml.Load(file)) {
    error = "the declaration cannot be read: " + xml.LastError();
    return false;
  }
  for (CNMessagePtr& disk : DisksOf(file))
    if (disk) disks[IndexNameOf(*disk)] = ExtentNamesOf(*disk);
  return true;
}

bool SettleMissingExtents(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid,
                          const std::map<std::string, DiskExtentsSent>& disks, std::string& error) {
  for (int64_t job : IndexFileJobs(subclientGuid)) {
    if (job > jobId) continue;
    const std::string folder = IndexJobDir(subclientGuid, job, error);
    if (folder.empty()) return false;
    if (!SettleDeclaration(CPxPath::Append(folder, MissingExtentsFileName(vmGuid), false), disks, error)) return false;
  }
  return true;
}

}  // namespace lab
