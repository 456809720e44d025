#include "platform/lab/LabJob.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabReservations.h"
#include "platform/msg/vsXMLFile.h"

namespace lab {
namespace {

const char* const kRecordFile = "job.conf";
const char* const kPhaseFile = "phase.txt";
const char* const kPendingFile = "pending.txt";
const char* const kEventsFile = "events.log";
const char* const kSessionsFile = "sessions.log";
const char* const kMetadataFile = "metadata.txt";
const char* const kQuitFile = "quit";
const char* const kStatusFolder = "vmstatus";
const char* const kStatusSuffix = ".xml";
const char* const kStatusLogFile = "vmstatus.log";
const char* const kPendingReset = "reset";
const char* const kDiskStreamsFile = "diskstreams.log";
const char* const kDispatchFolder = "dispatches";
const char* const kPerfCountersFile = "perfcounters.log";

std::string OneLine(const std::string& text) {
  std::string line = text;
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return line;
}

bool AppendTo(int64_t jobId, const char* name, const std::string& line) {
  std::string path = JobFile(jobId, name);
  return !path.empty() && AppendLineLocked(path, OneLine(line));
}

std::vector<std::string> LinesOf(int64_t jobId, const char* name) {
  return ReadLines(JobFile(jobId, name));
}

// Takes a key out of the parsed values; false when it is not there.
bool Take(std::map<std::string, std::string>& values, const char* key, std::string& value) {
  auto it = values.find(key);
  if (it == values.end()) return false;
  value = it->second;
  values.erase(it);
  return true;
}

// A number key: absent or empty keeps the default; anything else must be a number within the range.
bool TakeNumber(std::map<std::string, std::string>& values, const char* key, int64_t min, int64_t max,
                int64_t& number, std::string& error) {
  std::string text;
  if (!Take(values, key, text) || text.empty()) return true;
  if (labkv::ParseInt64InRange(text, min, max, number)) return true;
  error = std::string("value of ") + key + " [" + text + "] is not a number from " + std::to_string(min) +
          " to " + std::to_string(max);
  return false;
}

bool TakeFlag(std::map<std::string, std::string>& values, const char* key, bool& flag, std::string& error) {
  int64_t number = flag ? 1 : 0;
  if (!TakeNumber(values, key, INT64_MIN, INT64_MAX, number, error)) return false;
  flag = number != 0;
  return true;
}

// A text handed on as a command-line argument: empty (absent) or one safe argument.
bool TakeArgument(std::map<std::string, std::string>& values, const char* key, bool pathComponent,
                  std::string& text, std::string& error) {
  if (!Take(values, key, text) || text.empty()) return true;
  if (IsSafeArgument(text) && (!pathComponent || IsSafeComponent(text))) return true;
  error = std::string("value of ") + key + " [" + text + "] cannot be handed on as one argument";
  return false;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The record's path; empty when the GUID cannot name a file or there is no job folder.
std::string StatusPath(int64_t jobId, const std::string& guid) {
  std::string name = Lower(guid);
  if (!IsSafeComponent(name) || !IsSafeComponent(name + kStatusSuffix)) return std::string();
  return JobFile(jobId, std::string(kStatusFolder) + "/" + name + kStatusSuffix);
}

std::string DispatchPath(int64_t jobId, const std::string& guid) {
  const std::string name = Lower(guid);
  if (!IsSafeComponent(name)) return std::string();
  return JobFile(jobId, std::string(kDispatchFolder) + "/" + name);
}

struct DispatchLine {
  std::string client;
  uint64_t number = 0;
};

// The whole lines of a record's text: "<client> <number>", or the client alone (a line of an older
// version, numbered by its place in the record). A last line without its line end is none.
std::vector<DispatchLine> ParseDispatches(const std::string& text) {
  std::vector<DispatchLine> dispatches;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
    const std::string line = text.substr(start, end - start);
    DispatchLine dispatch;
    const size_t blank = line.rfind(' ');
    if (blank != std::string::npos && blank > 0 && labkv::ParseUInt64(line.substr(blank + 1), dispatch.number) &&
        dispatch.number > 0) {
      dispatch.client = line.substr(0, blank);
    } else {
      dispatch.client = line;
      dispatch.number = dispatches.size() + 1;
    }
    dispatches.push_back(dispatch);
  }
  return dispatches;
}

}  // namespace

bool ParseJobRecord(const std::string& text, JobRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  JobRecord parsed;
  int64_t replicationId = 0;
  int64_t sourceParent = 0;
  std::string restart;
  bool ok = TakeArgument(values, "token", false, parsed.token, error) &&
            TakeNumber(values, "bkpLevel", 1, INT32_MAX, parsed.bkpLevel, error) &&
            TakeArgument(values, "mediaAgent", false, parsed.mediaAgent, error) &&
            TakeArgument(values, "client", true, parsed.client, error) &&
            TakeArgument(values, "subclient", true, parsed.subclient, error) &&
            TakeNumber(values, "timeScale", 1, kMaxTimeScale, parsed.timeScale, error) &&
            TakeFlag(values, "failback", parsed.failback, error) &&
            TakeNumber(values, "replicationId", 0, INT64_MAX, replicationId, error) &&
            TakeNumber(values, "opType", INT64_MIN, INT64_MAX, parsed.opType, error) &&
            TakeFlag(values, "selectedVMsOnly", parsed.selectedVMsOnly, error) &&
            TakeNumber(values, "sourceParentBackupJob", 0, INT64_MAX, sourceParent, error) &&
            TakeFlag(values, "committable", parsed.committable, error) &&
            TakeNumber(values, "streams", -1, kMaxJobStreams, parsed.streams, error);
  if (!ok) return false;
  Take(values, "restart", parsed.restart);
  parsed.replicationId = static_cast<uint64_t>(replicationId);
  parsed.sourceParentBackupJob = static_cast<uint64_t>(sourceParent);
  parsed.other.swap(values);
  record = parsed;
  return true;
}

std::string SubclientOfRecord(const JobRecord& record) {
  return record.subclient.empty() ? "1" : record.subclient;
}

std::string FormatJobRecord(const JobRecord& record) {
  std::map<std::string, std::string> values = record.other;
  values["token"] = record.token;
  values["bkpLevel"] = std::to_string(record.bkpLevel);
  values["mediaAgent"] = record.mediaAgent;
  values["client"] = record.client;
  values["subclient"] = record.subclient;
  values["timeScale"] = std::to_string(record.timeScale);
  values["restart"] = record.restart;
  values["failback"] = record.failback ? "1" : "0";
  values["replicationId"] = std::to_string(record.replicationId);
  values["opType"] = std::to_string(record.opType);
  values["selectedVMsOnly"] = record.selectedVMsOnly ? "1" : "0";
  values["sourceParentBackupJob"] = std::to_string(record.sourceParentBackupJob);
  values["committable"] = record.committable ? "1" : "0";
  if (record.streams >= 0) values["streams"] = std::to_string(record.streams);
  return labkv::Format(values);
}

std::string JobRecordPath(int64_t jobId) { return JobFile(jobId, kRecordFile); }

bool ReadJobRecord(int64_t jobId, JobRecord& record, std::string& error) {
  std::string path = JobFile(jobId, kRecordFile);
  std::string text;
  if (path.empty()) {
    error = "no lab or no job id";
    return false;
  }
  if (!ReadRegularFile(path, kMaxRecordBytes, text, error)) return false;
  if (ParseJobRecord(text, record, error)) return true;
  error = path + ": " + error;
  return false;
}

bool WriteJobRecord(int64_t jobId, const JobRecord& record, std::string& error) {
  return UpdateJobRecord(
      jobId,
      [&record](JobRecord& current, std::string&) {
        current = record;
        return true;
      },
      error);
}

bool UpdateJobRecord(int64_t jobId, const std::function<bool(JobRecord&, std::string&)>& change,
                     std::string& error) {
  std::string path = JobFile(jobId, kRecordFile);
  if (path.empty() || !MakeDirs(JobDir(jobId))) {
    error = "cannot make the folder of job " + std::to_string(jobId);
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        JobRecord record;
        if (exists && !ParseJobRecord(text, record, why)) return false;
        return change(record, why) && labkv::StorableText(record, FormatJobRecord, ParseJobRecord, text, why);
      },
      error);
}

