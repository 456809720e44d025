#include "platform/disk/NtfsVolume.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace guestdisk {
namespace {

constexpr uint32_t kEndMarker = 0xFFFFFFFFu;
constexpr uint32_t kFixupStride = 512;  // NTFS protects every 512 bytes of a record, whatever the sector size
constexpr uint32_t kAttrBitmap = 0xB0;
constexpr uint16_t kEntryHasSubNode = 0x0001;
constexpr uint16_t kEntryLast = 0x0002;
constexpr uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFULL;
constexpr uint32_t kFileAttributeDirectory = 0x10000000;  // in a FILE_NAME key: an index (a directory)

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

// The size a signed "clusters per record" byte gives: clusters when positive, 2^-n bytes when negative.
uint64_t SizeFromClustersByte(int8_t value, uint32_t clusterSize) {
  if (value > 0) return static_cast<uint64_t>(value) * clusterSize;
  if (value < 0 && value >= -31) return 1ULL << (-value);
  return 0;
}

// Applies the update-sequence fix-ups of a record or index block read whole into `bytes`.
bool ApplyFixups(std::string& bytes, std::string& reason) {
  if (bytes.size() < 8 || bytes.size() % kFixupStride != 0) {
    reason = "its size is not a whole number of 512-byte blocks";
    return false;
  }
  const uint16_t offset = guestdisk::Le16(U(bytes) + 4);
  const uint16_t count = guestdisk::Le16(U(bytes) + 6);
  if (count != bytes.size() / kFixupStride + 1 || offset < 8 || offset % 2 != 0 ||
      static_cast<size_t>(offset) + 2u * count > bytes.size()) {
    reason = "its update sequence array does not fit it";
    return false;
  }
  const uint16_t usn = guestdisk::Le16(U(bytes) + offset);
  for (uint16_t i = 1; i < count; ++i) {
    const size_t end = static_cast<size_t>(i) * kFixupStride - 2;
    if (guestdisk::Le16(U(bytes) + end) != usn) {
      reason = "block " + std::to_string(i - 1) + " was torn (update sequence mismatch)";
      return false;
    }
    bytes[end] = bytes[offset + 2 * i];
    bytes[end + 1] = bytes[offset + 2 * i + 1];
  }
  return true;
}

std::u16string NameAt(const unsigned char* p, size_t units) {
  std::u16string name;
  name.reserve(units);
  for (size_t i = 0; i < units; ++i) name.push_back(static_cast<char16_t>(guestdisk::Le16(p + 2 * i)));
  return name;
}

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool SameNameIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

}  // namespace

const char* NtfsVolume::CodeText(int code) {
  switch (code) {
    case 0: return "success";
    case kErrRead: return "the volume could not be read";
    case kErrNotNtfs: return "not an NTFS volume";
    case kErrBootSector: return "the NTFS boot sector is damaged";
    case kErrMftRecord: return "an $MFT record is damaged";
    case kErrNotFound: return "the file was not found";
    case kErrUnsupported: return "the file's form is not supported";
    case kErrRunList: return "a run list is damaged";
    case kErrBitmap: return "the cluster bitmap is damaged";
    case kErrNotOpen: return "the volume is not open";
    case kErrAttribute: return "an attribute is damaged";
    default: return "unknown error";
  }
}

NtfsVolume::NtfsVolume(GuestByteSource source, uint64_t volumeBytes)
    : source_(std::move(source)), volumeBytes_(volumeBytes) {}

int NtfsVolume::Fail(int code, const std::string& reason) {
  error_ = std::string(CodeText(code)) + ": " + reason;
  return code;
}

bool NtfsVolume::ReadVolume(uint64_t offset, size_t size, char* out) {
  if (offset > volumeBytes_ || size > volumeBytes_ - offset) return false;
  return source_(offset, size, out);
}

