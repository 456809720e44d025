#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/index/TCtreeTable.h"

// One entry of an image-level tree: its number (the lookup key) and the path of the image it
// describes, NUL-terminated.
#pragma pack(push, 1)
struct TImageTreePathRecord {
  static constexpr size_t kMaxPath = 1040;
  int64_t number;
  char path[kMaxPath + 1];

  void clear() { std::memset(this, 0, sizeof(*this)); }
};
#pragma pack(pop)

// The image-level tree of a volume ("imageLevelTree(<VM GUID>_<volume>)"), which the guest metadata
// collection of a snapshot catalogue fills; a table of the indexing library keyed by entry number.
class CImageTree : public TCtreeTable {
 public:
  CImageTree()
      : TCtreeTable(0x49545245 /* "ITRE" */, sizeof(TImageTreePathRecord),
                    {{offsetof(TImageTreePathRecord, number), sizeof(int64_t), false}}) {}

  int init(const std::string& path) { return initialize(path, false); }
  int insert(const TImageTreePathRecord& record) { return insertRecord(&record); }
  int lookup(TImageTreePathRecord& record) { return lookupRecord(&record); }
  // The entry with the lowest number (numbers compare as raw bytes).
  int firstRecord(TImageTreePathRecord& record) { return TCtreeTable::firstRecord(&record); }
  int modifyRecord(const TImageTreePathRecord& record) { return TCtreeTable::modifyRecord(&record); }
};
