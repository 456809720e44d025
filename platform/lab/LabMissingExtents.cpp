#include "platform/lab/LabMissingExtents.h"

#include <strings.h>

#include <algorithm>

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

}  // namespace lab
