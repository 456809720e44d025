#include "platform/os/ZtProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/lab/Lab.h"

extern char** environ;

namespace {

// A child's run time is real while time-outs count on the platform clock, which may be virtual: a
// child's end is looked for at least every kChildLookMs real milliseconds, and a time-out that came
// by an advance of the clock is seen within kTimeOutLookMs.
constexpr int kChildLookMs = 20;
constexpr int kTimeOutLookMs = 100;

// Lets a virtual clock end a poll on descriptors: an advance past the deadline writes to an eventfd
// that the poll watches.
class PollWaker : public ZtClockWaiter {
 public:
  PollWaker() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~PollWaker() {
    if (fd_ >= 0) close(fd_);
  }
  PollWaker(const PollWaker&) = delete;
  PollWaker& operator=(const PollWaker&) = delete;
  int fd() const { return fd_; }
  void WakeForClock() override {
    const uint64_t one = 1;
    ssize_t ignored = write(fd_, &one, sizeof one);
    (void)ignored;
  }

 private:
  const int fd_;
};

struct ChildIo {
  int in = -1;   // descriptors to place on 0, 1, 2; -1 keeps the inherited one
  int out = -1;
  int err = -1;
  bool newProcessGroup = false;
};

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool ResolveProgram(const std::string& program, std::string& path) {
  if (program.empty()) return false;
  if (program.find('/') != std::string::npos) {
    path = program;
    return true;
  }
  const char* env = std::getenv("PATH");
  std::string search = env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= search.size()) {
    size_t end = search.find(':', start);
    if (end == std::string::npos) end = search.size();
    std::string folder = search.substr(start, end - start);
    if (folder.empty()) folder = ".";
    std::string candidate = folder + "/" + program;
    if (IsExecutableFile(candidate)) {
      path = candidate;
      return true;
    }
    start = end + 1;
  }
  return false;
}

void CloseFrom(int first, int keep) {
  // In the child between fork and exec only async-signal-safe calls are allowed.
#ifdef SYS_close_range
  if (keep >= first) {
    if (keep > first) syscall(SYS_close_range, first, keep - 1, 0);
    if (syscall(SYS_close_range, keep + 1, ~0U, 0) == 0) return;
  } else if (syscall(SYS_close_range, first, ~0U, 0) == 0) {
    return;
  }
#endif
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = first; fd < max; ++fd) {
    if (fd != keep) close(fd);
  }
}

void PlaceDescriptor(int fd, int target) {
  if (fd < 0) return;
  if (fd == target) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
  } else {
    dup2(fd, target);
  }
}

// Forks and execs. The exec failure (errno) comes back through a close-on-exec pipe, so a
// program that cannot be started is reported as such and never as a running child.
bool SpawnWith(const std::vector<std::string>& argv,
               const std::vector<std::pair<std::string, std::string>>& extraEnv, const ChildIo& io,
               pid_t& pid) {
  if (argv.empty()) return false;
  std::string program;
  if (!ResolveProgram(argv[0], program)) {
    errno = ENOENT;
    return false;
  }
  for (const auto& entry : extraEnv) {
    if (entry.first.empty() || entry.first.find('=') != std::string::npos) {
      errno = EINVAL;
      return false;
    }
  }
  // Everything the child needs is built before fork: no allocation after it.
  std::vector<std::string> envText;
  for (char** e = environ; e && *e; ++e) {
    std::string item(*e);
    std::string key = item.substr(0, item.find('='));
    bool overridden = false;
    for (const auto& entry : extraEnv) overridden = overridden || entry.first == key;
    if (!overridden) envText.push_back(item);
  }
  for (const auto& entry : extraEnv) envText.push_back(entry.first + "=" + entry.second);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  pid_t child = fork();
  if (child < 0) {
    int saved = errno;
    close(report[0]);
    close(report[1]);
    errno = saved;
    return false;
  }
  if (child == 0) {
    if (io.newProcessGroup) setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < 32; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
    }
    PlaceDescriptor(io.in, 0);
    PlaceDescriptor(io.out, 1);
    PlaceDescriptor(io.err, 2);
    CloseFrom(3, report[1]);
    execve(program.c_str(), args.data(), envp.data());
    int code = errno;
    ssize_t ignored = write(report[1], &code, sizeof(code));
    (void)ignored;
    _exit(127);
  }
  close(report[1]);
  int code = 0;
  ssize_t n;
  do {
    n = read(report[0], &code, sizeof(code));
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n > 0) {
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    errno = code;
    return false;
  }
  pid = child;
  return true;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

bool ZtProcess::Spawn(const std::vector<std::string>& argv,
                      const std::vector<std::pair<std::string, std::string>>& extraEnv, pid_t& pid) {
  return SpawnWith(argv, extraEnv, ChildIo(), pid);
}