int NtfsVolume::Open() {
  open_ = false;
  mftRuns_.clear();
  std::string boot(512, '\0');
  if (!ReadVolume(0, boot.size(), &boot[0])) return Fail(kErrRead, "cannot read the boot sector");
  const unsigned char* b = U(boot);
  if (std::memcmp(b + 3, "NTFS    ", 8) != 0) return Fail(kErrNotNtfs, "no NTFS signature in the boot sector");
  if (b[510] != 0x55 || b[511] != 0xAA) return Fail(kErrBootSector, "no boot signature");
  bytesPerSector_ = Le16(b + 0x0B);
  if (bytesPerSector_ < 256 || bytesPerSector_ > 4096 || !IsPowerOfTwo(bytesPerSector_))
    return Fail(kErrBootSector, "bytes per sector " + std::to_string(bytesPerSector_));
  const uint8_t spcByte = b[0x0D];
  const uint64_t sectorsPerCluster = spcByte <= 0x80 ? spcByte : (spcByte >= 0xF4 ? 1ULL << (256 - spcByte) : 0);
  if (!IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster * bytesPerSector_ > (2u << 20))
    return Fail(kErrBootSector, "sectors per cluster " + std::to_string(spcByte));
  clusterSize_ = static_cast<uint32_t>(sectorsPerCluster * bytesPerSector_);
  totalSectors_ = Le64(b + 0x28);
  if (totalSectors_ == 0 || totalSectors_ > volumeBytes_ / bytesPerSector_)
    return Fail(kErrBootSector, "the volume's " + std::to_string(totalSectors_) + " sectors do not fit its " +
                                    std::to_string(volumeBytes_) + " bytes");
  totalClusters_ = totalSectors_ / sectorsPerCluster;
  mftCluster_ = Le64(b + 0x30);
  const uint64_t recordSize = SizeFromClustersByte(static_cast<int8_t>(b[0x40]), clusterSize_);
  const uint64_t indexSize = SizeFromClustersByte(static_cast<int8_t>(b[0x44]), clusterSize_);
  if (!IsPowerOfTwo(recordSize) || recordSize < kFixupStride || recordSize > 65536)
    return Fail(kErrBootSector, "MFT record size " + std::to_string(recordSize));
  if (!IsPowerOfTwo(indexSize) || indexSize < kFixupStride || indexSize > 65536)
    return Fail(kErrBootSector, "index block size " + std::to_string(indexSize));
  recordSize_ = static_cast<uint32_t>(recordSize);
  indexBlockSize_ = static_cast<uint32_t>(indexSize);
  const uint64_t recordClusters = (recordSize_ + clusterSize_ - 1) / clusterSize_;
  if (mftCluster_ >= totalClusters_ || recordClusters > totalClusters_ - mftCluster_)
    return Fail(kErrBootSector, "the $MFT at cluster " + std::to_string(mftCluster_) + " lies outside the volume");

  // Record 0 sits at the $MFT's first cluster; its own data attribute says where the rest lies.
  mftRuns_.push_back(Run{0, mftCluster_, recordClusters, false});
  std::string record;
  int code = ReadRecord(kRecordMft, record);
  if (code != 0) return code;
  std::vector<Attribute> attributes;
  uint64_t base = 0;
  code = ParseAttributes(kRecordMft, record, attributes, base);
  if (code != 0) return code;
  bool listed = false, found = false;
  for (const Attribute& attribute : attributes) {
    if (attribute.type == kAttrAttributeList) listed = true;
    if (attribute.type == kAttrData && attribute.name.empty() && !attribute.resident && !attribute.runs.empty() &&
        attribute.runs.front().vcn == 0) {
      mftRuns_ = attribute.runs;
      found = true;
    }
  }
  if (!found) return Fail(kErrMftRecord, "the $MFT has no data attribute");
  if (listed) {
    Attribute data;
    code = ReadAttribute(kRecordMft, kAttrData, std::u16string(), data);
    if (code != 0) return code;
    mftRuns_ = data.runs;
  }
  open_ = true;
  return 0;
}

