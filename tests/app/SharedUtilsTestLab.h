#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/QuarnRegistry.h"
#include "platform/ev/EvDebug.h"
#include "platform/ev/EvEvent.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"

// A lab in a fresh temporary folder with one job folder, the process log open on the client
// "proxyA" and job events recorded for that job. QUARN_LAB is hidden for the test's life.
class SharedUtilsTestLab {
 public:
  explicit SharedUtilsTestLab(int64_t jobId = 1001) : jobId_(jobId) {
    const char* env = std::getenv("QUARN_LAB");
    if (env) savedEnv_ = env, hadEnv_ = true;
    unsetenv("QUARN_LAB");
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-f2-XXXXXX").string();
    root_ = mkdtemp(&pattern[0]) ? pattern : std::string();
    lab::SetRoot(root_);
    lab::SetFocusClient("proxyA");
    lab::MakeDirs(lab::ClientRegistryDir("proxyA"));
    UseJob(jobId);
    EvDebug::initializeLog(1, "quarn");
    EvDebug::setLevel(2);
    QuarnRegistry::TEST_Unload();
  }
  ~SharedUtilsTestLab() {
    QuarnRegistry::TEST_Unload();
    EvDebug::shutdownLog();
    EvEvent::setJobId(0);
    lab::SetRoot(std::string());
    lab::SetFocusClient(std::string());
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    if (hadEnv_) setenv("QUARN_LAB", savedEnv_.c_str(), 1);
  }
  SharedUtilsTestLab(const SharedUtilsTestLab&) = delete;
  SharedUtilsTestLab& operator=(const SharedUtilsTestLab&) = delete;

  const std::string& Root() const { return root_; }
  int64_t JobId() const { return jobId_; }

  // Makes the job's folder and records later job events for it.
  void UseJob(int64_t jobId) {
    jobId_ = jobId;
    lab::MakeDirs(lab::JobDir(jobId));
    EvEvent::setJobId(jobId);
  }

  bool Write(const std::string& relative, const std::string& text) const {
    std::string path = root_ + "/" + relative;
    return lab::MakeDirs(path.substr(0, path.rfind('/'))) && lab::WriteFileAtomic(path, text);
  }
  // Settings of the section "VirtualServer" of the focus client; the table is reloaded on next use.
  void Settings(const std::string& text) const {
    Write("clients/proxyA/registry/VirtualServer.ini", text + "\n");
    QuarnRegistry::TEST_Unload();
  }

  std::string Log() const {
    std::ifstream in(EvDebug::getLogPath());
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }
  std::vector<std::string> Events() const { return vsJobMgr::ReadEvents(jobId_); }
  std::vector<std::string> Pending() const { return vsJobMgr::ReadPendingCauses(jobId_); }

 private:
  std::string root_;
  int64_t jobId_;
  std::string savedEnv_;
  bool hadEnv_ = false;
};

inline size_t CountOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++count;
  return count;
}
