#include "platform/ev/EvEvent.h"

#include <cstdarg>
#include <cstdio>

#include "platform/lab/Lab.h"
#include "platform/lab/LabJob.h"

namespace {

const char* const kSigRecord = "static void EvEvent::Record(uint32_t, int, const ArgumentInfo&)";

}  // namespace

EvEvent::EvEvent(const EvEvent& other) {
  ArgumentInfo copy;
  {
    ZtMutexLock lock(other.mutex_);
    copy = other.pending_;
  }
  ZtMutexLock lock(mutex_);
  pending_ = copy;
}

EvEvent& EvEvent::operator=(const EvEvent& other) {
  if (this == &other) return *this;
  ArgumentInfo copy;
  {
    ZtMutexLock lock(other.mutex_);
    copy = other.pending_;
  }
  ZtMutexLock lock(mutex_);
  pending_ = copy;
  return *this;
}

bool EvEvent::initialize(int level, const std::string& logId, int /*flags*/, void* /*callback*/,
                         const std::string& /*text*/) {
  return EvDebug::initializeLog(level, logId);
}

void EvEvent::setJobId(int64_t jobId) { EvDebug::setJobId(jobId); }

void EvEvent::Debug(const char* sig, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  EvDebug::VDebug(sig, fmt, args);
  va_end(args);
}

void EvEvent::Error(const char* sig, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  EvDebug::VError(sig, fmt, args);
  va_end(args);
}

void EvEvent::DebugLvl(int level, const char* sig, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  EvDebug::VDebugLvl(level, sig, fmt, args);
  va_end(args);
}

void EvEvent::DebugJob(int64_t jobId, const char* sig, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  EvDebug::VDebugJob(jobId, sig, fmt, args);
  va_end(args);
}

EvEvent& EvEvent::operator<<(int value) {
  ZtMutexLock lock(mutex_);
  pending_ << value;
  return *this;
}

EvEvent& EvEvent::operator<<(long long value) {
  ZtMutexLock lock(mutex_);
  pending_ << value;
  return *this;
}

EvEvent& EvEvent::operator<<(unsigned long value) {
  ZtMutexLock lock(mutex_);
  pending_ << value;
  return *this;
}

EvEvent& EvEvent::operator<<(const std::string& text) {
  ZtMutexLock lock(mutex_);
  pending_ << text;
  return *this;
}

EvEvent& EvEvent::operator<<(const char* text) {
  ZtMutexLock lock(mutex_);
  pending_ << text;
  return *this;
}

void EvEvent::InfoEvent(uint32_t id) { RaisePending(id, kInfo); }
void EvEvent::MinorEvent(uint32_t id) { RaisePending(id, kMinor); }
void EvEvent::MajorEvent(uint32_t id) { RaisePending(id, kMajor); }
void EvEvent::CriticalEvent(uint32_t id) { RaisePending(id, kCritical); }

void EvEvent::RaiseEvent(const EvMessageContainer& message, int severity) {
  Record(message.GetMessageID(), severity, message.Arguments());
}

size_t EvEvent::PendingArgumentCount() const {
  ZtMutexLock lock(mutex_);
  return pending_.Size();
}

void EvEvent::RaisePending(uint32_t id, int severity) {
  ArgumentInfo arguments;
  {
    ZtMutexLock lock(mutex_);
    arguments = pending_;
    pending_.Clear();
  }
  Record(id, severity, arguments);
}

std::string EvEvent::SeverityName(int severity) {
  switch (severity) {
    case kInfo: return "INFO";
    case kMinor: return "MINOR";
    case kMajor: return "MAJOR";
    case kCritical: return "CRITICAL";
    default: return "SEVERITY" + std::to_string(severity);
  }
}

std::string EvEvent::FormatJobEventLine(uint32_t id, int severity, const ArgumentInfo& arguments) {
  return SeverityName(severity) + " " + FormatEventIdWithArguments(id, arguments);
}

void EvEvent::Record(uint32_t id, int severity, const ArgumentInfo& arguments) {
  std::string line = FormatJobEventLine(id, severity, arguments);
  int64_t jobId = EvDebug::getJobId();
  EvDebug::DebugJob(jobId, kSigRecord, "Job event [%s]", line.c_str());
  if (jobId <= 0 || lab::Root().empty()) return;
  if (!lab::AppendJobEvent(jobId, line))
    EvDebug::Error(kSigRecord, "Failed to record job event [%s] for job [%lld]", line.c_str(),
                   static_cast<long long>(jobId));
}

std::vector<std::string> EvEvent::ReadJobEvents(int64_t jobId) { return lab::ReadJobEvents(jobId); }