int NtfsVolume::ReadRecordBytes(uint64_t record, std::string& bytes) {
  if (record > UINT64_MAX / recordSize_) return Fail(kErrMftRecord, "record " + std::to_string(record));
  uint64_t offset = record * recordSize_;
  bytes.assign(recordSize_, '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    const uint64_t vcn = offset / clusterSize_;
    const Run* run = nullptr;
    for (const Run& candidate : mftRuns_) {
      if (vcn >= candidate.vcn && vcn - candidate.vcn < candidate.length) {
        run = &candidate;
        break;
      }
    }
    if (run == nullptr || run->sparse)
      return Fail(kErrMftRecord, "record " + std::to_string(record) + " lies outside the $MFT");
    const uint64_t within = offset % clusterSize_;
    const uint64_t runBytesLeft = (run->length - (vcn - run->vcn)) * clusterSize_ - within;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(bytes.size() - done, runBytesLeft));
    const uint64_t position = (run->lcn + (vcn - run->vcn)) * clusterSize_ + within;
    if (!ReadVolume(position, piece, &bytes[done])) return Fail(kErrRead, "cannot read record " + std::to_string(record));
    done += piece;
    offset += piece;
  }
  return 0;
}

int NtfsVolume::ReadRecord(uint64_t record, std::string& bytes) {
  int code = ReadRecordBytes(record, bytes);
  if (code != 0) return code;
  const std::string which = "record " + std::to_string(record);
  if (std::memcmp(bytes.data(), "FILE", 4) != 0) return Fail(kErrMftRecord, which + " has no FILE signature");
  std::string reason;
  if (!ApplyFixups(bytes, reason)) return Fail(kErrMftRecord, which + ": " + reason);
  const uint16_t attrs = Le16(U(bytes) + 0x14);
  const uint32_t used = Le32(U(bytes) + 0x18);
  if (used > bytes.size() || used < 0x18 || attrs < 0x18 || attrs >= used || attrs % 8 != 0)
    return Fail(kErrMftRecord, which + " has impossible bounds");
  return 0;
}

int NtfsVolume::DecodeRuns(const unsigned char* p, size_t size, uint64_t lowestVcn, std::vector<Run>& runs) {
  size_t i = 0;
  int64_t lcn = 0;
  uint64_t vcn = lowestVcn;
  while (i < size && p[i] != 0) {
    const unsigned lengthBytes = p[i] & 0x0F, offsetBytes = p[i] >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || i + 1 + lengthBytes + offsetBytes > size)
      return Fail(kErrRunList, "a run header that does not fit its attribute");
    ++i;
    uint64_t length = 0;
    for (unsigned k = 0; k < lengthBytes; ++k) length |= static_cast<uint64_t>(p[i + k]) << (8 * k);
    if ((p[i + lengthBytes - 1] & 0x80) != 0 || length == 0) return Fail(kErrRunList, "a run of no clusters");
    i += lengthBytes;
    Run run;
    run.vcn = vcn;
    run.length = length;
    run.sparse = offsetBytes == 0;
    if (!run.sparse) {
      uint64_t delta = 0;
      for (unsigned k = 0; k < offsetBytes; ++k) delta |= static_cast<uint64_t>(p[i + k]) << (8 * k);
      if (offsetBytes < 8 && (p[i + offsetBytes - 1] & 0x80) != 0) delta |= ~0ULL << (8 * offsetBytes);
      i += offsetBytes;
      const int64_t signedDelta = static_cast<int64_t>(delta);
      if ((signedDelta > 0 && lcn > INT64_MAX - signedDelta) || (signedDelta < 0 && lcn < INT64_MIN - signedDelta))
        return Fail(kErrRunList, "a run that overflows");
      lcn += signedDelta;
      if (lcn < 0 || static_cast<uint64_t>(lcn) >= totalClusters_ ||
          length > totalClusters_ - static_cast<uint64_t>(lcn))
        return Fail(kErrRunList, "a run at cluster " + std::to_string(lcn) + " of " + std::to_string(length) +
                                     " clusters lies outside the volume");
      run.lcn = static_cast<uint64_t>(lcn);
    }
    if (vcn > UINT64_MAX - length || runs.size() >= kMaxRuns) return Fail(kErrRunList, "too many clusters");
    vcn += length;
    runs.push_back(run);
  }
  return 0;
}

