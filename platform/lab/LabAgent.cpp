#include "platform/lab/LabAgent.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <sstream>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/ZtProcess.h"

namespace lab {
namespace {

std::string OneLine(const std::string& text) {
  std::string line = text;
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return line;
}

bool AppendSigned(const std::string& path, bool add, const std::string& text) {
  return !path.empty() && AppendLineLocked(path, (add ? "+" : "-") + OneLine(text));
}

// The entries of a "+"/"-" file that stand.
std::vector<std::string> Standing(const std::string& path) {
  std::vector<std::string> entries;
  if (path.empty()) return entries;
  for (const std::string& line : ReadLines(path)) {
    if (line.empty()) continue;
    const std::string entry = line.substr(1);
    if (line[0] == '+') {
      entries.push_back(entry);
    } else if (line[0] == '-') {
      auto it = std::find(entries.begin(), entries.end(), entry);
      if (it != entries.end()) entries.erase(it);
    }
  }
  return entries;
}

// A registration of the cleanup service and the process that made it (0: a line of an earlier
// version, which names none).
struct Registration {
  long pid = 0;
  std::string entry;
};

const char kRegistrationHolder = '@';

// "+@<pid> <entry>" or "-@<pid> <entry>" (earlier versions: "+<entry>", "-<entry>").
std::string FormatRegistration(bool add, const Registration& registration) {
  return std::string(add ? "+" : "-") + kRegistrationHolder + std::to_string(registration.pid) + " " +
         OneLine(registration.entry);
}

// False for a line that is no registration.
bool ParseRegistration(const std::string& line, bool& add, Registration& registration) {
  if (line.empty() || (line[0] != '+' && line[0] != '-')) return false;
  add = line[0] == '+';
  registration = Registration();
  registration.entry = line.substr(1);
  if (line.size() < 2 || line[1] != kRegistrationHolder) return true;
  const size_t blank = line.find(' ', 2);
  int64_t pid = 0;
  if (blank == std::string::npos || !labkv::ParseInt64InRange(line.substr(2, blank - 2), 1, INT32_MAX, pid))
    return true;
  registration.pid = static_cast<long>(pid);
  registration.entry = line.substr(blank + 1);
  return true;
}

// The registrations that stand, in the order they were made. One taken back goes with the same
// entry of the same process, else with the first of that entry.
std::vector<Registration> StandingRegistrations(const std::string& path) {
  std::vector<Registration> standing;
  if (path.empty()) return standing;
  for (const std::string& line : ReadLines(path)) {
    bool add = false;
    Registration registration;
    if (!ParseRegistration(line, add, registration)) continue;
    if (add) {
      standing.push_back(registration);
      continue;
    }
    auto same = [&](const Registration& made) { return made.entry == registration.entry; };
    auto it = std::find_if(standing.begin(), standing.end(),
                           [&](const Registration& made) { return same(made) && made.pid == registration.pid; });
    if (it == standing.end()) it = std::find_if(standing.begin(), standing.end(), same);
    if (it != standing.end()) standing.erase(it);
  }
  return standing;
}

std::string CleanupPath(const std::string& client) {
  if (Root().empty() || !IsSafeComponent(client)) return std::string();
  return ClientDir(client) + "/cleanup.log";
}

std::string SharedShadowPath(const std::string& server) {
  const std::string dir = ServerDir(server);
  return dir.empty() ? std::string() : dir + "/sharedshadow.log";
}

std::string ShadowsPath(const std::string& server) {
  const std::string dir = ServerDir(server);
  return dir.empty() ? std::string() : dir + "/shadows.log";
}

}  // namespace

bool AppendCleanupRegistration(const std::string& client, bool add, const std::string& entry) {
  return AppendCleanupRegistration(client, add, entry, static_cast<long>(getpid()));
}

bool AppendCleanupRegistration(const std::string& client, bool add, const std::string& entry, long pid) {
  const std::string path = CleanupPath(client);
  return !path.empty() && AppendLineLocked(path, FormatRegistration(add, Registration{pid, entry}));
}

std::vector<std::string> ReadCleanupRegistrations(const std::string& client) {
  std::vector<std::string> entries;
  for (const Registration& registration : StandingRegistrations(CleanupPath(client)))
    entries.push_back(registration.entry);
  return entries;
}

UnendedProcesses UnendedJobProcesses(int64_t jobId) {
  std::set<std::pair<std::string, long>> started;
  for (const std::string& line : ReadSessions(jobId)) {
    std::istringstream fields(line);
    std::string verb, client;
    long pid = 0;
    if (!(fields >> verb >> client >> pid) || pid <= 0) continue;
    if (verb == "started") started.insert({client, pid});
    if (verb == "ended") started.erase({client, pid});
  }
  UnendedProcesses processes;
  for (const auto& process : started)
    (ZtProcess::IsRunning(static_cast<pid_t>(process.second)) ? processes.running : processes.dead).push_back(process);
  return processes;
}

bool TakeBackLeftCleanupRegistrations(int64_t jobId, size_t& taken, std::string& error) {
  taken = 0;
  for (const auto& process : UnendedJobProcesses(jobId).dead) {
    const std::string path = CleanupPath(process.first);
    if (path.empty()) continue;
    // Two give-backs at once would both take back the same registrations.
    FileLock lock(path);
    if (!lock.Held()) {
      error = "cannot lock " + path + ": " + std::strerror(errno);
      return false;
    }
    for (const Registration& registration : StandingRegistrations(path)) {
      if (registration.pid != process.second) continue;
      if (!AppendLineLocked(path, FormatRegistration(false, registration))) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
      }
      ++taken;
    }
  }
  return true;
}