std::vector<int64_t> ListJobs() {
  std::vector<int64_t> jobs;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(JobsDir(), ignored)) {
    int64_t id = 0;
    if (entry.is_directory(ignored) && labkv::ParseInt64(entry.path().filename().string(), id) && id > 0)
      jobs.push_back(id);
  }
  std::sort(jobs.begin(), jobs.end());
  return jobs;
}

bool JobExists(int64_t jobId) { return jobId > 0 && !Root().empty() && IsDirectory(JobDir(jobId)); }

bool JobRecordExists(int64_t jobId) {
  std::string path = JobFile(jobId, kRecordFile);
  return !path.empty() && access(path.c_str(), F_OK) == 0;
}

// ---- Phase results ----

std::string FormatPhaseLine(const PhaseLine& line) {
  switch (line.kind) {
    case PhaseLine::kSuccessful:
      return line.successFlag ? "phaseSuccessful 1" : "phaseSuccessful";
    case PhaseLine::kPartialSuccess:
      return "phasePartialSuccess";
    case PhaseLine::kFailed:
      return std::string("phaseFailed failJob=") + (line.failJob ? "1" : "0") +
             " setupFailed=" + (line.setupFailed ? "1" : "0");
    case PhaseLine::kAutoResume:
    case PhaseLine::kAutoResumeRefused:
      return std::string(line.kind == PhaseLine::kAutoResume ? "StopAndAutoResume " : "StopAndAutoResumeRefused ") +
             std::to_string(line.seconds) + " " + OneLine(line.text);
  }
  return std::string();
}