int NtfsVolume::ParseAttributes(uint64_t recordNumber, const std::string& record, std::vector<Attribute>& attributes,
                                uint64_t& baseRecord) {
  const unsigned char* r = U(record);
  const uint32_t used = Le32(r + 0x18);
  baseRecord = Le64(r + 0x20) & kRecordNumberMask;
  const std::string which = "record " + std::to_string(recordNumber);
  size_t offset = Le16(r + 0x14);
  while (offset + 4 <= used) {
    const unsigned char* a = r + offset;
    const uint32_t type = Le32(a);
    if (type == kEndMarker) return 0;
    if (offset + 16 > used) return Fail(kErrAttribute, which + ": an attribute header past its end");
    const uint32_t length = Le32(a + 4);
    if (length < 24 || length % 8 != 0 || length > used - offset)
      return Fail(kErrAttribute, which + ": an attribute of length " + std::to_string(length));
    Attribute attribute;
    attribute.type = type;
    attribute.resident = a[8] == 0;
    const uint8_t nameLength = a[9];
    const uint16_t nameOffset = Le16(a + 10);
    attribute.flags = Le16(a + 12);
    if (nameLength > 0) {
      if (static_cast<size_t>(nameOffset) + 2u * nameLength > length)
        return Fail(kErrAttribute, which + ": an attribute name past its attribute");
      attribute.name = NameAt(a + nameOffset, nameLength);
    }
    if (attribute.resident) {
      const uint32_t valueLength = Le32(a + 16);
      const uint16_t valueOffset = Le16(a + 20);
      if (valueOffset > length || valueLength > length - valueOffset)
        return Fail(kErrAttribute, which + ": a resident value past its attribute");
      attribute.value.assign(reinterpret_cast<const char*>(a + valueOffset), valueLength);
      attribute.dataSize = attribute.allocatedSize = valueLength;
    } else {
      if (length < 64) return Fail(kErrAttribute, which + ": a non-resident attribute of length " + std::to_string(length));
      const uint64_t lowestVcn = Le64(a + 16);
      const uint16_t pairs = Le16(a + 32);
      if (pairs < 64 || pairs >= length) return Fail(kErrAttribute, which + ": mapping pairs past its attribute");
      attribute.allocatedSize = Le64(a + 40);
      attribute.dataSize = Le64(a + 48);
      const int code = DecodeRuns(a + pairs, length - pairs, lowestVcn, attribute.runs);
      if (code != 0) {
        error_ += " (" + which + ")";
        return code;
      }
    }
    attributes.push_back(std::move(attribute));
    offset += length;
  }
  return Fail(kErrAttribute, which + ": no end marker");
}

