#include "controller/QuarnIPC.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/config/ZTPI_Base.h"
#include "platform/os/ZtProcess.h"
#include "records/WinCompat.h"

namespace {

const char* const kMagic = "QUARNSHM";
constexpr size_t kMagicBytes = 8;
const char* const kKeyFileName = "QUARN_IPC_SHARED_MEMORY";
const char* const kMutexName = "QUARN_IPC_SHARED_MEMORY_MUTEX";

const char* const kSigInit = "bool QuarnIPC::_InitSharedMemory()";
const char* const kSigCheck = "bool QuarnIPC::Check(int&, int&, int&)";

uint32_t Load(const uint32_t* word) { return __atomic_load_n(word, __ATOMIC_RELAXED); }
void Store(uint32_t* word, uint32_t value) { __atomic_store_n(word, value, __ATOMIC_RELAXED); }

// Counts from a caller may be negative or huge; the table keeps what fits.
uint32_t Count(int value) { return value < 0 ? 0u : static_cast<uint32_t>(value); }

}  // namespace

QuarnIPC::QuarnIPC() : m_namedMutex(kMutexName) {}

QuarnIPC::~QuarnIPC() { Deinitialize(); }

bool QuarnIPC::Initialize() {
  auto_lock named(&m_namedMutex);
  ZtMutexLock lock(m_lock);
  if (m_slot >= 0) return true;
  if (!named.IsLocked()) {
    m_event.Error(kSigInit, "Failed to take the shared memory mutex");
    return false;
  }
  if (_InitSharedMemory()) return true;
  // Nothing half-done stays: a process without a slot keeps no attachment either.
  m_table = nullptr;
  m_segmentId = -1;
  return false;
}

void QuarnIPC::Deinitialize() {
  auto_lock named(&m_namedMutex);
  ZtMutexLock lock(m_lock);
  _DeinitSharedMemory();
}

bool QuarnIPC::CreateKeyFile(const std::string& path) {
  int result = -1;
  int error = 0;
  for (int attempt = 1; attempt <= kKeyFileAttempts; ++attempt) {
    // Only its existence matters to ftok; it is made for its owner alone.
    result = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (result >= 0) {
      close(result);
      return true;
    }
    error = errno;
    if (error == EEXIST) return true;
    if (attempt == kKeyFileAttempts) break;
  }
  m_event.Error(kSigInit, "Shared memory key creation failed. %d, %d, %d", result, error, 0);
  return false;
}

bool QuarnIPC::AttachSegment() {
  int error = 0;
  int segmentId = -1;
  void* address = ZTSharedMemUtil::createSharedMemory(m_key, segmentId, kTableBytes, error);
  if (address != nullptr) {
    std::memset(address, 0, kTableBytes);
    std::memcpy(address, kMagic, kMagicBytes);
  } else {
    address = ZTSharedMemUtil::getSharedMemory(m_key, segmentId, error);
    if (address == nullptr) {
      m_event.Error(kSigInit, "Failed to connect to shared memory, %d", error);
      return false;
    }
    // A smaller segment under the key (another program's, or a damaged one) would be read past its
    // end: it is refused before a byte of it is read.
    size_t size = 0;
    if (!ZTSharedMemUtil::segmentSize(segmentId, size) || size < kTableBytes) {
      m_event.Error(kSigInit, "Shared memory segment [%d] is %zu bytes, %zu are needed", segmentId, size,
                    kTableBytes);
      ZTSharedMemUtil::detachSharedMemory(address);
      return false;
    }
    if (IsStaleTable(address, segmentId)) return ReplaceStaleSegment(address, segmentId);
  }
  m_table = static_cast<unsigned char*>(address);
  m_segmentId = segmentId;
  return true;
}

bool QuarnIPC::IsStaleTable(const void* address, int segmentId) {
  // A table nobody but this process is attached to was left by processes that are all gone: those of
  // a lab removed since (whose key file's inode the new key file now has) or killed ones. Its slots
  // cannot be trusted, as their process ids may name unrelated processes by now.
  size_t attached = 0;
  return std::memcmp(address, kMagic, kMagicBytes) == 0 && ZTSharedMemUtil::attachCount(segmentId, attached) &&
         attached <= 1;
}

bool QuarnIPC::ReplaceStaleSegment(void* address, int segmentId) {
  m_event.Debug(kSigInit, "Replacing shared memory segment [%d] that no running process uses", segmentId);
  ZTSharedMemUtil::detachSharedMemory(address);
  ZTSharedMemUtil::removeSharedMemory(segmentId);
  int error = 0;
  int created = -1;
  void* fresh = ZTSharedMemUtil::createSharedMemory(m_key, created, kTableBytes, error);
  if (fresh == nullptr) {
    m_event.Error(kSigInit, "Failed to connect to shared memory, %d", error);
    return false;
  }
  std::memset(fresh, 0, kTableBytes);
  std::memcpy(fresh, kMagic, kMagicBytes);
  m_table = static_cast<unsigned char*>(fresh);
  m_segmentId = created;
  return true;
}