bool ParsePhaseLine(const std::string& text, PhaseLine& line) {
  PhaseLine parsed;
  if (text == "phaseSuccessful" || text == "phaseSuccessful 1") {
    parsed.successFlag = text != "phaseSuccessful";
  } else if (text == "phasePartialSuccess") {
    parsed.kind = PhaseLine::kPartialSuccess;
  } else if (text.compare(0, 20, "phaseFailed failJob=") == 0 && text.size() == 35 &&
             text.compare(21, 13, " setupFailed=") == 0 && (text[20] == '0' || text[20] == '1') &&
             (text[34] == '0' || text[34] == '1')) {
    parsed.kind = PhaseLine::kFailed;
    parsed.failJob = text[20] == '1';
    parsed.setupFailed = text[34] == '1';
  } else {
    size_t blank = text.find(' ');
    std::string word = text.substr(0, blank);
    if (blank == std::string::npos || (word != "StopAndAutoResume" && word != "StopAndAutoResumeRefused"))
      return false;
    size_t second = text.find(' ', blank + 1);
    int64_t seconds = 0;
    if (second == std::string::npos ||
        !labkv::ParseInt64InRange(text.substr(blank + 1, second - blank - 1), INT32_MIN, INT32_MAX, seconds))
      return false;
    parsed.kind = word == "StopAndAutoResume" ? PhaseLine::kAutoResume : PhaseLine::kAutoResumeRefused;
    parsed.seconds = static_cast<int>(seconds);
    parsed.text = text.substr(second + 1);
  }
  line = parsed;
  return true;
}

bool AppendPhaseLine(int64_t jobId, const PhaseLine& line) { return AppendTo(jobId, kPhaseFile, FormatPhaseLine(line)); }
std::vector<std::string> ReadPhaseLines(int64_t jobId) { return LinesOf(jobId, kPhaseFile); }

// ---- Pending causes and job events ----

bool AppendPendingCause(int64_t jobId, const std::string& line) { return AppendTo(jobId, kPendingFile, line); }
bool AppendPendingReset(int64_t jobId) { return AppendTo(jobId, kPendingFile, kPendingReset); }

std::vector<JobLine> ReadNumberedPendingCauses(int64_t jobId) {
  std::vector<JobLine> current;
  const std::vector<std::string> lines = LinesOf(jobId, kPendingFile);
  for (size_t number = 0; number < lines.size(); ++number) {
    if (lines[number] == kPendingReset)
      current.clear();
    else
      current.push_back(JobLine{number, lines[number]});
  }
  return current;
}

std::vector<std::string> ReadPendingCauses(int64_t jobId) {
  std::vector<std::string> current;
  for (JobLine& line : ReadNumberedPendingCauses(jobId)) current.push_back(std::move(line.text));
  return current;
}

bool AppendJobEvent(int64_t jobId, const std::string& line) { return AppendTo(jobId, kEventsFile, line); }

