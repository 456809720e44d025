#include "platform/disk/PartitionTable.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

namespace guestdisk {
namespace {

constexpr size_t kMbrEntries = 446;
constexpr uint8_t kProtectiveType = 0xEE;

GuidBytes Guid(uint32_t a, uint16_t b, uint16_t c, uint64_t d) {
  GuidBytes g{};
  for (int i = 0; i < 4; ++i) g[i] = static_cast<uint8_t>(a >> (8 * i));
  for (int i = 0; i < 2; ++i) g[4 + i] = static_cast<uint8_t>(b >> (8 * i));
  for (int i = 0; i < 2; ++i) g[6 + i] = static_cast<uint8_t>(c >> (8 * i));
  for (int i = 0; i < 8; ++i) g[8 + i] = static_cast<uint8_t>(d >> (8 * (7 - i)));
  return g;
}

bool ReadSector(const GuestByteSource& source, uint64_t diskBytes, uint32_t sectorSize, uint64_t lba,
                std::vector<unsigned char>& out, std::string& error) {
  out.assign(sectorSize, 0);
  if (lba >= diskBytes / sectorSize) {
    error = "sector " + std::to_string(lba) + " lies outside the disk";
    return false;
  }
  if (!source(lba * sectorSize, sectorSize, reinterpret_cast<char*>(out.data()))) {
    error = "cannot read sector " + std::to_string(lba);
    return false;
  }
  return true;
}

bool HasBootSignature(const std::vector<unsigned char>& sector) {
  return sector.size() >= 512 && sector[510] == 0x55 && sector[511] == 0xAA;
}

// A partition of `sectors` at `first` must lie inside the area [areaFirst, areaLast].
bool CheckPlace(uint64_t first, uint64_t sectors, uint64_t areaFirst, uint64_t areaLast, const std::string& what,
                std::string& error) {
  if (sectors == 0 || first < areaFirst || first > areaLast || sectors - 1 > areaLast - first) {
    error = what + " at sector " + std::to_string(first) + " of " + std::to_string(sectors) +
            " sectors lies outside " + std::to_string(areaFirst) + ".." + std::to_string(areaLast);
    return false;
  }
  return true;
}

bool CheckNoOverlap(std::vector<Partition> partitions, std::string& error) {
  std::sort(partitions.begin(), partitions.end(),
            [](const Partition& a, const Partition& b) { return a.firstSector < b.firstSector; });
  for (size_t i = 1; i < partitions.size(); ++i) {
    if (partitions[i].firstSector <= partitions[i - 1].lastSector) {
      error = "partitions " + std::to_string(partitions[i - 1].number) + " and " +
              std::to_string(partitions[i].number) + " overlap";
      return false;
    }
  }
  return true;
}

bool ReadLogicalPartitions(const GuestByteSource& source, uint64_t diskBytes, uint32_t sectorSize,
                           uint64_t extFirst, uint64_t extLast, PartitionTable& table, std::string& error) {
  std::set<uint64_t> visited;
  uint64_t ebr = extFirst;
  uint32_t number = 5;
  std::vector<unsigned char> sector;
  for (;;) {
    if (!visited.insert(ebr).second) {
      error = "the chain of extended boot records loops at sector " + std::to_string(ebr);
      return false;
    }
    if (visited.size() > kMaxLogicalPartitions) {
      error = "more than " + std::to_string(kMaxLogicalPartitions) + " logical partitions";
      return false;
    }
    if (!ReadSector(source, diskBytes, sectorSize, ebr, sector, error)) return false;
    if (!HasBootSignature(sector)) {
      error = "the extended boot record at sector " + std::to_string(ebr) + " has no boot signature";
      return false;
    }
    const unsigned char* entry = sector.data() + kMbrEntries;
    const uint8_t type = entry[4];
    const uint64_t start = Le32(entry + 8), sectors = Le32(entry + 12);
    if (type != 0 && sectors != 0) {
      Partition partition;
      partition.number = number++;
      partition.mbrType = type;
      partition.logical = true;
      partition.firstSector = ebr + start;
      partition.lastSector = partition.firstSector + sectors - 1;
      if (!CheckPlace(ebr + start, sectors, ebr + 1, extLast, "logical partition " + std::to_string(partition.number),
                      error))
        return false;
      table.partitions.push_back(partition);
    }
    const unsigned char* next = entry + 16;
    const uint64_t nextStart = Le32(next + 8), nextSectors = Le32(next + 12);
    if (next[4] == 0 || nextSectors == 0) return true;
    if (!IsExtendedMbrType(next[4])) {
      error = "the extended boot record at sector " + std::to_string(ebr) + " links to a partition of type " +
              std::to_string(next[4]);
      return false;
    }
    if (!CheckPlace(extFirst + nextStart, nextSectors, extFirst + 1, extLast, "an extended boot record", error))
      return false;
    ebr = extFirst + nextStart;
  }
}

bool ReadMbr(const GuestByteSource& source, uint64_t diskBytes, uint32_t sectorSize,
             const std::vector<unsigned char>& mbr, PartitionTable& table, std::string& error) {
  table.scheme = Scheme::kMBR;
  table.diskSignature = Le32(mbr.data() + 440);
  const uint64_t lastSector = diskBytes / sectorSize - 1;
  uint64_t extFirst = 0, extLast = 0;
  int extended = 0;
  std::vector<Partition> all;
  for (uint32_t i = 0; i < 4; ++i) {
    const unsigned char* entry = mbr.data() + kMbrEntries + 16 * i;
    const uint8_t type = entry[4];
    const uint64_t start = Le32(entry + 8), sectors = Le32(entry + 12);
    if (type == 0 || sectors == 0) continue;
    if (!CheckPlace(start, sectors, 1, lastSector, "partition " + std::to_string(i + 1), error)) return false;
    Partition partition;
    partition.number = i + 1;
    partition.mbrType = type;
    partition.firstSector = start;
    partition.lastSector = start + sectors - 1;
    all.push_back(partition);
    if (IsExtendedMbrType(type)) {
      if (++extended > 1) {
        error = "more than one extended partition";
        return false;
      }
      extFirst = partition.firstSector;
      extLast = partition.lastSector;
      continue;
    }
    table.partitions.push_back(partition);
  }
  if (!CheckNoOverlap(all, error)) return false;
  if (extended == 1 && !ReadLogicalPartitions(source, diskBytes, sectorSize, extFirst, extLast, table, error))
    return false;
  return CheckNoOverlap(table.partitions, error);
}

std::string Utf16Name(const unsigned char* p, size_t units) {
  std::string name;
  for (size_t i = 0; i < units; ++i) {
    const uint16_t c = Le16(p + 2 * i);
    if (c == 0) break;
    name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return name;
}

// One GPT (header at headerLba); false with the reason when it fails a check.
bool ReadGptAt(const GuestByteSource& source, uint64_t diskBytes, uint32_t sectorSize, uint64_t headerLba,
               PartitionTable& table, std::string& error) {
  std::vector<unsigned char> header;
  if (!ReadSector(source, diskBytes, sectorSize, headerLba, header, error)) return false;
  if (std::memcmp(header.data(), "EFI PART", 8) != 0) {
    error = "no GPT header at sector " + std::to_string(headerLba);
    return false;
  }
  const uint32_t headerSize = Le32(header.data() + 12);
  if (headerSize < 92 || headerSize > sectorSize) {
    error = "GPT header size " + std::to_string(headerSize) + " is not usable";
    return false;
  }
  const uint32_t storedCrc = Le32(header.data() + 16);
  std::vector<unsigned char> copy(header.begin(), header.begin() + headerSize);
  std::memset(copy.data() + 16, 0, 4);
  if (crc32(0, copy.data(), headerSize) != storedCrc) {
    error = "the GPT header at sector " + std::to_string(headerLba) + " fails its CRC";
    return false;
  }
  const uint64_t lastSector = diskBytes / sectorSize - 1;
  const uint64_t myLba = Le64(header.data() + 24);
  const uint64_t firstUsable = Le64(header.data() + 40), lastUsable = Le64(header.data() + 48);
  const uint64_t entriesLba = Le64(header.data() + 72);
  const uint32_t entryCount = Le32(header.data() + 80), entrySize = Le32(header.data() + 84);
  if (myLba != headerLba || firstUsable > lastUsable || lastUsable > lastSector || entryCount > kMaxGptEntries ||
      entrySize < 128 || entrySize > 4096 || entrySize % 8 != 0) {
    error = "the GPT header at sector " + std::to_string(headerLba) + " describes an impossible layout";
    return false;
  }
  const uint64_t entryBytes = static_cast<uint64_t>(entryCount) * entrySize;
  const uint64_t entrySectors = (entryBytes + sectorSize - 1) / sectorSize;
  if (entriesLba > lastSector || entrySectors > lastSector - entriesLba + 1) {
    error = "the GPT entries lie outside the disk";
    return false;
  }
  std::vector<unsigned char> entries(static_cast<size_t>(entrySectors * sectorSize));
  if (entryBytes > 0 && !source(entriesLba * sectorSize, entries.size(), reinterpret_cast<char*>(entries.data()))) {
    error = "cannot read the GPT entries";
    return false;
  }
  if (crc32(0, entries.data(), static_cast<uInt>(entryBytes)) != Le32(header.data() + 88)) {
    error = "the GPT entries of the header at sector " + std::to_string(headerLba) + " fail their CRC";
    return false;
  }
  table.scheme = Scheme::kGPT;
  std::memcpy(table.diskGuid.data(), header.data() + 56, 16);
  table.partitions.clear();
  const GuidBytes unused{};
  for (uint32_t i = 0; i < entryCount; ++i) {
    const unsigned char* entry = entries.data() + static_cast<size_t>(i) * entrySize;
    Partition partition;
    std::memcpy(partition.typeGuid.data(), entry, 16);
    if (partition.typeGuid == unused) continue;
    std::memcpy(partition.uniqueGuid.data(), entry + 16, 16);
    partition.number = i + 1;
    partition.firstSector = Le64(entry + 32);
    partition.lastSector = Le64(entry + 40);
    partition.name = Utf16Name(entry + 56, std::min<size_t>(36, (entrySize - 56) / 2));
    if (partition.lastSector < partition.firstSector ||
        !CheckPlace(partition.firstSector, partition.lastSector - partition.firstSector + 1, firstUsable, lastUsable,
                    "GPT partition " + std::to_string(partition.number), error))
      return false;
    table.partitions.push_back(partition);
  }
  return CheckNoOverlap(table.partitions, error);
}

}  // namespace

const GuidBytes kGptBasicData = Guid(0xEBD0A0A2, 0xB9E5, 0x4433, 0x87C068B6B72699C7ULL);
const GuidBytes kGptLinuxFileSystem = Guid(0x0FC63DAF, 0x8483, 0x4772, 0x8E793D69D8477DE4ULL);
const GuidBytes kGptLinuxSwap = Guid(0x0657FD6D, 0xA4AB, 0x43C4, 0x84E50933C84B4F4FULL);
const GuidBytes kGptLinuxLvm = Guid(0xE6D6D379, 0xF507, 0x44C2, 0xA23C238F2A3DF928ULL);
const GuidBytes kGptLdmData = Guid(0xAF9B60A0, 0x1431, 0x4F62, 0xBC683311714A69ADULL);
const GuidBytes kGptLdmMetadata = Guid(0x5808C8AA, 0x7E8F, 0x42E0, 0x85D2E1E90434CFB3ULL);

bool IsExtendedMbrType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

std::string GuidText(const GuidBytes& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

bool ParseGuidText(const std::string& text, GuidBytes& guid) {
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  if (text.size() != 36) return false;
  std::string hex;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    hex.push_back(text[i]);
  }
  for (int i = 0; i < 16; ++i) guid[kOrder[i]] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return true;
}

bool ReadPartitionTable(const GuestByteSource& source, uint64_t diskBytes, uint32_t sectorSize, PartitionTable& table,
                        std::string& error) {
  table = PartitionTable();
  if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0) {
    error = "sector size " + std::to_string(sectorSize) + " is not usable";
    return false;
  }
  if (diskBytes / sectorSize < 2) return true;  // too small for a table
  std::vector<unsigned char> mbr;
  if (!ReadSector(source, diskBytes, sectorSize, 0, mbr, error)) return false;
  if (!HasBootSignature(mbr)) return true;
  // A boot sector of a file system written over the whole disk carries the signature too, and no table.
  if (std::memcmp(mbr.data() + 3, "NTFS    ", 8) == 0) return true;
  bool protective = false;
  for (int i = 0; i < 4; ++i)
    if (mbr[kMbrEntries + 16 * i + 4] == kProtectiveType) protective = true;
  if (!protective) {
    if (ReadMbr(source, diskBytes, sectorSize, mbr, table, error)) return true;
    table = PartitionTable();
    return false;
  }
  std::string primaryError;
  if (ReadGptAt(source, diskBytes, sectorSize, 1, table, primaryError)) return true;
  std::string backupError;
  if (ReadGptAt(source, diskBytes, sectorSize, diskBytes / sectorSize - 1, table, backupError)) {
    table.usedBackupGpt = true;
    return true;
  }
  table = PartitionTable();
  error = primaryError + "; backup: " + backupError;
  return false;
}

}  // namespace guestdisk
