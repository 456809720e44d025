#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/lab/Lab.h"

// A lab in a fresh temporary folder for one test; QUARN_LAB is hidden so that only SetRoot counts.
class JobMgrTestLab {
 public:
  JobMgrTestLab() {
    const char* env = std::getenv("QUARN_LAB");
    if (env) savedEnv_ = env, hadEnv_ = true;
    unsetenv("QUARN_LAB");
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-jm-XXXXXX").string();
    root_ = mkdtemp(&pattern[0]) ? pattern : std::string();
    lab::SetRoot(root_);
  }
  ~JobMgrTestLab() {
    lab::SetRoot(std::string());
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    if (hadEnv_) setenv("QUARN_LAB", savedEnv_.c_str(), 1);
  }
  JobMgrTestLab(const JobMgrTestLab&) = delete;
  JobMgrTestLab& operator=(const JobMgrTestLab&) = delete;

  const std::string& Root() const { return root_; }

  // Creates the job's folder with the given job.conf text.
  bool AddJob(int64_t jobId, const std::string& conf) {
    std::string dir = lab::JobDir(jobId);
    return lab::MakeDirs(dir) && lab::WriteFileAtomic(dir + "/job.conf", conf);
  }
  bool AddSubclient(const std::string& appId, const std::string& conf) {
    return lab::MakeDirs(lab::SubclientsDir()) && lab::WriteFileAtomic(lab::SubclientConfPath(appId), conf);
  }
  std::string ReadJobFile(int64_t jobId, const std::string& name) const {
    std::string text;
    lab::ReadFile(lab::JobDir(jobId) + "/" + name, text);
    return text;
  }

 private:
  std::string root_;
  std::string savedEnv_;
  bool hadEnv_ = false;
};
