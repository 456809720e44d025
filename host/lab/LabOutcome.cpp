// quarn-lab outcome: how a job ended, in words, with what the job manager knows of it (pending causes,
// events, each VM's status, the result file "backup.out") and the lines of the job process's log that
// matter: banners, errors, warnings and the job summary of its last run.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "host/lab/LabTool.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabStubPhase.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/FXString.h"
#include "records/messages/JobManagerMessages.h"

namespace labtool {
namespace {

// Larger logs are not scanned (the process log rotates far below this).
constexpr size_t kMaxLogBytes = 256 * 1024 * 1024;
const char* const kLogId = "quarn";
const char* const kStartBanner = "] has started ";
const char* const kSummaryHeading = "===== JOB SUMMARY REPORT";

void PrintSection(const char* title, const std::vector<std::string>& lines) {
  std::printf("%s:\n", title);
  if (lines.empty()) std::printf("  (none)\n");
  for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
}

// The job's outcome from the last phase result the job process set.
void FromPhases(const std::vector<std::string>& phaseLines, JobOutcome& outcome) {
  if (phaseLines.empty()) {
    outcome.state = JobState::kNoOutcome;
    outcome.words = "no outcome yet: the job process has not set the phase result";
    return;
  }
  lab::PhaseLine last;
  if (!lab::ParsePhaseLine(phaseLines.back(), last)) {
    outcome.state = JobState::kNoOutcome;
    outcome.words = "unknown: the last phase result is [" + phaseLines.back() + "]";
    return;
  }
  switch (last.kind) {
    case lab::PhaseLine::kSuccessful:
      outcome.state = JobState::kCompleted;
      outcome.words = "completed";
      return;
    case lab::PhaseLine::kPartialSuccess:
      outcome.state = JobState::kCompletedWithErrors;
      outcome.words = "completed with errors";
      return;
    case lab::PhaseLine::kFailed:
      outcome.state = last.failJob ? JobState::kFailed : JobState::kPending;
      outcome.words = last.failJob ? "failed" : last.setupFailed ? "pending (its set-up failed)" : "pending";
      return;
    case lab::PhaseLine::kAutoResume:
      outcome.state = JobState::kResumes;
      outcome.words = "resumed: it resumes by itself in " + std::to_string(last.seconds) + " seconds";
      return;
    case lab::PhaseLine::kAutoResumeRefused:
      outcome.state = JobState::kPending;
      outcome.words = "pending: the automatic resume was refused";
      return;
  }
}

// What the job manager holds of a run that set no phase result of its own, or whose job process was
// killed: the phase has not ended, whatever an earlier phase of the job ended with.
void FromUnfinishedRun(const lab::JobRun& run, const std::vector<std::string>& results, JobOutcome& outcome) {
  std::string process = "the job process";
  if (run.phase == lab::JobPhase::kStub) process += " of its stub phase";
  process += run.signal != 0 ? " was killed by signal " + std::to_string(run.signal)
                             : " ended (status=" + std::to_string(run.status) + ")";
  outcome.state = JobState::kPending;
  outcome.words = "pending: " + process +
                  (results.empty() ? " without an outcome" : " after it set the phase result [" + results.back() + "]");
}

// What the lab tool's runs of the job say: whether one holds the job now, and how the last one ended.
// `results` are the phase results the last run set.
void FromRun(const lab::JobRun& run, const std::vector<std::string>& results, int64_t jobId, JobOutcome& outcome) {
  lab::RunHolder holder;
  if (lab::CurrentRun(holder) && holder.jobId == jobId) {
    outcome.running = true;
    outcome.runPid = holder.pid;
    const std::string by = holder.orphaned ? "its job process " + std::to_string(holder.jobProcess) +
                                                 ", whose quarn-lab run was killed"
                                           : "quarn-lab run, process " + std::to_string(holder.pid);
    outcome.words = "running (" + by + "); so far: " + outcome.words;
    return;
  }
  switch (run.end) {
    case lab::JobRun::End::kInterrupted:
      outcome.interrupted = true;
      outcome.words = "not running: its run was interrupted; " + outcome.words;
      return;
    case lab::JobRun::End::kNotYet:
      if (outcome.state == JobState::kNoOutcome)
        outcome.words = "not running: its run ended without a word (the lab tool was killed); " + outcome.words;
      return;
    case lab::JobRun::End::kEnded:
      if (run.signal != 0 || results.empty()) FromUnfinishedRun(run, results, outcome);
      return;
  }
}

// A stub phase whose job process died leaves the VMs it had not archived taken (lab::StubPhaseTraces).
// When runs.log does not show that run (lost, a line older than its phase field, a start line of a
// process that never ran), the job's last phase result is an earlier phase's and ends nothing: a
// "completed" job with a VM taken (a stub phase that ended without archiving one sets no success), or
// one completed with errors with a stub under way, is pending. `runsLogTells`: runs.log shows the stub
// phase as the latest run, or shows that the latest attempt began after the stub phase's run (what it
// left is an earlier attempt's).
void FromStubPhaseTraces(int64_t jobId, bool runsLogTells, JobOutcome& outcome) {
  if (runsLogTells || outcome.running || outcome.interrupted ||
      (outcome.state != JobState::kCompleted && outcome.state != JobState::kCompletedWithErrors))
    return;
  const lab::StubPhaseTraces traces = lab::FindStubPhaseTraces(jobId);
  const std::vector<std::string>& left = outcome.state == JobState::kCompleted ? traces.taken : traces.underWay;
  if (left.empty()) return;
  std::string names;
  for (const std::string& name : left) names += (names.empty() ? "" : ", ") + name;
  outcome.state = JobState::kPending;
  outcome.stubPhaseNotEnded = true;
  outcome.words = "pending: its stub phase has not ended (" + names + " taken by it and not archived; runs.log does "
                  "not show that run), and the phase result it read as " + outcome.words + " is an earlier phase's";
}

// Where a log line's field after its first `fields` blank-separated fields begins; npos when it has
// fewer.
size_t AfterFields(const std::string& line, int fields) {
  size_t position = 0;
  for (int field = 0; field < fields && position != std::string::npos; ++field) {
    position = line.find(' ', position);
    if (position != std::string::npos) ++position;
  }
  return position;
}

// The text of a log line after its process, thread, date, time and job fields.
std::string LogText(const std::string& line) {
  const size_t position = AfterFields(line, 5);
  return position == std::string::npos ? std::string() : line.substr(position);
}

bool MentionsWarning(const std::string& text) {
  for (size_t i = 0; i + 7 <= text.size(); ++i) {
    if (strncasecmp(text.c_str() + i, "warning", 7) == 0) return true;
  }
  return false;
}

// The job field of a log line (after process, thread, date and time).
std::string LogJob(const std::string& line) {
  const size_t position = AfterFields(line, 4);
  if (position == std::string::npos) return std::string();
  const size_t end = line.find(' ', position);
  return line.substr(position, end == std::string::npos ? std::string::npos : end - position);
}

// The job's lines of the client's log, from the rule above the start banner of its last run on: the
// log and, when the run began before it, its rotated versions; empty when the job has none there.
std::vector<std::string> LastRunOfJob(const std::string& client, int64_t jobId) {
  const std::string job = std::to_string(jobId);
  std::vector<std::string> paths = lab::RotatedClientLogPaths(client, kLogId);
  paths.push_back(lab::ClientLogPath(client, kLogId));
  std::vector<std::string> lines;  // the job's, newest file last
  bool started = false;            // the run's start banner is in the files read
  for (auto path = paths.rbegin(); path != paths.rend() && !started; ++path) {
    std::vector<std::string> ofJob;
    for (std::string& line : lab::ReadLines(*path, kMaxLogBytes)) {
      if (LogJob(line) != job) continue;
      started = started || line.find(kStartBanner) != std::string::npos;
      ofJob.push_back(std::move(line));
    }
    lines.insert(lines.begin(), ofJob.begin(), ofJob.end());
  }
  size_t first = lines.size();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(kStartBanner) != std::string::npos) first = i > 0 ? i - 1 : i;
  if (first == lines.size()) first = 0;  // the run's start rotated away: all that is left of it
  return std::vector<std::string>(lines.begin() + static_cast<long>(first), lines.end());
}

// The lines that matter of a run: banners, errors, warnings and the job summary.
std::vector<std::string> LinesThatMatter(const std::vector<std::string>& run) {
  std::vector<std::string> kept;
  bool inSummary = false;
  for (size_t i = 0; i < run.size(); ++i) {
    const std::string text = LogText(run[i]);
    const bool rule = !text.empty() && text[0] == '=';
    // The summary's lines carry the logging function's signature before their text.
    const bool heading = text.find(kSummaryHeading) != std::string::npos;
    const bool closing = !heading && text.size() >= 10 && text.compare(text.size() - 10, 10, "==========") == 0;
    if (heading) inSummary = true;
    if (rule || inSummary || text.compare(0, 6, "ERROR ") == 0 || MentionsWarning(text)) kept.push_back(run[i]);
    if (inSummary && (rule || closing) && !heading) inSummary = false;
  }
  return kept;
}

// Whether an event of the job says that its stub phase stubbed the VM (0x5B000053: the VM's name, the job).
bool JobEventSaysStubbed(int64_t jobId, const std::vector<lab::JobLine>& events, const std::string& name) {
  const std::string stubbed = " 0x5B000053 " + name + "|" + std::to_string(jobId);
  for (const lab::JobLine& line : events)
    if (line.text.size() >= stubbed.size() &&
        line.text.compare(line.text.size() - stubbed.size(), stubbed.size(), stubbed) == 0)
      return true;
  return false;
}

// What the job's stub phase made of a VM whose job manager's record still holds it to be archived, in
// place of the record's words, which would show a stub as a VM backed up: a stub made (the job's event,
// or the hypervisor's stub record naming the job as stubbed) or begun (that record naming the job as in
// progress, or a disk the job's stub deleted). Empty for a VM the job's stub phase did not touch.
std::string StubOfJobWords(const std::string& name, int64_t status, bool byEvent, const lab::StubPhaseTraces& traces) {
  const auto has = [&name](const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  const bool byRecord = has(traces.made);
  std::string words;
  if (byEvent || byRecord) {
    words = std::string("Stubbed by this job (") +
            (byEvent && byRecord ? "its event 0x5B000053 and the hypervisor's stub record say so"
             : byEvent           ? "its event 0x5B000053 says so"
                                 : "the hypervisor's stub record says so") +
            ")";
  } else if (has(traces.stubbed)) {
    words = "Its stub by this job begun and not made (the hypervisor's stub record, or a disk the job's stub deleted, "
            "says so)";
  } else {
    return std::string();
  }
  return words + ", which the job manager's record does not say: it reads [" +
         vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(status)) + "], stub status [" +
         vsJobMgr::convertVMStubStatusToString(static_cast<int>(lab::kVMStubStatusToBeArchived)) + "]";
}

// The first of the runs (numbered from 1) of the job's latest attempt: its last run of the backup phase,
// which the runs of the stub phase after it belong to (the first run when none is of the backup phase).
size_t FirstRunOfLatestAttempt(const std::vector<lab::JobRun>& runs) {
  for (size_t run = runs.size(); run > 0; --run)
    if (runs[run - 1].phase == lab::JobPhase::kBackup) return run;
  return 1;
}

// The words of a coordinator that could not record a VM's status: a later attempt of the job backs it up
// again, which holds only until a later job of the subclient has run.
const char* const kLaterAttemptWords = "a later attempt of the job";

// The VMs (by name) that an event of a run of the job's latest attempt (its backup phase or stub phase,
// or of a run not known) names as not backed up with a reason (its arguments: the VM's name, the reason),
// each with whether a reason promises a later attempt of the job; in one read of the events.
std::map<std::string, bool> VMsNotBackedUpByLatestAttempt(int64_t jobId, const std::vector<lab::JobRun>& runs) {
  const std::string event = " 0x5B0001DB ";
  const size_t first = FirstRunOfLatestAttempt(runs);
  std::map<std::string, bool> vms;
  for (const lab::JobLine& line : lab::ReadNumberedJobEvents(jobId)) {
    const size_t run = lab::RunOfJobEvent(runs, line.number);
    const size_t named = line.text.find(event);
    if ((run != 0 && run < first) || named == std::string::npos) continue;
    const size_t bar = line.text.find('|', named);
    if (bar == std::string::npos) continue;
    bool& promises = vms[line.text.substr(named + event.size(), bar - named - event.size())];
    promises = promises || line.text.find(kLaterAttemptWords, bar) != std::string::npos;
  }
  return vms;
}

// What stands of a VM of the job once later jobs of its subclient have run (`later`, in order): the first
// of them that holds a record of the VM, with its status there. The job manager runs no attempt of the job
// again: it would supersede what those jobs restore the VM from.
std::string WhatStandsAfterLaterJobs(int64_t jobId, const std::vector<int64_t>& later, const std::string& guid) {
  using Info = JobManager::VMUpdateInfo;
  std::string stands = "job " + std::to_string(later.front()) + " has started since and holds no record of it";
  for (int64_t job : later) {
    Info info;
    std::string error;
    if (!lab::LoadVMStatus(job, FXString::ToLower(guid), info, error)) continue;
    stands = "job " + std::to_string(job) + ", which has started since, reports it " +
             VMStatusWords(info.getint64(Info::F_vmStatus), info.getint64(Info::F_stubStatus));
    break;
  }
  return stands + ", and the job manager runs no attempt of job " + std::to_string(jobId) + " again";
}

// What of the job holds the VM, as a restore as of the job takes it (judged by the chain's structure and
// the records of its backups, as verify judges it; the data is not read): the job's backup of it, or
// the backup that stands for it instead.
std::string StandingBackupWords(int64_t jobId, const std::string& guid) {
  const std::string job = std::to_string(jobId);
  const size_t committed = lab::ListVMArchiveFiles(jobId, guid).size();
  archive::VMBackup backup;
  std::vector<std::string> notes;
  std::string error;
  const bool judged = archive::JudgeVMChains(lab::ReadVMChainArchives(guid, jobId, true), guid, jobId,
                                             lab::ReportedBackupsOfVM(guid, 0, jobId), backup, notes, error);
  const int64_t standing = backup.jobs.empty() ? 0 : backup.jobs.back();
  if (judged && standing == jobId) {
    // A later attempt that did not finish the VM took nothing of its backup in the job away.
    const std::string unfinished = "left out: a later attempt of job " + job + " that did not finish the VM";
    const bool earlier = std::any_of(notes.begin(), notes.end(), [&](const std::string& note) {
      return note.find(unfinished) != std::string::npos;
    });
    std::string words = "its backup in job " + job + (earlier ? " by an earlier attempt, which a later one did not "
                                                                 "finish, stands ("
                                                              : " stands (") +
                        Counted(committed, "committed archive") + ")";
    if (!backup.brokenDisks.empty())
      words += ", though the chain of " + Counted(backup.brokenDisks.size(), "disk") + " of it is broken";
    return words;
  }
  std::string words = committed > 0 ? "job " + job + "'s " + Counted(committed, "committed archive") +
                                          " of it make no backup that stands"
                                    : "nothing of job " + job + " holds it (no committed archive of it)";
  if (!judged) return words + ", and as of job " + job + " it cannot be restored: " + error;
  return words + ", and as of job " + job + " it restores from job " + std::to_string(standing) + "'s backup";
}

// One line per VM status record: name, GUID, status and, when there is one, the reason. Once later
// jobs of the subclient have run (`later`, in order) no attempt of the job runs again: a VM the job
// did not finish, or whose record or event promises a later attempt, says what stands for it instead,
// and one still to be archived that its archiving is left to the subclient's next archiving job. Of a
// job that has ended, or whose latest attempt is a later one (`saysWhatStands`), a VM it did not finish
// says which backup stands for it as of the job.
// `notBackedUp` is what VMsNotBackedUpByLatestAttempt gives. `untouched` tells whether records hold VMs
// to be archived and no stub phase of the job touched one.
std::vector<std::string> VMStatusLines(int64_t jobId, bool running, bool saysWhatStands,
                                       const std::vector<int64_t>& later,
                                       const std::map<std::string, bool>& notBackedUp, bool& untouched) {
  using Info = JobManager::VMUpdateInfo;
  std::vector<std::string> lines;
  bool toBeArchived = false, touched = false;
  // Read once, and only for a job whose records hold a VM to be archived.
  bool stubsRead = false;
  std::vector<lab::JobLine> events;
  lab::StubPhaseTraces traces;
  const std::string subclient = later.empty() ? std::string() : SubclientOfJob(jobId);
  for (const std::string& guid : lab::VMStatusGuids(jobId)) {
    Info info;
    std::string error;
    if (!lab::LoadVMStatus(jobId, guid, info, error)) {
      lines.push_back("[" + guid + "] (record cannot be read: " + error + ")");
      continue;
    }
    const std::string name = info.getstring(Info::F_vmName);
    const int64_t status = info.getint64(Info::F_vmStatus), stubStatus = info.getint64(Info::F_stubStatus);
    std::string words;
    // Still to be archived, with no stub of the job made: what archives it is a stub phase to come.
    bool archiving = stubStatus == lab::kVMStubStatusToBeArchived;
    if (archiving) {
      if (!stubsRead) {
        events = lab::ReadNumberedJobEvents(jobId);
        traces = lab::FindStubPhaseTraces(jobId);
        stubsRead = true;
      }
      const bool byEvent = JobEventSaysStubbed(jobId, events, name);
      words = StubOfJobWords(name, status, byEvent, traces);
      archiving = !byEvent && std::find(traces.made.begin(), traces.made.end(), name) == traces.made.end();
      toBeArchived = true;
      touched = touched || !words.empty();
    }
    if (words.empty()) words = VMStatusWords(status, stubStatus);
    std::string line = name + " [" + guid + "] " + words;
    if (!running && status == kVMInProgress) line += " (but the job is not running)";
    const std::string reason = info.getstring(Info::F_failureText);
    if (!reason.empty()) line += ": " + reason;
    const bool unfinished = stubStatus == 0 && (status == kVMInProgress || status == lab::kVMStatusToBeBackedUp);
    const auto event = notBackedUp.find(name);
    const bool promised = reason.find(kLaterAttemptWords) != std::string::npos ||
                          (event != notBackedUp.end() && event->second);
    if (!later.empty() && !running && (archiving || unfinished || promised)) {
      line += reason.empty() ? ": " : "; ";
      if (archiving) line += "its archiving is left to the next archiving job of subclient " + subclient + "; ";
      line += StandingBackupWords(jobId, guid) + "; " + WhatStandsAfterLaterJobs(jobId, later, guid);
    } else if (saysWhatStands && unfinished) {
      line += (reason.empty() ? ": " : "; ") + StandingBackupWords(jobId, guid);
    }
    lines.push_back(line);
  }
  untouched = toBeArchived && !touched;
  return lines;
}

// Each VM of the job (its record's list) of which the job manager holds no status record, with why as
// far as the job's other records tell: the latest attempt's event, or the job's archives of it, which a
// record lost since leaves. A later attempt of the job backs every one of them up again, until a later
// job of the subclient has run: then what stands of each is said instead.
std::vector<std::string> VMsWithoutStatusLines(int64_t jobId, const std::map<std::string, bool>& notBackedUp,
                                               const std::vector<int64_t>& later) {
  std::vector<std::string> lines;
  const std::vector<std::string> recorded = lab::VMStatusGuids(jobId);
  for (int64_t number : lab::SampleVMNumbersOfJob(jobId)) {
    const std::string guid = lab::SampleVMGuid(number);
    if (std::binary_search(recorded.begin(), recorded.end(), FXString::ToLower(guid))) continue;
    const std::string name = lab::SampleVMName(number);
    const size_t archives = lab::ListVMArchiveFiles(jobId, guid).size();
    std::string why = notBackedUp.count(name)
                          ? "its status could not be recorded when the job ran (the job's event above says so)"
                      : archives > 0 ? "its record was lost after the job ran (removed, or the job manager's records "
                                       "restored from an older copy)"
                                     : "no attempt of the job recorded it";
    if (!later.empty()) {
      why += (archives > 0 ? "; the job's committed archives of it stand (" + std::to_string(archives) + ")"
                           : std::string("; the job holds no archive of it")) +
             "; " + WhatStandsAfterLaterJobs(jobId, later, guid);
    } else {
      why += archives > 0 ? "; the job's committed archives of it stand (" + std::to_string(archives) +
                                "), and a later attempt of the job backs it up again, whole"
                          : "; the job holds no archive of it, and a later attempt of the job backs it up";
    }
    lines.push_back(name + " [" + guid + "]: " + why);
  }
  return lines;
}

// The job's stream reservations, one a line as the ledger keeps them.
std::vector<std::string> ReservationLines(int64_t jobId) {
  lab::ReservationLedger ledger;
  std::string error;
  if (!lab::ReadReservationLedger(jobId, ledger, error)) return {"(cannot be read: " + error + ")"};
  std::vector<std::string> lines;
  const std::string text = lab::FormatReservationLedger(ledger);
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.rfind("rcid=", 0) == 0) lines.push_back(line);
  }
  return lines;
}

