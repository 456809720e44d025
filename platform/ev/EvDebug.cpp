#include "platform/ev/EvDebug.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/config/ZTPlatformInfo.h"
#include "platform/os/ZtMutex.h"
#include "platform/lab/Lab.h"

namespace {

const char* const kSettingsSection = "Base";
const char* const kLevelKey = "nQuarnDebugLevel";
const char* const kSizeKey = "nQuarnLogFileSize";
const char* const kVersionsKey = "nQuarnLogMaxVersions";
const char* const kLevelEnv = "QUARN_DEBUG_LEVEL";

const int kDefaultLevel = 1;
const int kDefaultSizeMB = 10;
const int kDefaultVersions = 5;
const int kMaxSizeMB = 4096;
const int kMaxVersions = 100;
const uint64_t kBytesPerMB = 1024ULL * 1024ULL;

struct LogState {
  ZtMutex mutex;
  bool initialized GUARDED_BY(mutex) = false;
  std::string path GUARDED_BY(mutex);
  int fd GUARDED_BY(mutex) = -1;
  dev_t device GUARDED_BY(mutex) = 0;
  ino_t inode GUARDED_BY(mutex) = 0;
  uint64_t maxBytes GUARDED_BY(mutex) = kDefaultSizeMB * kBytesPerMB;
  uint64_t testMaxBytes GUARDED_BY(mutex) = 0;
  int maxVersions GUARDED_BY(mutex) = kDefaultVersions;
  int level GUARDED_BY(mutex) = kDefaultLevel;
  bool levelOverridden GUARDED_BY(mutex) = false;
  int overrideLevel GUARDED_BY(mutex) = kDefaultLevel;
};

// Never destroyed: static objects of other files may still log while the process exits.
LogState& State() {
  static LogState* state = new LogState;
  return *state;
}

std::atomic<int64_t> g_jobId{0};

void WriteAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    written += static_cast<size_t>(n);
  }
}

void LockFile(int fd) {
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

// Logs carry job details (command lines, client and VM names): readable by their owner and group
// only. A link planted at the log's name is not followed.
constexpr mode_t kLogMode = 0640;

bool OpenLocked(LogState& s) EXCLUSIVE_LOCKS_REQUIRED(s.mutex) {
  int fd = open(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, kLogMode);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  // A log left open to others by an earlier version is closed to them now.
  if ((st.st_mode & 0007) != 0) fchmod(fd, st.st_mode & 0770);
  s.fd = fd;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  return true;
}

void CloseLocked(LogState& s) EXCLUSIVE_LOCKS_REQUIRED(s.mutex) {
  if (s.fd >= 0) close(s.fd);
  s.fd = -1;
}

// Another process of the same client may have rotated the file away from under our descriptor.
bool EnsureOpenLocked(LogState& s) EXCLUSIVE_LOCKS_REQUIRED(s.mutex) {
  if (s.fd >= 0) {
    struct stat st;
    if (stat(s.path.c_str(), &st) == 0 && st.st_dev == s.device && st.st_ino == s.inode) return true;
    CloseLocked(s);
  }
  return OpenLocked(s);
}

void RotateLocked(LogState& s) EXCLUSIVE_LOCKS_REQUIRED(s.mutex) {
  if (s.maxVersions <= 0) {
    unlink(s.path.c_str());
    return;
  }
  unlink((s.path + "." + std::to_string(s.maxVersions)).c_str());
  for (int version = s.maxVersions - 1; version >= 1; --version) {
    std::string from = s.path + "." + std::to_string(version);
    std::string to = s.path + "." + std::to_string(version + 1);
    rename(from.c_str(), to.c_str());  // a missing version is simply skipped
  }
  rename(s.path.c_str(), (s.path + ".1").c_str());
}

void WriteToLogLocked(LogState& s, const std::string& line) EXCLUSIVE_LOCKS_REQUIRED(s.mutex) {
  if (!EnsureOpenLocked(s)) {
    WriteAll(STDERR_FILENO, line);
    return;
  }
  LockFile(s.fd);
  uint64_t limit = s.testMaxBytes != 0 ? s.testMaxBytes : s.maxBytes;
  struct stat st;
  if (limit > 0 && fstat(s.fd, &st) == 0 && st.st_size > 0 &&
      static_cast<uint64_t>(st.st_size) + line.size() > limit) {
    // Rotate only the file still at the path: another process may have rotated it while we waited.
    struct stat atPath;
    if (stat(s.path.c_str(), &atPath) == 0 && atPath.st_dev == st.st_dev && atPath.st_ino == st.st_ino)
      RotateLocked(s);
    flock(s.fd, LOCK_UN);
    CloseLocked(s);
    if (!OpenLocked(s)) {
      WriteAll(STDERR_FILENO, line);
      return;
    }
    LockFile(s.fd);
  }
  WriteAll(s.fd, line);
  flock(s.fd, LOCK_UN);
}

void Emit(const std::string& line) {
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  if (!s.initialized) {
    WriteAll(STDERR_FILENO, line);
    return;
  }
  WriteToLogLocked(s, line);
}

bool LevelEnabled(int level) {
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  int current = s.levelOverridden ? s.overrideLevel : s.level;
  return level <= current;
}

std::string Format(const char* fmt, va_list args) {
  if (fmt == nullptr) return std::string();
  char small[1024];
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(small, sizeof(small), fmt, copy);
  va_end(copy);
  if (needed < 0) return std::string("(unformattable log text)");
  if (static_cast<size_t>(needed) < sizeof(small)) return std::string(small, static_cast<size_t>(needed));
  std::vector<char> large(static_cast<size_t>(needed) + 1);
  va_copy(copy, args);
  vsnprintf(large.data(), large.size(), fmt, copy);
  va_end(copy);
  return std::string(large.data(), static_cast<size_t>(needed));
}

// One log line per call: trailing line ends go, inner ones become blanks.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

std::string Prefix(int64_t jobId) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof(stamp), "%m/%d %H:%M:%S", &local);
  char prefix[128];
  snprintf(prefix, sizeof(prefix), "%ld %lx %s ", static_cast<long>(getpid()),
           static_cast<unsigned long>(syscall(SYS_gettid)), stamp);
  std::string text(prefix);
  text += jobId != 0 ? std::to_string(jobId) : std::string("-");
  return text;
}

