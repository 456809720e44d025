#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/lab/Lab.h"

// A fresh folder for one test, used as the lab root while it lives, removed afterwards.
class OsTestDir {
 public:
  OsTestDir() {
    char pattern[] = "/tmp/quarn-os-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "";
    lab::SetRoot(path_);
  }
  ~OsTestDir() {
    lab::SetRoot("");
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  OsTestDir(const OsTestDir&) = delete;
  OsTestDir& operator=(const OsTestDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