// Why a job went pending when its process logged no cause: a job process that did not end (killed,
// or a stub phase that runs.log does not show), no streams to write to, or the last error of its log.
// The errors a process logged before it was killed are no reason (every stub phase logs one, that it
// has no VM collect file).
std::string PendingWithoutCause(int64_t jobId, const std::string& client, const JobOutcome& outcome) {
  if (outcome.stubPhaseNotEnded)
    return "the job process of its stub phase did not end: it was killed, or died, before it set a result";
  lab::JobRun run;
  if (lab::LatestRun(jobId, run) && run.end == lab::JobRun::End::kEnded && run.signal != 0)
    return std::string("the job process") + (run.phase == lab::JobPhase::kStub ? " of its stub phase" : "") +
           " was killed by signal " + std::to_string(run.signal) + " before it logged a pending cause";
  lab::ReservationLedger ledger;
  std::string error;
  if (lab::ReadReservationLedger(jobId, ledger, error) && ledger.reservations.empty())
    return "the job process logged no pending cause; no streams were reserved for the job (its record's "
           "\"streams\", or \"-- -numStreams N\")";
  const std::vector<std::string> lines = LinesThatMatter(LastRunOfJob(client, jobId));
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const std::string text = LogText(*line);
    if (text.compare(0, 6, "ERROR ") == 0) return "the job process logged no pending cause; its last error: " + text;
  }
  return "the job process logged no pending cause and no error";
}

