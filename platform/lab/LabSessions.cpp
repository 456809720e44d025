#include "platform/lab/LabSessions.h"

#include <unistd.h>

#include <cstdio>
#include <cstdint>
#include <map>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"

namespace lab {
namespace {

bool ParseRecord(const std::string& text, int& port, long& pid, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  int64_t portValue = 0, pidValue = 0;
  if (!labkv::ParseInt64InRange(values["port"], 1, 65535, portValue) ||
      !labkv::ParseInt64InRange(values["pid"], 1, INT32_MAX, pidValue)) {
    error = "the record does not name a port and a process";
    return false;
  }
  port = static_cast<int>(portValue);
  pid = static_cast<long>(pidValue);
  return true;
}

}  // namespace

std::string SessionServicePath(const std::string& client, const std::string& service) {
  if (Root().empty() || !IsSafeComponent(client) || !IsSafeComponent(service)) return std::string();
  return Root() + "/services/" + client + "/" + service;
}

bool RegisterSessionService(const std::string& client, const std::string& service, int port, std::string& error) {
  const std::string path = SessionServicePath(client, service);
  if (path.empty() || !MakeDirs(path.substr(0, path.rfind('/')))) {
    error = "no lab, or client [" + client + "] or service [" + service + "] is not a usable name";
    return false;
  }
  return ReplaceFileLocked(path, "port=" + std::to_string(port) + "\npid=" + std::to_string(getpid()) + "\n", error);
}

bool UnregisterSessionService(const std::string& client, const std::string& service, int port) {
  const std::string path = SessionServicePath(client, service);
  if (path.empty()) return false;
  FileLock lock(path);
  std::string text, error;
  int registered = 0;
  long pid = 0;
  if (!lock.Held() || !ReadRegularFile(path, kMaxRecordBytes, text, error) || !ParseRecord(text, registered, pid, error))
    return false;
  if (registered != port || pid != static_cast<long>(getpid())) return false;
  return unlink(path.c_str()) == 0;
}

bool LookupSessionService(const std::string& client, const std::string& service, int& port, std::string& error) {
  const std::string path = SessionServicePath(client, service);
  if (path.empty()) {
    error = "client [" + client + "] or service [" + service + "] is not a usable name";
    return false;
  }
  std::string text;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      error = "service [" + service + "] is not running on client [" + client + "]";
      return false;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kRead:
      break;
  }
  long pid = 0;
  if (!ParseRecord(text, port, pid, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace lab
