#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "records/FixedRecords.h"

// A checksum record (records/FixedRecords.h) of an extent and its CRC-32, and the extent it names.
inline TVMCRCRecord MakeCRCRecord(uint64_t extent, uint32_t crc) {
  TVMCRCRecord record;
  record.extentHigh = static_cast<uint32_t>(extent >> 32);
  record.extentLow = static_cast<uint32_t>(extent);
  record.crc = crc;
  return record;
}
inline uint64_t ExtentOf(const TVMCRCRecord& record) {
  return (static_cast<uint64_t>(record.extentHigh) << 32) | record.extentLow;
}

// The table of extent checksums of one disk, kept as a pair of files under one name (the name has no
// extension): "<name>.dat" holds the records, "<name>.idx" describes them (count, checksum of the
// records, first and last extent). Both files begin with a versioned header.
//
// A table opened for writing lives in memory and is written once, by close(): each file goes to an
// exclusive temporary name, is synced and renamed into place, so a job that dies before close leaves
// no file under the table's name, and a crash between the two renames leaves a pair whose halves
// disagree, which initialize refuses (the next job then backs the disk up in full rather than compare
// against a wrong table). A table opened for reading is loaded whole and never writes.
//
// An object is used by one thread at a time (the disk's checksum stage, or the thread that fills it
// before handing it over); it takes no lock.
//
// Fault table operations: "crctable.initialize" (either mode), "crctable.close" (the write).
class TVMCRCTable {
 public:
  static constexpr uint32_t kVersion = 1;
  // Files larger than this are refused rather than read (some 90 million extents).
  static constexpr uint64_t kMaxFileBytes = 1ull << 30;

  TVMCRCTable() = default;
  // Writes nothing: a table that was not closed leaves no files.
  ~TVMCRCTable() = default;
  TVMCRCTable(const TVMCRCTable&) = delete;
  TVMCRCTable& operator=(const TVMCRCTable&) = delete;

  // readOnly: load "<name>.dat" and "<name>.idx"; otherwise start an empty table that close() writes
  // under that name. 0 on success; non-zero (GetLastError says why) leaves the table unusable.
  int initialize(const std::string& name, bool readOnly);
  // Readies a loaded table for lookups; a no-op kept for the callers that ask for it. 0.
  int prepareForLookup();
  // Adds a record; a record for an extent already in the table replaces it. 0 on success; -1 for a
  // table that is not open or was opened for reading.
  int insert(const TVMCRCRecord& record);
  // 1 found (record filled), 0 not in the table, -1 the table is not open.
  int lookup(uint64_t extent, TVMCRCRecord& record);
  // Writes a table opened for writing (see above) and closes it; a read table is just closed. 0 on
  // success. The table is closed after the call whatever its result.
  int close();

  size_t size() const { return records_.size(); }
  bool isOpen() const { return state_ != State::kClosed; }
  const std::string& GetLastError() const { return lastError_; }

  // The two file names of a table name.
  static std::string DataPath(const std::string& name) { return name + ".dat"; }
  static std::string IndexPath(const std::string& name) { return name + ".idx"; }

 private:
  enum class State { kClosed, kReading, kWriting };
  using Entry = std::pair<uint64_t, uint32_t>;  // extent, checksum

  int Fail(const std::string& text);
  int Load();
  // Sorts the records by extent and keeps the last insert of each extent.
  void Normalise();

  State state_ = State::kClosed;
  std::string name_;
  std::vector<Entry> records_;
  bool sorted_ = true;
  std::string lastError_;
};