std::vector<JobLine> ReadNumberedJobEvents(int64_t jobId) {
  std::vector<JobLine> events;
  const std::vector<std::string> lines = LinesOf(jobId, kEventsFile);
  for (size_t number = 0; number < lines.size(); ++number)
    if (!lines[number].empty()) events.push_back(JobLine{number, lines[number]});
  return events;
}

std::vector<std::string> ReadJobEvents(int64_t jobId) {
  std::vector<std::string> events;
  for (JobLine& line : ReadNumberedJobEvents(jobId)) events.push_back(std::move(line.text));
  return events;
}

size_t PendingCauseLineCount(int64_t jobId) { return ReadWholeLines(JobFile(jobId, kPendingFile)).size(); }
size_t JobEventLineCount(int64_t jobId) { return ReadWholeLines(JobFile(jobId, kEventsFile)).size(); }

// ---- Sessions, metadata defaults, quit ----

bool RecordSession(int64_t jobId, bool started, const std::string& client, long pid) {
  return AppendTo(jobId, kSessionsFile, std::string(started ? "started " : "ended ") + client + " " +
                                            std::to_string(pid));
}

std::vector<std::string> ReadSessions(int64_t jobId) { return LinesOf(jobId, kSessionsFile); }

bool WriteJobMetadata(int64_t jobId, const std::map<std::string, std::string>& values) {
  std::string path = JobFile(jobId, kMetadataFile);
  return !path.empty() && WriteFileAtomic(path, labkv::Format(values));
}

bool ReadJobMetadata(int64_t jobId, std::map<std::string, std::string>& values) {
  std::string path = JobFile(jobId, kMetadataFile);
  std::string error;
  return !path.empty() && labkv::ReadFile(path, values, error);
}

bool IsJobQuitRequested(int64_t jobId) {
  std::string path = JobFile(jobId, kQuitFile);
  return !path.empty() && access(path.c_str(), F_OK) == 0;
}

bool RequestJobQuit(int64_t jobId) {
  std::string path = JobFile(jobId, kQuitFile);
  return !path.empty() && WriteFileAtomic(path, std::string());
}

bool ClearJobQuit(int64_t jobId) {
  std::string path = JobFile(jobId, kQuitFile);
  return !path.empty() && (unlink(path.c_str()) == 0 || errno == ENOENT);
}

// ---- Per-VM status ----

std::string VMStatusPath(int64_t jobId, const std::string& guid) { return StatusPath(jobId, guid); }

bool SaveVMStatus(int64_t jobId, const std::string& guid, const CNMessageBase& info, bool synced, std::string& error) {
  std::string path = StatusPath(jobId, guid);
  if (path.empty()) {
    error = "no job folder or the GUID is not usable";
    return false;
  }
  vsXMLFile file(path);
  if (!MakeDirs(path.substr(0, path.rfind('/'))) || !file.Save(info, synced)) {
    error = file.LastError().empty() ? "cannot create " + path : file.LastError();
    return false;
  }
  return true;
}

bool LoadVMStatus(int64_t jobId, const std::string& guid, CNMessageBase& info, std::string& error) {
  std::string path = StatusPath(jobId, guid);
  if (path.empty()) {
    error = "no job folder or the GUID is not usable";
    return false;
  }
  vsXMLFile file(path);
  if (file.Load(info)) return true;
  error = file.LastError();
  return false;
}

std::vector<std::string> VMStatusGuids(int64_t jobId) {
  std::vector<std::string> guids;
  std::string dir = JobFile(jobId, kStatusFolder);
  if (dir.empty()) return guids;
  std::error_code error;
  const std::string suffix = kStatusSuffix;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.size() > suffix.size() && name[0] != '.' &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      guids.push_back(name.substr(0, name.size() - suffix.size()));
  }
  std::sort(guids.begin(), guids.end());
  return guids;
}

bool AppendVMStatusUpdate(int64_t jobId, uint64_t keyrealmId, bool flag) {
  return AppendTo(jobId, kStatusLogFile, std::to_string(keyrealmId) + (flag ? " 1" : " 0"));
}

std::vector<std::string> ReadVMStatusUpdates(int64_t jobId) { return LinesOf(jobId, kStatusLogFile); }

// ---- Dispatches of VMs to agents ----

bool CanRecordVMDispatch(int64_t jobId, const std::string& vmGuid, const std::string& client) {
  return !DispatchPath(jobId, vmGuid).empty() && IsSafeComponent(client);
}

