#pragma once
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

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

}  // namespace testsupport
