// The keyed tables of the index: whatever the two files hold, opening them refuses what is not a
// table of the kind or reads every record, and a table that opens answers for each of its records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/index/TVMGUIDTable.h"
#include "platform/lab/LabFiles.h"

namespace {

std::string Path() { return fuzz::ScratchDir() + "/VMtoGUID"; }

}  // namespace

// The files of a table of three VMs, the record file first, separated by a NUL.
std::vector<std::string> FuzzSeeds() {
  TVMGUIDTable table;
  table.initialize(Path(), false);
  for (const char* guid : {"g1", "g2", "g3"}) {
    TVMGUIDRecord2 record;
    record.clear();
    SetRecordText(record.vmGuid, sizeof(record.vmGuid), guid);
    SetRecordText(record.vmName, sizeof(record.vmName), std::string("vm-") + guid);
    table.insert(record);
  }
  table.close();
  return {fuzz::ReadBytes(TCtreeTable::DataFile(Path())) + std::string(1, '\0') + fuzz::ReadBytes(TCtreeTable::IndexFile(Path()))};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string records = input.substr(0, split);
  const std::string index = split == std::string::npos ? std::string() : input.substr(split + 1);
  if (!lab::WriteFileAtomic(TCtreeTable::DataFile(Path()), records) ||
      !lab::WriteFileAtomic(TCtreeTable::IndexFile(Path()), index))
    fuzz::Fail("cannot write the table's files", Path());

  TVMGUIDTable table;
  FUZZ_CHECK(table.initialize(Path(), true) == 0, "both files exist");
  uint64_t count = 0;
  if (table.count(count) != 0) return 0;
  FUZZ_CHECK(records.size() == 32 + count * sizeof(TVMGUIDRecord2), "every record was read");
  for (uint64_t n = 0; n < count; ++n) {
    TVMGUIDRecord2 record;
    std::memcpy(&record, records.data() + 32 + n * sizeof(record), sizeof(record));
    TVMGUIDRecord2 found;
    found.clear();
    std::memcpy(found.vmGuid, record.vmGuid, sizeof(found.vmGuid));
    FUZZ_CHECK(table.lookup(found) == 0, "a record of the table is found by its key");
  }
  return 0;
}
