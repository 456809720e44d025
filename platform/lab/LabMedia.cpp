#include "platform/lab/LabMedia.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "platform/archive/ArchiveFormat.h"
#include "platform/archive/ArchiveReader.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/FXString.h"

namespace lab {
namespace {

constexpr const char* kSuffix = ".qar";

// "00000042.qar" -> 42 (with the suffix given); false for any other name.
bool ParseArchiveName(const std::string& name, const std::string& suffix, uint64_t& id) {
  if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  return labkv::ParseUInt64(name.substr(0, name.size() - suffix.size()), id);
}

// The archive files whose names end in the suffix.
std::vector<ArchiveLocation> ListFiles(int64_t jobId, const std::string& suffix) {
  std::vector<ArchiveLocation> found;
  std::vector<std::string> agents;
  if (Root().empty() || CPxDirectory::List(MediaDir(), agents).IsError()) return found;
  for (const std::string& agent : agents) {
    if (!IsSafeComponent(agent) || !IsDirectory(MediaAgentDir(agent))) continue;
    std::vector<std::string> jobs;
    if (CPxDirectory::List(MediaAgentDir(agent), jobs).IsError()) continue;
    for (const std::string& jobText : jobs) {
      int64_t job = 0;
      if (!labkv::ParseInt64(jobText, job) || job <= 0 || (jobId > 0 && job != jobId)) continue;
      std::vector<std::string> names;
      if (CPxDirectory::List(MediaJobDir(agent, job), names).IsError()) continue;
      for (const std::string& name : names) {
        ArchiveLocation location;
        if (!ParseArchiveName(name, suffix, location.archiveFileId)) continue;
        location.mediaAgent = agent;
        location.jobId = job;
        location.path = MediaJobDir(agent, job) + "/" + name;
        found.push_back(location);
      }
    }
  }
  std::sort(found.begin(), found.end(), [](const ArchiveLocation& a, const ArchiveLocation& b) {
    if (a.jobId != b.jobId) return a.jobId < b.jobId;
    if (a.mediaAgent != b.mediaAgent) return a.mediaAgent < b.mediaAgent;
    return a.archiveFileId < b.archiveFileId;
  });
  return found;
}

// The ids of the archive files noted for the VM in the job on the media agent, in order, each once.
std::vector<uint64_t> NotedArchiveIds(const std::string& mediaAgent, int64_t jobId, const std::string& vmGuid) {
  std::vector<uint64_t> ids;
  const std::string list = VMArchiveListPath(mediaAgent, jobId, vmGuid);
  if (list.empty()) return ids;
  // A line cut short was never a note: its archive file's creation failed with it.
  for (const std::string& line : ReadWholeLines(list)) {
    uint64_t id = 0;
    if (labkv::ParseUInt64(line, id)) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

}  // namespace

std::string VMArchiveListPath(const std::string& mediaAgent, int64_t jobId, const std::string& vmGuid) {
  const std::string jobDir = MediaJobDir(mediaAgent, jobId);
  const std::string name = FXString::ToLower(vmGuid);
  if (jobDir.empty() || !IsSafeComponent(name)) return std::string();
  return jobDir + "/vms/" + name;
}

std::string MediaJobDir(const std::string& mediaAgent, int64_t jobId) {
  if (Root().empty() || !IsSafeComponent(mediaAgent) || jobId <= 0) return std::string();
  return MediaAgentDir(mediaAgent) + "/" + std::to_string(jobId);
}

std::string ArchiveFilePath(const std::string& mediaAgent, int64_t jobId, uint64_t archiveFileId) {
  const std::string dir = MediaJobDir(mediaAgent, jobId);
  if (dir.empty()) return std::string();
  char name[32];
  std::snprintf(name, sizeof name, "%08llu%s", static_cast<unsigned long long>(archiveFileId), kSuffix);
  return dir + "/" + name;
}

bool TakeArchiveFileId(const std::string& mediaAgent, uint64_t& id, std::string& error) {
  if (Root().empty() || !IsSafeComponent(mediaAgent)) {
    error = "no usable media agent [" + mediaAgent + "] in the lab";
    return false;
  }
  if (!MakeDirs(MediaAgentDir(mediaAgent))) {
    error = "cannot create the folder of media agent " + mediaAgent;
    return false;
  }
  uint64_t taken = 0;
  bool ok = UpdateFileLocked(
      MediaAgentDir(mediaAgent) + "/archive-ids",
      [&](std::string& text, bool, std::string& why) {
        std::map<std::string, std::string> values;
        if (!labkv::Parse(text, values, why)) return false;
        uint64_t next = 1;
        auto found = values.find("next");
        if (found != values.end() && (!labkv::ParseUInt64(found->second, next) || next == 0)) {
          why = "archive-ids holds no usable next id";
          return false;
        }
        taken = next;
        values["next"] = std::to_string(next + 1);
        text = labkv::Format(values);
        return true;
      },
      error);
  if (ok) id = taken;
  return ok;
}

std::vector<ArchiveLocation> ListArchiveFiles(int64_t jobId) { return ListFiles(jobId, kSuffix); }

std::vector<ArchiveLocation> ListUncommittedArchiveFiles(int64_t jobId) {
  return ListFiles(jobId, std::string(kSuffix) + archive::kUncommittedSuffix);
}

bool RecordVMArchiveFile(const std::string& mediaAgent, int64_t jobId, const std::string& vmGuid,
                         uint64_t archiveFileId, std::string& error) {
  const std::string jobDir = MediaJobDir(mediaAgent, jobId);
  const std::string path = VMArchiveListPath(mediaAgent, jobId, vmGuid);
  const std::string notes = path.substr(0, path.rfind('/'));
  // Restores and the stub's check find the VM's archives by this note alone: it must survive a crash
  // as the archive file does, and so must the folders a job's first note makes.
  const bool firstNote = !path.empty() && !IsDirectory(notes);
  if (path.empty() || !MakeDirs(notes) || (firstNote && (!SyncFolder(notes) || !SyncFolder(jobDir))) ||
      !AppendWholeLineLocked(path, std::to_string(archiveFileId), Durability::kDurable)) {
    error = "cannot note archive file " + std::to_string(archiveFileId) + " of VM [" + vmGuid + "] for job " +
            std::to_string(jobId) + " on media agent [" + mediaAgent + "]";
    return false;
  }
  return true;
}

std::vector<ArchiveLocation> ListVMArchiveFiles(int64_t jobId, const std::string& vmGuid) {
  std::vector<ArchiveLocation> found;
  std::vector<std::string> agents;
  if (Root().empty() || jobId <= 0 || CPxDirectory::List(MediaDir(), agents).IsError()) return found;
  std::sort(agents.begin(), agents.end());
  for (const std::string& agent : agents) {
    for (uint64_t id : NotedArchiveIds(agent, jobId, vmGuid)) {
      ArchiveLocation location{agent, jobId, id, ArchiveFilePath(agent, jobId, id)};
      if (access(location.path.c_str(), F_OK) == 0) found.push_back(location);
    }
  }
  return found;
}

std::map<uint64_t, std::string> NotedVMsOfJob(const std::string& mediaAgent, int64_t jobId) {
  std::map<uint64_t, std::string> noted;
  const std::string jobDir = MediaJobDir(mediaAgent, jobId);
  std::vector<std::string> vms;
  if (jobDir.empty() || CPxDirectory::List(jobDir + "/vms", vms).IsError()) return noted;
  for (const std::string& vm : vms)
    for (uint64_t id : NotedArchiveIds(mediaAgent, jobId, vm)) noted.emplace(id, vm);
  return noted;
}

std::string NotedVMOfArchive(const ArchiveLocation& location) {
  const std::map<uint64_t, std::string> noted = NotedVMsOfJob(location.mediaAgent, location.jobId);
  const auto found = noted.find(location.archiveFileId);
  return found == noted.end() ? std::string() : found->second;
}

std::vector<ArchiveLocation> ListVMArchiveFilesUpTo(const std::string& vmGuid, int64_t asOfJob) {
  std::set<int64_t> jobs;
  std::vector<std::string> agents;
  if (Root().empty() || CPxDirectory::List(MediaDir(), agents).IsError()) return {};
  for (const std::string& agent : agents) {
    std::vector<std::string> names;
    if (!IsSafeComponent(agent) || CPxDirectory::List(MediaAgentDir(agent), names).IsError()) continue;
    for (const std::string& name : names) {
      int64_t job = 0;
      if (labkv::ParseInt64(name, job) && job > 0 && (asOfJob <= 0 || job <= asOfJob)) jobs.insert(job);
    }
  }
  std::vector<ArchiveLocation> found;
  for (int64_t job : jobs) {
    const std::vector<ArchiveLocation> ofJob = ListVMArchiveFiles(job, vmGuid);
    found.insert(found.end(), ofJob.begin(), ofJob.end());
  }
  return found;
}

uint64_t HighestVMDispatchInArchives(int64_t jobId, const std::string& vmGuid) {
  uint64_t highest = 0;
  std::vector<std::string> agents;
  if (Root().empty() || jobId <= 0 || CPxDirectory::List(MediaDir(), agents).IsError()) return highest;
  for (const std::string& agent : agents) {
    for (uint64_t id : NotedArchiveIds(agent, jobId, vmGuid)) {
      const std::string committed = ArchiveFilePath(agent, jobId, id);
      archive::ArchiveContents contents;
      archive::Problem problem;
      if (archive::ReadArchiveBegin(committed, contents, problem) ||
          archive::ReadArchiveBegin(committed + archive::kUncommittedSuffix, contents, problem))
        highest = std::max(highest, contents.dispatch);
    }
  }
  return highest;
}

}  // namespace lab
