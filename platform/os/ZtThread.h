#pragma once
#include <pthread.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/os/ZtHandles.h"

// A stable 64-bit number for a POSIX thread identity (the same for the thread's whole life).
uint64_t pthread2threadId(pthread_t thread);

// A thread running a C entry point. Copies share the thread: they are member-wise copies whose
// join state is common, so a thread is joined at most once whichever copy joins it. When the
// last copy goes away without a join, the thread is detached so its resources are freed.
class ZtThread {
 public:
  using EntryPoint = void* (*)(void*);

  ZtThread() = default;

  // False when the thread could not be started or this object's thread still runs. A new thread
  // replaces an ended one (which is detached unless joined).
  bool Create(EntryPoint entry, void* arg, const std::string& name = std::string());
  // 0 on success, 0xFFFFFFFF when the thread could not be started.
  unsigned int createThread(EntryPoint entry, void* arg, const std::string& name = std::string());

  // Waits for the thread to end, at most ms milliseconds (kZtWaitForever: no limit). True when it
  // has ended and been joined. A thread cannot join itself (false).
  bool Join(unsigned long ms = kZtWaitForever);
  // Non-zero when joined, 0 on time-out or failure.
  int joinThread(unsigned long ms = kZtWaitForever) { return Join(ms) ? 1 : 0; }

  bool IsRunning() const;

  // Last resort only: cancels the thread at its next cancellation point, wherever it is, so locks
  // it holds through raw handles and the state it was changing may be left behind. Called by the
  // thread on itself it does nothing (the thread is ending on its own); on an ended thread too.
  bool Terminate();
  bool terminateThread() { return Terminate(); }

  uint64_t getThreadID() const { return pthread2threadId(m_thread); }
  const std::string& Name() const { return m_name; }

  struct Control;
  struct Owner;

 private:
  bool m_created = false;
  bool m_terminateRequested = false;
  pthread_t m_thread{};
  uint64_t m_threadNumber = 0;  // pthread2threadId of m_thread once created
  std::string m_name;
  std::shared_ptr<Owner> m_owner;
};

// A fixed set of threads running jobs in submission order. Shutdown runs every job submitted
// before it, then joins the threads; later submissions are refused.
class ZtThreadPool {
 public:
  explicit ZtThreadPool(int threads);
  ~ZtThreadPool();
  ZtThreadPool(const ZtThreadPool&) = delete;
  ZtThreadPool& operator=(const ZtThreadPool&) = delete;

  // False once shut down (the job is not run).
  bool Submit(std::function<void()> job);
  // REQUIRES: not called from a job of this pool.
  void Shutdown();
  int ThreadCount() const { return static_cast<int>(m_threads.size()); }

 private:
  void Run();

  std::vector<std::thread> m_threads;  // constant after construction until Shutdown joins them
  // A ZtCondition, so that a virtual clock sees a worker back at its wait (see ZtClock).
  ZtMutex m_mutex;
  ZtCondition m_cond;
  std::deque<std::function<void()>> m_jobs GUARDED_BY(m_mutex);
  bool m_stopping GUARDED_BY(m_mutex) = false;
  std::mutex m_shutdownMutex;  // serialises Shutdown calls
};