bool QuarnIPC::_InitSharedMemory() {
  const std::string folder = ZTPI_Base::getTempDir();
  if (folder.empty()) {
    m_event.Error(kSigInit, "Shared memory key creation failed: no temporary folder");
    return false;
  }
  const std::string path = folder + "/" + kKeyFileName;
  if (!CreateKeyFile(path)) return false;
  m_key = ftok(path.c_str(), kKeyId);
  if (m_key == static_cast<key_t>(-1)) {
    m_event.Error(kSigInit, "Failed to generate ftok key. %s, %d", path.c_str(), errno);
    return false;
  }
  if (!AttachSegment()) return false;
  if (std::memcmp(m_table, kMagic, kMagicBytes) != 0) {
    m_event.Error(kSigInit, "Shared memory magic number validation failed");
    ZTSharedMemUtil::detachSharedMemory(m_table);
    return false;
  }

  for (size_t slot = 0; slot < kSlots; ++slot) {
    const uint32_t pid = Load(SlotWord(slot, 0));
    if (pid == 0) continue;
    std::string name;
    if (GetProcessName(std::to_string(pid), name)) continue;
    m_event.Debug(kSigInit, "Detected that process [%s] is not running", std::to_string(pid).c_str());
    for (size_t word = 0; word < 4; ++word) Store(SlotWord(slot, word), 0);
    // The count never wraps below 0, whatever an earlier process left in it.
    if (*ProcessCount() > 0) --*ProcessCount();
  }

  int free = -1;
  for (size_t slot = 0; slot < kSlots && free < 0; ++slot)
    if (Load(SlotWord(slot, 0)) == 0) free = static_cast<int>(slot);
  if (free < 0) {
    m_event.Error(kSigInit, "Could not find available process info slot for this process");
    ZTSharedMemUtil::detachSharedMemory(m_table);
    return false;
  }
  const int64_t pid = GetCurrentProcessId();
  if (pid <= 0 || pid > UINT32_MAX) {
    m_event.Error(kSigInit, "Failed to get current process id");
    ZTSharedMemUtil::detachSharedMemory(m_table);
    return false;
  }
  for (size_t word = 1; word < 4; ++word) Store(SlotWord(static_cast<size_t>(free), word), 0);
  Store(SlotWord(static_cast<size_t>(free), 0), static_cast<uint32_t>(pid));
  ++*ProcessCount();
  m_slot = free;
  return true;
}

void QuarnIPC::_DeinitSharedMemory() {
  if (m_table != nullptr && m_slot >= 0) {
    for (size_t word = 0; word < 4; ++word) Store(SlotWord(static_cast<size_t>(m_slot), word), 0);
    if (*ProcessCount() > 0) --*ProcessCount();
    m_slot = -1;
  }
  if (m_table != nullptr) {
    // The last one out removes the table, so that no segment outlives the job processes of the host.
    // Every attach happens under the named mutex that the caller holds: nobody can come in between.
    size_t attached = 0;
    if (ZTSharedMemUtil::attachCount(m_segmentId, attached) && attached <= 1)
      ZTSharedMemUtil::removeSharedMemory(m_segmentId);
    ZTSharedMemUtil::detachSharedMemory(m_table);
  }
  m_table = nullptr;
  m_segmentId = -1;
}

uint32_t* QuarnIPC::SlotWord(size_t slot, size_t word) const {
  return reinterpret_cast<uint32_t*>(m_table + kHeaderBytes + slot * kSlotBytes + word * sizeof(uint32_t));
}

uint64_t* QuarnIPC::ProcessCount() const { return reinterpret_cast<uint64_t*>(m_table + kMagicBytes); }

bool QuarnIPC::Update(int streams, int vms) {
  ZtMutexLock lock(m_lock);
  if (m_table == nullptr || m_slot < 0) return false;
  Store(SlotWord(static_cast<size_t>(m_slot), 1), Count(streams));
  Store(SlotWord(static_cast<size_t>(m_slot), 2), Count(vms));
  return true;
}

bool QuarnIPC::UpdateStreams(int streams) {
  ZtMutexLock lock(m_lock);
  if (m_table == nullptr || m_slot < 0) return false;
  Store(SlotWord(static_cast<size_t>(m_slot), 1), Count(streams));
  return true;
}

bool QuarnIPC::UpdateVMs(int vms) {
  ZtMutexLock lock(m_lock);
  if (m_table == nullptr || m_slot < 0) return false;
  Store(SlotWord(static_cast<size_t>(m_slot), 2), Count(vms));
  return true;
}

bool QuarnIPC::Check(int& processes, int& streams, int& vms) {
  processes = streams = vms = 0;
  ZtMutexLock lock(m_lock);
  if (m_table == nullptr || m_slot < 0) return false;
  int64_t streamSum = 0, vmSum = 0;
  for (size_t slot = 0; slot < kSlots; ++slot) {
    if (static_cast<int>(slot) == m_slot || Load(SlotWord(slot, 0)) == 0) continue;
    ++processes;
    streamSum += Load(SlotWord(slot, 1));
    vmSum += Load(SlotWord(slot, 2));
  }
  // 1024 slots of 32-bit counts fit in 64 bits; what the caller gets is capped to its type.
  streams = static_cast<int>(std::min<int64_t>(streamSum, INT32_MAX));
  vms = static_cast<int>(std::min<int64_t>(vmSum, INT32_MAX));
  if (streamSum > INT32_MAX) m_event.Error(kSigCheck, "Other processes report more streams than can be counted");
  return true;
}

int QuarnIPC::TEST_Slot() {
  ZtMutexLock lock(m_lock);
  return m_slot;
}

int QuarnIPC::TEST_SegmentId() {
  ZtMutexLock lock(m_lock);
  return m_segmentId;
}
