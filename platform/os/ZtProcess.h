#pragma once
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/os/ZtHandles.h"

// Starting and watching processes. Programs are run with their arguments directly, never
// through a shell, except by system(), whose whole point is a shell command line: text from
// outside goes into such a line only through QuoteArg.
class ZtProcess {
 public:
  // Starts argv[0] (searched in PATH when it has no '/') with argv, the environment of this
  // process plus extraEnv (overriding variables of the same name), and no open descriptors but
  // 0, 1 and 2. False, with nothing left running, when the program cannot be started.
  static bool Spawn(const std::vector<std::string>& argv,
                    const std::vector<std::pair<std::string, std::string>>& extraEnv, pid_t& pid);
  // Waits up to ms milliseconds (kZtWaitForever: no limit) for the child pid to end and reaps it.
  // exitCode: the exit status, or 128 + signal number when a signal ended it.
  static bool Wait(pid_t pid, unsigned long ms, int& exitCode);
  // Refuses pid 0 and negative pids, which would signal whole process groups.
  static bool Kill(pid_t pid, int signal);
  // Whether pid is a live process (a zombie is not).
  static bool IsRunning(pid_t pid);
  // The live process's command name; false when there is no such process.
  static bool GetProcessName(pid_t pid, std::string& name);

  // Runs "/bin/sh -c command" with standard input from /dev/null, capturing standard output and
  // standard error separately. Returns the command's exit code (exitCode gets the same value);
  // -1 when it could not be run or was killed at the time-out (its whole process group is).
  static int system(const std::string& command, std::string& out, std::string& err, int& exitCode,
                    unsigned long timeoutMs = kZtWaitForever);

  // Runs argv[0] (searched in PATH when it has no '/') with argv, never through a shell, standard
  // input from /dev/null and its error output merged into its output, as system() does otherwise.
  static int Run(const std::vector<std::string>& argv, std::string& output, int& exitCode,
                 unsigned long timeoutMs = kZtWaitForever);

  // The text as one single-quoted shell word.
  static std::string QuoteArg(const std::string& text);

  // Full path of the running program; empty when it cannot be read.
  static std::string SelfPath();
  // The folder of the running program, without a trailing '/'; "." when unknown.
  static std::string SelfFolder();
};

// processId as decimal text; true when that process runs, with its command name.
bool GetProcessName(const std::string& processId, std::string& name);