bool AppendJobCleanupString(int64_t jobId, bool add, const std::string& text) {
  return AppendSigned(JobFile(jobId, "cleanup.txt"), add, text);
}

std::vector<std::string> ReadJobCleanupStrings(int64_t jobId) { return Standing(JobFile(jobId, "cleanup.txt")); }

bool AppendVMProgress(int64_t jobId, const std::string& guid, int percent) {
  const std::string path = JobFile(jobId, "vmprogress.log");
  return !path.empty() && AppendLineLocked(path, OneLine(guid) + " " + std::to_string(percent));
}

std::vector<std::string> ReadVMProgress(int64_t jobId) {
  const std::string path = JobFile(jobId, "vmprogress.log");
  return path.empty() ? std::vector<std::string>() : ReadLines(path);
}

bool AppendSharedShadowAttachment(const std::string& server, const std::string& client, const std::string& text1,
                                  const std::string& text2) {
  const std::string path = SharedShadowPath(server);
  return !path.empty() && AppendLineLocked(path, OneLine("attach " + client + " " + text1 + " " + text2));
}

std::vector<std::string> ReadSharedShadowAttachments(const std::string& server) {
  const std::string path = SharedShadowPath(server);
  return path.empty() ? std::vector<std::string>() : ReadLines(path);
}

bool AppendSharedShadowCreation(const std::string& server, const std::string& client, const std::string& text1,
                                const std::string& text2, const std::vector<std::string>& vmGuids) {
  std::string guids;
  for (const std::string& guid : vmGuids) guids += (guids.empty() ? "" : ",") + guid;
  const std::string path = ShadowsPath(server);
  return !path.empty() && AppendLineLocked(path, OneLine("create " + client + " " + text1 + " " + text2 + " " + guids));
}

bool AppendSharedShadowDeletion(const std::string& server, const std::string& client, const std::string& text1,
                                const std::string& text2) {
  const std::string path = ShadowsPath(server);
  return !path.empty() && AppendLineLocked(path, OneLine("delete " + client + " " + text1 + " " + text2));
}

std::vector<std::string> StandingSharedShadows(const std::string& server) {
  std::vector<std::string> standing;
  for (const std::string& line : ReadSharedShadowLog(server)) {
    // "<verb> <client> <text1> ..."
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) continue;
    const size_t third = line.find(' ', second + 1);
    const std::string text1 = line.substr(second + 1, third == std::string::npos ? third : third - second - 1);
    if (line.compare(0, first, "create") == 0) {
      standing.push_back(text1);
    } else if (line.compare(0, first, "delete") == 0) {
      auto it = std::find(standing.begin(), standing.end(), text1);
      if (it != standing.end()) standing.erase(it);
    }
  }
  return standing;
}

std::vector<std::string> ReadSharedShadowLog(const std::string& server) {
  const std::string path = ShadowsPath(server);
  return path.empty() ? std::vector<std::string>() : ReadLines(path);
}

std::string ReplicationRecordPath(const std::string& appId) {
  if (Root().empty() || !IsSafeComponent(appId + ".replication.xml")) return std::string();
  return SubclientsDir() + "/" + appId + ".replication.xml";
}

bool ServerStreamLimit(const ServerRecord& record, int64_t& limit, std::string& error) {
  limit = 0;
  auto it = record.other.find("streamLimit");
  if (it == record.other.end() || it->second.empty()) return true;
  int64_t value = 0;
  if (!labkv::ParseInt64(it->second, value) || value < 0 || value > 0x7FFFFFFF) {
    error = "streamLimit [" + it->second + "] is not a number of streams";
    return false;
  }
  limit = value;
  return true;
}

}  // namespace lab
