#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>

#include "platform/os/ZtHandles.h"
#include "platform/os/ZtTime.h"

// Base of the lockable resources. The lock owner (low 32 bits of the holding thread's identity,
// 0 when free) is informational only: nothing refuses an unlock because of it.
class FXLockableResource {
 public:
  FXLockableResource() = default;
  virtual ~FXLockableResource();
  FXLockableResource(const FXLockableResource&) = delete;
  FXLockableResource& operator=(const FXLockableResource&) = delete;

  virtual bool TryLock() = 0;
  // Defined here: one TryLock() attempt, the interval is not used.
  virtual bool TryLock(CTimeInterval interval) = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

  uint32_t GetLockOwner() const { return m_lockOwner.load(std::memory_order_relaxed); }

 protected:
  void SetLockOwner();
  void ClearLockOwner() { m_lockOwner.store(0, std::memory_order_relaxed); }
  // Lock() whose caller learns whether the lock was taken. Lock() of some resources returns
  // without the lock on failure; auto_lock must not then believe it holds it.
  virtual bool LockChecked();

 private:
  friend class auto_lock;
  std::atomic<uint32_t> m_lockOwner{0};
};

// A recursive lock on Boost's interprocess recursive mutex. No Boost exception escapes: a failed
// try gives false, a failed Lock() returns without the lock.
class FXCriticalSection : public FXLockableResource {
 public:
  FXCriticalSection() = default;
  ~FXCriticalSection() override;

  bool TryLock() override;
  bool TryLock(CTimeInterval interval) override;
  void Lock() override;
  void Unlock() override;

 protected:
  bool LockChecked() override;

 private:
  boost::interprocess::interprocess_recursive_mutex m_mutex;
};

// A lock shared between processes by name (ZtNamedMutex). It counts its own recursion.
class FXNamedMutex : public FXLockableResource {
 public:
  explicit FXNamedMutex(const std::string& name);
  ~FXNamedMutex() override;

  // One attempt of 1 ms.
  bool TryLock() override;
  // Waits up to the interval (negative: no wait).
  bool TryLock(CTimeInterval interval) override;
  void Lock() override;
  void Unlock() override;
  int getLockCnt() const { return m_mutex.getLockCnt(); }
  bool valid() const { return m_mutex.valid(); }

 protected:
  bool LockChecked() override;

 private:
  ZtNamedMutex m_mutex;
};

// Holds a lockable resource for a scope, remembering whether this holder took the lock, so it
// unlocks exactly what it locked. Belongs to one thread.
class auto_lock {
 public:
  auto_lock() = default;
  explicit auto_lock(FXLockableResource* resource, bool lockNow = true);
  ~auto_lock();
  auto_lock(const auto_lock&) = delete;
  auto_lock& operator=(const auto_lock&) = delete;

  // True when this holder holds the lock afterwards (a failed lock is not recorded as a hold).
  bool Lock();
  bool TryLock(CTimeInterval interval);
  void Unlock();
  // Switches to another resource (unlocking the old one first); the same pointer keeps the hold.
  void reset(FXLockableResource* resource, bool lockNow = true);

  bool IsLocked() const { return m_locked; }
  FXLockableResource* get() const { return m_resource; }

 private:
  FXLockableResource* m_resource = nullptr;
  bool m_locked = false;
};

// Owner of one file descriptor; -1 means none. Copying transfers ownership.
class auto_handle {
 public:
  auto_handle() = default;
  explicit auto_handle(int fd) : m_fd(fd) {}
  auto_handle(auto_handle& other) : m_fd(other.release()) {}
  ~auto_handle() { reset(-1); }
  auto_handle& operator=(auto_handle& other);

  int get() const { return m_fd; }
  bool is_valid() const { return m_fd >= 0; }
  int release();
  // Closes the held descriptor (when valid and different from fd), then holds fd.
  void reset(int fd = -1);

 private:
  int m_fd = -1;
};
