#pragma once
// Driving whole jobs through the lab tool, as the job manager and an administrator would.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/lab/LabFiles.h"
#include "support/TestLab.h"

namespace labrun {

// Starts the lab tool; its output goes to outPath.
inline pid_t StartTool(const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<std::string> argv = {QUARN_LAB_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::StartProgram(argv, outPath);
}

inline int RunTool(const std::vector<std::string>& args, const std::string& outPath) {
  return testsupport::WaitProgram(StartTool(args, outPath));
}

inline std::string ReadText(const std::string& path) {
  std::string text, error;
  lab::ReadRegularFile(path, 64 << 20, text, error);
  return text;
}

// Blocks until `reached` holds, looking again whenever something in the folders changes. False when
// nothing changes for a minute: the job is stuck, and the test fails instead of hanging.
inline bool WaitForLab(const std::vector<std::string>& folders, const std::function<bool()>& reached) {
  const int watcher = inotify_init1(IN_CLOEXEC);
  if (watcher < 0) return false;
  for (const std::string& folder : folders)
    inotify_add_watch(watcher, folder.c_str(), IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_CLOSE_WRITE);
  bool ok = reached();
  while (!ok) {
    pollfd ready = {watcher, POLLIN, 0};
    if (poll(&ready, 1, 60000) <= 0) break;
    char events[4096];
    if (read(watcher, events, sizeof events) <= 0) break;
    ok = reached();
  }
  close(watcher);
  return ok;
}

}  // namespace labrun