int NtfsVolume::ReadAttribute(uint64_t recordNumber, uint32_t type, const std::u16string& name, Attribute& result) {
  std::string record;
  int code = ReadRecord(recordNumber, record);
  if (code != 0) return code;
  std::vector<Attribute> attributes;
  uint64_t base = 0;
  code = ParseAttributes(recordNumber, record, attributes, base);
  if (code != 0) return code;
  const Attribute* list = nullptr;
  for (const Attribute& attribute : attributes)
    if (attribute.type == kAttrAttributeList) list = &attribute;
  std::vector<Attribute> pieces;
  for (const Attribute& attribute : attributes)
    if (attribute.type == type && attribute.name == name) pieces.push_back(attribute);
  if (list != nullptr) {
    std::string listBytes = list->value;
    if (!list->resident) {
      if (list->dataSize > (1u << 20)) return Fail(kErrAttribute, "an attribute list of " + std::to_string(list->dataSize) + " bytes");
      code = ReadAttributeData(*list, 0, static_cast<size_t>(list->dataSize), listBytes);
      if (code != 0) return code;
    }
    std::set<uint64_t> records;
    for (size_t offset = 0; offset + 26 <= listBytes.size();) {
      const unsigned char* e = U(listBytes) + offset;
      const uint16_t length = Le16(e + 4);
      const uint8_t nameLength = e[6], nameOffset = e[7];
      if (length < 26 || offset + length > listBytes.size() || nameOffset + 2u * nameLength > length)
        return Fail(kErrAttribute, "an attribute list entry of record " + std::to_string(recordNumber) + " past its end");
      const uint64_t holder = Le64(e + 16) & kRecordNumberMask;
      if (Le32(e) == type && NameAt(e + nameOffset, nameLength) == name && holder != recordNumber)
        records.insert(holder);
      offset += length;
    }
    if (records.size() > kMaxListedRecords) return Fail(kErrAttribute, "an attribute list naming too many records");
    for (uint64_t holder : records) {
      std::string extension;
      code = ReadRecord(holder, extension);
      if (code != 0) return code;
      std::vector<Attribute> more;
      uint64_t extensionBase = 0;
      code = ParseAttributes(holder, extension, more, extensionBase);
      if (code != 0) return code;
      if (extensionBase != recordNumber)
        return Fail(kErrAttribute, "record " + std::to_string(holder) + " does not belong to record " +
                                       std::to_string(recordNumber));
      for (Attribute& attribute : more)
        if (attribute.type == type && attribute.name == name) pieces.push_back(std::move(attribute));
    }
  }
  if (pieces.empty()) return Fail(kErrNotFound, "record " + std::to_string(recordNumber) + " has no such attribute");
  if (pieces.size() == 1 || pieces.front().resident) {
    result = std::move(pieces.front());
    return 0;
  }
  // A non-resident attribute in pieces: its runs in VCN order, its sizes from the first piece.
  std::sort(pieces.begin(), pieces.end(), [](const Attribute& a, const Attribute& b) {
    const uint64_t va = a.runs.empty() ? UINT64_MAX : a.runs.front().vcn;
    const uint64_t vb = b.runs.empty() ? UINT64_MAX : b.runs.front().vcn;
    return va < vb;
  });
  result = pieces.front();
  result.runs.clear();
  uint64_t nextVcn = 0;
  for (const Attribute& piece : pieces) {
    if (piece.resident) return Fail(kErrAttribute, "a resident piece of a non-resident attribute");
    for (const Run& run : piece.runs) {
      if (run.vcn != nextVcn) return Fail(kErrRunList, "the pieces of an attribute leave a gap or overlap");
      result.runs.push_back(run);
      nextVcn = run.vcn + run.length;
    }
  }
  return 0;
}

int NtfsVolume::ReadAttributeData(const Attribute& attribute, uint64_t offset, size_t size, std::string& out) {
  out.clear();
  if (attribute.resident) {
    if (offset < attribute.value.size()) out = attribute.value.substr(offset, size);
    return 0;
  }
  if (offset >= attribute.dataSize) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, attribute.dataSize - offset));
  out.assign(size, '\0');
  size_t done = 0;
  for (const Run& run : attribute.runs) {
    if (done == size) break;
    const uint64_t runStart = run.vcn * clusterSize_;
    const uint64_t runEnd = runStart + run.length * clusterSize_;
    const uint64_t at = offset + done;
    if (at >= runEnd || at < runStart) continue;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, runEnd - at));
    if (!run.sparse && !ReadVolume(run.lcn * clusterSize_ + (at - runStart), piece, &out[done]))
      return Fail(kErrRead, "cannot read an attribute's data");
    done += piece;
  }
  if (done < size) return Fail(kErrRunList, "an attribute's runs end before its data");
  return 0;
}