void PrintLogOfJob(const std::string& client, int64_t jobId, const std::string& note) {
  const std::string path = lab::ClientLogPath(client, kLogId);
  const std::vector<std::string> run = LastRunOfJob(client, jobId);
  if (run.empty()) {
    std::printf("log %s%s: no line of job %lld\n", path.c_str(), note.c_str(), static_cast<long long>(jobId));
    return;
  }
  PrintSection(("log " + path + note + ", the lines of job " + std::to_string(jobId) + " that matter").c_str(),
               LinesThatMatter(run));
}

// The job's VMs that did not end backed up, by the client of the proxy that handled each (the names
// of the lab's clients only).
std::map<std::string, std::vector<std::string>> FailedVMsByProxy(int64_t jobId) {
  using Info = JobManager::VMUpdateInfo;
  std::map<std::string, std::vector<std::string>> byProxy;
  for (const std::string& guid : lab::VMStatusGuids(jobId)) {
    Info info;
    std::string error;
    if (!lab::LoadVMStatus(jobId, guid, info, error)) continue;
    const int64_t status = info.getint64(Info::F_vmStatus);
    const std::string proxy = info.getstring(Info::F_proxyClientName);
    if (status == kVMBackedUp || proxy.empty() || !CheckClient(proxy, error)) continue;
    byProxy[proxy].push_back(info.getstring(Info::F_vmName));
  }
  return byProxy;
}

