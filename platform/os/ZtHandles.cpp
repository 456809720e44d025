#include "platform/os/ZtHandles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/lab/Lab.h"

long long ZtDeadlineAfterMs(unsigned long ms) {
  if (ms >= kZtWaitForever) return ZtClock::kNoDeadline;
  return ZtClock::DeadlineAfter(CTimeInterval::FromMilliseconds(static_cast<long long>(ms)));
}

// ---------------------------------------------------------------------------------------------
// ZtCriticalSectionH

ZtCriticalSectionH::ZtCriticalSectionH() {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return;
  if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
      pthread_mutex_init(&m_mutex, &attr) == 0) {
    m_valid = true;
  }
  pthread_mutexattr_destroy(&attr);
}

ZtCriticalSectionH::~ZtCriticalSectionH() {
  if (m_valid) pthread_mutex_destroy(&m_mutex);
}

bool ZtCriticalSectionH::enter(bool wait) {
  if (!m_valid) return false;
  if ((wait ? pthread_mutex_lock(&m_mutex) : pthread_mutex_trylock(&m_mutex)) != 0) return false;
  if (m_depth++ == 0) m_owner.store(pthread_self(), std::memory_order_relaxed);
  return true;
}

bool ZtCriticalSectionH::leave() {
  if (!m_valid || !pthread_equal(m_owner.load(std::memory_order_relaxed), pthread_self())) return false;
  if (--m_depth == 0) m_owner.store(0, std::memory_order_relaxed);
  return pthread_mutex_unlock(&m_mutex) == 0;
}

// ---------------------------------------------------------------------------------------------
// ZtSemaphoreH

ZtSemaphoreH::ZtSemaphoreH(int initialCount) : m_valid(initialCount >= 0), m_count(initialCount) {}

void ZtSemaphoreH::wait() { wait(kZtWaitForever); }

int ZtSemaphoreH::wait(unsigned long milliseconds) {
  const long long deadline = ZtDeadlineAfterMs(milliseconds);
  ZtMutexLock lock(m_mutex);
  while (m_count <= 0) {
    if (m_cond.wait_until(m_mutex, deadline) == std::cv_status::timeout && m_count <= 0) return 0;
  }
  --m_count;
  return 1;
}

bool ZtSemaphoreH::release(int count) {
  if (count < 1) return false;
  {
    ZtMutexLock lock(m_mutex);
    m_count += count;
  }
  // Outside the mutex, so that a woken waiter does not block on it at once.
  if (count == 1) {
    m_cond.notify_one();
  } else {
    m_cond.notify_all();
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// ZtEventH

ZtEventH::ZtEventH(bool manualReset) : m_manualReset(manualReset) {}

void ZtEventH::set() {
  {
    ZtMutexLock lock(m_mutex);
    m_signalled = true;
  }
  if (m_manualReset) {
    m_cond.notify_all();
  } else {
    m_cond.notify_one();
  }
}

void ZtEventH::reset() {
  ZtMutexLock lock(m_mutex);
  m_signalled = false;
}

void ZtEventH::wait() { wait(kZtWaitForever); }

int ZtEventH::wait(unsigned long milliseconds) {
  const long long deadline = ZtDeadlineAfterMs(milliseconds);
  ZtMutexLock lock(m_mutex);
  while (!m_signalled) {
    if (m_cond.wait_until(m_mutex, deadline) == std::cv_status::timeout && !m_signalled) return 0;
  }
  if (!m_manualReset) m_signalled = false;
  return 1;
}

// ---------------------------------------------------------------------------------------------
// ZtNamedMutex

struct ZtNamedMutex::State {
  explicit State(const std::string& lockPath) : path(lockPath), pid(getpid()) {}
  ~State() {
    if (fd >= 0) close(fd);  // closing the last descriptor drops the file lock
  }

  const std::string path;
  ZtMutex mutex;
  ZtCondition cond;
  // Everything below is guarded by mutex. fd is only used by the thread that holds the claim.
  pid_t pid;           // the process this state belongs to; differs in a forked child
  bool held = false;   // a thread of this process holds the lock or is taking the file lock
  pthread_t owner{};
  int count = 0;       // recursion count; 0 while the claiming thread still waits for the file
  int fd = -1;         // open lock file while held

  // A forked child inherits a copy of the parent's state, but not its holds: the parent's
  // threads do not exist here, and the inherited descriptor shares the parent's file lock.
  // REQUIRES: mutex held.
  void AdoptAfterFork() {
    if (pid == getpid()) return;
    if (fd >= 0) close(fd);
    fd = -1;
    held = false;
    count = 0;
    pid = getpid();
  }
};

namespace {

std::mutex& RegistryMutex() {
  static std::mutex* mutex = new std::mutex;  // never destroyed: used by objects of any lifetime
  return *mutex;
}

std::map<std::string, std::weak_ptr<ZtNamedMutex::State>>& Registry() {
  static auto* registry = new std::map<std::string, std::weak_ptr<ZtNamedMutex::State>>;
  return *registry;
}

std::string LockFolder() {
  if (lab::Root().empty()) return "/tmp/quarn-locks";
  return lab::ClientTempDir(lab::FocusClient());
}

// Opens the lock file and takes the exclusive file lock before the clock deadline (none = no limit).
int TakeFileLock(const std::string& path, bool forever, long long deadline) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    // The folder went away since construction (a cleaned Temp folder); make it again.
    std::string folder = path.substr(0, path.rfind('/'));
    if (lab::MakeDirs(folder)) fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd < 0) return -1;
  if (forever) {
    while (flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd);
        return -1;
      }
    }
    return fd;
  }
  // Another process holds it: look again now and then until the deadline.
  int pauseMs = 1;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (ZtClock::MonotonicTicks() >= deadline) break;
    ZtClock::Pause(deadline, pauseMs);
    if (pauseMs < 10) pauseMs *= 2;
  }
  close(fd);
  return -1;
}

}  // namespace