int NtfsVolume::ReadClusterBitmap(std::vector<uint8_t>& bits) {
  if (!open_) return Fail(kErrNotOpen, "ReadClusterBitmap");
  Attribute data;
  int code = ReadAttribute(kRecordBitmap, kAttrData, std::u16string(), data);
  if (code != 0) return code == kErrNotFound ? Fail(kErrBitmap, "$Bitmap has no data") : code;
  const uint64_t bytes = (totalClusters_ + 7) / 8;
  if (data.dataSize < bytes)
    return Fail(kErrBitmap, "$Bitmap holds " + std::to_string(data.dataSize) + " bytes for " +
                                std::to_string(totalClusters_) + " clusters");
  std::string raw;
  code = ReadAttributeData(data, 0, static_cast<size_t>(bytes), raw);
  if (code != 0) return code;
  bits.assign(raw.begin(), raw.end());
  if (totalClusters_ % 8 != 0) bits.back() &= static_cast<uint8_t>((1u << (totalClusters_ % 8)) - 1);
  return 0;
}

int NtfsVolume::FreeByteRanges(std::vector<std::pair<uint64_t, uint64_t>>& ranges, uint64_t& freeClusters) {
  ranges.clear();
  freeClusters = 0;
  std::vector<uint8_t> bits;
  const int code = ReadClusterBitmap(bits);
  if (code != 0) return code;
  uint64_t cluster = 0;
  while (cluster < totalClusters_) {
    // Whole bytes of used clusters are passed over at once.
    if (cluster % 8 == 0 && bits[cluster / 8] == 0xFF) {
      cluster += 8;
      continue;
    }
    if ((bits[cluster / 8] >> (cluster % 8)) & 1) {
      ++cluster;
      continue;
    }
    const uint64_t first = cluster;
    while (cluster < totalClusters_) {
      if (cluster % 8 == 0 && cluster + 8 <= totalClusters_ && bits[cluster / 8] == 0) {
        cluster += 8;
        continue;
      }
      if ((bits[cluster / 8] >> (cluster % 8)) & 1) break;
      ++cluster;
    }
    freeClusters += cluster - first;
    ranges.emplace_back(first * clusterSize_, (cluster - first) * clusterSize_);
  }
  return 0;
}

int NtfsVolume::UsedBytes(uint64_t& used) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  uint64_t freeClusters = 0;
  const int code = FreeByteRanges(ranges, freeClusters);
  if (code != 0) return code;
  used = (totalClusters_ - freeClusters) * clusterSize_;
  return 0;
}

int NtfsVolume::ParseIndexEntries(const unsigned char* p, size_t size, std::vector<DirectoryEntry>& entries) {
  size_t offset = 0;
  while (offset + 16 <= size) {
    const unsigned char* e = p + offset;
    const uint16_t length = Le16(e + 8), keyLength = Le16(e + 10), flags = Le16(e + 12);
    if (length < 16 || length % 8 != 0 || length > size - offset || 16u + keyLength > length)
      return Fail(kErrAttribute, "an index entry past its block");
    if (flags & kEntryLast) return 0;
    if (keyLength < 66) return Fail(kErrAttribute, "an index entry with a short key");
    const unsigned char* key = e + 16;
    const uint8_t nameLength = key[64];
    if (66u + 2u * nameLength > keyLength) return Fail(kErrAttribute, "an index entry's name past its key");
    DirectoryEntry entry;
    entry.record = Le64(e) & kRecordNumberMask;
    entry.parent = Le64(key) & kRecordNumberMask;
    entry.dataSize = Le64(key + 48);
    entry.isDirectory = (Le32(key + 56) & kFileAttributeDirectory) != 0;
    entry.nameSpace = key[65];
    entry.name = NameAt(key + 66, nameLength);
    entries.push_back(std::move(entry));
    (void)kEntryHasSubNode;
    offset += length;
  }
  return Fail(kErrAttribute, "an index without its last entry");
}

