// A disk's checksum table read from files the previous job left (or anything in their place): the
// read survives every input, refuses what it does not accept whole, and a table it accepts writes
// back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/index/TVMCRCTable.h"
#include "fuzz/FuzzSupport.h"

namespace {

// The ".dat" and ".idx" of a table of the given records.
std::pair<std::string, std::string> Written(const std::vector<std::pair<uint64_t, uint32_t>>& records) {
  const std::string name = fuzz::ScratchDir() + "/seed";
  TVMCRCTable table;
  table.initialize(name, false);
  for (const auto& record : records) table.insert(MakeCRCRecord(record.first, record.second));
  table.close();
  return {fuzz::ReadBytes(TVMCRCTable::DataPath(name)), fuzz::ReadBytes(TVMCRCTable::IndexPath(name))};
}

}  // namespace

// Input: the length of the ".dat" part as 4 bytes, the ".dat", then the ".idx".
std::vector<std::string> FuzzSeeds() {
  std::vector<std::string> seeds;
  for (const auto& records : {std::vector<std::pair<uint64_t, uint32_t>>{},
                              std::vector<std::pair<uint64_t, uint32_t>>{{0, 1}, {7, 2}, {1ull << 40, 3}}}) {
    const auto files = Written(records);
    const uint32_t length = static_cast<uint32_t>(files.first.size());
    seeds.push_back(std::string(reinterpret_cast<const char*>(&length), 4) + files.first + files.second);
  }
  return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t length = 0;
  std::memcpy(&length, data, 4);
  const std::string rest(reinterpret_cast<const char*>(data) + 4, size - 4);
  if (length > rest.size()) length = static_cast<uint32_t>(rest.size());
  const std::string name = fuzz::ScratchDir() + "/input";
  fuzz::WriteBytes(TVMCRCTable::DataPath(name), rest.substr(0, length));
  fuzz::WriteBytes(TVMCRCTable::IndexPath(name), rest.substr(length));

  TVMCRCTable table;
  TVMCRCRecord record;
  if (table.initialize(name, true) != 0) {
    FUZZ_CHECK(!table.isOpen() && table.lookup(0, record) == -1, "a refused table answers nothing");
    return 0;
  }
  // Accepted: every extent is found once, and writing the same records gives the same two files.
  std::vector<std::pair<uint64_t, uint32_t>> records;
  const std::string dat = rest.substr(0, length);
  for (size_t at = 32; at + 12 <= dat.size(); at += 12) {
    uint64_t extent = 0;
    uint32_t crc = 0;
    std::memcpy(&extent, dat.data() + at, 8);
    std::memcpy(&crc, dat.data() + at + 8, 4);
    FUZZ_CHECK(table.lookup(extent, record) == 1 && record.crc == crc, "a record of the file is not found");
    records.emplace_back(extent, crc);
  }
  FUZZ_CHECK(table.size() == records.size(), "the table holds other records than its file");
  const auto again = Written(records);
  FUZZ_CHECK(again.first == dat && again.second == rest.substr(length), "an accepted table writes back differently");
  return 0;
}
