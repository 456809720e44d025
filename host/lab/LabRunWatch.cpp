// What "run" shows of a running job, as the job manager's console would: a line whenever a VM's phase
// or percent changes in the job's records, and at the end a summary of the job's records.
#include <sys/stat.h>

#include <cstdio>
#include <map>

#include "host/lab/LabTool.h"
#include "platform/archive/ArchiveReader.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMedia.h"
#include "records/messages/JobManagerMessages.h"

namespace labtool {
namespace {

using Info = JobManager::VMUpdateInfo;

// The phase of a running VM's backup by its percent, as the worker reports it.
const char* PhaseOf(int percent) {
  if (percent <= 0) return "waiting";
  if (percent < 20) return "mounting";
  if (percent < 30) return "configuration files";
  if (percent < 80) return "disks";
  if (percent < 90) return "disks read";
  if (percent < 99) return "index metadata";
  return "unmounting";
}

std::string Mib(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  return text;
}

}  // namespace

RunWatch::RunWatch(int64_t jobId) : jobId_(jobId) {}

std::string RunWatch::Name(const std::string& guid) {
  auto known = names_.find(guid);
  if (known != names_.end()) return known->second;
  std::string server;
  lab::VMDescription vm;
  lab::UnreadableVM unreadable;
  std::string name = guid;
  if (lab::FindLabVM(guid, server, vm))
    name = vm.name;
  else if (lab::FindUnreadableLabVM(guid, server, unreadable))
    name = unreadable.name;
  names_[guid] = name;
  return name;
}

void RunWatch::Look() {
  std::map<std::string, Shown> now;
  // Percentages as the job manager heard them, in order.
  const std::vector<std::string> progress = lab::ReadVMProgress(jobId_);
  for (size_t i = 0; i < progress.size(); ++i) {
    const size_t blank = progress[i].find(' ');
    int64_t percent = 0;
    if (blank == std::string::npos || !labkv::ParseInt64InRange(progress[i].substr(blank + 1), 0, 100, percent)) continue;
    Shown& vm = now[labkv::Trim(progress[i].substr(0, blank))];
    vm.percent = static_cast<int>(percent);
    vm.phase = PhaseOf(vm.percent);
  }
  // A VM's status record says when it is done, and how.
  for (const std::string& guid : lab::VMStatusGuids(jobId_)) {
    Info info;
    std::string error;
    if (!lab::LoadVMStatus(jobId_, guid, info, error)) continue;
    const int64_t status = info.getint64(Info::F_vmStatus);
    Shown& vm = now[guid];
    if (status == kVMInProgress) {
      if (vm.phase.empty()) vm.phase = PhaseOf(vm.percent);
      continue;
    }
    vm.percent = static_cast<int>(info.getint64(Info::F_progressPercent));
    vm.phase = VMStatusWords(status, info.getint64(Info::F_stubStatus));
    const std::string reason = info.getstring(Info::F_failureText);
    if (!reason.empty()) vm.phase += ": " + reason;
  }
  for (const auto& entry : now) {
    Shown& shown = shown_[entry.first];
    if (shown.phase == entry.second.phase && shown.percent == entry.second.percent) continue;
    shown = entry.second;
    std::printf("  %-12s %3d%%  %s\n", Name(entry.first).c_str(), std::max(shown.percent, 0), shown.phase.c_str());
  }
}

void RunWatch::PrintSummary(const RunSummary& summary) {
  std::map<std::string, int> byStatus;
  size_t vms = 0, backedUp = 0, wentFull = 0;
  for (const std::string& guid : lab::VMStatusGuids(jobId_)) {
    Info info;
    std::string error;
    ++vms;
    if (!lab::LoadVMStatus(jobId_, guid, info, error)) {
      ++byStatus["status unreadable"];
      continue;
    }
    const int64_t status = info.getint64(Info::F_vmStatus);
    ++byStatus[VMStatusWords(status, info.getint64(Info::F_stubStatus))];
    if (status != kVMBackedUp && status != kVMBackedUpWithErrors) continue;
    ++backedUp;
    if (info.getint64(Info::F_backupLevel) == 1) ++wentFull;
  }
  // What this run read and sent, from the archive files it wrote: extents with data, extents of zeros
  // sent as holes, and the files' bytes on the media agents. An earlier run's files are its own.
  uint64_t data = 0, holes = 0, sent = 0;
  size_t files = 0;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId_)) {
    if (summary.earlierArchives.count(location.path)) continue;
    archive::ArchiveContents contents;
    archive::Problem problem;
    struct stat status;
    if (stat(location.path.c_str(), &status) == 0) sent += static_cast<uint64_t>(status.st_size);
    ++files;
    if (!archive::ReadArchiveStructure(location.path, contents, problem)) continue;
    data += contents.dataBytes;
    holes += contents.holeBytes;
  }
  std::string statuses;
  for (const auto& entry : byStatus)
    statuses += (statuses.empty() ? "" : ", ") + std::to_string(entry.second) + " " + entry.first;
  std::printf("summary of job %lld: %s, %.1f s", static_cast<long long>(jobId_), summary.kind.c_str(), summary.seconds);
  if (summary.run > 1)
    std::printf(" (its run %zu: what earlier runs sent is not counted below)", summary.run);
  std::printf("\n  VMs: %s (of %zu)\n", statuses.empty() ? "none" : statuses.c_str(), vms);
  if (summary.level != 1 && wentFull > 0)
    std::printf("  %zu of the %zu backed up went full: nothing earlier to build on, or it could not be used\n",
                wentFull, backedUp);
  std::printf("  %s %s (%s of data, %s of zeros), sent %s in %s\n", summary.run > 1 ? "this run read" : "read",
              Mib(static_cast<double>(data + holes)).c_str(), Mib(static_cast<double>(data)).c_str(),
              Mib(static_cast<double>(holes)).c_str(), Mib(static_cast<double>(sent)).c_str(),
              Counted(files, "archive file").c_str());
  if (summary.seconds > 0)
    std::printf("  throughput %s/s read, %s/s sent\n", Mib(static_cast<double>(data + holes) / summary.seconds).c_str(),
                Mib(static_cast<double>(sent) / summary.seconds).c_str());
  if (summary.streamsAtEnd > summary.streamsAtStart)
    std::printf("  streams: %s more granted to the job during the run, at its request\n",
                Counted(summary.streamsAtEnd - summary.streamsAtStart, "stream").c_str());
}

}  // namespace labtool
