// quarn-lab verify: reading the lab's archive files as restores find them, and judging each.
#include "host/lab/LabVerifyArchives.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "host/lab/LabTool.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabMedia.h"

namespace labtool {
namespace {

// Every archive file the VMs' notes name, by media agent, job and archive file id.
using NotesOfJobs = std::map<std::pair<std::string, int64_t>, std::map<uint64_t, std::vector<lab::NotedArchive>>>;

NotesOfJobs ReadNotes(int64_t asOf) {
  NotesOfJobs notes;
  for (lab::NotedArchive& noted : lab::ListNotedArchives()) {
    if (asOf > 0 && noted.location.jobId > asOf) continue;
    auto& ofJob = notes[std::make_pair(noted.location.mediaAgent, noted.location.jobId)];
    ofJob[noted.location.archiveFileId].push_back(std::move(noted));
  }
  return notes;
}

const std::vector<lab::NotedArchive>& NotesOf(const NotesOfJobs& notes, const lab::ArchiveLocation& location) {
  static const std::vector<lab::NotedArchive> none;
  const auto job = notes.find(std::make_pair(location.mediaAgent, location.jobId));
  if (job == notes.end()) return none;
  const auto found = job->second.find(location.archiveFileId);
  return found == job->second.end() ? none : found->second;
}

// One committed archive file read whole, and taken for the VM the notes that name it say, as restores
// take it.
void ReadCommittedArchive(const lab::ArchiveLocation& location, const std::vector<lab::NotedArchive>& noted,
                          archive::ArchiveContents& contents, ArchiveRead& read) {
  read.committed = true;
  read.wellFormed = lab::ReadArchiveWhole(location, contents, read.problem);
  // An archive cut short before it says what it is: of the job its folder names.
  if (contents.jobId == 0) contents.jobId = location.jobId;
  if (archive::BeginUnread(contents)) {
    if (!noted.empty()) {
      contents.vmGuid = noted.front().vm;
      contents.dispatch = noted.front().dispatch;
      contents.attempt = noted.front().process;
    }
    return;
  }
  if (contents.vmGuid.empty() || contents.indexOnly) return;
  bool ownNote = false;
  for (const lab::NotedArchive& note : noted) {
    if (note.vm == Lower(contents.vmGuid))
      ownNote = true;
    else
      read.foreignTo.push_back(note.vm);
  }
  if (!ownNote) {
    read.unnoted = contents.vmGuid;
    contents.vmGuid.clear();
  }
}

// A file a VM's note names that was never committed, or is not there, leaves that job's backup of the
// VM not whole, as restores find it.
void ReadNotedAbsentArchives(const NotesOfJobs& notes, Verification& verification, std::vector<ArchiveRead>& reads) {
  for (const auto& job : notes) {
    for (const auto& archiveNotes : job.second) {
      for (const lab::NotedArchive& noted : archiveNotes.second) {
        if (noted.state == lab::NotedArchive::State::kCommitted) continue;
        archive::ArchiveContents contents;
        if (!lab::ReadNotedVMArchive(noted, noted.vm, true, contents)) continue;
        ArchiveRead read;
        read.notCommitted = noted.state == lab::NotedArchive::State::kUncommitted;
        read.problem.path = noted.FoundPath();
        read.problem.text = read.notCommitted ? "NOT COMMITTED, though noted for VM " + noted.vm
                                              : "MISSING: noted for VM " + noted.vm + ", but not there";
        verification.archives.push_back(std::move(contents));
        reads.push_back(std::move(read));
      }
    }
  }
}

void PrintArchive(const archive::ArchiveContents& contents) {
  std::printf("archive %s: job %lld VM %s level %u stream %d, %llu records, %llu data bytes, %llu hole bytes%s\n",
              contents.path.c_str(), static_cast<long long>(contents.jobId), contents.vmGuid.c_str(),
              contents.backupLevel, contents.streamId, static_cast<unsigned long long>(contents.records),
              static_cast<unsigned long long>(contents.dataBytes), static_cast<unsigned long long>(contents.holeBytes),
              contents.indexOnly ? " (index only)" : "");
  struct ExtentCount {
    uint64_t items = 0, data = 0, holes = 0;
  };
  std::map<std::string, ExtentCount> extents;
  for (const archive::Item& item : contents.items) {
    if (item.kind == archive::ItemKind::kExtent) {
      ExtentCount& count = extents[item.diskName];
      ++count.items;
      count.data += item.dataBytes;
      count.holes += item.holeBytes;
      continue;
    }
    if (item.kind == archive::ItemKind::kPseudo) continue;
    std::printf("  %s %s: %llu bytes%s\n", archive::ItemKindName(item.kind), item.name.c_str(),
                static_cast<unsigned long long>(item.kind == archive::ItemKind::kFile ||
                                                        item.kind == archive::ItemKind::kContainer
                                                    ? item.dataBytes + item.holeBytes
                                                    : item.declaredSize),
                item.success ? "" : " (ended failed)");
  }
  for (const auto& disk : extents)
    std::printf("  extents of %s: %s, %llu data bytes, %llu hole bytes\n", disk.first.c_str(),
                Counted(disk.second.items, "item").c_str(), static_cast<unsigned long long>(disk.second.data),
                static_cast<unsigned long long>(disk.second.holes));
  uint64_t unchanged = 0;
  for (const archive::UnchangedRange& range : contents.ranges) unchanged += range.last - range.first + 1;
  if (!contents.ranges.empty())
    std::printf("  unchanged extents: %llu in %s\n", static_cast<unsigned long long>(unchanged),
                Counted(contents.ranges.size(), "range").c_str());
}

// Groups the VMs' archives by VM and job and judges each job's backup of each VM.
void GroupByVMAndJob(Verification& verification) {
  for (const archive::ArchiveContents& contents : verification.archives)
    if (!contents.indexOnly && !contents.vmGuid.empty())
      verification.jobs[Lower(contents.vmGuid)][contents.jobId].archives.push_back(&contents);
  for (auto& vm : verification.jobs)
    for (auto& job : vm.second) job.second.judged = archive::JudgeJobBackup(job.second.archives);
}

// True when a malformed archive is of an attempt its job's later attempt at the VM superseded: no part
// of the VM's backup, and no reason to leave the job out of the VM's chain.
bool Superseded(const Verification& verification, const archive::ArchiveContents& malformed) {
  if (malformed.vmGuid.empty()) return false;
  const archive::Attempt attempt = archive::AttemptOf(malformed);
  // One of which nothing tells the attempt counts with the latest, as the judge takes it.
  if (archive::BeginUnread(malformed) && attempt == archive::Attempt()) return false;
  return !(attempt == JobOf(verification, malformed.vmGuid, malformed.jobId).judged.attempt);
}

// Whether the archive concerns the VM asked about (every archive does when none is).
bool Concerns(const archive::ArchiveContents& contents, const ArchiveRead& read, const std::string& vmScope) {
  if (vmScope.empty()) return true;
  return Lower(contents.vmGuid) == vmScope || Lower(read.unnoted) == vmScope ||
         std::find(read.foreignTo.begin(), read.foreignTo.end(), vmScope) != read.foreignTo.end();
}

// Names one archive read (listed whole when `listed` and well formed) and counts its problems.
void JudgeArchive(const archive::ArchiveContents& contents, const ArchiveRead& read, bool listed,
                  const std::string& vmScope, Verification& verification) {
  if (!read.unnoted.empty())
    std::printf("archive %s: of VM %s by its beginning, but no note of the job names it for the VM: restores do "
                "not find it, and it stands for no backup\n",
                read.problem.path.c_str(), read.unnoted.c_str());
  // A note that names another VM's archive leaves the VM it belongs to without that archive.
  for (const std::string& vm : read.foreignTo) {
    if (!vmScope.empty() && vm != vmScope) continue;
    ++verification.problems;
    verification.foreignNotes.insert(vm);
    std::printf("archive %s: NOTED FOR VM %s in job %lld, but of VM %s by its beginning: it stands for no backup "
                "of %s\n",
                read.problem.path.c_str(), vm.c_str(), static_cast<long long>(contents.jobId),
                contents.vmGuid.c_str(), vm.c_str());
  }
  if (contents.malformed.empty()) {
    if (listed && Concerns(contents, ArchiveRead(), vmScope)) PrintArchive(contents);
    return;
  }
  // A malformed archive of an earlier job matters too: it keeps that job out of the chain, unless a
  // later attempt of the job stands in its place. A file its note names that never became part of a
  // backup the job reported (a VM that failed there, an earlier attempt) is named, and no problem of
  // the backups that were committed.
  const bool earlier = Superseded(verification, contents);
  const bool noProblem = earlier || (contents.absent && !lab::ReportedBackupsOfVM(contents.vmGuid, contents.jobId,
                                                                                  contents.jobId)
                                                               .jobs.count(contents.jobId));
  if (read.committed)
    std::printf("archive %s: MALFORMED at offset %llu: %s\n", read.problem.path.c_str(),
                static_cast<unsigned long long>(read.problem.offset), read.problem.text.c_str());
  else if (noProblem && read.notCommitted)
    std::printf("archive %s: not committed, left by an interrupted attempt\n", read.problem.path.c_str());
  else if (noProblem)
    std::printf("archive %s: %s in job %lld, which did not report the VM backed up\n", read.problem.path.c_str(),
                read.problem.text.c_str(), static_cast<long long>(contents.jobId));
  else
    std::printf("archive %s: %s in job %lld\n", read.problem.path.c_str(), read.problem.text.c_str(),
                static_cast<long long>(contents.jobId));
  if (earlier)
    std::printf("  note: of an earlier attempt of job %lld at the VM, which a later attempt stands in for\n",
                static_cast<long long>(contents.jobId));
  if (!noProblem) ++verification.problems;
}

// Whether the file's beginning says it is the VM's (a GUID in lower case); false when it does not read.
bool BeginsAsVMs(const std::string& path, const std::string& vm) {
  archive::ArchiveContents begin;
  archive::Problem problem;
  return archive::ReadArchiveBegin(path, begin, problem) && Lower(begin.vmGuid) == vm;
}

// A file no note names that its attempt never committed holds no backup: it is named, and is no
// problem of the backups that were committed. A verify of one VM names those whose beginning says they
// are its own.
void NameUncommittedLeftovers(const std::vector<ArchiveRead>& reads, int64_t asOf, int64_t listedJob,
                              const std::string& vmScope) {
  std::set<std::string> notedUncommitted;
  for (const ArchiveRead& read : reads)
    if (read.notCommitted) notedUncommitted.insert(read.problem.path);
  for (const lab::ArchiveLocation& location : lab::ListUncommittedArchiveFiles(listedJob)) {
    if ((asOf > 0 && location.jobId > asOf) || notedUncommitted.count(location.path)) continue;
    if (!vmScope.empty() && !BeginsAsVMs(location.path, vmScope)) continue;
    std::printf("archive %s: not committed, left by an interrupted attempt\n", location.path.c_str());
  }
}

}  // namespace

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const JobOfVM& JobOf(const Verification& verification, const std::string& guid, int64_t jobId) {
  static const JobOfVM none;
  const auto vm = verification.jobs.find(Lower(guid));
  if (vm == verification.jobs.end()) return none;
  const auto job = vm->second.find(jobId);
  return job == vm->second.end() ? none : job->second;
}

std::vector<ArchiveRead> ReadArchives(int64_t asOf, Verification& verification) {
  std::vector<ArchiveRead> reads;
  const NotesOfJobs notes = ReadNotes(asOf);
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles()) {
    if (asOf > 0 && location.jobId > asOf) continue;
    archive::ArchiveContents contents;
    ArchiveRead read;
    ReadCommittedArchive(location, NotesOf(notes, location), contents, read);
    verification.archives.push_back(std::move(contents));
    reads.push_back(std::move(read));
  }
  ReadNotedAbsentArchives(notes, verification, reads);
  return reads;
}

void JudgeArchives(const std::vector<ArchiveRead>& reads, int64_t asOf, int64_t listedJob, const std::string& vmScope,
                   Verification& verification) {
  GroupByVMAndJob(verification);
  for (size_t i = 0; i < verification.archives.size(); ++i) {
    const archive::ArchiveContents& contents = verification.archives[i];
    const ArchiveRead& read = reads[i];
    if (!Concerns(contents, read, vmScope)) continue;
    const bool listed = listedJob == 0 || contents.jobId == listedJob;
    if (listed && read.committed) ++verification.listedFiles;
    if (read.wellFormed) ++verification.wellFormed;
    JudgeArchive(contents, read, listed, vmScope, verification);
  }
  NameUncommittedLeftovers(reads, asOf, listedJob, vmScope);
}

}  // namespace labtool
