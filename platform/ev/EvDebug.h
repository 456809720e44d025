#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

#define EV_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

// The process log: the focus client's log file in the lab (lab::ClientLogPath), readable by its owner
// and group only, rotated past a size with a number
// of old versions kept ("<logId>.log.1" is the newest old one). Every line is
//   <pid> <thread id, hex> <MM/DD HH:MM:SS> <job id or -> [ERROR ]<signature>: <text>
// and plain lines (banners) have no signature. Lines are whole single writes to a file opened for
// appending, under one mutex in the process and an advisory file lock between processes, so lines of
// several threads and processes never interleave. Before the log is initialised, lines go to stderr.
//
// The debug level filters DebugLvl lines: a line is written when its level is at most the log level.
// The log level is, in order of precedence: setLevel, the environment variable QUARN_DEBUG_LEVEL, the
// focus client's setting "nQuarnDebugLevel" of section "Base", and 1.
class EvDebug {
 public:
  // The name of an application's log.
  static std::string getLogId(const std::string& appName);
  // Opens (creating its folders) the log of the focus client. False when there is no lab or the log
  // cannot be opened. `level` is the event level of the caller's process; the line filter comes from
  // the debug level described above.
  static bool initializeLog(int level, const std::string& logId);
  static bool isInitialized();
  // Rotation parameters; each acts only when the log is initialised. Sizes in megabytes.
  static void setDefaultLogFileSize(int sizeMB);
  // Sets the number of old versions kept, and records it with setDefaultVersionReg.
  static void setDefaultMaxVersion(int versions);
  // Records the version count as the client's "Base" setting "nQuarnLogMaxVersions" when that setting
  // is not there yet (a value chosen by an administrator is never overwritten).
  static void setDefaultVersionReg(int versions);
  // Re-reads the debug level, "nQuarnLogFileSize" (MB) and "nQuarnLogMaxVersions" from settings;
  // absent or out-of-range values keep the current ones.
  static void refreshAllParams();

  static void setLevel(int level);
  static int getLevel();
  static void setJobId(int64_t jobId);
  static int64_t getJobId();
  static std::string getLogPath();  // empty before initialisation
  // Closes the log and forgets every setting (tests).
  static void shutdownLog();
  // Rotation threshold in bytes instead of megabytes, so tests rotate after a few lines; 0 clears it.
  static void setLogFileBytesForTest(uint64_t bytes);

  // A plain line without signature (banners).
  static void debug(const char* fmt, ...) EV_PRINTF(1, 2);

  static void Debug(const char* sig, const char* fmt, ...) EV_PRINTF(2, 3);
  static void Error(const char* sig, const char* fmt, ...) EV_PRINTF(2, 3);
  static void DebugLvl(int level, const char* sig, const char* fmt, ...) EV_PRINTF(3, 4);
  static void DebugJob(int64_t jobId, const char* sig, const char* fmt, ...) EV_PRINTF(3, 4);

  // The va_list forms behind the above (EvEvent forwards through them).
  static void VDebug(const char* sig, const char* fmt, va_list args) EV_PRINTF(2, 0);
  static void VError(const char* sig, const char* fmt, va_list args) EV_PRINTF(2, 0);
  static void VDebugLvl(int level, const char* sig, const char* fmt, va_list args) EV_PRINTF(3, 0);
  static void VDebugJob(int64_t jobId, const char* sig, const char* fmt, va_list args) EV_PRINTF(3, 0);
};
