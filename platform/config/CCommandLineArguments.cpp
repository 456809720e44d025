#include "platform/config/CCommandLineArguments.h"

CCommandLineArguments::CCommandLineArguments(int argc, char** argv) {
  if (argv == nullptr || argc <= 0) return;
  tokens_.reserve(static_cast<size_t>(argc));
  // A null entry ends the vector early rather than being read.
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) tokens_.emplace_back(argv[i]);
}

int CCommandLineArguments::IndexOf(const std::string& key) const {
  if (key.empty()) return -1;
  const std::string option = "-" + key;
  for (size_t i = 1; i < tokens_.size(); ++i) {
    if (tokens_[i] == option) return static_cast<int>(i);
  }
  return -1;
}

CPxError CCommandLineArguments::Find(const std::string& key) const {
  if (IndexOf(key) < 0) return CPxError(-1, "option -" + key + " not given");
  return CPxError::Success();
}

CPxError CCommandLineArguments::Find(const std::string& key, std::string& value) const {
  int index = IndexOf(key);
  if (index < 0) return CPxError(-1, "option -" + key + " not given");
  size_t next = static_cast<size_t>(index) + 1;
  if (next >= tokens_.size() || tokens_[next].empty() || tokens_[next][0] == '-')
    return CPxError(-1, "option -" + key + " has no value");
  value = tokens_[next];
  return CPxError::Success();
}

std::string CCommandLineArguments::GetCommandLineString() const { return GetCommandLineString({}); }

std::string CCommandLineArguments::GetCommandLineString(const std::vector<std::string>& secretKeys) const {
  std::string line;
  bool secretNext = false;
  for (size_t i = 0; i < tokens_.size(); ++i) {
    if (i) line += ' ';
    const bool valueOfSecret = secretNext && !tokens_[i].empty() && tokens_[i][0] != '-';
    line += valueOfSecret ? std::string("********") : tokens_[i];
    secretNext = false;
    for (const std::string& key : secretKeys) secretNext = secretNext || (i > 0 && tokens_[i] == "-" + key);
  }
  return line;
}
