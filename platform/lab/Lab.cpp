#include "platform/lab/Lab.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/os/ZtMutex.h"

namespace lab {
namespace {

ZtMutex g_mutex;
std::string g_rootOverride GUARDED_BY(g_mutex);
std::string g_focusClient GUARDED_BY(g_mutex);
bool g_focusRefused GUARDED_BY(g_mutex) = false;

std::string Join(const std::string& a, const std::string& b) { return a + "/" + b; }

// Index of the first "-cn" after the program name, or -1.
int FindClientOption(int argc, char** argv) {
  for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
    if (std::strcmp(argv[i], "-cn") == 0) return i;
  }
  return -1;
}

}  // namespace

const char* RootVariable() { return "QUARN_LAB"; }

std::string Root() {
  ZtMutexLock lock(g_mutex);
  if (!g_rootOverride.empty()) return g_rootOverride;
  const char* env = std::getenv(RootVariable());
  return env ? std::string(env) : std::string();
}

void SetRoot(const std::string& root) {
  ZtMutexLock lock(g_mutex);
  g_rootOverride = root;
}

std::string FocusClient() {
  ZtMutexLock lock(g_mutex);
  if (g_focusRefused) return std::string();
  return g_focusClient.empty() ? std::string("localhost") : g_focusClient;
}

void SetFocusClient(const std::string& client) {
  ZtMutexLock lock(g_mutex);
  g_focusClient = client;
  g_focusRefused = false;
}

bool SetFocusClientFromArgs(int argc, char** argv) {
  std::string error;
  return SetFocusClientFromArgs(argc, argv, error) && FindClientOption(argc, argv) > 0;
}

bool SetFocusClientFromArgs(int argc, char** argv, std::string& error) {
  const int index = FindClientOption(argc, argv);
  if (index < 0) return true;
  const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
  if (value != nullptr && value[0] != '-' && IsSafeComponent(value)) {
    SetFocusClient(value);
    return true;
  }
  error = value == nullptr || value[0] == '-'
              ? std::string("option -cn names no client")
              : "the client name [" + std::string(value) + "] given with -cn is not usable";
  ZtMutexLock lock(g_mutex);
  g_focusClient.clear();
  g_focusRefused = true;
  return false;
}

std::string ClientsDir() { return Join(Root(), "clients"); }
std::string ClientDir(const std::string& client) { return Join(ClientsDir(), client); }
std::string ClientRegistryDir(const std::string& client) { return Join(ClientDir(client), "registry"); }
std::string ClientTempDir(const std::string& client) { return Join(ClientDir(client), "Temp"); }
std::string ClientJobResultsDir(const std::string& client) { return Join(ClientDir(client), "JobResults"); }
std::string ClientLogDir(const std::string& client) { return Join(ClientDir(client), "Log_Files"); }
std::string JobsDir() { return Join(Root(), "jobs"); }
std::string JobDir(int64_t jobId) { return Join(JobsDir(), std::to_string(jobId)); }
std::string JobFile(int64_t jobId, const std::string& name) {
  if (jobId <= 0 || Root().empty()) return std::string();
  return JobDir(jobId) + "/" + name;
}
std::string SubclientsDir() { return Join(Root(), "subclients"); }
std::string SubclientConfPath(const std::string& appId) { return Join(SubclientsDir(), appId + ".conf"); }
std::string HypervisorDir() { return Join(Root(), "hypervisor"); }
std::string MediaDir() { return Join(Root(), "media"); }
std::string MediaAgentDir(const std::string& mediaAgent) { return Join(MediaDir(), mediaAgent); }
std::string IndexDir() { return Join(Root(), "index"); }

std::string ClientLogPath(const std::string& client, const std::string& logId) {
  if (Root().empty() || !IsSafeComponent(client) || !IsSafeComponent(logId) || !IsSafeComponent(logId + ".log"))
    return std::string();
  return Join(ClientLogDir(client), logId + ".log");
}

std::vector<std::string> RotatedClientLogPaths(const std::string& client, const std::string& logId) {
  const std::string path = ClientLogPath(client, logId);
  std::vector<std::string> versions;
  for (int version = 1; !path.empty(); ++version) {
    const std::string rotated = path + "." + std::to_string(version);
    if (access(rotated.c_str(), F_OK) != 0) break;
    versions.insert(versions.begin(), rotated);
  }
  return versions;
}

bool IsSafeComponent(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxComponentBytes) return false;
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

bool IsSafeArgument(const std::string& text) {
  if (text.empty() || text[0] == '-') return false;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return false;
  }
  return true;
}

bool MakeDirs(const std::string& path) {
  if (path.empty()) return false;
  std::string partial;
  std::stringstream stream(path);
  std::string part;
  if (path[0] == '/') partial = "/";
  while (std::getline(stream, part, '/')) {
    if (part.empty()) continue;
    partial += part;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    partial += "/";
  }
  return IsDirectory(path);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsLab(const std::string& root) {
  return !root.empty() && IsDirectory(root + "/jobs") && IsDirectory(root + "/clients");
}

}  // namespace lab
