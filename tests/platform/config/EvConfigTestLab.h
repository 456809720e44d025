#pragma once
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"

namespace evcfg_test {

// A lab root of its own for one test; the log is closed and the folder removed afterwards.
class ScopedLab {
 public:
  explicit ScopedLab(const std::string& client = "proxyA") {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarn-evcfg-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char* made = mkdtemp(buffer.data());
    root_ = made ? made : "";
    lab::SetRoot(root_);
    lab::SetFocusClient(client);
    EvDebug::shutdownLog();
  }
  ~ScopedLab() {
    EvDebug::shutdownLog();
    if (envRemoved_) setenv("QUARN_LAB", savedEnv_.c_str(), 1);
    lab::SetRoot("");
    lab::SetFocusClient("");
    if (!root_.empty()) {
      nftw(
          root_.c_str(),
          [](const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }, 16,
          FTW_DEPTH | FTW_PHYS);
    }
  }
  ScopedLab(const ScopedLab&) = delete;
  ScopedLab& operator=(const ScopedLab&) = delete;

  const std::string& Root() const { return root_; }

  // Leaves the process without any lab (override and environment) until the end of the test.
  void RemoveLab() {
    const char* env = std::getenv("QUARN_LAB");
    if (env != nullptr && !envRemoved_) {
      savedEnv_ = env;
      envRemoved_ = true;
      unsetenv("QUARN_LAB");
    }
    lab::SetRoot("");
  }

 private:
  std::string root_;
  std::string savedEnv_;
  bool envRemoved_ = false;
};

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string content;
  if (!lab::ReadFile(path, content)) return lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace evcfg_test
