#pragma once
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace labtest {

// A child process of the test in a known state, to stand for a process a lab record names: one that
// runs (until the test ends it), one that has ended but was not waited for yet (a zombie, which runs no
// more), or one that is gone. A group leader leads a process group of its own, as the job process a run
// starts does.
class ChildProcess {
 public:
  enum class State { kRunning, kZombie, kGone };

  ChildProcess(State state, bool groupLeader) {
    pid_ = fork();
    if (pid_ == 0) {
      // Only calls that are safe in the child of a process that may have threads; a test that dies
      // takes its children with it.
      if (groupLeader) setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (state == State::kRunning)
        for (;;) pause();
      _exit(0);
    }
    if (pid_ < 0) return;
    if (groupLeader) setpgid(pid_, pid_);  // either side may come first
    if (state == State::kZombie) {
      siginfo_t info;
      while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
      }
    } else if (state == State::kGone) {
      Reap();
    }
  }
  ~ChildProcess() { End(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Ends a running child, and waits for it.
  void End() {
    if (pid_ <= 0 || reaped_) return;
    kill(pid_, SIGKILL);
    Reap();
  }

 private:
  void Reap() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace labtest
