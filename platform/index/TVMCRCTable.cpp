#include "platform/index/TVMCRCTable.h"

#include <algorithm>
#include <cstring>

#include "platform/lab/LabFaults.h"
#include "platform/lab/LabFiles.h"
#include "platform/os/CPxCRC32.h"
#include "platform/os/CPxFile.h"

// File layout (all numbers little-endian):
//   .dat  header of 32 bytes: "QCRCDAT\n", version u32, record size u32 (12), record count u64,
//         CRC-32 of the records u32, CRC-32 of the 28 header bytes before it u32;
//         then the records, sorted by extent, each extent u64 and checksum u32.
//   .idx  56 bytes: "QCRCIDX\n", version u32, 0 u32, record count u64, CRC-32 of the .dat records u32,
//         0 u32, first extent u64, last extent u64, CRC-32 of the 48 bytes before it u32, 0 u32.
namespace {

constexpr char kDataMagic[8] = {'Q', 'C', 'R', 'C', 'D', 'A', 'T', '\n'};
constexpr char kIndexMagic[8] = {'Q', 'C', 'R', 'C', 'I', 'D', 'X', '\n'};
constexpr size_t kDataHeaderBytes = 32;
constexpr size_t kRecordBytes = 12;
constexpr size_t kIndexBytes = 56;

void Put32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
void Put64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
uint32_t Get32(const std::string& in, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}
uint64_t Get64(const std::string& in, size_t at) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}
uint32_t Crc(const char* data, size_t size) {
  CPxCRC32 crc;
  crc.UpdateCRC32(data, size);
  return crc.GetCRC32();
}

// True, with the reason, when the lab's fault table makes the operation fail.
bool Faulted(const char* op, std::string& reason) {
  lab::Fault fault;
  if (!lab::CheckFault(op, fault)) return false;
  reason = fault.text;
  return true;
}

}  // namespace

int TVMCRCTable::Fail(const std::string& text) {
  lastError_ = text;
  return -1;
}

int TVMCRCTable::initialize(const std::string& name, bool readOnly) {
  state_ = State::kClosed;
  records_.clear();
  sorted_ = true;
  name_ = name;
  std::string reason;
  if (Faulted("crctable.initialize", reason)) return Fail(reason);
  if (name.empty()) return Fail("the checksum table has no name");
  if (!readOnly) {
    state_ = State::kWriting;
    return 0;
  }
  const int result = Load();
  if (result != 0) records_.clear();
  else state_ = State::kReading;
  return result;
}

int TVMCRCTable::Load() {
  std::string data, index, error;
  if (!lab::ReadRegularFile(DataPath(name_), kMaxFileBytes, data, error)) return Fail(error);
  if (!lab::ReadRegularFile(IndexPath(name_), kIndexBytes, index, error)) return Fail(error);
  const std::string where = " of the checksum table [" + name_ + "]";
  if (data.size() < kDataHeaderBytes || std::memcmp(data.data(), kDataMagic, 8) != 0 ||
      Get32(data, 28) != Crc(data.data(), 28))
    return Fail("bad data header" + where);
  if (index.size() != kIndexBytes || std::memcmp(index.data(), kIndexMagic, 8) != 0 ||
      Get32(index, 48) != Crc(index.data(), 48) || Get32(index, 12) != 0 || Get32(index, 28) != 0 ||
      Get32(index, 52) != 0)
    return Fail("bad index file" + where);
  if (Get32(data, 8) != kVersion || Get32(index, 8) != kVersion)
    return Fail("unknown version " + std::to_string(Get32(data, 8)) + where);
  const uint64_t count = Get64(data, 16);
  if (Get32(data, 12) != kRecordBytes || count != (data.size() - kDataHeaderBytes) / kRecordBytes ||
      (data.size() - kDataHeaderBytes) % kRecordBytes != 0)
    return Fail("record count does not match the data" + where);
  const uint32_t recordsCrc = Crc(data.data() + kDataHeaderBytes, data.size() - kDataHeaderBytes);
  if (Get32(data, 24) != recordsCrc) return Fail("records do not match their checksum" + where);
  // A .dat and an .idx of different writes (a crash between the two renames) do not pair up.
  if (Get64(index, 16) != count || Get32(index, 24) != recordsCrc)
    return Fail("the .dat and .idx files do not belong together" + where);
  records_.reserve(count);
  uint64_t previous = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const size_t at = kDataHeaderBytes + i * kRecordBytes;
    const uint64_t extent = Get64(data, at);
    if (i > 0 && extent <= previous) return Fail("records are not in extent order" + where);
    records_.emplace_back(extent, Get32(data, at + 8));
    previous = extent;
  }
  // An empty table's range is written as 0 to 0: any other is no .idx this writer made of it.
  const uint64_t first = count > 0 ? records_.front().first : 0, last = count > 0 ? records_.back().first : 0;
  if (Get64(index, 32) != first || Get64(index, 40) != last)
    return Fail("the extent range of the .idx file does not match the data" + where);
  return 0;
}

