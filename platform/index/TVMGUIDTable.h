#pragma once
#include <cstddef>
#include <cstring>

#include "platform/index/TVMContentTable.h"

// A VM of the snapshot job's VM-to-GUID map: the GUID (the lookup key) in 65 bytes, then the name.
#pragma pack(push, 1)
struct TVMGUIDRecord2 {
  char vmGuid[65];
  char vmName[1025];

  // Both texts empty.
  void clear() { std::memset(this, 0, sizeof(*this)); }
};
#pragma pack(pop)
static_assert(offsetof(TVMGUIDRecord2, vmName) == 65, "the VM name follows the GUID");

// The VM-to-GUID map of a snapshot job ("VMtoGUID"), keyed by VM GUID.
class TVMGUIDTable : public TCtreeTable {
 public:
  TVMGUIDTable()
      : TCtreeTable(0x47554944 /* "GUID" */, sizeof(TVMGUIDRecord2),
                    {{offsetof(TVMGUIDRecord2, vmGuid), sizeof(TVMGUIDRecord2::vmGuid)}}) {}

  // 0 and the whole record when the record's GUID is in the table, -1 when it is not.
  int lookup(TVMGUIDRecord2& record) { return lookupRecord(&record); }
  int insert(const TVMGUIDRecord2& record) { return insertRecord(&record); }
};
