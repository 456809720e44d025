#include "records/FXLockableResource.h"

#include <pthread.h>
#include <unistd.h>

#include <boost/interprocess/exceptions.hpp>

#include "platform/os/ZtThread.h"

FXLockableResource::~FXLockableResource() = default;

bool FXLockableResource::TryLock(CTimeInterval) { return TryLock(); }

void FXLockableResource::SetLockOwner() {
  m_lockOwner.store(static_cast<uint32_t>(pthread2threadId(pthread_self())), std::memory_order_relaxed);
}

bool FXLockableResource::LockChecked() {
  Lock();
  return true;
}

// ---------------------------------------------------------------------------------------------

FXCriticalSection::~FXCriticalSection() = default;

bool FXCriticalSection::TryLock() {
  try {
    if (!m_mutex.try_lock()) return false;
  } catch (const boost::interprocess::interprocess_exception&) {
    return false;
  }
  SetLockOwner();
  return true;
}

bool FXCriticalSection::TryLock(CTimeInterval interval) { return FXLockableResource::TryLock(interval); }

void FXCriticalSection::Lock() { LockChecked(); }

bool FXCriticalSection::LockChecked() {
  try {
    m_mutex.lock();
  } catch (const boost::interprocess::interprocess_exception&) {
    return false;
  }
  SetLockOwner();
  return true;
}

void FXCriticalSection::Unlock() {
  ClearLockOwner();
  try {
    m_mutex.unlock();
  } catch (const boost::interprocess::interprocess_exception&) {
  }
}

// ---------------------------------------------------------------------------------------------

FXNamedMutex::FXNamedMutex(const std::string& name) : m_mutex(name) {}

FXNamedMutex::~FXNamedMutex() = default;

bool FXNamedMutex::TryLock() {
  if (!m_mutex.lock(1)) return false;
  SetLockOwner();
  return true;
}

bool FXNamedMutex::TryLock(CTimeInterval interval) {
  long long ms = interval.AsMilliseconds();
  if (ms < 0) ms = 0;
  // The largest finite wait; kZtWaitForever itself would mean no limit.
  if (ms >= static_cast<long long>(kZtWaitForever)) ms = static_cast<long long>(kZtWaitForever) - 1;
  if (!m_mutex.lock(static_cast<unsigned long>(ms))) return false;
  SetLockOwner();
  return true;
}

void FXNamedMutex::Lock() { LockChecked(); }

bool FXNamedMutex::LockChecked() {
  if (!m_mutex.lock()) return false;
  SetLockOwner();
  return true;
}

void FXNamedMutex::Unlock() {
  if (m_mutex.getLockCnt() == 1) ClearLockOwner();
  m_mutex.unlock();
}

// ---------------------------------------------------------------------------------------------

auto_lock::auto_lock(FXLockableResource* resource, bool lockNow) : m_resource(resource) {
  if (lockNow) Lock();
}

auto_lock::~auto_lock() { Unlock(); }

bool auto_lock::Lock() {
  if (m_resource != nullptr && !m_locked) m_locked = m_resource->LockChecked();
  return m_locked;
}

bool auto_lock::TryLock(CTimeInterval interval) {
  if (m_resource != nullptr && !m_locked) m_locked = m_resource->TryLock(interval);
  return m_locked;
}

void auto_lock::Unlock() {
  if (m_resource != nullptr && m_locked) {
    m_resource->Unlock();
    m_locked = false;
  }
}

void auto_lock::reset(FXLockableResource* resource, bool lockNow) {
  if (resource != m_resource) {
    Unlock();
    m_resource = resource;
  }
  if (lockNow) Lock();
}

// ---------------------------------------------------------------------------------------------

auto_handle& auto_handle::operator=(auto_handle& other) {
  reset(other.release());
  return *this;
}

int auto_handle::release() {
  int fd = m_fd;
  m_fd = -1;
  return fd;
}

void auto_handle::reset(int fd) {
  // Resetting to the descriptor already held must not close it under the new holder.
  if (fd == m_fd) return;
  if (m_fd >= 0) close(m_fd);
  m_fd = fd;
}
