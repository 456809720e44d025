#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/disk/GuestByteSource.h"
#include "platform/disk/LVMTypes.h"

// The partition table of a guest disk: an MBR with its primary partitions and the logical
// partitions of its extended partition (the chain of extended boot records), or a GPT (the primary
// header and entries, checked by their CRCs, the backup ones when the primary is damaged).
//
// A disk without the boot signature has no table (scheme kNone): its whole area may hold a file
// system. A table that is there but cannot be trusted (a partition outside the disk, partitions that
// overlap, a loop in the extended chain, a GPT whose two headers both fail their checks) is refused
// with a reason: a caller must then treat the disk as opaque rather than guess where its volumes are.
namespace guestdisk {

enum class Scheme { kNone = 1, kMBR = 2, kGPT = 3 };

struct Partition {
  uint32_t number = 0;       // MBR: 1-4 primary, 5 on logical in chain order; GPT: entry index + 1
  uint64_t firstSector = 0;  // disk sectors, inclusive
  uint64_t lastSector = 0;
  uint8_t mbrType = 0;       // 0 for a GPT partition
  GuidBytes typeGuid{};      // GPT only
  GuidBytes uniqueGuid{};    // GPT only
  std::string name;          // GPT only (its UTF-16 name, non-ASCII as '?')
  bool logical = false;      // a logical partition of the MBR's extended partition
};

struct PartitionTable {
  Scheme scheme = Scheme::kNone;
  uint32_t diskSignature = 0;  // MBR
  GuidBytes diskGuid{};        // GPT
  bool usedBackupGpt = false;  // the primary GPT failed its checks
  std::vector<Partition> partitions;  // in table order; extended containers and empty slots left out
};

// Most logical partitions followed in one extended chain, and GPT entries read.
constexpr size_t kMaxLogicalPartitions = 128;
constexpr uint32_t kMaxGptEntries = 1024;

// Reads the table of a disk of diskBytes in sectors of sectorSize (512 or 4096). False with the
// reason when the table is there but damaged (see above); a read failure is a refusal too.
bool ReadPartitionTable(const GuestByteSource& source, uint64_t diskBytes, uint32_t sectorSize, PartitionTable& table,
                        std::string& error);

// MBR types of extended partitions (their area holds the logical partitions' chain).
bool IsExtendedMbrType(uint8_t type);
// The GUID as text, upper case, in its usual form (8-4-4-4-12).
std::string GuidText(const GuidBytes& guid);
// A GUID from its usual text form; false when the text is not one.
bool ParseGuidText(const std::string& text, GuidBytes& guid);

// GPT partition types the guest parsers recognise.
extern const GuidBytes kGptBasicData;       // EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
extern const GuidBytes kGptLinuxFileSystem;  // 0FC63DAF-8483-4772-8E79-3D69D8477DE4
extern const GuidBytes kGptLinuxSwap;       // 0657FD6D-A4AB-43C4-84E5-0933C84B4F4F
extern const GuidBytes kGptLinuxLvm;        // E6D6D379-F507-44C2-A23C-238F2A3DF928
extern const GuidBytes kGptLdmData;         // AF9B60A0-1431-4F62-BC68-3311714A69AD
extern const GuidBytes kGptLdmMetadata;     // 5808C8AA-7E8F-42E0-85D2-E1E90434CFB3

}  // namespace guestdisk
