#include "platform/config/ZTPlatformInfo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <strings.h>

#include "platform/lab/Lab.h"

namespace {

const char* const kBlanks = " \t\r";

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// Splits one line into key and value; false for blank lines, comments and lines without '='.
bool ParseLine(const std::string& line, std::string& key, std::string& value) {
  std::string trimmed = Trim(line);
  if (trimmed.empty() || trimmed[0] == '#') return false;
  size_t equals = trimmed.find('=');
  if (equals == std::string::npos) return false;
  key = Trim(trimmed.substr(0, equals));
  value = Trim(trimmed.substr(equals + 1));
  return !key.empty();
}

std::vector<std::string> SplitLines(const std::string& content) {
  std::vector<std::string> lines;
  std::stringstream stream(content);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

bool ParseUnsigned(const std::string& digits, int base, unsigned long long& out) {
  if (digits.empty()) return false;
  for (char c : digits) {
    bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                         : std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(digits.c_str(), &end, base);
  if (errno == ERANGE || end == nullptr || *end != '\0') return false;
  out = parsed;
  return true;
}

bool ParseNumber(const std::string& text, unsigned long long& out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return ParseUnsigned(text.substr(2), 16, out);
  bool negative = false;
  std::string digits = text;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
    negative = digits[0] == '-';
    digits.erase(0, 1);
  }
  unsigned long long magnitude = 0;
  if (!ParseUnsigned(digits, 10, magnitude)) return false;
  if (negative) {
    // Down to the most negative 64-bit number; anything beyond it does not fit.
    if (magnitude > (1ULL << 63)) return false;
    out = 0ULL - magnitude;
  } else {
    out = magnitude;
  }
  return true;
}

bool IsStorableKey(const std::string& key) {
  if (key.empty() || Trim(key) != key || key[0] == '#') return false;
  return key.find_first_of("=\n\r") == std::string::npos && key.find('\0') == std::string::npos;
}

bool IsStorableValue(const std::string& value) {
  if (Trim(value) != value) return false;  // would not read back the same
  return value.find_first_of("\n\r") == std::string::npos && value.find('\0') == std::string::npos;
}

// Holds an exclusive advisory lock on a lock file beside the settings file, so that two processes
// rewriting one section do not lose each other's change.
class SectionLock {
 public:
  explicit SectionLock(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~SectionLock() {
    if (fd_ >= 0) {
      flock(fd_, LOCK_UN);
      close(fd_);
    }
  }
  SectionLock(const SectionLock&) = delete;
  SectionLock& operator=(const SectionLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace

ZTPlatformInfo::ZTPlatformInfo() : focus_(lab::FocusClient()) {}

bool ZTPlatformInfo::setFocus(const std::string& client) {
  if (!lab::IsSafeComponent(client)) return false;
  focus_ = client;
  return true;
}

std::string ZTPlatformInfo::sectionPath(const std::string& section) const {
  if (lab::Root().empty() || !lab::IsSafeComponent(section) || !lab::IsSafeComponent(focus_))
    return std::string();
  return lab::ClientRegistryDir(focus_) + "/" + section + ".ini";
}

bool ZTPlatformInfo::lookup(const std::string& section, const std::string& key, std::string& value) const {
  std::string path = sectionPath(section);
  if (path.empty() || key.empty()) return false;
  std::string content;
  if (!lab::ReadFile(path, content)) return false;
  bool found = false;
  std::string lineKey;
  std::string lineValue;
  for (const std::string& line : SplitLines(content)) {
    if (ParseLine(line, lineKey, lineValue) && lineKey == key) {
      value = lineValue;
      found = true;  // keep going: a later line wins
    }
  }
  return found;
}

int ZTPlatformInfo::getNumber(const std::string& section, const std::string& key,
                              unsigned long long* value) const {
  if (value == nullptr) return 0;
  std::string text;
  unsigned long long number = 0;
  if (!lookup(section, key, text) || !ParseNumber(text, number)) return 0;
  *value = number;
  return 1;
}

int ZTPlatformInfo::getNumber(const std::string& section, const std::string& key, unsigned int* value) const {
  if (value == nullptr) return 0;
  unsigned long long wide = 0;
  int result = getNumber(section, key, &wide);
  if (result != 0) *value = static_cast<unsigned int>(wide & 0xFFFFFFFFULL);
  return result;
}

int ZTPlatformInfo::getString(const std::string& section, const std::string& key, std::string* value) const {
  if (value == nullptr) return 0;
  std::string text;
  if (!lookup(section, key, text)) return 0;
  *value = text;
  return 1;
}

int ZTPlatformInfo::getBoolean(const std::string& section, const std::string& key, bool* value) const {
  if (value == nullptr) return 0;
  std::string text;
  if (!lookup(section, key, text)) return 0;
  const char* const trueWords[] = {"true", "yes", "on"};
  const char* const falseWords[] = {"false", "no", "off"};
  for (const char* word : trueWords) {
    if (strcasecmp(text.c_str(), word) == 0) {
      *value = true;
      return 1;
    }
  }
  for (const char* word : falseWords) {
    if (strcasecmp(text.c_str(), word) == 0) {
      *value = false;
      return 1;
    }
  }
  unsigned long long number = 0;
  if (!ParseNumber(text, number)) return 0;
  *value = number != 0;
  return 1;
}

int ZTPlatformInfo::getStringList(const std::string& section, const std::string& key,
                                  std::vector<std::string>* values, char separator) const {
  if (values == nullptr) return 0;
  std::string text;
  if (!lookup(section, key, text)) return 0;
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    std::string entry = Trim(text.substr(start, end - start));
    if (!entry.empty()) entries.push_back(entry);
    start = end + 1;
  }
  *values = entries;
  return 1;
}

bool ZTPlatformInfo::setString(const std::string& section, const std::string& key,
                               const std::string& value) const {
  std::string path = sectionPath(section);
  if (path.empty() || !IsStorableKey(key) || !IsStorableValue(value)) return false;
  if (!lab::MakeDirs(lab::ClientRegistryDir(focus_))) return false;
  SectionLock lock(lab::ClientRegistryDir(focus_) + "/." + section + ".ini.lock");
  if (!lock.Held()) return false;

  std::string content;
  lab::ReadFile(path, content);  // a missing file is an empty section
  std::vector<std::string> lines = SplitLines(content);
  std::vector<size_t> matches;
  std::string lineKey;
  std::string lineValue;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (ParseLine(lines[i], lineKey, lineValue) && lineKey == key) matches.push_back(i);
  }
  std::string newLine = key + "=" + value;
  std::string rewritten;
  for (size_t i = 0; i < lines.size(); ++i) {
    bool isMatch = false;
    for (size_t m : matches) isMatch = isMatch || m == i;
    if (isMatch) {
      // Earlier duplicates go: they would never be read, and keeping them only misleads.
      if (i == matches.back()) rewritten += newLine + "\n";
      continue;
    }
    rewritten += lines[i] + "\n";
  }
  if (matches.empty()) rewritten += newLine + "\n";
  return lab::WriteFileAtomic(path, rewritten);
}

bool ZTPlatformInfo::setNumber(const std::string& section, const std::string& key,
                               unsigned long long value) const {
  return setString(section, key, std::to_string(value));
}