// The job's pending causes or events, each said to be of the attempt (the run of the job) that wrote
// it once the job has had more than one: an earlier attempt's lines stay after a later one.
struct AttemptLines {
  std::vector<std::string> lines;
  bool anyOfLatest = false;  // a line of the latest attempt, or of one not known
};

AttemptLines ByAttempt(const std::vector<lab::JobLine>& lines, const std::vector<lab::JobRun>& runs,
                       size_t (*runOf)(const std::vector<lab::JobRun>&, size_t)) {
  AttemptLines byAttempt;
  const std::string of = " of " + std::to_string(runs.size()) + ")";
  for (const lab::JobLine& line : lines) {
    const size_t run = runOf(runs, line.number);
    byAttempt.anyOfLatest = byAttempt.anyOfLatest || run == 0 || run == runs.size();
    if (runs.size() <= 1) {
      byAttempt.lines.push_back(line.text);
    } else if (run == 0) {
      byAttempt.lines.push_back(line.text + "  (of an attempt not known)");
    } else {
      const char* which = run == runs.size() ? "  (the latest attempt: " : "  (an earlier attempt: ";
      byAttempt.lines.push_back(line.text + which + std::to_string(run) + of);
    }
  }
  return byAttempt;
}

// Whether runs.log shows a run of the stub phase in the job's latest attempt.
bool StubPhaseRanInLatestAttempt(const std::vector<lab::JobRun>& runs) {
  for (size_t run = FirstRunOfLatestAttempt(runs); run <= runs.size(); ++run)
    if (runs[run - 1].phase == lab::JobPhase::kStub) return true;
  return false;
}

