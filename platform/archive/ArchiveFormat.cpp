#include "platform/archive/ArchiveFormat.h"

#include <cstring>

#include "platform/os/CPxCRC32.h"

namespace archive {
namespace {

void PutU32(char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void PutU64(char* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t GetLittleEndian(const char* at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(at[i]);
  return value;
}

}  // namespace

std::string RecordTypeName(uint16_t type) {
  switch (static_cast<RecordType>(type)) {
    case RecordType::kArchiveBegin: return "archive begin";
    case RecordType::kFileHeader: return "file header";
    case RecordType::kContainerHeader: return "container header";
    case RecordType::kDiskHeader: return "disk header";
    case RecordType::kExtentHeader: return "extent header";
    case RecordType::kData: return "data";
    case RecordType::kHole: return "hole";
    case RecordType::kUnchangedRange: return "unchanged range";
    case RecordType::kEndOfItem: return "end of item";
    case RecordType::kIndexMetadata: return "index metadata";
    case RecordType::kDiskIndexMetadata: return "disk index metadata";
    case RecordType::kArchiveEnd: return "archive end";
  }
  return "record type " + std::to_string(type);
}

void FieldWriter::U32(uint32_t value) {
  char bytes[4];
  PutU32(bytes, value);
  bytes_.append(bytes, sizeof bytes);
}

void FieldWriter::U64(uint64_t value) {
  char bytes[8];
  PutU64(bytes, value);
  bytes_.append(bytes, sizeof bytes);
}

void FieldWriter::Text(const std::string& text) {
  U32(static_cast<uint32_t>(text.size()));
  bytes_.append(text);
}

bool FieldReader::Take(size_t count, const char*& at) {
  if (failed_ || count > size_ - position_) {
    failed_ = true;
    return false;
  }
  at = data_ + position_;
  position_ += count;
  return true;
}

bool FieldReader::Bool(bool& value) {
  const char* at = nullptr;
  if (!Take(1, at)) return false;
  value = *at != 0;
  return true;
}

bool FieldReader::U32(uint32_t& value) {
  const char* at = nullptr;
  if (!Take(4, at)) return false;
  value = static_cast<uint32_t>(GetLittleEndian(at, 4));
  return true;
}

bool FieldReader::I32(int32_t& value) {
  uint32_t raw = 0;
  if (!U32(raw)) return false;
  value = static_cast<int32_t>(raw);
  return true;
}

bool FieldReader::U64(uint64_t& value) {
  const char* at = nullptr;
  if (!Take(8, at)) return false;
  value = GetLittleEndian(at, 8);
  return true;
}

bool FieldReader::I64(int64_t& value) {
  uint64_t raw = 0;
  if (!U64(raw)) return false;
  value = static_cast<int64_t>(raw);
  return true;
}

bool FieldReader::Text(std::string& text) {
  uint32_t length = 0;
  const char* at = nullptr;
  if (!U32(length) || length > kMaxTextBytes || !Take(length, at)) {
    failed_ = true;
    return false;
  }
  text.assign(at, length);
  return true;
}

void EncodeRecordHeader(RecordType type, const std::string& fields, const void* payload, uint64_t payloadLength,
                        char header[kRecordHeaderBytes]) {
  std::memcpy(header, kRecordMagic, 4);
  header[4] = static_cast<char>(static_cast<uint16_t>(type) & 0xFF);
  header[5] = static_cast<char>(static_cast<uint16_t>(type) >> 8);
  header[6] = 0;
  header[7] = 0;
  PutU32(header + 8, static_cast<uint32_t>(fields.size()));
  PutU64(header + 16, payloadLength);
  CPxCRC32 crc;
  crc.UpdateCRC32(header, 12);
  crc.UpdateCRC32(header + 16, 8);
  crc.UpdateCRC32(fields.data(), fields.size());
  crc.UpdateCRC32(payload, payloadLength);
  PutU32(header + 12, crc.GetCRC32());
}

std::string PackBits(const std::vector<bool>& bits) {
  std::string packed((bits.size() + 7) / 8, '\0');
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i]) packed[i / 8] = static_cast<char>(packed[i / 8] | (1 << (i % 8)));
  }
  return packed;
}

bool BitAt(const std::string& packed, uint64_t index) {
  if (index / 8 >= packed.size()) return false;
  return (static_cast<unsigned char>(packed[index / 8]) >> (index % 8)) & 1;
}

}  // namespace archive
