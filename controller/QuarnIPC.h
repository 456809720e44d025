#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/ev/EvEvent.h"
#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZTSharedMemUtil.h"
#include "platform/os/ZtMutex.h"
#include "records/FXLockableResource.h"

// The table that all job processes on one proxy host share in System V shared memory, so that each
// controller knows how many streams the others hold. Each process owns one slot (process id, open
// streams, VMs); it writes only its own slot and reads the others.
//
// Layout, native byte order: 8 bytes magic "QUARNSHM" (no terminator), an unsigned 64-bit count of
// occupied slots, then 1024 slots of four unsigned 32-bit words (process id, 0 = free; open streams;
// VMs; reserved, 0). The segment is keyed with ftok from the file "QUARN_IPC_SHARED_MEMORY" in the
// client's temporary folder; the claim and release of slots between processes run under the named
// mutex "QUARN_IPC_SHARED_MEMORY_MUTEX". The key file and the segment are made for their owner only.
// The last process to detach removes the segment; a table that no running process is attached to
// (its processes were killed, or its key file's inode was reused by another lab's) is replaced
// rather than trusted.
//
// Within the process the controller thread updates the slot while the message thread may ask for
// the others' figures; the attachment itself is guarded by an in-process lock, and every shared word
// is read and written whole, so a reader may see a count mid-change but never a torn one.
class QuarnIPC {
 public:
  static constexpr size_t kSlots = 1024;
  static constexpr size_t kHeaderBytes = 16;
  static constexpr size_t kSlotBytes = 16;
  static constexpr size_t kTableBytes = kHeaderBytes + kSlots * kSlotBytes;  // 16,400
  static constexpr int kKeyId = 0xFEFA;
  static constexpr int kKeyFileAttempts = 10;

  QuarnIPC();
  ~QuarnIPC();
  QuarnIPC(const QuarnIPC&) = delete;
  QuarnIPC& operator=(const QuarnIPC&) = delete;

  // Claims a slot (sweeping the slots of processes that died); false, logged, when it cannot.
  bool Initialize();
  // Frees the slot and detaches; safe to call again and without Initialize.
  void Deinitialize();
  // The update operations and Check return false, changing nothing, while no slot is held.
  bool Update(int streams, int vms);
  bool UpdateStreams(int streams);
  bool UpdateVMs(int vms);
  // The other processes of the host, their open streams and VMs (all 0 on false).
  bool Check(int& processes, int& streams, int& vms);

  // For tests: the slot held (-1 for none) and the segment's id (-1 when none is attached).
  int TEST_Slot();
  int TEST_SegmentId();

 private:
  bool _InitSharedMemory() EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  void _DeinitSharedMemory() EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  bool CreateKeyFile(const std::string& path) EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  // Creates the segment or attaches the existing one, whose size is checked before anything is read.
  bool AttachSegment() EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  // True for a table of this system (its magic) that no other process is attached to.
  bool IsStaleTable(const void* address, int segmentId);
  // Detaches and removes a stale segment and makes a new, empty table under the key.
  bool ReplaceStaleSegment(void* address, int segmentId) EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  // The address of word `word` of slot `slot`.
  uint32_t* SlotWord(size_t slot, size_t word) const EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  uint64_t* ProcessCount() const EXCLUSIVE_LOCKS_REQUIRED(m_lock);

  EvEvent m_event;
  FXNamedMutex m_namedMutex;  // between the processes of the host
  ZtMutex m_lock;             // the attachment, within this process
  unsigned char* m_table GUARDED_BY(m_lock) = nullptr;
  int m_segmentId GUARDED_BY(m_lock) = -1;
  key_t m_key GUARDED_BY(m_lock) = -1;
  int m_slot GUARDED_BY(m_lock) = -1;
};
