// The snapshots and point-in-time copies of a job's shared shadow, mounts from them, and the disks a mount's disk
// filters leave out.
#include <strings.h>
#include <unistd.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabShadow.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxPath.h"
#include "platform/os/PatternMatch.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr int kErrNoSharedShadow = 3007;  // a mount bound to the job's shared shadow finds none
constexpr int kErrShadowFailed = 3008;    // the shadow's copies or its record could not be made

// Whether a disk of the mount is read from the folder's copies.
bool ReadsFromFolder(const lab::MountRecord& mount, const std::string& folder) {
  for (const lab::MountedDisk& disk : mount.disks) {
    if (disk.copy.compare(0, folder.size() + 1, folder + "/") == 0) return true;
  }
  return false;
}

}  // namespace

bool LabVMInfo::SharedShadowSources(const MountCtx& ctx, const std::string& server, const lab::VMDescription& vm,
                                    std::map<std::string, std::string>& copyFrom) {
  copyFrom.clear();
  if (GetOption("singleSharedShadow") <= 0) return true;
  if (lab::FindSharedShadowCopies(server, static_cast<int64_t>(ctx.jobId), vm.guid, copyFrom)) return true;
  Fail(kErrNoSharedShadow, "VM [" + vm.name + "] may be backed up only from the shared snapshot of job " +
                               std::to_string(static_cast<long long>(ctx.jobId)) + ", and that job has none for it");
  return false;
}

bool LabVMInfo::TakeSharedShadow(const std::string& server, int64_t jobId, const std::string& name,
                                 const std::vector<lab::VMDescription>& vms) {
  const std::string folder = lab::SharedShadowCopyDir(server, jobId, name);
  if (folder.empty() || !lab::MakeDirs(folder)) {
    Fail(kErrShadowFailed, "Cannot create the shared shadow's folder for job " + std::to_string(jobId));
    return false;
  }
  lab::SharedShadowRecord record;
  record.name = name;
  record.state = "standing";
  std::string error;
  for (const lab::VMDescription& vm : vms) {
    std::vector<std::string> sources;
    for (const lab::VMDisk& disk : vm.disks) sources.push_back(disk.file);
    for (const lab::VMConfigFile& config : vm.configFiles) sources.push_back(config.file);
    for (size_t i = 0; i < sources.size(); ++i) {
      // One folder per file: files of one VM may share a name in different folders.
      const std::string dir = folder + "/" + vm.guid + "/" + std::to_string(i);
      const std::string copy = dir + "/" + CPxPath::GetFileName(sources[i]);
      const std::string source = lab::DiskImagePath(server, sources[i]);
      const bool disk = i < vm.disks.size();
      // A disk's snapshot keeps its change journal, so a mount from it gets the change id of its bytes.
      std::string changeId;
      const bool copied = lab::MakeDirs(dir) && (disk ? lab::TakeSnapshot(source, copy, changeId, error)
                                                      : lab::CopyPointInTime(source, copy, nullptr, error));
      if (!copied) {
        CPxDirectory::Remove(folder, true, false);
        Fail(kErrShadowFailed, "Cannot take the shared shadow of VM [" + vm.name + "]: " + error);
        return false;
      }
      record.files.push_back(lab::ShadowFile{vm.guid, sources[i], copy});
    }
  }
  // A standing shadow of an earlier attempt of the job is replaced, never read as this one.
  lab::SharedShadowRecord earlier;
  if (lab::ReadSharedShadowRecord(server, jobId, earlier, error) == lab::RecordRead::kRead && earlier.name != name)
    RemoveSharedShadow(server, jobId, earlier.name);
  if (!lab::WriteSharedShadowRecord(server, jobId, record, error)) {
    CPxDirectory::Remove(folder, true, false);
    Fail(kErrShadowFailed, "Cannot record the shared shadow: " + error);
    return false;
  }
  return true;
}

bool LabVMInfo::EndSharedShadowMounts(const std::string& server, int64_t jobId, const std::string& name) {
  const std::string folder = lab::SharedShadowCopyDir(server, jobId, name);
  if (folder.empty()) return true;
  for (lab::MountRecord& mount : lab::ListMountRecords(jobId)) {
    if (mount.server != server || mount.state != "mounted" || !ReadsFromFolder(mount, folder)) continue;
    std::string error;
    if (!lab::EndMount(server, jobId, mount, false, {}, error)) {
      Fail(kErrShadowFailed, error);
      return false;
    }
  }
  return true;
}

void LabVMInfo::RemoveSharedShadow(const std::string& server, int64_t jobId, const std::string& name) {
  const std::string folder = lab::SharedShadowCopyDir(server, jobId, name);
  if (!folder.empty()) CPxDirectory::Remove(folder, true, false);
  lab::SharedShadowRecord record;
  std::string error;
  if (lab::ReadSharedShadowRecord(server, jobId, record, error) != lab::RecordRead::kRead || record.name != name)
    return;
  record.state = "deleted";
  lab::WriteSharedShadowRecord(server, jobId, record, error);
}

std::vector<size_t> LabVMInfo::FilteredDisks(const MountCtx& ctx, const lab::VMDescription& vm) {
  std::vector<size_t> filtered;
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    const std::string indexName = lab::LabDiskIndexName(i, vm.disks[i].file);
    const std::string fileName = CPxPath::GetFileName(vm.disks[i].file);
    for (const SDiskFilter& filter : ctx.diskFilters) {
      if (filter.value.empty() || (!filter.vmGuid.empty() && strcasecmp(filter.vmGuid.c_str(), vm.guid.c_str()) != 0))
        continue;
      const CPathMatch pattern(filter.value, 1, 0);
      if (pattern.Match(indexName) || pattern.Match(fileName)) {
        filtered.push_back(i);
        break;
      }
    }
  }
  return filtered;
}
