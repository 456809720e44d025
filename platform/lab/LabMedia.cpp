#include "platform/lab/LabMedia.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
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

// An archive file a note names, with the attempt the note records (both 0 when it records none).
struct NoteLine {
  uint64_t id = 0;
  uint64_t dispatch = 0;
  uint64_t process = 0;
};

// "<id>" (an older writer's) or "<id> <dispatch> <process>"; false for any other line.
bool ParseNoteLine(const std::string& line, NoteLine& note) {
  const size_t first = line.find(' ');
  if (first == std::string::npos) return labkv::ParseUInt64(line, note.id);
  const size_t second = line.find(' ', first + 1);
  return second != std::string::npos && labkv::ParseUInt64(line.substr(0, first), note.id) &&
         labkv::ParseUInt64(line.substr(first + 1, second - first - 1), note.dispatch) &&
         labkv::ParseUInt64(line.substr(second + 1), note.process);
}

// The archive files noted for the VM in the job on the media agent, by id, each once (a file noted
// twice keeps the attempt of its first note that records one).
std::vector<NoteLine> NotedArchiveLines(const std::string& mediaAgent, int64_t jobId, const std::string& vmGuid) {
  std::map<uint64_t, NoteLine> byId;
  const std::string list = VMArchiveListPath(mediaAgent, jobId, vmGuid);
  if (list.empty()) return {};
  // A line cut short was never a note: the archive file it was to name was given up with it.
  for (const std::string& line : ReadWholeLines(list)) {
    NoteLine note;
    if (!ParseNoteLine(line, note)) continue;
    NoteLine& kept = byId.emplace(note.id, note).first->second;
    if (kept.dispatch == 0 && kept.process == 0) kept = note;
  }
  std::vector<NoteLine> lines;
  for (const auto& entry : byId) lines.push_back(entry.second);
  return lines;
}

std::string DamagePath(const std::string& archivePath) { return archivePath + ".damaged"; }

// The jobs that have a folder on some media agent: the one job asked for (jobId > 0), or every job up
// to `asOfJob` (0: every job).
std::set<int64_t> MediaJobs(int64_t jobId, int64_t asOfJob) {
  std::set<int64_t> jobs;
  std::vector<std::string> agents;
  if (Root().empty() || CPxDirectory::List(MediaDir(), agents).IsError()) return jobs;
  for (const std::string& agent : agents) {
    std::vector<std::string> names;
    if (!IsSafeComponent(agent) || CPxDirectory::List(MediaAgentDir(agent), names).IsError()) continue;
    for (const std::string& name : names) {
      int64_t job = 0;
      if (labkv::ParseInt64(name, job) && job > 0 && (jobId <= 0 || job == jobId) && (asOfJob <= 0 || job <= asOfJob))
        jobs.insert(job);
    }
  }
  return jobs;
}

// What a whole read found wrong with a committed archive file, kept for the readers of its structure
// alone, and taken back once a whole read finds it well formed. Best effort: a record that cannot be
// written leaves the damage to the next whole read.
void RecordArchiveDamage(const std::string& archivePath, const std::string& why) {
  std::string recorded, error;
  // Recorded once: a whole read that finds what was recorded changes nothing.
  if (ArchiveDamageFound(archivePath, recorded) && recorded == why) return;
  WriteFileAtomic(DamagePath(archivePath), why + "\n", error);
}

void ClearArchiveDamage(const std::string& archivePath) {
  const std::string path = DamagePath(archivePath);
  if (unlink(path.c_str()) == 0) SyncFolder(path);
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
                         uint64_t archiveFileId, std::string& error, uint64_t dispatch, uint64_t process) {
  const std::string jobDir = MediaJobDir(mediaAgent, jobId);
  const std::string path = VMArchiveListPath(mediaAgent, jobId, vmGuid);
  const std::string notes = path.substr(0, path.rfind('/'));
  // Restores and the stub's check find the VM's archives by this note alone: it must survive a crash
  // as the archive file does, and so must the folders a job's first note makes.
  const bool firstNote = !path.empty() && !IsDirectory(notes);
  if (path.empty() || !MakeDirs(notes) || (firstNote && (!SyncFolder(notes) || !SyncFolder(jobDir))) ||
      !AppendWholeLineLocked(path,
                             std::to_string(archiveFileId) + (dispatch == 0 && process == 0
                                                                  ? std::string()
                                                                  : " " + std::to_string(dispatch) + " " +
                                                                        std::to_string(process)),
                             Durability::kDurable)) {
    error = "cannot note archive file " + std::to_string(archiveFileId) + " of VM [" + vmGuid + "] for job " +
            std::to_string(jobId) + " on media agent [" + mediaAgent + "]";
    return false;
  }
  return true;
}

