// Pending causes (pending.txt) and the job events that go with them (events.log).
#include "platform/jobmgr/JobFolder.h"
#include "platform/jobmgr/vsJobMgr.h"

#include "platform/ev/EvEvent.h"
#include "platform/lab/Lab.h"

ArgumentInfo& vsJobMgr::getJobClient() {
  ZtMutexLock l(mutex_);
  return pendingArguments_[std::this_thread::get_id()];
}

ArgumentInfo vsJobMgr::TakePendingArguments() {
  ZtMutexLock l(mutex_);
  auto it = pendingArguments_.find(std::this_thread::get_id());
  if (it == pendingArguments_.end()) return ArgumentInfo();
  ArgumentInfo taken = it->second;
  it->second.Clear();
  return taken;
}

void vsJobMgr::addPendingCauseArgument(int value) { getJobClient() << value; }
void vsJobMgr::addPendingCauseArgument(long long value) { getJobClient() << value; }
void vsJobMgr::addPendingCauseArgument(unsigned long value) { getJobClient() << value; }
void vsJobMgr::addPendingCauseArgument(const std::string& text) { getJobClient() << text; }

bool vsJobMgr::WritePendingCause(uint32_t id, const ArgumentInfo& arguments) {
  std::string path = JobFile("pending.txt");
  return !path.empty() && lab::AppendLineLocked(path, FormatEventIdWithArguments(id, arguments));
}

bool vsJobMgr::WriteEvent(uint32_t id, const ArgumentInfo& arguments, int severity) {
  std::string path = JobFile("events.log");
  return !path.empty() &&
         lab::AppendLineLocked(path, EvEvent::FormatJobEventLine(id, severity, arguments));
}

bool vsJobMgr::setPendingCause(int id) {
  ArgumentInfo arguments = TakePendingArguments();
  return WritePendingCause(static_cast<uint32_t>(id), arguments);
}

bool vsJobMgr::setPendingCause(const EvMessageContainer& container) {
  return WritePendingCause(container.GetMessageID(), container.Arguments());
}

bool vsJobMgr::setPendingCauseAndEvent(const EvMessageContainer& container, int severity) {
  bool pending = WritePendingCause(container.GetMessageID(), container.Arguments());
  bool event = WriteEvent(container.GetMessageID(), container.Arguments(), severity);
  return pending && event;
}

bool vsJobMgr::setPendingCauseAndEvent(uint32_t id, int severity) {
  ArgumentInfo arguments = TakePendingArguments();
  bool pending = WritePendingCause(id, arguments);
  bool event = WriteEvent(id, arguments, severity);
  return pending && event;
}

bool vsJobMgr::resetPendingCause() {
  TakePendingArguments();
  std::string path = JobFile("pending.txt");
  return !path.empty() && lab::AppendLineLocked(path, "reset");
}

std::vector<std::string> vsJobMgr::ReadPendingCauses(int64_t jobId) {
  std::vector<std::string> current;
  for (const std::string& line : jobfolder::ReadLines(jobfolder::FileOf(jobId, "pending.txt"))) {
    if (line == "reset")
      current.clear();
    else
      current.push_back(line);
  }
  return current;
}

std::vector<std::string> vsJobMgr::ReadEvents(int64_t jobId) {
  return jobfolder::ReadLines(jobfolder::FileOf(jobId, "events.log"));
}
