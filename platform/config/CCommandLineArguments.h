#pragma once
#include <string>
#include <vector>

#include "platform/os/CPxError.h"

// The process's command line. Options are written "-key" and looked up by the key without the dash,
// matched exactly: "-snaptape" never answers a lookup of "snap". When a key is repeated, its first
// occurrence counts.
class CCommandLineArguments {
 public:
  CCommandLineArguments(int argc, char** argv);

  // A flag: code 0 when "-key" is on the command line, -1 when it is not.
  CPxError Find(const std::string& key) const;
  // A valued option: the token after "-key", unless that token is missing or begins with "-"; then the
  // option counts as absent (-1) and the value is left as it was.
  CPxError Find(const std::string& key, std::string& value) const;

  // The whole command line, the program name included, tokens joined by one blank.
  std::string GetCommandLineString() const;
  // The same with the value of each "-key" in `secretKeys` (as Find would take it) shown as "********",
  // for logs: every other token stays as it is.
  std::string GetCommandLineString(const std::vector<std::string>& secretKeys) const;
  int Count() const { return static_cast<int>(tokens_.size()); }
  const std::vector<std::string>& Tokens() const { return tokens_; }

 private:
  // Index of the first "-key" after the program name, or -1.
  int IndexOf(const std::string& key) const;

  std::vector<std::string> tokens_;
};
