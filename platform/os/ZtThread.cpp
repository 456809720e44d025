#include "platform/os/ZtThread.h"

#include <cstring>
#include <system_error>

#include "platform/lab/LabFaults.h"

uint64_t pthread2threadId(pthread_t thread) {
  uint64_t id = 0;
  std::memcpy(&id, &thread, sizeof(thread) < sizeof(id) ? sizeof(thread) : sizeof(id));
  return id;
}

// Shared by the running thread and every copy of its ZtThread.
struct ZtThread::Control {
  ZtMutex mutex;
  ZtCondition cond;
  bool finished GUARDED_BY(mutex) = false;
};

// Shared only by the copies of a ZtThread: decides who joins, and detaches when nobody did.
struct ZtThread::Owner {
  Owner(pthread_t t, std::shared_ptr<Control> c) : thread(t), control(std::move(c)) {}
  ~Owner() {
    if (!joined) pthread_detach(thread);
  }
  const pthread_t thread;
  const std::shared_ptr<Control> control;
  std::mutex mutex;     // serialises Join and Terminate
  bool joined = false;  // guarded by mutex
};

namespace {

struct StartBlock {
  ZtThread::EntryPoint entry;
  void* arg;
  std::shared_ptr<ZtThread::Control> control;
};

// Marks the thread finished however it ends: by returning or by being cancelled (cancellation
// unwinds the stack, which runs this destructor).
struct FinishGuard {
  std::shared_ptr<ZtThread::Control> control;
  ~FinishGuard() {
    ZtMutexLock lock(control->mutex);
    control->finished = true;
    control->cond.notify_all();
  }
};

// True once the thread has finished, false when ms milliseconds of the clock passed first.
bool WaitFinished(ZtThread::Control& control, unsigned long ms) {
  const long long deadline = ZtDeadlineAfterMs(ms);
  ZtMutexLock lock(control.mutex);
  while (!control.finished) {
    if (control.cond.wait_until(control.mutex, deadline) == std::cv_status::timeout) return control.finished;
  }
  return true;
}

void* Trampoline(void* raw) {
  std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(raw));
  FinishGuard guard{block->control};
  ZtThread::EntryPoint entry = block->entry;
  void* arg = block->arg;
  block.reset();
  return entry(arg);
}

}  // namespace

// True when the fault table refuses a thread of this name, as a system out of threads would.
static bool CreateFaulted(const std::string& name) {
  if (name.empty()) return false;
  lab::FaultCall call;
  call.op = "thread.Create";
  call.disk = name;
  lab::Fault fault;
  return lab::CheckFault(call, fault);
}

bool ZtThread::Create(EntryPoint entry, void* arg, const std::string& name) {
  if (entry == nullptr || IsRunning()) return false;
  if (CreateFaulted(name)) return false;
  auto control = std::make_shared<Control>();
  auto* block = new StartBlock{entry, arg, control};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, &Trampoline, block) != 0) {
    delete block;
    return false;
  }
  if (!name.empty()) {
    // The kernel keeps at most 15 characters of a thread name.
    pthread_setname_np(thread, name.substr(0, 15).c_str());
  }
  m_created = true;
  m_terminateRequested = false;
  m_thread = thread;
  m_threadNumber = pthread2threadId(thread);
  m_name = name;
  m_owner = std::make_shared<Owner>(thread, std::move(control));
  return true;
}

unsigned int ZtThread::createThread(EntryPoint entry, void* arg, const std::string& name) {
  return Create(entry, arg, name) ? 0u : 0xFFFFFFFFu;
}

bool ZtThread::Join(unsigned long ms) {
  if (!m_owner) return false;
  if (pthread_equal(pthread_self(), m_owner->thread)) return false;
  std::lock_guard<std::mutex> ownerLock(m_owner->mutex);
  if (m_owner->joined) return true;
  if (!WaitFinished(*m_owner->control, ms)) return false;
  // The thread has left its entry point; pthread_join only waits for its last instructions.
  if (pthread_join(m_owner->thread, nullptr) != 0) return false;
  m_owner->joined = true;
  return true;
}

bool ZtThread::IsRunning() const {
  if (!m_owner) return false;
  ZtMutexLock lock(m_owner->control->mutex);
  return !m_owner->control->finished;
}

bool ZtThread::Terminate() {
  if (!m_owner) return false;
  if (pthread_equal(pthread_self(), m_owner->thread)) return true;
  std::lock_guard<std::mutex> ownerLock(m_owner->mutex);
  if (m_owner->joined || !IsRunning()) return true;
  m_terminateRequested = true;
  return pthread_cancel(m_owner->thread) == 0;
}

// ---------------------------------------------------------------------------------------------

ZtThreadPool::ZtThreadPool(int threads) {
  if (threads < 1) threads = 1;
  m_threads.reserve(static_cast<size_t>(threads));
  for (int i = 0; i < threads; ++i) {
    try {
      m_threads.emplace_back(&ZtThreadPool::Run, this);
    } catch (const std::system_error&) {
      break;  // run with the threads we got
    }
  }
  if (m_threads.empty()) {
    ZtMutexLock lock(m_mutex);
    m_stopping = true;  // nothing would ever run a job: refuse them
  }
}

ZtThreadPool::~ZtThreadPool() { Shutdown(); }

bool ZtThreadPool::Submit(std::function<void()> job) {
  if (!job) return false;
  {
    ZtMutexLock lock(m_mutex);
    if (m_stopping) return false;
    m_jobs.push_back(std::move(job));
  }
  m_cond.notify_one();
  return true;
}

void ZtThreadPool::Shutdown() {
  std::lock_guard<std::mutex> shutdownLock(m_shutdownMutex);
  {
    ZtMutexLock lock(m_mutex);
    m_stopping = true;
  }
  m_cond.notify_all();
  for (std::thread& thread : m_threads) {
    if (thread.joinable()) thread.join();
  }
}

void ZtThreadPool::Run() {
  for (;;) {
    std::function<void()> job;
    {
      ZtMutexLock lock(m_mutex);
      while (!m_stopping && m_jobs.empty()) m_cond.wait(m_mutex);
      if (m_jobs.empty()) return;  // stopping and drained
      job = std::move(m_jobs.front());
      m_jobs.pop_front();
    }
    job();
  }
}