// Why a job that had not ended (or whose stub phase did not run) will not: a later job of its
// subclient has run, and an attempt of the job would change what that job restores.
// What stands for each VM is announced only where lines of VMs follow (`vmsSaid`).
std::string NoAttemptWillRun(int64_t jobId, int64_t later, bool stubPhaseLeft, bool vmsSaid) {
  const std::string job = std::to_string(jobId), laterText = std::to_string(later);
  std::string words = "no attempt of job " + job + " will run: job " + laterText + " of subclient " +
                      SubclientOfJob(jobId) + " has started since, and an attempt of job " + job +
                      " would change what job " + laterText + " restores";
  if (stubPhaseLeft)
    words += "; its stub phase did not run, and the VMs it was to archive are left to the next archiving job of the "
             "subclient";
  return vmsSaid ? words + "; what stands for each VM is said below" : words;
}

// What a job of which no attempt has run is: made and never run, and, once a later job of its subclient
// has run, never to run.
std::string NoAttemptHasRun(int64_t jobId, const std::vector<int64_t>& later) {
  const std::string job = std::to_string(jobId);
  std::string words = "no attempt of job " + job + " has run: it was made and never run, and it holds no backup";
  if (later.empty()) return words;
  const std::string laterText = std::to_string(later.front());
  return words + "; none will: job " + laterText + " of subclient " + SubclientOfJob(jobId) +
         " has started since, and the job manager runs no attempt of job " + job + " after it";
}

}  // namespace