enum class Kind { kPlain, kDebug, kError };

void Write(Kind kind, int64_t jobId, const char* sig, const char* fmt, va_list args) {
  std::string line = Prefix(jobId);
  line += ' ';
  if (kind == Kind::kError) line += "ERROR ";
  if (kind != Kind::kPlain) {
    line += sig != nullptr ? sig : "";
    line += ": ";
  }
  line += OneLine(Format(fmt, args));
  line += '\n';
  Emit(line);
}

bool ParseInt(const char* text, long long& out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno == ERANGE || end == text || *end != '\0') return false;
  out = value;
  return true;
}

// Reads the level from the environment, else from settings; false when neither gives one.
bool ConfiguredLevel(int& level) {
  long long value = 0;
  if (ParseInt(std::getenv(kLevelEnv), value) && value >= INT32_MIN && value <= INT32_MAX) {
    level = static_cast<int>(value);
    return true;
  }
  ZTPlatformInfo info;
  unsigned long long number = 0;
  if (info.getNumber(kSettingsSection, kLevelKey, &number) != 0) {
    level = static_cast<int>(static_cast<uint32_t>(number));
    return true;
  }
  return false;
}

}  // namespace

std::string EvDebug::getLogId(const std::string& appName) { return appName; }

bool EvDebug::initializeLog(int /*level*/, const std::string& logId) {
  std::string client = lab::FocusClient();
  std::string path = lab::Root().empty() ? std::string() : lab::ClientLogPath(client, logId);
  if (path.empty() || !lab::MakeDirs(lab::ClientLogDir(client))) return false;
  int level = kDefaultLevel;
  bool configured = ConfiguredLevel(level);

  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  if (s.initialized && s.path == path && s.fd >= 0) return true;
  CloseLocked(s);
  s.path = path;
  if (!OpenLocked(s)) {
    s.initialized = false;
    s.path.clear();
    return false;
  }
  s.initialized = true;
  s.level = configured ? level : kDefaultLevel;
  return true;
}

bool EvDebug::isInitialized() {
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  return s.initialized;
}

