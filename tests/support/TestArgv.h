#pragma once
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Keeps the argument texts alive and hands out an argv of them.
class Argv {
 public:
  explicit Argv(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {
    for (std::string& token : tokens_) pointers_.push_back(&token[0]);
    pointers_.push_back(nullptr);
  }
  Argv(const Argv&) = delete;
  Argv& operator=(const Argv&) = delete;
  int argc() const { return static_cast<int>(tokens_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> tokens_;
  std::vector<char*> pointers_;
};

}  // namespace testsupport