std::string VMStatusWords(int64_t status, int64_t stubStatus) {
  const std::string words = vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(status));
  if (stubStatus == 0) return words;
  // After the stub phase the job manager keeps "To be backed up" beside a stub.
  if (stubStatus == lab::kVMStubStatusToBeArchived) return words + ", to be archived";
  return vsJobMgr::convertVMStubStatusToString(static_cast<int>(stubStatus)) + " (job manager status: " + words + ")";
}

bool HasEnded(const JobOutcome& outcome) {
  if (outcome.interrupted || outcome.running) return false;
  return outcome.state == JobState::kCompleted || outcome.state == JobState::kCompletedWithErrors ||
         outcome.state == JobState::kFailed;
}

JobOutcome ReadJobOutcome(int64_t jobId) {
  JobOutcome outcome;
  const std::vector<lab::JobRun> runs = lab::ReadRuns(jobId);
  if (runs.empty()) {
    FromPhases(lab::ReadPhaseLines(jobId), outcome);
    FromStubPhaseTraces(jobId, false, outcome);
    return outcome;
  }
  const lab::JobRun& run = runs.back();
  const std::vector<std::string> results = lab::PhaseResultsOf(jobId, run);
  FromPhases(results, outcome);
  FromRun(run, results, jobId, outcome);
  FromStubPhaseTraces(jobId, run.phase == lab::JobPhase::kStub || lab::LatestAttemptBeganAfterAStubPhase(runs),
                      outcome);
  return outcome;
}

