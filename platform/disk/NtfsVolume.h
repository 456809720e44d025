#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/disk/GuestByteSource.h"
#include "records/VMInfoStructs.h"

// A read-only reader of the parts of an NTFS volume that a backup looks at: the boot sector, the
// $MFT with its update-sequence fix-ups, attributes and their run lists (attribute lists included),
// the cluster bitmap ($Bitmap), and file look-up in a directory's index ($INDEX_ROOT and the INDX
// blocks of $INDEX_ALLOCATION).
//
// Every structure is checked before it is used: a boot sector with an impossible geometry, a record
// whose fix-ups or attribute bounds do not hold, a run list that runs outside the volume, are
// refused with a code (kErr*) and a reason; nothing is read outside the volume or outside a record.
namespace guestdisk {

class NtfsVolume {
 public:
  // Codes of refusals, negative as the volume library's.
  static constexpr int kErrRead = -1;          // the volume could not be read
  static constexpr int kErrNotNtfs = -2;       // no NTFS boot sector
  static constexpr int kErrBootSector = -3;    // a boot sector with an impossible geometry
  static constexpr int kErrMftRecord = -4;     // an $MFT record that fails its checks
  static constexpr int kErrNotFound = -5;      // the file is not there
  static constexpr int kErrUnsupported = -6;   // there, but not in a form this reader handles
  static constexpr int kErrRunList = -7;       // a run list that does not hold
  static constexpr int kErrBitmap = -8;        // the cluster bitmap is shorter than the volume
  static constexpr int kErrNotOpen = -9;
  static constexpr int kErrAttribute = -10;    // an attribute that is missing or does not hold

  static constexpr uint64_t kRecordMft = 0;
  static constexpr uint64_t kRecordBitmap = 6;
  static constexpr uint64_t kRecordRoot = 5;
  static constexpr uint32_t kAttrAttributeList = 0x20;
  static constexpr uint32_t kAttrFileName = 0x30;
  static constexpr uint32_t kAttrData = 0x80;
  static constexpr uint32_t kAttrIndexRoot = 0x90;
  static constexpr uint32_t kAttrIndexAllocation = 0xA0;

  struct Run {
    uint64_t vcn = 0;
    uint64_t lcn = 0;     // meaningless when sparse
    uint64_t length = 0;  // clusters
    bool sparse = false;
  };

  // One attribute of a file: its resident value, or its runs and sizes.
  struct Attribute {
    uint32_t type = 0;
    std::u16string name;
    bool resident = false;
    uint16_t flags = 0;  // 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
    std::string value;   // resident
    std::vector<Run> runs;  // non-resident, ordered by VCN
    uint64_t dataSize = 0;
    uint64_t allocatedSize = 0;
  };

  // One entry of a directory's index.
  struct DirectoryEntry {
    uint64_t record = 0;  // the file's MFT record number
    uint64_t parent = 0;
    std::u16string name;
    uint8_t nameSpace = 0;
    bool isDirectory = false;
    uint64_t dataSize = 0;
  };

  // Most runs of one attribute and most records an attribute list may name.
  static constexpr size_t kMaxRuns = 1 << 20;
  static constexpr size_t kMaxListedRecords = 4096;

  explicit NtfsVolume(GuestByteSource source, uint64_t volumeBytes);

  // Reads the boot sector and the $MFT's own record. 0 or a kErr* code (reason in LastError).
  int Open();
  bool IsOpen() const { return open_; }
  const std::string& LastError() const { return error_; }

  uint32_t BytesPerSector() const { return bytesPerSector_; }
  uint32_t ClusterSize() const { return clusterSize_; }
  uint64_t TotalSectors() const { return totalSectors_; }    // as the boot sector says (the backup boot sector follows)
  uint64_t TotalClusters() const { return totalClusters_; }
  uint64_t MftCluster() const { return mftCluster_; }
  uint32_t RecordSize() const { return recordSize_; }

  // The cluster bitmap, one bit per cluster (bits past the last cluster cleared). 0 or kErr*.
  int ReadClusterBitmap(std::vector<uint8_t>& bits);
  // Free clusters as byte ranges of the volume, inside the clusters only (never the boot sector's
  // backup after the last cluster). 0 or kErr*.
  int FreeByteRanges(std::vector<std::pair<uint64_t, uint64_t>>& ranges, uint64_t& freeClusters);
  // Bytes of the allocated clusters. 0 or kErr*.
  int UsedBytes(uint64_t& used);

  // The attribute of a file (its base record, following an attribute list). 0, kErrNotFound when the
  // file has no such attribute, or another kErr*.
  int ReadAttribute(uint64_t record, uint32_t type, const std::u16string& name, Attribute& attribute);
  // The entries of a directory (every entry of its index, in index order). 0 or kErr*.
  int ListDirectory(uint64_t record, std::vector<DirectoryEntry>& entries);
  // The entry of a name in a directory, compared without regard to ASCII case. 0 or kErrNotFound.
  int FindInDirectory(uint64_t directory, const std::u16string& name, DirectoryEntry& entry);
  // Reads `size` bytes at `offset` of a non-resident attribute's data (sparse runs read as zeros, past
  // the data size as nothing). 0 or kErr*.
  int ReadAttributeData(const Attribute& attribute, uint64_t offset, size_t size, std::string& out);

  // The text of a kErr* code.
  static const char* CodeText(int code);

 private:
  int Fail(int code, const std::string& reason);
  bool ReadVolume(uint64_t offset, size_t size, char* out);
  // The record's bytes with its fix-ups applied and its header checked.
  int ReadRecord(uint64_t record, std::string& bytes);
  int ReadRecordBytes(uint64_t record, std::string& bytes);
  // Every attribute of one record (not following lists).
  int ParseAttributes(uint64_t recordNumber, const std::string& record, std::vector<Attribute>& attributes,
                      uint64_t& baseRecord);
  int DecodeRuns(const unsigned char* p, size_t size, uint64_t lowestVcn, std::vector<Run>& runs);
  int ParseIndexEntries(const unsigned char* p, size_t size, std::vector<DirectoryEntry>& entries);

  GuestByteSource source_;
  uint64_t volumeBytes_ = 0;
  bool open_ = false;
  std::string error_;
  uint32_t bytesPerSector_ = 0;
  uint32_t clusterSize_ = 0;
  uint64_t totalSectors_ = 0;
  uint64_t totalClusters_ = 0;
  uint64_t mftCluster_ = 0;
  uint32_t recordSize_ = 0;
  uint32_t indexBlockSize_ = 0;
  std::vector<Run> mftRuns_;
};

// Runs of a non-resident attribute as byte ranges of the volume (sparse runs left out).
std::vector<std::pair<uint64_t, uint64_t>> RunsAsByteRanges(const std::vector<NtfsVolume::Run>& runs,
                                                             uint32_t clusterSize);

}  // namespace guestdisk
