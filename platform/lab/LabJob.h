#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class CNMessageBase;

// A job's folder, jobs/<jobId>/: the job manager's view of one job, shared by every process of the
// job. The record is replaced whole under its lock; the other files grow by lines appended under a
// lock, so concurrent writers never interleave or lose a line.
//
//   job.conf       the job record (JobRecord below), key=value lines.
//   phase.txt      one line per phase-result call (PhaseLine below).
//   pending.txt    one line per pending cause: "0x<ID 8 hex>[ <arguments joined by '|'>]"; the line
//                  "reset" clears the causes before it.
//   events.log     job events, one per line: "<SEVERITY> 0x<ID 8 hex>[ <arguments joined by '|'>]".
//   sessions.log   "started <client> <pid>" and "ended <client> <pid>" per job process.
//   metadata.txt   the metadata-collection defaults of the job, key=value lines.
//   vmstatus/<guid>.xml   the kept status record of each VM (GUID in lower case).
//   vmstatus.log   "<keyrealm id> <0|1>" per job-status update.
//   quit           present = the job is suspended or killed.
//   diskstreams.log  the hypervisor's disk streams the job's processes reserved and released:
//                  "reserve <count> <VM GUID> by=<client>:<pid>" and "release <count> <VM GUID>
//                  by=<client>:<pid>" per call (the process that called), and "... why=left" for
//                  those the job manager took back from a process that died.
//   dispatches/<guid>  the agents the coordinator gave the VM to (GUID in lower case): "<client>
//                  <number>" per dispatch in the coordinator's order, over every run of the job; a
//                  line of the client alone (an older version's) is numbered by its place.
//   perfcounters.log  the performance counters sent with each item through an archive stream:
//                  "<VM name>\t<item>\t<counter>\t<bytes>\t<busy milliseconds>" per counter sent.
namespace lab {

constexpr int64_t kMaxTimeScale = 3600;

// The job record. Absent keys read as the defaults below; keys this version does not know are kept.
struct JobRecord {
  std::string token;        // job token handed to the job process ("-jt")
  int64_t bkpLevel = 1;     // backup level ("-t"): 1 full
  std::string mediaAgent;   // media agent ("-d")
  std::string client;       // client the job process runs on ("-cn")
  std::string subclient;    // application id ("-a")
  // Lab runs shrink time by this whole factor, 1 (real time) to kMaxTimeScale.
  int64_t timeScale = 1;
  std::string restart;      // text kept for a restarted job; empty on a first attempt
  bool failback = false;
  uint64_t replicationId = 0;
  int64_t opType = 0;
  bool selectedVMsOnly = false;
  uint64_t sourceParentBackupJob = 0;
  bool committable = false;
  // The streams the job manager reserves for the job when it starts it ("-numStreams"); -1 when the
  // record does not say (the key "streams" is absent).
  int64_t streams = -1;
  std::map<std::string, std::string> other;
};

// The subclient the record's job is of: "1" where the record names none.
std::string SubclientOfRecord(const JobRecord& record);

// False with the reason for a malformed line or value: a number that is not one, a time scale or
// backup level out of range, a token, media agent, client or subclient that could not be handed on
// as one command-line argument. `record` is then unchanged.
bool ParseJobRecord(const std::string& text, JobRecord& record, std::string& error);
std::string FormatJobRecord(const JobRecord& record);
// The record's file; empty without a lab or a positive job id.
std::string JobRecordPath(int64_t jobId);
bool ReadJobRecord(int64_t jobId, JobRecord& record, std::string& error);
// Creates or replaces the record; the job's folder is created when needed.
bool WriteJobRecord(int64_t jobId, const JobRecord& record, std::string& error);
// Reads, changes and replaces the record under its lock; a change returning false (with its reason)
// leaves the record as it was.
bool UpdateJobRecord(int64_t jobId, const std::function<bool(JobRecord&, std::string&)>& change,
                     std::string& error);

// True when the job's folder exists.
bool JobExists(int64_t jobId);
// The ids of the jobs with a folder, in order.
std::vector<int64_t> ListJobs();
// True when the job's record exists (readable or not).
bool JobRecordExists(int64_t jobId);

// ---- Phase results ----
struct PhaseLine {
  enum Kind { kSuccessful, kPartialSuccess, kFailed, kAutoResume, kAutoResumeRefused };
  Kind kind = kSuccessful;
  bool successFlag = false;  // kSuccessful: the flag passed to phaseSuccessful
  bool failJob = false;      // kFailed
  bool setupFailed = false;  // kFailed
  int seconds = 0;           // kAutoResume, kAutoResumeRefused
  std::string text;          // kAutoResume, kAutoResumeRefused; line breaks become blanks
};
// "phaseSuccessful" ("phaseSuccessful 1" with the flag), "phasePartialSuccess",
// "phaseFailed failJob=<0|1> setupFailed=<0|1>", "StopAndAutoResume <seconds> <text>",
// "StopAndAutoResumeRefused <seconds> <text>".
std::string FormatPhaseLine(const PhaseLine& line);
bool ParsePhaseLine(const std::string& text, PhaseLine& line);
bool AppendPhaseLine(int64_t jobId, const PhaseLine& line);
std::vector<std::string> ReadPhaseLines(int64_t jobId);

// ---- Pending causes and job events (lines formatted by the event's owner) ----
bool AppendPendingCause(int64_t jobId, const std::string& line);
bool AppendPendingReset(int64_t jobId);
// The causes after the last reset.
std::vector<std::string> ReadPendingCauses(int64_t jobId);
bool AppendJobEvent(int64_t jobId, const std::string& line);
std::vector<std::string> ReadJobEvents(int64_t jobId);
// A pending cause or event with its line's number in its file (from 0, resets and blank lines
// counted): what tells it to the run of the job that wrote it (lab::JobRun, LabJobRun.h).
struct JobLine {
  size_t number = 0;
  std::string text;
};
std::vector<JobLine> ReadNumberedPendingCauses(int64_t jobId);
std::vector<JobLine> ReadNumberedJobEvents(int64_t jobId);
// The whole lines of the job's pending causes and of its events (a last line cut short is not one:
// the next line written runs into it).
size_t PendingCauseLineCount(int64_t jobId);
size_t JobEventLineCount(int64_t jobId);

// ---- Sessions, metadata defaults, quit ----
bool RecordSession(int64_t jobId, bool started, const std::string& client, long pid);
std::vector<std::string> ReadSessions(int64_t jobId);
bool WriteJobMetadata(int64_t jobId, const std::map<std::string, std::string>& values);
bool ReadJobMetadata(int64_t jobId, std::map<std::string, std::string>& values);
bool IsJobQuitRequested(int64_t jobId);
bool RequestJobQuit(int64_t jobId);
bool ClearJobQuit(int64_t jobId);

// ---- Disk streams of the hypervisor ----
// A call of this process; the second form names the process ("<client>:<pid>") that called.
bool AppendDiskStreamCall(int64_t jobId, bool reserve, int count, const std::string& vmGuid);
bool AppendDiskStreamCall(int64_t jobId, bool reserve, int count, const std::string& vmGuid, const std::string& holder);
// Reservations less releases of the job's disk streams, over every call recorded (of one VM when a
// GUID is given, any case).
int64_t DiskStreamsHeld(int64_t jobId, const std::string& vmGuid = std::string());
// The calls recorded, in order.
std::vector<std::string> ReadDiskStreamCalls(int64_t jobId);
// The job manager's clean-up after job processes that died: the disk streams each process that no
// longer runs still holds are released in its name ("left"); `released` counts them. False with the
// reason when the record cannot be locked or written.
bool ReleaseLeftDiskStreams(int64_t jobId, int64_t& released, std::string& error);

// ---- Dispatches of VMs to agents ----
// A VM is given out a few times per run at most; a record longer than this is no dispatch record.
constexpr size_t kMaxDispatchRecordBytes = 1024 * 1024;
// Records that the coordinator gives the VM to the agent on the client, before the agent can hear of
// it; synced, so that a later run of the job counts on from it. The dispatch is numbered above every
// earlier dispatch of the VM in the job that is known: the record's, those the VM's archive files of the
// job carry (committed or not), and `above` (the caller's own count), so that a record deleted,
// emptied or unreadable does not start the count again, and an archive of an earlier attempt never
// outranks the attempt now given the VM. `number` gets the dispatch's number. False with the reason
// (the fault operation "ra.RecordVMDispatch" fails it); a record there that cannot be read, that would
// grow past kMaxDispatchRecordBytes or whose numbers are used up is left as it is and refuses.
bool RecordVMDispatch(int64_t jobId, const std::string& vmGuid, const std::string& client, uint64_t above,
                      uint64_t& number, std::string& error);
bool RecordVMDispatch(int64_t jobId, const std::string& vmGuid, const std::string& client, std::string& error);
// Whether the job, the VM and the client can name a dispatch record at all (a record that cannot be
// written for any other reason may be written later).
bool CanRecordVMDispatch(int64_t jobId, const std::string& vmGuid, const std::string& client);
// The number of the VM's latest dispatch to the client in the job, counted from 1 over every run of
// the job; 0 when the coordinator never gave the VM to that client (or the record cannot be read). A
// record whose write was cut short counts as none: the VM did not go out on it.
uint64_t VMDispatchNumber(int64_t jobId, const std::string& vmGuid, const std::string& client);
// The path of the VM's dispatch record in the job; empty when the job or the GUID cannot name one.
std::string VMDispatchRecordPath(int64_t jobId, const std::string& vmGuid);

// ---- Performance counters sent through the archive streams ----
struct PerfCounterLine {
  std::string vm;       // the VM's name
  std::string item;     // the disk's display name, or "" for the VM's configuration files
  std::string counter;  // the counter's name
  uint64_t bytes = 0;
  int64_t busyMilliseconds = 0;
};
// Tabs and line breaks in the names become blanks.
bool AppendPerfCounter(int64_t jobId, const PerfCounterLine& line);
// The counters sent, in order; malformed lines are skipped.
std::vector<PerfCounterLine> ReadPerfCounters(int64_t jobId);

// ---- Per-VM status ----
// The file of a VM's kept status record; empty when the GUID cannot name a file or there is no job.
std::string VMStatusPath(int64_t jobId, const std::string& guid);
// The VM's kept status record is the message's XML; false with the reason when the GUID cannot name
// a file, the job has no folder, or the file cannot be written or read (the message is then
// unchanged).
// A record saved not synced (a running VM's, rewritten at every step of its progress) may be lost
// to a crash of the machine, leaving the one saved before.
bool SaveVMStatus(int64_t jobId, const std::string& guid, const CNMessageBase& info, bool synced, std::string& error);
bool LoadVMStatus(int64_t jobId, const std::string& guid, CNMessageBase& info, std::string& error);
// GUIDs (lower case, sorted) of the VMs with a kept record.
std::vector<std::string> VMStatusGuids(int64_t jobId);
// A VM's status with the job manager (its status record's "vmStatus") when the job backed it up: whole,
// or with errors; and that of a VM still to be backed up, which an archiving job's stub phase also
// gives the VMs it takes.
constexpr int64_t kVMStatusBackedUp = 0;
constexpr int64_t kVMStatusBackedUpWithErrors = 3;
constexpr int64_t kVMStatusToBeBackedUp = 4;
// A VM's stub status with the job manager (its status record's "stubStatus"): to be archived (stubbed
// or relocated) by the job's stub phase, stubbed (also a stub a later job reported as one), or its stub
// failed.
constexpr int64_t kVMStubStatusToBeArchived = 1;
constexpr int64_t kVMStubStatusStubbed = 5;
constexpr int64_t kVMStubStatusStubFailed = 6;
bool AppendVMStatusUpdate(int64_t jobId, uint64_t keyrealmId, bool flag);
std::vector<std::string> ReadVMStatusUpdates(int64_t jobId);

}  // namespace lab