int NtfsVolume::ListDirectory(uint64_t directory, std::vector<DirectoryEntry>& entries) {
  entries.clear();
  if (!open_) return Fail(kErrNotOpen, "ListDirectory");
  const std::u16string i30 = u"$I30";
  Attribute root;
  int code = ReadAttribute(directory, kAttrIndexRoot, i30, root);
  if (code != 0) return code;
  if (!root.resident || root.value.size() < 32) return Fail(kErrAttribute, "an index root that does not hold");
  const unsigned char* v = U(root.value);
  const uint32_t blockSize = Le32(v + 8);
  const uint32_t first = Le32(v + 16), length = Le32(v + 20);
  if (first < 16 || first > length || 16u + length > root.value.size())
    return Fail(kErrAttribute, "an index root's entries past its value");
  code = ParseIndexEntries(v + 16 + first, length - first, entries);
  if (code != 0) return code;
  Attribute allocation;
  code = ReadAttribute(directory, kAttrIndexAllocation, i30, allocation);
  if (code == kErrNotFound) return 0;
  if (code != 0) return code;
  if (blockSize != indexBlockSize_) return Fail(kErrAttribute, "an index block size unlike the volume's");
  Attribute bitmap;
  std::string inUse;
  if (ReadAttribute(directory, kAttrBitmap, i30, bitmap) == 0) {
    code = ReadAttributeData(bitmap, 0, static_cast<size_t>(std::min<uint64_t>(bitmap.dataSize, 1u << 20)), inUse);
    if (code != 0) return code;
  }
  const uint64_t blocks = allocation.dataSize / blockSize;
  for (uint64_t block = 0; block < blocks; ++block) {
    if (!inUse.empty() && (block / 8 >= inUse.size() || ((inUse[block / 8] >> (block % 8)) & 1) == 0)) continue;
    std::string bytes;
    code = ReadAttributeData(allocation, block * blockSize, blockSize, bytes);
    if (code != 0) return code;
    if (bytes.size() != blockSize || std::memcmp(bytes.data(), "INDX", 4) != 0) {
      if (inUse.empty()) continue;  // without a bitmap, a block never written is no error
      return Fail(kErrAttribute, "index block " + std::to_string(block) + " has no INDX signature");
    }
    std::string reason;
    if (!ApplyFixups(bytes, reason)) return Fail(kErrAttribute, "index block " + std::to_string(block) + ": " + reason);
    const uint32_t start = Le32(U(bytes) + 24), used = Le32(U(bytes) + 28);
    if (start < 16 || start > used || 24u + used > bytes.size())
      return Fail(kErrAttribute, "index block " + std::to_string(block) + " has impossible bounds");
    code = ParseIndexEntries(U(bytes) + 24 + start, used - start, entries);
    if (code != 0) return code;
  }
  return 0;
}

int NtfsVolume::FindInDirectory(uint64_t directory, const std::u16string& name, DirectoryEntry& found) {
  std::vector<DirectoryEntry> entries;
  const int code = ListDirectory(directory, entries);
  if (code != 0) return code;
  for (const DirectoryEntry& entry : entries) {
    // A short (8.3) name is the same file again; the long one is taken.
    if (entry.nameSpace == 2) continue;
    if (SameNameIgnoringCase(entry.name, name)) {
      found = entry;
      return 0;
    }
  }
  return Fail(kErrNotFound, "no such file in the directory");
}

std::vector<std::pair<uint64_t, uint64_t>> RunsAsByteRanges(const std::vector<NtfsVolume::Run>& runs,
                                                             uint32_t clusterSize) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (const NtfsVolume::Run& run : runs) {
    if (run.sparse) continue;
    const uint64_t offset = run.lcn * clusterSize, length = run.length * clusterSize;
    if (!ranges.empty() && ranges.back().first + ranges.back().second == offset)
      ranges.back().second += length;
    else
      ranges.emplace_back(offset, length);
  }
  return ranges;
}

}  // namespace guestdisk
