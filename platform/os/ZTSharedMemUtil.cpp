#include "platform/os/ZTSharedMemUtil.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>

bool ZTSharedMemUtil::makeKey(const std::string& keyFile, int id, key_t& key, int& error) {
  int fd = open(keyFile.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno;
    return false;
  }
  close(fd);
  key_t made = ftok(keyFile.c_str(), id);
  if (made == static_cast<key_t>(-1)) {
    error = errno;
    return false;
  }
  key = made;
  error = 0;
  return true;
}

void* ZTSharedMemUtil::createSharedMemory(key_t key, int& segmentId, size_t size, int& error) {
  int id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
  if (id < 0) {
    error = errno;
    return nullptr;
  }
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    error = errno;
    shmctl(id, IPC_RMID, nullptr);  // nobody can have attached the segment we just made
    return nullptr;
  }
  segmentId = id;
  error = 0;
  return address;
}

void* ZTSharedMemUtil::getSharedMemory(key_t key, int& error) {
  int segmentId = -1;
  return getSharedMemory(key, segmentId, error);
}

void* ZTSharedMemUtil::getSharedMemory(key_t key, int& segmentId, int& error) {
  int id = shmget(key, 0, 0);
  if (id < 0) {
    error = errno;
    return nullptr;
  }
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    error = errno;
    return nullptr;
  }
  segmentId = id;
  error = 0;
  return address;
}

bool ZTSharedMemUtil::detachSharedMemory(const void* address) {
  return address != nullptr && shmdt(address) == 0;
}

bool ZTSharedMemUtil::removeSharedMemory(int segmentId) {
  return segmentId >= 0 && shmctl(segmentId, IPC_RMID, nullptr) == 0;
}

bool ZTSharedMemUtil::segmentSize(int segmentId, size_t& size) {
  struct shmid_ds info;
  if (segmentId < 0 || shmctl(segmentId, IPC_STAT, &info) != 0) return false;
  size = info.shm_segsz;
  return true;
}

bool ZTSharedMemUtil::attachCount(int segmentId, size_t& count) {
  struct shmid_ds info;
  if (segmentId < 0 || shmctl(segmentId, IPC_STAT, &info) != 0) return false;
  count = static_cast<size_t>(info.shm_nattch);
  return true;
}

ZTSharedMemUtil::~ZTSharedMemUtil() { Detach(); }

bool ZTSharedMemUtil::CreateOrAttach(const std::string& keyFile, int id, size_t size) {
  if (m_address != nullptr || size == 0) {
    m_error = EINVAL;
    return false;
  }
  key_t key;
  if (!makeKey(keyFile, id, key, m_error)) return false;
  // Another process may create or remove the segment between the two calls: try a few rounds.
  for (int round = 0; round < 5; ++round) {
    int segmentId = -1;
    void* address = createSharedMemory(key, segmentId, size, m_error);
    if (address != nullptr) {
      m_address = address;
      m_segmentId = segmentId;
      m_size = size;
      m_isNew = true;
      return true;
    }
    if (m_error != EEXIST) return false;
    address = getSharedMemory(key, segmentId, m_error);
    if (address == nullptr) {
      if (m_error == ENOENT || m_error == EIDRM) continue;
      return false;
    }
    size_t existing = 0;
    if (!segmentSize(segmentId, existing) || existing < size) {
      shmdt(address);
      m_error = EINVAL;
      return false;
    }
    m_address = address;
    m_segmentId = segmentId;
    m_size = existing;
    m_isNew = false;
    return true;
  }
  return false;
}

bool ZTSharedMemUtil::Detach() {
  if (m_address == nullptr) return false;
  bool ok = shmdt(m_address) == 0;
  if (!ok) m_error = errno;
  m_address = nullptr;
  return ok;
}

bool ZTSharedMemUtil::Remove() {
  if (m_segmentId < 0) return false;
  Detach();
  bool ok = shmctl(m_segmentId, IPC_RMID, nullptr) == 0;
  if (!ok) m_error = errno;
  m_segmentId = -1;
  m_size = 0;
  return ok;
}
