// Pending causes and the job events that go with them.
#include "platform/jobmgr/vsJobMgr.h"

#include "platform/ev/EvEvent.h"

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
  return InjectedFault("jobmgr.setPendingCause") == 0 &&
         lab::AppendPendingCause(getJobId(), FormatEventIdWithArguments(id, arguments));
}

bool vsJobMgr::WriteEvent(uint32_t id, const ArgumentInfo& arguments, int severity) {
  return lab::AppendJobEvent(getJobId(), EvEvent::FormatJobEventLine(id, severity, arguments));
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
  return lab::AppendPendingReset(getJobId());
}

std::vector<std::string> vsJobMgr::ReadPendingCauses(int64_t jobId) { return lab::ReadPendingCauses(jobId); }

std::vector<std::string> vsJobMgr::ReadEvents(int64_t jobId) { return lab::ReadJobEvents(jobId); }
