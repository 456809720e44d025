#include "platform/lab/Lab.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace lab {
namespace {

std::mutex g_mutex;
std::string g_rootOverride;
std::string g_focusClient;

std::string Join(const std::string& a, const std::string& b) { return a + "/" + b; }

}  // namespace

std::string Root() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_rootOverride.empty()) return g_rootOverride;
  const char* env = std::getenv("QUARN_LAB");
  return env ? std::string(env) : std::string();
}

void SetRoot(const std::string& root) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_rootOverride = root;
}

std::string FocusClient() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_focusClient.empty() ? std::string("localhost") : g_focusClient;
}

void SetFocusClient(const std::string& client) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_focusClient = client;
}

bool SetFocusClientFromArgs(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] && std::strcmp(argv[i], "-cn") == 0 && argv[i + 1] && argv[i + 1][0] != '-' &&
        IsSafeComponent(argv[i + 1])) {
      SetFocusClient(argv[i + 1]);
      return true;
    }
  }
  return false;
}

std::string ClientDir(const std::string& client) { return Join(Join(Root(), "clients"), client); }
std::string ClientRegistryDir(const std::string& client) { return Join(ClientDir(client), "registry"); }
std::string ClientTempDir(const std::string& client) { return Join(ClientDir(client), "Temp"); }
std::string ClientJobResultsDir(const std::string& client) { return Join(ClientDir(client), "JobResults"); }
std::string ClientLogDir(const std::string& client) { return Join(ClientDir(client), "Log_Files"); }
std::string JobDir(int64_t jobId) { return Join(Join(Root(), "jobs"), std::to_string(jobId)); }
std::string SubclientsDir() { return Join(Root(), "subclients"); }
std::string SubclientConfPath(const std::string& appId) { return Join(SubclientsDir(), appId + ".conf"); }
std::string HypervisorDir() { return Join(Root(), "hypervisor"); }
std::string MediaDir() { return Join(Root(), "media"); }
std::string IndexDir() { return Join(Root(), "index"); }

bool IsSafeComponent(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || c == '\0' || static_cast<unsigned char>(c) < 0x20) return false;
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
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteFileAtomic(const std::string& path, const std::string& content) {
  // Unique per process and per call, so that two threads saving one path never share a temp file.
  static std::atomic<unsigned long> counter{0};
  std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(++counter);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t written = 0;
  while (written < content.size()) {
    ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      unlink(temp.c_str());
      return false;
    }
    written += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    unlink(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool ReadFile(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  content = buffer.str();
  return true;
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& content, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    error = "not a regular file: " + path;
    return false;
  }
  std::string read;
  bool fits = static_cast<uint64_t>(st.st_size) <= maxBytes;
  if (fits) read.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  while (fits) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      error = "cannot read " + path + ": " + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    if (read.size() + static_cast<size_t>(n) > maxBytes) {
      fits = false;
    } else {
      read.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  if (!fits) {
    error = "file too large: " + path;
    return false;
  }
  content.swap(read);
  return true;
}

bool AppendLineLocked(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return false;
    }
  }
  std::string text = line + "\n";
  size_t written = 0;
  bool ok = true;
  while (written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    written += static_cast<size_t>(n);
  }
  flock(fd, LOCK_UN);
  close(fd);
  return ok;
}

}  // namespace lab