void EvDebug::setDefaultLogFileSize(int sizeMB) {
  if (sizeMB <= 0 || sizeMB > kMaxSizeMB) return;
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  if (s.initialized) s.maxBytes = static_cast<uint64_t>(sizeMB) * kBytesPerMB;
}

void EvDebug::setDefaultMaxVersion(int versions) {
  if (versions < 0 || versions > kMaxVersions) return;
  {
    LogState& s = State();
    ZtMutexLock lock(s.mutex);
    if (!s.initialized) return;
    s.maxVersions = versions;
  }
  setDefaultVersionReg(versions);
}

void EvDebug::setDefaultVersionReg(int versions) {
  if (versions < 0 || versions > kMaxVersions || !isInitialized()) return;
  ZTPlatformInfo info;
  unsigned long long existing = 0;
  if (info.getNumber(kSettingsSection, kVersionsKey, &existing) != 0) return;
  if (!info.setNumber(kSettingsSection, kVersionsKey, static_cast<unsigned long long>(versions)))
    Error("static void EvDebug::setDefaultVersionReg(int)", "Failed to record [%s] in the [%s] settings",
          kVersionsKey, kSettingsSection);
}

void EvDebug::refreshAllParams() {
  int level = kDefaultLevel;
  bool levelConfigured = ConfiguredLevel(level);
  ZTPlatformInfo info;
  unsigned long long size = 0;
  bool sizeConfigured = info.getNumber(kSettingsSection, kSizeKey, &size) != 0 && size > 0 && size <= kMaxSizeMB;
  unsigned long long versions = 0;
  bool versionsConfigured = info.getNumber(kSettingsSection, kVersionsKey, &versions) != 0 && versions <= kMaxVersions;

  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  if (levelConfigured) s.level = level;
  if (sizeConfigured) s.maxBytes = size * kBytesPerMB;
  if (versionsConfigured) s.maxVersions = static_cast<int>(versions);
}

void EvDebug::setLevel(int level) {
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  s.levelOverridden = true;
  s.overrideLevel = level;
}

int EvDebug::getLevel() {
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  return s.levelOverridden ? s.overrideLevel : s.level;
}

void EvDebug::setJobId(int64_t jobId) { g_jobId.store(jobId); }
int64_t EvDebug::getJobId() { return g_jobId.load(); }

std::string EvDebug::getLogPath() {
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  return s.initialized ? s.path : std::string();
}

void EvDebug::shutdownLog() {
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  CloseLocked(s);
  s.initialized = false;
  s.path.clear();
  s.maxBytes = kDefaultSizeMB * kBytesPerMB;
  s.testMaxBytes = 0;
  s.maxVersions = kDefaultVersions;
  s.level = kDefaultLevel;
  s.levelOverridden = false;
  s.overrideLevel = kDefaultLevel;
  g_jobId.store(0);
}

void EvDebug::setLogFileBytesForTest(uint64_t bytes) {
  LogState& s = State();
  ZtMutexLock lock(s.mutex);
  s.testMaxBytes = bytes;
}

void EvDebug::debug(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Write(Kind::kPlain, getJobId(), nullptr, fmt, args);
  va_end(args);
}

void EvDebug::Debug(const char* sig, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VDebug(sig, fmt, args);
  va_end(args);
}

void EvDebug::Error(const char* sig, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VError(sig, fmt, args);
  va_end(args);
}

void EvDebug::DebugLvl(int level, const char* sig, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VDebugLvl(level, sig, fmt, args);
  va_end(args);
}

void EvDebug::DebugJob(int64_t jobId, const char* sig, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VDebugJob(jobId, sig, fmt, args);
  va_end(args);
}

void EvDebug::VDebug(const char* sig, const char* fmt, va_list args) {
  Write(Kind::kDebug, getJobId(), sig, fmt, args);
}

void EvDebug::VError(const char* sig, const char* fmt, va_list args) {
  Write(Kind::kError, getJobId(), sig, fmt, args);
}

void EvDebug::VDebugLvl(int level, const char* sig, const char* fmt, va_list args) {
  if (!LevelEnabled(level)) return;
  Write(Kind::kDebug, getJobId(), sig, fmt, args);
}

void EvDebug::VDebugJob(int64_t jobId, const char* sig, const char* fmt, va_list args) {
  Write(Kind::kDebug, jobId, sig, fmt, args);
}
