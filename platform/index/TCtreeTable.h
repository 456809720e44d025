#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"

// A keyed table of fixed-size records of the indexing library, kept in two files named after the
// table's path: <path>.dat holds a header and the records in the order they were inserted, <path>.idx
// a header and the records' numbers in key order. Keys are parts of the record (texts compared up to
// their NUL, or raw bytes), so a record is found by the record itself with only its key parts set.
//
// The record file is the truth: an index file left behind by a process that ended before closing
// is rebuilt from it at the next open, while a torn record, a foreign header or a record size that
// does not match makes the table unusable (kCorrupt) rather than read as something it is not. The
// index is written whole (to a new name, then renamed) by close, which also syncs the records.
// Lookups and inserts open the table on first use. One object may be used from several threads;
// two objects must not write the same table at once.
class TCtreeTable {
 public:
  // Result codes; 0 is success.
  static constexpr int kOk = 0;
  static constexpr int kNotFound = -1;
  static constexpr int kNotInitialized = 2;
  static constexpr int kIOError = 3;
  static constexpr int kCorrupt = 4;
  static constexpr int kReadOnly = 5;
  static constexpr int kDuplicateKey = 6;
  static constexpr int kMissing = 7;

  virtual ~TCtreeTable();
  TCtreeTable(const TCtreeTable&) = delete;
  TCtreeTable& operator=(const TCtreeTable&) = delete;

  // Names the table's files. Unless readOnly, files that do not exist are created empty; with
  // readOnly both must exist.
  int initialize(const std::string& path, bool readOnly);
  // Reads the table; mode is the library's open mode (any value opens for the table's use).
  int open(int mode);
  // Writes the index and lets go of the table; a table that is not open is left as it is.
  int close();
  bool isOpen() const;
  // Records in the table (opens it first).
  int count(uint64_t& records);

  std::string path() const;
  static std::string DataFile(const std::string& path) { return path + ".dat"; }
  static std::string IndexFile(const std::string& path) { return path + ".idx"; }

 protected:
  // A part of the key: a NUL-terminated text (compared up to its NUL) or raw bytes.
  struct KeyPart {
    size_t offset;
    size_t size;
    bool text = true;
  };
  // `kind` tells the tables' files apart (a table of another kind is not read as this one).
  TCtreeTable(uint32_t kind, size_t recordSize, std::vector<KeyPart> keyParts);

  // 0 and the whole record in `record` when a record with the same key is in the table; kNotFound
  // when none is.
  int lookupRecord(void* record);
  // kDuplicateKey when a record with the same key is already there.
  int insertRecord(const void* record);
  // 0 and the record whose key comes first; kNotFound when the table is empty.
  int firstRecord(void* record);
  // Replaces the record with the same key (the key itself cannot change this way); kNotFound when
  // there is none.
  int modifyRecord(const void* record);

 private:
  std::string KeyOf(const void* record) const;
  int OpenLocked() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  int CloseLocked() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  int ReadIndexFile(uint64_t records, bool& usable) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  int WriteIndexFile() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  std::string Header(char type, uint64_t records) const;

  // Constant after construction.
  const uint32_t kind_;
  const size_t recordSize_;
  const std::vector<KeyPart> keyParts_;

  mutable ZtMutex mutex_;
  std::string path_ GUARDED_BY(mutex_);
  bool initialized_ GUARDED_BY(mutex_) = false;
  bool readOnly_ GUARDED_BY(mutex_) = false;
  int dataFd_ GUARDED_BY(mutex_) = -1;
  bool dirty_ GUARDED_BY(mutex_) = false;
  std::map<std::string, uint64_t> keys_ GUARDED_BY(mutex_);  // key -> record number
};
