#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The archive file format of the lab's media agent, version 1. One archive file holds what one
// stream sent for one VM between createArchiveFile and closeArchiveFile, every call kept in order
// with its arguments. It lives at media/<media agent>/<job id>/<archive file id>.qar
// (platform/lab/LabMedia.h).
//
// The file is a sequence of records. Every record is
//
//   offset  size  field
//   0       4     magic "QREC" (bytes 'Q' 'R' 'E' 'C')
//   4       2     record type (RecordType below)
//   6       2     0
//   8       4     length of the record's fields in bytes
//   12      4     CRC-32 (the standard one, as zlib's crc32) of bytes 0-11 and 16-23 of the record
//                 header, then the fields, then the payload
//   16      8     length of the payload in bytes
//   24            the fields, then the payload
//
// All numbers are little-endian. A record's fields are a fixed sequence of values per record type
// (the table below), each written as: u8 0/1 (bool); u32, i32, u64, i64 as their bytes; text as a
// u32 byte count and the bytes (no terminator). A reader skips fields a later version appends to a
// record it knows (their bytes are counted in the field length), so fields are only ever appended.
//
//   type  name              fields; payload
//   1     kArchiveBegin     u32 format version, u64 archive file id, i64 job id, i64 child job id,
//                           i64 client id, i64 subclient id, u32 backup level (1 full), i32 stream id,
//                           i32 rcid, i64 creation time (seconds), text VM GUID, text collect text,
//                           text media agent, text writing client, bool index only, u64 attempt (the
//                           real time in nanoseconds its writing process began writing archives: the
//                           files of one attempt at a VM share it, a later attempt's is larger), u64
//                           dispatch (the number of the coordinator's latest dispatch of the VM to the
//                           writing client in the job, counted from 1 over the job's runs; 0 when none
//                           is known); no payload. An attempt is ordered by its dispatch, then by its
//                           attempt: the coordinator, not the writers' clocks, says which came last.
//   2     kFileHeader       text name, u64 size, i64 time, bool directory, bool pseudo, bool flag3,
//                           i32 number1, i32 number2, i32 number3, u64 flags, bool header bit,
//                           bool flag5, bool no metadata
//   3     kContainerHeader  text name, u64 size, i64 time, u32 count, then count i64 values (the
//                           further arguments of sendFCFileHeader in call order)
//   4     kDiskHeader       text name, u64 file size, u64 allocated size, bool failback, i32 number,
//                           u64 sectors per extent, bool header bit
//   5     kExtentHeader     text name, text disk name, u64 size, u64 header value, bool empty,
//                           i32 number1, i32 number2, u32 crc, u64 flag word, text cluster bitmap
//   6     kData             u32 unit size, u32 change-bit count, text change bits (one bit per unit,
//                           least significant bit first), text cluster bitmap; payload: the bytes
//   7     kHole             u64 size (the item's next size bytes read as zeros)
//   8     kUnchangedRange   text disk header name, u64 first extent, u64 last extent, bool fixed names
//   9     kEndOfItem        bool success, i32 code
//   10    kIndexMetadata    no fields; payload: the XML text of the VM's index metadata message
//   11    kDiskIndexMetadata  no fields; payload: the XML text of an item's index metadata message
//   12    kArchiveEnd       u64 records before this one, u64 data bytes, u64 hole bytes
//
// A well-formed archive starts with its kArchiveBegin, ends with its kArchiveEnd and nothing after
// it, and keeps every record's check value. Items: a header record (2 to 5) opens one; data and holes
// belong to the open item; an end of item closes it. A pseudo file header (header only) and a disk
// header need no data; a pseudo item may also go without an end of item: the next header, an
// unchanged range or the archive's end closes it. Any other item must be ended before the next
// header, range or the archive's end. A successful end of a file item (not directory, not pseudo),
// an extent item, or a container item that carries data requires its data and holes to add up to the
// size its header declared.
//
// An archive file is committed by its successful close: it is written under its name with
// kUncommittedSuffix appended, and takes its name only once its archive end is written and it and
// its folder are synced. One that misses a record the media refused is committed only with an item
// ended failed in it, so that no reader takes it for a whole backup. A file still under the longer
// name was left by an attempt that was interrupted (a process killed, a close that could not make it
// durable); readers that take backups (the index, restores) read only committed files.
namespace archive {

constexpr uint32_t kFormatVersion = 1;
constexpr char kUncommittedSuffix[] = ".open";
constexpr char kRecordMagic[4] = {'Q', 'R', 'E', 'C'};
constexpr size_t kRecordHeaderBytes = 24;
// Bounds a reader enforces and a writer keeps: a hostile or torn file cannot make the reader
// allocate more than this per record.
constexpr uint32_t kMaxFieldBytes = 16u * 1024 * 1024;
constexpr uint64_t kMaxPayloadBytes = 1ull << 30;
constexpr uint32_t kMaxTextBytes = 8u * 1024 * 1024;
constexpr uint32_t kMaxContainerValues = 64;

enum class RecordType : uint16_t {
  kArchiveBegin = 1,
  kFileHeader = 2,
  kContainerHeader = 3,
  kDiskHeader = 4,
  kExtentHeader = 5,
  kData = 6,
  kHole = 7,
  kUnchangedRange = 8,
  kEndOfItem = 9,
  kIndexMetadata = 10,
  kDiskIndexMetadata = 11,
  kArchiveEnd = 12,
};
// "file header", "data"...; "record type N" for a type this version does not know.
std::string RecordTypeName(uint16_t type);

// The fields of a record, written in order.
class FieldWriter {
 public:
  void Bool(bool value) { bytes_.push_back(value ? 1 : 0); }
  void U32(uint32_t value);
  void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
  void U64(uint64_t value);
  void I64(int64_t value) { U64(static_cast<uint64_t>(value)); }
  void Text(const std::string& text);
  const std::string& Bytes() const { return bytes_; }
  void Clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

// The fields of a record, read in order. Every read past the end fails and leaves the reader failed.
class FieldReader {
 public:
  FieldReader(const char* data, size_t size) : data_(data), size_(size) {}
  bool Bool(bool& value);
  bool U32(uint32_t& value);
  bool I32(int32_t& value);
  bool U64(uint64_t& value);
  bool I64(int64_t& value);
  bool Text(std::string& text);
  bool Failed() const { return failed_; }
  // Every field was read: a field a later version appended is absent from an older record.
  bool AtEnd() const { return position_ >= size_; }

 private:
  bool Take(size_t count, const char*& at);

  const char* data_;
  size_t size_;
  size_t position_ = 0;
  bool failed_ = false;
};

// The 24 bytes of a record header with its check value over the header, the fields and the payload.
void EncodeRecordHeader(RecordType type, const std::string& fields, const void* payload, uint64_t payloadLength,
                        char header[kRecordHeaderBytes]);
// Change bits packed one per bit, least significant bit first.
std::string PackBits(const std::vector<bool>& bits);
bool BitAt(const std::string& packed, uint64_t index);

}  // namespace archive
