#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/archive/ArchiveFormat.h"

namespace archive {

// Writes the records of one archive file (ArchiveFormat.h). Small records are gathered in a batch
// and written together; a payload of kDirectPayloadBytes or more goes to the file straight from the
// caller's memory, behind the batch, in one gathered write, so data is never copied on its way to
// the media. The file is written under its uncommitted name and synced once, when it is closed; the
// close commits it under its name. A failed write leaves the writer failed: every later record is
// refused, so no record can follow a hole in the file, and the file is never committed.
//
// Fault table operations (platform/lab/LabFaults.h), the rule's code being the system error:
// "archive.fileWrite" (each write of gathered records to the file) and "archive.fileSync" (the sync of
// the file at its close, then the sync of its folder that commits it).
//
// Not thread-safe: the owner (one stream) serialises its calls.
class ArchiveWriter {
 public:
  static constexpr size_t kBatchBytes = 256 * 1024;
  static constexpr size_t kDirectPayloadBytes = 16 * 1024;

  ArchiveWriter() = default;
  // Closes an open file uncommitted, without its archive end (a torn file, as a crash would leave it).
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // Creates the file under its uncommitted name; an existing file at either name is never
  // overwritten. False with the reason.
  bool Create(const std::string& path, std::string& error);
  bool IsOpen() const { return fd_ >= 0; }
  // The name the file is committed under.
  const std::string& Path() const { return path_; }

  // Appends one record; false with the reason when the record is refused or cannot be written.
  bool Append(RecordType type, const std::string& fields, const void* payload, uint64_t payloadLength,
              std::string& error);
  // Writes what is batched, syncs the file, closes it and commits it under its name, its folder synced.
  // False with the reason: the file is then closed but not committed (a write, a sync or the commit
  // failed), and stays under its uncommitted name.
  bool Close(std::string& error);
  // Closes without syncing or committing (the stream is being thrown away).
  void Abandon();
  // Closes and removes the uncommitted file: for a file given up before anything of it counted.
  void Discard();

  // Bytes accepted so far (the offset of the next record).
  uint64_t Offset() const { return offset_; }
  uint64_t Records() const { return records_; }

 private:
  bool Flush(const void* payload, uint64_t payloadLength, std::string& error);
  // Gives the closed file its name; false (the file left uncommitted) with the reason.
  bool Commit(std::string& error);
  bool Fail(const std::string& what, std::string& error);

  int fd_ = -1;
  std::string path_;
  std::string openPath_;  // the uncommitted name
  std::vector<char> batch_;
  uint64_t offset_ = 0;
  uint64_t records_ = 0;
  std::string failure_;  // non-empty once a write failed
};

}  // namespace archive