ZtNamedMutex::ZtNamedMutex(const std::string& name) : m_name(name) {
  if (!lab::IsSafeComponent(name)) return;
  std::string folder = LockFolder();
  if (!lab::MakeDirs(folder)) return;
  m_path = folder + "/" + name + ".lock";
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& registry = Registry();
  for (auto it = registry.begin(); it != registry.end();) {
    it = it->second.expired() ? registry.erase(it) : std::next(it);
  }
  std::weak_ptr<State>& slot = registry[m_path];
  m_state = slot.lock();
  if (!m_state) {
    m_state = std::make_shared<State>(m_path);
    slot = m_state;
  }
}

ZtNamedMutex::~ZtNamedMutex() {
  if (!m_state) return;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  m_state.reset();
}

bool ZtNamedMutex::lock(unsigned long timeoutMs) {
  if (!m_state) return false;
  State& st = *m_state;
  const bool forever = timeoutMs >= kZtWaitForever;
  const long long deadline = ZtDeadlineAfterMs(timeoutMs);
  const pthread_t self = pthread_self();

  std::unique_lock<ZtMutex> lock(st.mutex);
  st.AdoptAfterFork();
  if (st.held && pthread_equal(st.owner, self) && st.count > 0) {
    ++st.count;
    return true;
  }
  while (st.held) {
    if (st.cond.wait_until(lock, deadline) == std::cv_status::timeout && st.held) return false;
  }
  // Claim the lock within the process, then wait for the other processes without the mutex.
  st.held = true;
  st.owner = self;
  st.count = 0;
  lock.unlock();
  int fd = TakeFileLock(st.path, forever, deadline);
  lock.lock();
  if (fd >= 0) {
    st.fd = fd;
    st.count = 1;
    return true;
  }
  st.held = false;
  lock.unlock();
  st.cond.notify_one();
  return false;
}

bool ZtNamedMutex::unlock() {
  if (!m_state) return false;
  State& st = *m_state;
  std::unique_lock<ZtMutex> lock(st.mutex);
  st.AdoptAfterFork();
  if (!st.held || !pthread_equal(st.owner, pthread_self()) || st.count == 0) return false;
  if (--st.count > 0) return true;
  if (st.fd >= 0) {
    flock(st.fd, LOCK_UN);
    close(st.fd);
    st.fd = -1;
  }
  st.held = false;
  lock.unlock();
  st.cond.notify_one();
  return true;
}

int ZtNamedMutex::getLockCnt() const {
  if (!m_state) return 0;
  std::lock_guard<ZtMutex> lock(m_state->mutex);
  if (m_state->pid != getpid()) return 0;
  return m_state->held ? m_state->count : 0;
}