std::string NotedArchive::FoundPath() const {
  return state == State::kUncommitted ? location.path + archive::kUncommittedSuffix : location.path;
}

std::vector<NotedArchive> ListVMNotedArchives(int64_t jobId, const std::string& vmGuid) {
  std::vector<NotedArchive> found;
  std::vector<std::string> agents;
  if (Root().empty() || jobId <= 0 || CPxDirectory::List(MediaDir(), agents).IsError()) return found;
  std::sort(agents.begin(), agents.end());
  for (const std::string& agent : agents) {
    for (const NoteLine& note : NotedArchiveLines(agent, jobId, vmGuid)) {
      NotedArchive noted;
      noted.location = ArchiveLocation{agent, jobId, note.id, ArchiveFilePath(agent, jobId, note.id)};
      noted.vm = FXString::ToLower(vmGuid);
      noted.dispatch = note.dispatch;
      noted.process = note.process;
      if (access(noted.location.path.c_str(), F_OK) == 0)
        noted.state = NotedArchive::State::kCommitted;
      else if (access((noted.location.path + archive::kUncommittedSuffix).c_str(), F_OK) == 0)
        noted.state = NotedArchive::State::kUncommitted;
      else
        noted.state = NotedArchive::State::kMissing;
      found.push_back(std::move(noted));
    }
  }
  return found;
}

std::vector<NotedArchive> ListVMNotedArchivesUpTo(const std::string& vmGuid, int64_t asOfJob) {
  std::vector<NotedArchive> found;
  for (int64_t job : MediaJobs(0, asOfJob)) {
    std::vector<NotedArchive> ofJob = ListVMNotedArchives(job, vmGuid);
    std::move(ofJob.begin(), ofJob.end(), std::back_inserter(found));
  }
  return found;
}

std::vector<NotedArchive> ListNotedArchives(int64_t jobId) {
  std::vector<NotedArchive> found;
  for (int64_t job : MediaJobs(jobId, 0)) {
    std::set<std::string> vms;
    std::vector<std::string> agents;
    CPxDirectory::List(MediaDir(), agents);
    for (const std::string& agent : agents) {
      std::vector<std::string> names;
      const std::string jobDir = MediaJobDir(agent, job);
      if (!jobDir.empty() && !CPxDirectory::List(jobDir + "/vms", names).IsError())
        for (const std::string& name : names)
          if (IsSafeComponent(name)) vms.insert(FXString::ToLower(name));
    }
    for (const std::string& vm : vms) {
      std::vector<NotedArchive> ofVM = ListVMNotedArchives(job, vm);
      std::move(ofVM.begin(), ofVM.end(), std::back_inserter(found));
    }
  }
  return found;
}

std::vector<ArchiveLocation> ListVMArchiveFiles(int64_t jobId, const std::string& vmGuid) {
  std::vector<ArchiveLocation> found;
  for (const NotedArchive& noted : ListVMNotedArchives(jobId, vmGuid))
    if (noted.state == NotedArchive::State::kCommitted) found.push_back(noted.location);
  return found;
}

bool ArchiveDamageFound(const std::string& archivePath, std::string& why) {
  std::string text, error;
  switch (ReadOptionalFile(DamagePath(archivePath), kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing: return false;
    // A record that cannot be read still says a whole read found the file damaged.
    case ReadResult::kFailed: why = "a whole read found it not well formed (" + error + ")"; return true;
    case ReadResult::kRead: break;
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  why = text.empty() ? std::string("a whole read found it not well formed") : text;
  return true;
}

bool ReadArchiveWhole(const ArchiveLocation& location, archive::ArchiveContents& contents, archive::Problem& problem) {
  if (archive::ReadArchive(location.path, contents, problem)) {
    ClearArchiveDamage(location.path);
    return true;
  }
  // Only what the structure does not show needs keeping: a file that cannot be opened, or whose
  // records do not hold together, shows as much to every reader.
  archive::ArchiveContents structure;
  archive::Problem structural;
  if (archive::ReadArchiveStructure(location.path, structure, structural))
    RecordArchiveDamage(location.path, problem.Describe());
  return false;
}

uint64_t HighestVMDispatchInArchives(int64_t jobId, const std::string& vmGuid) {
  uint64_t highest = 0;
  std::vector<std::string> agents;
  if (Root().empty() || jobId <= 0 || CPxDirectory::List(MediaDir(), agents).IsError()) return highest;
  for (const std::string& agent : agents) {
    for (const NoteLine& note : NotedArchiveLines(agent, jobId, vmGuid)) {
      highest = std::max(highest, note.dispatch);
      const std::string committed = ArchiveFilePath(agent, jobId, note.id);
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
