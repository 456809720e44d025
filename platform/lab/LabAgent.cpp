#include "platform/lab/LabAgent.h"

#include <algorithm>

#include "platform/lab/Lab.h"
#include "platform/lab/LabKeyValue.h"

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
  return AppendSigned(CleanupPath(client), add, entry);
}

std::vector<std::string> ReadCleanupRegistrations(const std::string& client) { return Standing(CleanupPath(client)); }

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
