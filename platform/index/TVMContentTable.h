#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/index/TCtreeTable.h"

// Copies a text into a fixed field of a table record: at most size - 1 bytes, the rest of the field
// zero, so the text is always NUL-terminated and never runs into the next field.
inline void SetRecordText(char* field, size_t size, const std::string& text) {
  const size_t length = text.size() < size ? text.size() : size - 1;
  std::memcpy(field, text.data(), length);
  std::memset(field + length, 0, size - length);
}

// One backed-up object of a VM in the snapshot job's content map: 4,197 bytes, numbers in native
// (little-endian) order, 64-bit values as two words, high word first.
#pragma pack(push, 1)
struct TVMContentRecord2 {
  uint32_t productType;
  uint32_t diskType;
  uint32_t flags;
  uint32_t extentSizeHigh;
  uint32_t extentSizeLow;
  uint32_t allocatedSize;
  uint32_t fileSizeHigh;
  uint32_t fileSizeLow;
  char vmGuid[65];        // first lookup key
  char indexName[1025];   // second lookup key
  char displayName[1025];
  char proxyName[1025];
  char spare[1025];       // left empty

  // All numbers 0, every text empty.
  void clear() { std::memset(this, 0, sizeof(*this)); }
};
#pragma pack(pop)
static_assert(sizeof(TVMContentRecord2) == 4197, "the content record is laid out byte for byte");
static_assert(offsetof(TVMContentRecord2, vmGuid) == 32 && offsetof(TVMContentRecord2, indexName) == 97 &&
                  offsetof(TVMContentRecord2, displayName) == 1122 && offsetof(TVMContentRecord2, proxyName) == 2147 &&
                  offsetof(TVMContentRecord2, spare) == 3172,
              "the content record's texts lie where its readers look for them");

// The content map of a snapshot job ("VMtoContentMap"), keyed by VM GUID and index name.
class TVMContentTable : public TCtreeTable {
 public:
  TVMContentTable()
      : TCtreeTable(0x434D4150 /* "CMAP" */, sizeof(TVMContentRecord2),
                    {{offsetof(TVMContentRecord2, vmGuid), sizeof(TVMContentRecord2::vmGuid)},
                     {offsetof(TVMContentRecord2, indexName), sizeof(TVMContentRecord2::indexName)}}) {}

  // 0 and the whole record when the record's two keys are in the table, -1 when they are not.
  int lookup(TVMContentRecord2& record) { return lookupRecord(&record); }
  int insert(const TVMContentRecord2& record) { return insertRecord(&record); }
};
