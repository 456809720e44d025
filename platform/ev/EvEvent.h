#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ev/EvDebug.h"
#include "platform/ev/EvMessageContainer.h"
#include "platform/os/ZtMutex.h"

// The log and job-event object that every long-lived object owns. Log calls forward to EvDebug.
//
// Job events: arguments appended with operator<< wait for the next InfoEvent / MinorEvent / MajorEvent /
// CriticalEvent of this object and are cleared by it. The event is logged and, when the process has a
// job id and a lab, appended as one line to the job's events in the lab (platform/lab/LabJob.h):
//   <severity name> 0x<id, 8 upper-case hex digits>[ <arguments joined by '|'>]
// Severity names: 0 "INFO", 1 "MINOR", 2 "MAJOR", 3 "CRITICAL". In an argument the characters '\',
// '|', line feed and carriage return are written "\\", "\|", "\n" and "\r", so a line always splits back
// into the arguments it was given.
class EvEvent {
 public:
  enum Severity { kInfo = 0, kMinor = 1, kMajor = 2, kCritical = 3 };

  EvEvent() = default;
  // Copies take the pending arguments with them.
  EvEvent(const EvEvent& other);
  EvEvent& operator=(const EvEvent& other);

  // Opens the process log (EvDebug::initializeLog); false when it cannot.
  static bool initialize(int level, const std::string& logId, int flags, void* callback, const std::string& text);
  static void setJobId(int64_t jobId);

  void Debug(const char* sig, const char* fmt, ...) EV_PRINTF(3, 4);
  void Error(const char* sig, const char* fmt, ...) EV_PRINTF(3, 4);
  void DebugLvl(int level, const char* sig, const char* fmt, ...) EV_PRINTF(4, 5);
  void DebugJob(int64_t jobId, const char* sig, const char* fmt, ...) EV_PRINTF(4, 5);

  EvEvent& operator<<(int value);                  // type 5
  EvEvent& operator<<(long long value);            // type 9
  EvEvent& operator<<(unsigned long value);        // type 10
  EvEvent& operator<<(const std::string& text);    // type 11
  EvEvent& operator<<(const char* text);           // type 11

  void InfoEvent(uint32_t id);
  void MinorEvent(uint32_t id);
  void MajorEvent(uint32_t id);
  void CriticalEvent(uint32_t id);
  // Records the container's own id and arguments; this object's pending arguments are not used.
  void RaiseEvent(const EvMessageContainer& message, int severity);

  // Arguments waiting for the next event (tests).
  size_t PendingArgumentCount() const;

  static std::string SeverityName(int severity);  // "SEVERITY<n>" for an unknown one
  static std::string FormatJobEventLine(uint32_t id, int severity, const ArgumentInfo& arguments);
  // The lines of a job's events file, in order; empty when there are none.
  static std::vector<std::string> ReadJobEvents(int64_t jobId);

 private:
  void RaisePending(uint32_t id, int severity);
  static void Record(uint32_t id, int severity, const ArgumentInfo& arguments);

  mutable ZtMutex mutex_;
  ArgumentInfo pending_ GUARDED_BY(mutex_);
};
