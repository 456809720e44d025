#pragma once
// What the benchmarks share.
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace benchsupport {

// A folder of the run's own in the temporary folder ("<prefix>-XXXXXX"), removed with all it holds
// when it goes; its path is empty when no folder could be made.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace benchsupport