bool ZtProcess::Wait(pid_t pid, unsigned long ms, int& exitCode) {
  if (pid <= 0) return false;  // waitpid(-1) or a group would reap someone else's child
  const bool forever = ms >= kZtWaitForever;
  const long long deadline = ZtDeadlineAfterMs(ms);
  int pauseMs = 1;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, forever ? 0 : WNOHANG);
    if (r == pid) {
      exitCode = ExitCodeOf(status);
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (r == 0) {
      if (ZtClock::MonotonicTicks() >= deadline) return false;
      ZtClock::Pause(deadline, pauseMs);
      pauseMs = std::min(pauseMs * 2, kChildLookMs);
    }
  }
}

bool ZtProcess::Kill(pid_t pid, int signal) { return pid > 0 && kill(pid, signal) == 0; }

bool ZtProcess::IsRunning(pid_t pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;  // no /proc: the signal check is all we have
  std::string line;
  std::getline(stat, line);
  size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return true;
  char state = line[close + 2];
  return state != 'Z' && state != 'X';
}

std::string ZtProcess::SelfPath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  return std::string(path, static_cast<size_t>(n));
}

std::string ZtProcess::SelfFolder() {
  std::string self = SelfPath();
  size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

bool ZtProcess::GetProcessName(pid_t pid, std::string& name) {
  if (!IsRunning(pid)) return false;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string text;
  if (comm) std::getline(comm, text);
  name = text;
  return true;
}

namespace {

// Runs argv with standard input from /dev/null, its output into out and its error output into err
// (into out as well when merged), in a process group of its own that a time-out kills whole. The exit
// code (exitCode the same), -1 when it could not be run or was killed at the time-out.
int RunCapturing(const std::vector<std::string>& argv, bool mergeErrors,
                 const std::vector<std::pair<std::string, std::string>>& extraEnv, std::string& out, std::string& err,
                 int& exitCode, unsigned long timeoutMs) {
  out.clear();
  err.clear();
  exitCode = -1;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return -1;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return -1;
  }
  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ChildIo io;
  io.in = devNull;
  io.out = outPipe[1];
  io.err = mergeErrors ? outPipe[1] : errPipe[1];
  io.newProcessGroup = true;
  pid_t pid = -1;
  bool started = SpawnWith(argv, extraEnv, io, pid);
  if (devNull >= 0) close(devNull);
  close(outPipe[1]);
  close(errPipe[1]);
  if (!started) {
    close(outPipe[0]);
    close(errPipe[0]);
    return -1;
  }

  // Both pipes are drained together: a child filling one while we block on the other would
  // wait for us forever.
  const bool forever = timeoutMs >= kZtWaitForever;
  const long long deadline = ZtDeadlineAfterMs(timeoutMs);
  PollWaker waker;
  ZtClock::Registration registration(deadline, &waker);
  struct pollfd fds[3] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {waker.fd(), POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int openPipes = 2;
  bool timedOut = false;
  char buffer[65536];
  while (openPipes > 0) {
    int wait = -1;
    if (!forever) {
      wait = ZtClock::PollMs(deadline, kTimeOutLookMs);
      if (wait == 0) {
        timedOut = true;
        break;
      }
    }
    int r = poll(fds, 3, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      timedOut = true;  // cannot watch the pipes any more: stop the command rather than hang
      break;
    }
    if (fds[2].revents != 0) {
      uint64_t count;
      ssize_t ignored = read(fds[2].fd, &count, sizeof count);
      (void)ignored;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --openPipes;
      }
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd >= 0) close(fds[i].fd);
  }
  if (timedOut) kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) return -1;
  exitCode = ExitCodeOf(status);
  return exitCode;
}

}  // namespace

int ZtProcess::system(const std::string& command, std::string& out, std::string& err, int& exitCode,
                      unsigned long timeoutMs) {
  return RunCapturing({"/bin/sh", "-c", command}, false, {}, out, err, exitCode, timeoutMs);
}

int ZtProcess::Run(const std::vector<std::string>& argv, std::string& output, int& exitCode,
                   unsigned long timeoutMs) {
  std::string ignored;
  if (argv.empty()) {
    output.clear();
    exitCode = -1;
    return -1;
  }
  // A program of the lab (a tool's stand-in) works in the lab of the process that runs it, also when
  // that lab was chosen in the process rather than by its environment.
  std::vector<std::pair<std::string, std::string>> env;
  if (!lab::Root().empty()) env.emplace_back(lab::RootVariable(), lab::Root());
  return RunCapturing(argv, true, env, output, ignored, exitCode, timeoutMs);
}

std::string ZtProcess::QuoteArg(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

bool GetProcessName(const std::string& processId, std::string& name) {
  if (processId.empty() || processId.size() > 9) return false;
  for (char c : processId) {
    if (c < '0' || c > '9') return false;
  }
  return ZtProcess::GetProcessName(static_cast<pid_t>(std::stol(processId)), name);
}
