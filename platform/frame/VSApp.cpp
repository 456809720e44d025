#include "platform/frame/VSApp.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/ev/EvDebug.h"

namespace {

const char* const kSigInitialize = "virtual bool VSApp::Initialize()";
const char* const kSigDeliver = "bool VSApp::DeliverServiceShutdown(const char*)";

// The signal pipe lives as long as the process that made it and is never closed there: a handler
// running on another thread may be about to write to it at any moment, and a closed descriptor could
// be reused by an unrelated file.
ZtMutex g_ownerMutex;
VSApp* g_owner GUARDED_BY(g_ownerMutex) = nullptr;
int g_signalReadFd GUARDED_BY(g_ownerMutex) = -1;
std::atomic<int> g_signalWriteFd{-1};
// A child forked (before its exec) inherits the handler and the pipe; its signals are not ours.
std::atomic<pid_t> g_signalPid{-1};

void OnSignal(int signal) {
  int savedErrno = errno;
  int fd = g_signalWriteFd.load();
  if (fd >= 0 && getpid() == g_signalPid.load()) {
    char byte = static_cast<char>(signal);
    ssize_t ignored = write(fd, &byte, 1);  // a full pipe already holds a pending request
    (void)ignored;
  }
  errno = savedErrno;
}

bool EnsureSignalPipe() EXCLUSIVE_LOCKS_REQUIRED(g_ownerMutex) {
  if (g_signalReadFd >= 0 && g_signalPid.load() == getpid()) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  if (g_signalReadFd >= 0) {
    // A forked child: the inherited pipe is shared with the parent, and the handler ignores it here.
    int inheritedWrite = g_signalWriteFd.exchange(-1);
    close(g_signalReadFd);
    if (inheritedWrite >= 0) close(inheritedWrite);
  }
  g_signalReadFd = fds[0];
  g_signalPid.store(getpid());
  g_signalWriteFd.store(fds[1]);
  return true;
}

// Signals that arrived while no application listened are not meant for the new one.
void DrainSignalPipe(int fd) {
  char buffer[64];
  while (read(fd, buffer, sizeof(buffer)) > 0) {
  }
}

void ClosePipe(int (&fds)[2]) {
  for (int& fd : fds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

}  // namespace

VSApp::~VSApp() { VSApp::Deinitialize(); }

bool VSApp::Initialize() {
  ZtMutexLock lifecycle(lifecycleMutex_);
  if (installed_) return true;

  {
    ZtMutexLock owner(g_ownerMutex);
    if (g_owner != nullptr && g_owner != this) {
      EvDebug::Error(kSigInitialize, "Another application object already handles the service shutdown");
      return false;
    }
    if (!EnsureSignalPipe()) {
      EvDebug::Error(kSigInitialize, "Failed to create the signal pipe, errno [%d]", errno);
      return false;
    }
    DrainSignalPipe(g_signalReadFd);
    g_owner = this;
  }

  auto release = [this]() {
    ZtMutexLock owner(g_ownerMutex);
    if (g_owner == this) g_owner = nullptr;
  };

  if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
    EvDebug::Error(kSigInitialize, "Failed to create the watcher's stop pipe, errno [%d]", errno);
    release();
    return false;
  }
  {
    ZtMutexLock delivery(deliveryMutex_);
    delivery_ = Delivery::kRunning;
    delivered_ = false;
  }
  int stopFd = stopPipe_[0];
  watcher_ = std::thread([this, stopFd]() { WatchSignals(stopFd); });

  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  bool termOk = sigaction(SIGTERM, &action, &previousTerm_) == 0;
  bool intOk = termOk && sigaction(SIGINT, &action, &previousInt_) == 0;
  if (!intOk) {
    EvDebug::Error(kSigInitialize, "Failed to install the service shutdown handlers, errno [%d]", errno);
    if (termOk) sigaction(SIGTERM, &previousTerm_, nullptr);
    {
      ZtMutexLock delivery(deliveryMutex_);
      delivery_ = Delivery::kStopped;
    }
    char stop = 'q';
    ssize_t ignored = write(stopPipe_[1], &stop, 1);
    (void)ignored;
    watcher_.join();
    ClosePipe(stopPipe_);
    release();
    return false;
  }
  installed_ = true;
  return true;
}

void VSApp::StopServiceShutdownDelivery() {
  // Waits for a running OnServiceShutdown: it holds deliveryMutex_ while it runs.
  ZtMutexLock delivery(deliveryMutex_);
  if (delivery_ == Delivery::kRunning) delivery_ = Delivery::kStopped;
}

void VSApp::Deinitialize() {
  ZtMutexLock lifecycle(lifecycleMutex_);
  StopServiceShutdownDelivery();
  if (!installed_) return;

  sigaction(SIGTERM, &previousTerm_, nullptr);
  sigaction(SIGINT, &previousInt_, nullptr);
  char stop = 'q';
  while (write(stopPipe_[1], &stop, 1) < 0 && errno == EINTR) {
  }
  if (watcher_.joinable()) watcher_.join();
  ClosePipe(stopPipe_);
  installed_ = false;

  ZtMutexLock owner(g_ownerMutex);
  if (g_owner == this) g_owner = nullptr;
}

bool VSApp::RaiseServiceShutdownForTest() { return DeliverServiceShutdown("test"); }

bool VSApp::DeliverServiceShutdown(const char* source) {
  ZtMutexLock delivery(deliveryMutex_);
  if (delivery_ != Delivery::kRunning || delivered_) return false;
  delivered_ = true;
  EvDebug::Debug(kSigDeliver, "Service shutdown requested [%s]", source);
  OnServiceShutdown();
  return true;
}

void VSApp::WatchSignals(int stopFd) {
  int signalFd = -1;
  {
    ZtMutexLock owner(g_ownerMutex);
    signalFd = g_signalReadFd;
  }
  struct pollfd fds[2];
  fds[0].fd = signalFd;
  fds[0].events = POLLIN;
  fds[1].fd = stopFd;
  fds[1].events = POLLIN;
  for (;;) {
    fds[0].revents = 0;
    fds[1].revents = 0;
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLIN) {
      char buffer[64];
      ssize_t n = read(signalFd, buffer, sizeof(buffer));
      if (n > 0) DeliverServiceShutdown(buffer[n - 1] == SIGINT ? "SIGINT" : "SIGTERM");
    }
  }
}
