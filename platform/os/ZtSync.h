#pragma once
#include <sys/types.h>

#include <vector>

#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"

// Every sync that a file's durability rests on goes through these two calls. A sync left out changes
// nothing anyone can read until the machine crashes, so this is where a test sees them: while a
// ZtSyncLogForTest lives, each sync that succeeds is noted in it with what it made durable.

// fsync(2): the file's data and metadata; for a folder, its entries. 0, or -1 with errno set.
int ZtSyncFile(int fd);
// fdatasync(2): the file's data and what is needed to read it back (its size). 0, or -1 with errno set.
int ZtSyncFileData(int fd);

// One sync that succeeded, with the file as it was just before it (what the sync at least covered).
struct ZtSyncedFile {
  dev_t device = 0;
  ino_t inode = 0;
  bool folder = false;
  off_t sizeBytes = 0;
  long long modifiedNanos = 0;  // the file's modification time
};

// Test hook: the syncs of the whole process, in the order they succeeded, from its construction to its
// destruction. One log at a time; it must outlive every sync that may still be under way.
class ZtSyncLogForTest {
 public:
  ZtSyncLogForTest();
  ~ZtSyncLogForTest();
  ZtSyncLogForTest(const ZtSyncLogForTest&) = delete;
  ZtSyncLogForTest& operator=(const ZtSyncLogForTest&) = delete;

  std::vector<ZtSyncedFile> Syncs() const;

  // For ZtSyncFile and ZtSyncFileData.
  void Note(const ZtSyncedFile& synced);

 private:
  mutable ZtMutex mutex_;
  std::vector<ZtSyncedFile> syncs_ GUARDED_BY(mutex_);
};