bool RecordVMDispatch(int64_t jobId, const std::string& vmGuid, const std::string& client, uint64_t above,
                      uint64_t& number, std::string& error) {
  const std::string path = DispatchPath(jobId, vmGuid);
  if (!CanRecordVMDispatch(jobId, vmGuid, client)) {
    error = "no job folder, or the VM or client cannot name a dispatch";
    return false;
  }
  if (!MakeDirs(path.substr(0, path.rfind('/')))) {
    error = "cannot record the dispatch in " + path + ": " + std::strerror(errno);
    return false;
  }
  // The coordinator of the job is the record's only writer: nothing comes between this read and the
  // append. A record there that cannot be read (or would not be once the line is added) gets no
  // dispatch: its agent could not read its number back.
  std::string text;
  if (ReadOptionalFile(path, kMaxDispatchRecordBytes, text, error) == ReadResult::kFailed) {
    error = "cannot record the dispatch in " + path + ": the record there cannot be read (" + error + ")";
    return false;
  }
  uint64_t highest = std::max(above, HighestVMDispatchInArchives(jobId, vmGuid));
  for (const DispatchLine& dispatch : ParseDispatches(text)) highest = std::max(highest, dispatch.number);
  if (highest == UINT64_MAX) {
    error = "cannot record the dispatch in " + path + ": its numbers are used up";
    return false;
  }
  const std::string line = client + " " + std::to_string(highest + 1);
  if (text.size() + line.size() + 1 > kMaxDispatchRecordBytes) {
    error = "cannot record the dispatch in " + path + ": the record would grow past " +
            std::to_string(kMaxDispatchRecordBytes) + " bytes";
    return false;
  }
  // The fault table fails the write as a full or failing file system would: cut short, half the line
  // out and no line end, with the rule's code as the system error.
  FaultCall call;
  call.op = "ra.RecordVMDispatch";
  call.client = client;
  call.vm = vmGuid;
  Fault fault;
  if (CheckFault(call, fault)) {
    AppendTornLineLocked(path, line, line.size() / 2);
    errno = fault.code;
  } else if (AppendWholeLineLocked(path, line, Durability::kDurable)) {
    number = highest + 1;
    return true;
  }
  error = "cannot record the dispatch in " + path + ": " + std::strerror(errno);
  return false;
}

bool RecordVMDispatch(int64_t jobId, const std::string& vmGuid, const std::string& client, std::string& error) {
  uint64_t number = 0;
  return RecordVMDispatch(jobId, vmGuid, client, 0, number, error);
}

uint64_t VMDispatchNumber(int64_t jobId, const std::string& vmGuid, const std::string& client) {
  const std::string path = DispatchPath(jobId, vmGuid);
  if (path.empty() || client.empty()) return 0;
  std::string text, error;
  if (ReadOptionalFile(path, kMaxDispatchRecordBytes, text, error) != ReadResult::kRead) return 0;
  const std::vector<DispatchLine> dispatches = ParseDispatches(text);
  for (size_t i = dispatches.size(); i > 0; --i)
    if (dispatches[i - 1].client == client) return dispatches[i - 1].number;
  return 0;
}

std::string VMDispatchRecordPath(int64_t jobId, const std::string& vmGuid) { return DispatchPath(jobId, vmGuid); }

// ---- Disk streams of the hypervisor ----

namespace {

const char kDiskStreamHolder[] = " by=";
const char kDiskStreamGivenBack[] = " why=left";

struct DiskStreamCall {
  bool reserve = false;
  int64_t count = 0;
  std::string vmGuid;
  std::string holder;  // "<client>:<pid>"; empty in a line of an earlier version
};

// "<reserve|release> <count> <VM GUID>[ by=<holder>][ why=left]"; false for any other line.
bool ParseDiskStreamCall(std::string line, DiskStreamCall& call) {
  const size_t first = line.find(' ');
  const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (second == std::string::npos || !labkv::ParseInt64(line.substr(first + 1, second - first - 1), call.count))
    return false;
  const std::string verb = line.substr(0, first);
  if (verb != "reserve" && verb != "release") return false;
  call.reserve = verb == "reserve";
  const size_t why = line.rfind(kDiskStreamGivenBack);
  if (why != std::string::npos && why + sizeof(kDiskStreamGivenBack) - 1 == line.size()) line.resize(why);
  const size_t by = line.rfind(kDiskStreamHolder);
  call.holder.clear();
  if (by != std::string::npos && by >= second) {
    call.holder = line.substr(by + sizeof(kDiskStreamHolder) - 1);
    line.resize(by);
  }
  call.vmGuid = second < line.size() ? line.substr(second + 1) : std::string();
  return true;
}

std::string FormatDiskStreamCall(const DiskStreamCall& call) {
  return std::string(call.reserve ? "reserve " : "release ") + std::to_string(call.count) + " " + call.vmGuid +
         kDiskStreamHolder + call.holder;
}

}  // namespace