int TVMCRCTable::prepareForLookup() { return 0; }

int TVMCRCTable::insert(const TVMCRCRecord& record) {
  if (state_ != State::kWriting) return Fail("the checksum table is not open for writing");
  const uint64_t extent = ExtentOf(record);
  if (!records_.empty() && records_.back().first == extent) {
    records_.back().second = record.crc;
    return 0;
  }
  if (!records_.empty() && records_.back().first > extent) sorted_ = false;
  records_.emplace_back(extent, record.crc);
  return 0;
}

void TVMCRCTable::Normalise() {
  if (sorted_) return;
  std::stable_sort(records_.begin(), records_.end(),
                   [](const Entry& a, const Entry& b) { return a.first < b.first; });
  // After a stable sort the last insert of an extent is the last of its run.
  std::vector<Entry> unique;
  unique.reserve(records_.size());
  for (const Entry& entry : records_) {
    if (!unique.empty() && unique.back().first == entry.first)
      unique.back() = entry;
    else
      unique.push_back(entry);
  }
  records_.swap(unique);
  sorted_ = true;
}

int TVMCRCTable::lookup(uint64_t extent, TVMCRCRecord& record) {
  if (state_ == State::kClosed) {
    Fail("the checksum table is not open");
    return -1;
  }
  Normalise();
  auto it = std::lower_bound(records_.begin(), records_.end(), extent,
                             [](const Entry& entry, uint64_t value) { return entry.first < value; });
  if (it == records_.end() || it->first != extent) return 0;
  record = MakeCRCRecord(it->first, it->second);
  return 1;
}

int TVMCRCTable::close() {
  const State state = state_;
  state_ = State::kClosed;
  if (state != State::kWriting) {
    records_.clear();
    return 0;
  }
  Normalise();
  std::string data;
  data.reserve(kDataHeaderBytes + records_.size() * kRecordBytes);
  data.append(kDataMagic, 8);
  Put32(data, kVersion);
  Put32(data, kRecordBytes);
  Put64(data, records_.size());
  Put32(data, 0);  // records' checksum, set below
  Put32(data, 0);  // header checksum, set below
  for (const Entry& entry : records_) {
    Put64(data, entry.first);
    Put32(data, entry.second);
  }
  const uint32_t recordsCrc = Crc(data.data() + kDataHeaderBytes, data.size() - kDataHeaderBytes);
  std::string patch;
  Put32(patch, recordsCrc);
  data.replace(24, 4, patch);
  patch.clear();
  Put32(patch, Crc(data.data(), 28));
  data.replace(28, 4, patch);

  std::string index(kIndexMagic, 8);
  Put32(index, kVersion);
  Put32(index, 0);
  Put64(index, records_.size());
  Put32(index, recordsCrc);
  Put32(index, 0);
  Put64(index, records_.empty() ? 0 : records_.front().first);
  Put64(index, records_.empty() ? 0 : records_.back().first);
  Put32(index, Crc(index.data(), 48));
  Put32(index, 0);
  records_.clear();

  std::string reason;
  if (Faulted("crctable.close", reason)) return Fail(reason);
  CPxError error = CPxFile::WriteAll(DataPath(name_), data);
  if (error.IsError()) return Fail(error.AsString());
  error = CPxFile::WriteAll(IndexPath(name_), index);
  if (error.IsError()) {
    // A .dat without its .idx would be refused anyway; leave no half of the pair behind.
    CPxFile::Remove(DataPath(name_));
    CPxFile::Remove(IndexPath(name_));
    return Fail(error.AsString());
  }
  return 0;
}
