#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>

// System V shared memory. The static calls are the plain operations (error = errno of the failing
// call, 0 on success); an object is a convenience that creates or attaches one segment and
// detaches it when destroyed (it never removes it unless asked).
class ZTSharedMemUtil {
 public:
  // ftok(file, id); the key file is created when missing.
  static bool makeKey(const std::string& keyFile, int id, key_t& key, int& error);
  // Creates a new segment for the key, exclusively, and attaches it; null when one exists already
  // or it cannot be made. A new segment is all zero.
  static void* createSharedMemory(key_t key, int& segmentId, size_t size, int& error);
  // Attaches the existing segment of the key; null when there is none.
  static void* getSharedMemory(key_t key, int& error);
  static void* getSharedMemory(key_t key, int& segmentId, int& error);
  static bool detachSharedMemory(const void* address);
  // Marks the segment for removal; it goes once the last process has detached.
  static bool removeSharedMemory(int segmentId);
  static bool segmentSize(int segmentId, size_t& size);
  // How many attachments the segment has (those of every process).
  static bool attachCount(int segmentId, size_t& count);

  ZTSharedMemUtil() = default;
  ~ZTSharedMemUtil();
  ZTSharedMemUtil(const ZTSharedMemUtil&) = delete;
  ZTSharedMemUtil& operator=(const ZTSharedMemUtil&) = delete;

  // Attaches the segment of ftok(keyFile, id), creating it with the size when there is none. An
  // existing segment smaller than the size is refused. False on failure (LastError() tells why).
  bool CreateOrAttach(const std::string& keyFile, int id, size_t size);
  bool Detach();
  // Detaches and removes the segment.
  bool Remove();

  void* Address() const { return m_address; }
  size_t Size() const { return m_size; }
  int SegmentId() const { return m_segmentId; }
  bool IsNew() const { return m_isNew; }
  int LastError() const { return m_error; }

 private:
  void* m_address = nullptr;
  size_t m_size = 0;
  int m_segmentId = -1;
  bool m_isNew = false;
  int m_error = 0;
};