bool AppendDiskStreamCall(int64_t jobId, bool reserve, int count, const std::string& vmGuid) {
  return AppendDiskStreamCall(jobId, reserve, count, vmGuid, ReservationHolder());
}

bool AppendDiskStreamCall(int64_t jobId, bool reserve, int count, const std::string& vmGuid, const std::string& holder) {
  DiskStreamCall call;
  call.reserve = reserve;
  call.count = count;
  call.vmGuid = vmGuid;
  call.holder = holder;
  return AppendTo(jobId, kDiskStreamsFile, FormatDiskStreamCall(call));
}

std::vector<std::string> ReadDiskStreamCalls(int64_t jobId) { return LinesOf(jobId, kDiskStreamsFile); }

int64_t DiskStreamsHeld(int64_t jobId, const std::string& vmGuid) {
  int64_t held = 0;
  for (const std::string& line : ReadDiskStreamCalls(jobId)) {
    DiskStreamCall call;
    if (!ParseDiskStreamCall(line, call)) continue;
    if (!vmGuid.empty() && strcasecmp(call.vmGuid.c_str(), vmGuid.c_str()) != 0) continue;
    held += call.reserve ? call.count : -call.count;
  }
  return held;
}

bool ReleaseLeftDiskStreams(int64_t jobId, int64_t& released, std::string& error) {
  released = 0;
  const std::string path = JobFile(jobId, kDiskStreamsFile);
  if (path.empty()) return true;
  // Two give-backs at once would both see the same streams held.
  FileLock lock(path);
  if (!lock.Held()) {
    error = "cannot lock " + path + ": " + std::strerror(errno);
    return false;
  }
  std::map<std::pair<std::string, std::string>, int64_t> held;  // by holder and VM
  for (const std::string& line : ReadDiskStreamCalls(jobId)) {
    DiskStreamCall call;
    if (ParseDiskStreamCall(line, call) && !call.holder.empty())
      held[{call.holder, call.vmGuid}] += call.reserve ? call.count : -call.count;
  }
  for (const auto& entry : held) {
    if (entry.second <= 0 || ReservationHolderAlive(entry.first.first)) continue;
    DiskStreamCall call;
    call.count = entry.second;
    call.vmGuid = entry.first.second;
    call.holder = entry.first.first;
    if (!AppendLineLocked(path, OneLine(FormatDiskStreamCall(call) + kDiskStreamGivenBack))) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    released += entry.second;
  }
  return true;
}

bool AppendPerfCounter(int64_t jobId, const PerfCounterLine& line) {
  auto field = [](std::string text) {
    std::replace(text.begin(), text.end(), '\t', ' ');
    return text;
  };
  return AppendTo(jobId, kPerfCountersFile,
                  field(line.vm) + "\t" + field(line.item) + "\t" + field(line.counter) + "\t" +
                      std::to_string(line.bytes) + "\t" + std::to_string(line.busyMilliseconds));
}

std::vector<PerfCounterLine> ReadPerfCounters(int64_t jobId) {
  std::vector<PerfCounterLine> counters;
  for (const std::string& text : LinesOf(jobId, kPerfCountersFile)) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      const size_t tab = text.find('\t', start);
      fields.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    PerfCounterLine line;
    if (fields.size() != 5 || !labkv::ParseUInt64(fields[3], line.bytes) ||
        !labkv::ParseInt64(fields[4], line.busyMilliseconds))
      continue;
    line.vm = fields[0];
    line.item = fields[1];
    line.counter = fields[2];
    counters.push_back(line);
  }
  return counters;
}

}  // namespace lab
