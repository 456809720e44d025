#include "platform/os/ZtSync.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<ZtSyncLogForTest*> g_syncLog{nullptr};

// The file is looked at before its sync, so that a log never claims more than the sync covered.
int SyncNoted(int fd, int (*sync)(int)) {
  ZtSyncLogForTest* log = g_syncLog.load(std::memory_order_acquire);
  if (log == nullptr) return sync(fd);
  struct stat before;
  const bool known = fstat(fd, &before) == 0;
  const int result = sync(fd);
  if (result == 0 && known) {
    ZtSyncedFile synced;
    synced.device = before.st_dev;
    synced.inode = before.st_ino;
    synced.folder = S_ISDIR(before.st_mode);
    synced.sizeBytes = before.st_size;
    synced.modifiedNanos = before.st_mtim.tv_sec * 1000000000LL + before.st_mtim.tv_nsec;
    log->Note(synced);
  }
  return result;
}

}  // namespace

int ZtSyncFile(int fd) { return SyncNoted(fd, fsync); }

int ZtSyncFileData(int fd) { return SyncNoted(fd, fdatasync); }

ZtSyncLogForTest::ZtSyncLogForTest() { g_syncLog.store(this, std::memory_order_release); }

ZtSyncLogForTest::~ZtSyncLogForTest() {
  ZtSyncLogForTest* self = this;
  g_syncLog.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

std::vector<ZtSyncedFile> ZtSyncLogForTest::Syncs() const {
  ZtMutexLock lock(mutex_);
  return syncs_;
}

void ZtSyncLogForTest::Note(const ZtSyncedFile& synced) {
  ZtMutexLock lock(mutex_);
  syncs_.push_back(synced);
}
