#include "platform/cleanup/VSCleanupClient.h"

#include <unistd.h>

#include <algorithm>

#include "platform/lab/Lab.h"

namespace {

// "<client folder>/cleanup.log": lines "+<entry>" (registered) and "-<entry>" (unregistered).
std::string RecordPath(const std::string& client) {
  if (lab::Root().empty() || !lab::IsSafeComponent(client)) return std::string();
  return lab::ClientDir(client) + "/cleanup.log";
}

// Fields joined with '|'; '\', '|' and line breaks inside a field are escaped, so an entry is one line.
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '|') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string ProcessEntry(int64_t jobId, uint64_t keyrealmId, uint64_t appId) {
  return "process " + std::to_string(jobId) + " " + std::to_string(keyrealmId) + " " + std::to_string(appId) + " " +
         std::to_string(static_cast<long>(getpid()));
}

std::string VMEntry(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                    const std::string& cleanupText) {
  return "vm " + Escape(host) + "|" + Escape(vmName) + "|" + Escape(vmGuid) + "|" + Escape(cleanupText);
}

bool Append(char sign, const std::string& entry) {
  const std::string path = RecordPath(lab::FocusClient());
  if (path.empty()) return false;
  return lab::AppendLineLocked(path, std::string(1, sign) + entry);
}

}  // namespace

bool VSCleanupClient::RegisterProcess(int64_t jobId, uint64_t keyrealmId, uint64_t appId) {
  return Append('+', ProcessEntry(jobId, keyrealmId, appId));
}

bool VSCleanupClient::UnregisterProcess(int64_t jobId, uint64_t keyrealmId, uint64_t appId) {
  return Append('-', ProcessEntry(jobId, keyrealmId, appId));
}

bool VSCleanupClient::RegisterVM(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                                 const std::string& cleanupText) {
  return Append('+', VMEntry(host, vmName, vmGuid, cleanupText));
}

bool VSCleanupClient::UnregisterVM(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                                   const std::string& cleanupText) {
  return Append('-', VMEntry(host, vmName, vmGuid, cleanupText));
}

std::vector<std::string> VSCleanupClient::ReadRegistrations(const std::string& client) {
  std::vector<std::string> entries;
  std::string content;
  const std::string path = RecordPath(client);
  if (path.empty() || !lab::ReadFile(path, content)) return entries;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(start, end - start);
    start = end + 1;
    if (line.size() < 2) continue;
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

namespace vscleanup {

std::string GenerateVSCleanupString(int64_t jobId, const std::string& appId, const std::string& host,
                                    const std::string& vmName, const std::string& vmGuid,
                                    const std::string& mountCleanupText) {
  return std::to_string(jobId) + "|" + Escape(appId) + "|" + Escape(host) + "|" + Escape(vmName) + "|" +
         Escape(vmGuid) + "|" + Escape(mountCleanupText);
}

}  // namespace vscleanup