int OutcomeExitCode(const JobOutcome& outcome) {
  if (outcome.interrupted) return kExitInterrupted;
  switch (outcome.state) {
    case JobState::kCompleted:
      return kExitCompleted;
    case JobState::kCompletedWithErrors:
      return kExitCompletedWithErrors;
    default:
      return kExitPendingOrFailed;
  }
}

void PrintOutcome(int64_t jobId, const std::string& client) {
  // A job's phases set a result each; more than one from one run is a double call.
  lab::JobRun run;
  const std::vector<std::string> phases =
      lab::LatestRun(jobId, run) ? lab::PhaseResultsOf(jobId, run) : lab::ReadPhaseLines(jobId);
  const JobOutcome outcome = ReadJobOutcome(jobId);
  std::printf("job %lld: %s\n", static_cast<long long>(jobId), outcome.words.c_str());
  const std::vector<lab::JobRun> runs = lab::ReadRuns(jobId);
  const AttemptLines causes = ByAttempt(lab::ReadNumberedPendingCauses(jobId), runs, lab::RunOfPendingCause);
  if (outcome.state == JobState::kPending && !causes.anyOfLatest && !outcome.running)
    std::printf("why: %s\n", PendingWithoutCause(jobId, client, outcome).c_str());
  // Once a later job of the subclient has run, the job manager runs no attempt of the job again.
  const lab::KnownJobIds known = lab::FindKnownJobIds();
  const std::vector<int64_t> later = LaterJobsThatHaveRun(known, jobId, SubclientOfJob(jobId));
  const std::map<std::string, bool> notBackedUp = VMsNotBackedUpByLatestAttempt(jobId, runs);
  bool untouched = false;
  // A later attempt that did not finish a VM took no backup of it away: what stands is said.
  const bool saysWhatStands = !outcome.running && (HasEnded(outcome) || FirstRunOfLatestAttempt(runs) > 1);
  const std::vector<std::string> vms =
      VMStatusLines(jobId, outcome.running, saysWhatStands, later, notBackedUp, untouched);
  // A job whose folder shows no run: only made, or its records lost or put back from an older copy after
  // it ran (what only a run leaves names it). Nothing is said of its VMs that the job did not do.
  const auto record = known.jobs.find(jobId);
  const bool noRunRecorded = !outcome.running && !lab::JobFolderShowsARun(jobId);
  const bool ranByOtherRecords = noRunRecorded && record != known.jobs.end() && record->second.runRecorded;
  if (ranByOtherRecords)
    std::printf("the job manager's records of job %lld show no attempt of it, though what only a run of it leaves "
                "names it (its archives on the media, its index records or the subclient's history): they were lost, "
                "or put back from an older copy, after it ran\n",
                static_cast<long long>(jobId));
  else if (noRunRecorded)
    std::printf("%s\n", NoAttemptHasRun(jobId, later).c_str());
  // Before any run the job manager holds no record of any VM of the job: nothing is missing then.
  const std::vector<std::string> unrecorded = VMsWithoutStatusLines(jobId, notBackedUp, later);
  const bool unrecordedSaid = !unrecorded.empty() && (!runs.empty() || !phases.empty() || ranByOtherRecords);
  // An archiving job whose backup phase left VMs to be archived, and whose stub phase neither runs.log nor
  // a VM shows.
  const bool stubPhaseLeft = untouched && !StubPhaseRanInLatestAttempt(runs) && !outcome.stubPhaseNotEnded;
  if (!later.empty() && (!HasEnded(outcome) || stubPhaseLeft) && (!noRunRecorded || ranByOtherRecords))
    std::printf("%s\n", NoAttemptWillRun(jobId, later.front(), stubPhaseLeft, !vms.empty() || unrecordedSaid).c_str());
  if (phases.size() > 1) PrintSection("phase results (set more than once)", phases);
  PrintSection("pending causes", causes.lines);
  PrintSection("events", ByAttempt(lab::ReadNumberedJobEvents(jobId), runs, lab::RunOfJobEvent).lines);
  PrintSection("VM status", vms);
  if (unrecordedSaid)
    PrintSection("VMs of the job the job manager holds no record of", unrecorded);
  PrintSection("backup.out", lab::ReadJobResultLines(jobId));
  PrintSection("stream reservations", ReservationLines(jobId));

  PrintLogOfJob(client, jobId, std::string());
  // A VM's failure is logged by the proxy that backed it up: its lines of the job too.
  for (const auto& proxy : FailedVMsByProxy(jobId)) {
    if (proxy.first == client) continue;
    std::string vms;
    for (const std::string& vm : proxy.second) vms += (vms.empty() ? "" : ", ") + vm;
    PrintLogOfJob(proxy.first, jobId, ", which handled " + vms);
  }
}

int Outcome(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("outcome"), parsed, error)) return UsageError(error, "outcome");
  if (parsed.positional.size() != 1 || !parsed.passThrough.empty())
    return UsageError("outcome takes exactly one lab folder", "outcome");
  int64_t jobId = 0;
  if (!SelectLab(parsed.positional[0], error) || !SelectJobOrNewest(parsed, jobId, error))
    return UsageError(error, "outcome");

  std::string client = "coordinator";
  lab::JobRecord record;
  if (parsed.options.count("client"))
    client = parsed.options["client"];
  else if (lab::ReadJobRecord(jobId, record, error) && !record.client.empty())
    client = record.client;
  if (!CheckClient(client, error)) return UsageError(error, "outcome");
  PrintOutcome(jobId, client);
  return kExitOk;
}

}  // namespace labtool
