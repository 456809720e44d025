#include "platform/lab/LabDisks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <cstring>
#include <map>

#include "platform/lab/Lab.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/os/ZtSync.h"

namespace lab {
namespace {

constexpr size_t kWriteChunk = 1024 * 1024;
// Above this a generation's ranges are not listed: the generation counts as the whole disk.
constexpr size_t kMaxGenerationText = kMaxJournalBytes / 2;

std::string Hex64(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(value));
  return text;
}

bool IsJournalId(const std::string& text) {
  if (text.size() != 16) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c)) || std::isupper(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string NewJournalId() {
  uint64_t value = 0;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0 || read(fd, &value, sizeof(value)) != static_cast<ssize_t>(sizeof(value))) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    value = (static_cast<uint64_t>(now.tv_sec) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
            (static_cast<uint64_t>(getpid()) << 16);
  }
  if (fd >= 0) close(fd);
  return Hex64(value);
}

std::string FormatRanges(const ChangeGeneration& generation) {
  if (generation.wholeDisk) return "*";
  std::string text;
  for (const ByteRange& range : generation.ranges) {
    if (!text.empty()) text += ',';
    text += std::to_string(range.first) + "+" + std::to_string(range.second);
  }
  return text;
}

bool ParseRanges(const std::string& text, ChangeGeneration& generation) {
  if (text == "*") {
    generation.wholeDisk = true;
    return true;
  }
  for (const std::string& item : labkv::SplitList(text)) {
    const size_t plus = item.find('+');
    uint64_t offset = 0, length = 0;
    if (plus == std::string::npos || !labkv::ParseUInt64(item.substr(0, plus), offset) ||
        !labkv::ParseUInt64(item.substr(plus + 1), length) || length == 0 || offset + length < offset)
      return false;
    generation.ranges.emplace_back(offset, length);
  }
  return true;
}

// splitmix64: a fast mix whose outputs for consecutive inputs look independent.
inline uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

bool WriteAllAt(int fd, const char* data, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// A path under a server's folder made only of usable names: a description cannot point elsewhere.
bool IsContainedPath(const std::string& relative) {
  if (relative.empty() || relative[0] == '/') return false;
  for (size_t start = 0; start <= relative.size();) {
    const size_t slash = std::min(relative.find('/', start), relative.size());
    if (!IsSafeComponent(relative.substr(start, slash - start))) return false;
    start = slash + 1;
  }
  return true;
}

uint64_t ImageSize(const std::string& imagePath, std::string& error) {
  struct stat status;
  if (stat(imagePath.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    error = imagePath + " is not a disk image";
    return UINT64_MAX;
  }
  return static_cast<uint64_t>(status.st_size);
}

bool IsDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c)) || std::isupper(static_cast<unsigned char>(c))) return false;
  return true;
}

// The journal's own lines before its generations.
std::string FormatJournalHead(const ChangeJournal& journal) {
  std::string text = "id=" + journal.id + "\nfirst=" + std::to_string(journal.first) +
                     "\nlast=" + std::to_string(journal.last) + "\n";
  for (const auto& digest : journal.digests)
    text += "digest." + std::to_string(digest.first) + "=" + digest.second + "\n";
  return text;
}

}  // namespace

bool LoadOrBeginJournal(const std::string& imagePath, ChangeJournal& journal, bool& begun, std::string& error) {
  begun = false;
  switch (ReadChangeJournal(imagePath, journal, error)) {
    case ReadResult::kRead: return true;
    case ReadResult::kMissing:
      journal = ChangeJournal();
      journal.id = NewJournalId();
      begun = true;
      return true;
    default: return false;
  }
}

bool ParseChangeJournal(const std::string& text, ChangeJournal& journal, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  ChangeJournal parsed;
  parsed.id = values["id"];
  if (!IsJournalId(parsed.id) || !labkv::ParseUInt64(values["first"], parsed.first) ||
      !labkv::ParseUInt64(values["last"], parsed.last) || parsed.first == 0 || parsed.first > parsed.last + 1) {
    error = "the change journal's id, first or last generation is not valid";
    return false;
  }
  for (uint64_t number = parsed.first; number <= parsed.last; ++number) {
    ChangeGeneration generation;
    generation.number = number;
    auto found = values.find("gen." + std::to_string(number));
    if (found == values.end() || !ParseRanges(found->second, generation)) {
      error = "generation " + std::to_string(number) + " of the change journal is missing or not valid";
      return false;
    }
    parsed.generations.push_back(std::move(generation));
  }
  for (const auto& value : values) {
    uint64_t number = 0;
    if (value.first.compare(0, 7, "digest.") == 0) {
      if (!labkv::ParseUInt64(value.first.substr(7), number) || !IsDigest(value.second)) {
        error = "the change journal's [" + value.first + "] is not a generation's digest";
        return false;
      }
      parsed.digests[number] = value.second;
    }
  }
  journal = std::move(parsed);
  return true;
}

std::string FormatChangeJournal(const ChangeJournal& journal) {
  std::string text = FormatJournalHead(journal);
  for (const ChangeGeneration& generation : journal.generations)
    text += "gen." + std::to_string(generation.number) + "=" + FormatRanges(generation) + "\n";
  return text;
}

std::string ChangeJournalPath(const std::string& imagePath) { return imagePath + ".changes"; }

std::string FormatChangeId(const std::string& journalId, uint64_t generation) {
  return journalId + "-" + std::to_string(generation);
}

bool ParseChangeId(const std::string& text, std::string& journalId, uint64_t& generation) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos || !IsJournalId(text.substr(0, dash)) ||
      !labkv::ParseUInt64(text.substr(dash + 1), generation))
    return false;
  journalId = text.substr(0, dash);
  return true;
}

std::string CurrentChangeId(const ChangeJournal& journal) { return FormatChangeId(journal.id, journal.last); }

ReadResult ReadChangeJournal(const std::string& imagePath, ChangeJournal& journal, std::string& error) {
  std::string text;
  const ReadResult read = ReadOptionalFile(ChangeJournalPath(imagePath), kMaxJournalBytes, text, error);
  if (read != ReadResult::kRead) return read;
  if (!ParseChangeJournal(text, journal, error)) {
    error = ChangeJournalPath(imagePath) + ": " + error;
    return ReadResult::kFailed;
  }
  return ReadResult::kRead;
}

std::string ImageChangeId(const std::string& imagePath) {
  ChangeJournal journal;
  std::string error;
  return ReadChangeJournal(imagePath, journal, error) == ReadResult::kRead ? CurrentChangeId(journal) : std::string();
}

bool ChangedSince(const ChangeJournal& journal, const std::string& changeId, std::vector<ByteRange>& ranges,
                  bool& wholeDisk, std::string& error) {
  std::string id;
  uint64_t since = 0;
  if (!ParseChangeId(changeId, id, since)) {
    error = "[" + changeId + "] is not a change id";
    return false;
  }
  if (id != journal.id) {
    error = "change id [" + changeId + "] belongs to another disk";
    return false;
  }
  if (since + 1 < journal.first || since > journal.last) {
    error = "change id [" + changeId + "] is outside the disk's tracked generations " +
            std::to_string(journal.first - 1) + " to " + std::to_string(journal.last);
    return false;
  }
  std::vector<ByteRange> changed;
  wholeDisk = false;
  for (const ChangeGeneration& generation : journal.generations) {
    if (generation.number <= since) continue;
    wholeDisk = wholeDisk || generation.wholeDisk;
    changed.insert(changed.end(), generation.ranges.begin(), generation.ranges.end());
  }
  ranges = wholeDisk ? std::vector<ByteRange>() : MergeRanges(std::move(changed));
  return true;
}

void AppendGeneration(ChangeJournal& journal, std::vector<ByteRange> ranges) {
  ChangeGeneration generation;
  generation.number = journal.last + 1;
  generation.ranges = MergeRanges(std::move(ranges));
  if (FormatRanges(generation).size() > kMaxGenerationText) {
    generation.wholeDisk = true;
    generation.ranges.clear();
  }
  journal.generations.push_back(std::move(generation));
  journal.last = journal.generations.back().number;
  // Each generation's line is measured once; the oldest go until the whole fits.
  std::vector<size_t> lines;
  size_t total = FormatJournalHead(journal).size();
  for (const ChangeGeneration& g : journal.generations) {
    lines.push_back(std::to_string(g.number).size() + FormatRanges(g).size() + 6);  // "gen." "=" "\n"
    total += lines.back();
  }
  size_t drop = 0;
  while (drop + 1 < journal.generations.size() && total > kMaxJournalBytes) total -= lines[drop++];
  journal.generations.erase(journal.generations.begin(), journal.generations.begin() + static_cast<long>(drop));
  journal.first = journal.generations.front().number;
  // A generation no change id can name any more is no snapshot's either.
  journal.digests.erase(journal.digests.begin(), journal.digests.lower_bound(journal.first - 1));
}

std::vector<ByteRange> MergeRanges(std::vector<ByteRange> ranges) {
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(), [](const ByteRange& r) { return r.second == 0; }),
               ranges.end());
  std::sort(ranges.begin(), ranges.end());
  std::vector<ByteRange> merged;
  for (const ByteRange& range : ranges) {
    if (!merged.empty() && range.first <= merged.back().first + merged.back().second) {
      const uint64_t end = std::max(merged.back().first + merged.back().second, range.first + range.second);
      merged.back().second = end - merged.back().first;
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

void FillSeeded(char* data, size_t size, uint64_t seed, uint64_t offset) {
  const uint64_t key = Mix(seed);
  while (size > 0) {
    const uint64_t word = offset / 8;
    const size_t within = static_cast<size_t>(offset % 8);
    const uint64_t value = Mix(key ^ word);
    if (within == 0 && size >= 8) {
      std::memcpy(data, &value, 8);
      data += 8;
      offset += 8;
      size -= 8;
      continue;
    }
    const size_t take = std::min(size, 8 - within);
    std::memcpy(data, reinterpret_cast<const char*>(&value) + within, take);
    data += take;
    offset += take;
    size -= take;
  }
}

bool WriteDiskRanges(const std::string& imagePath, const std::vector<ByteRange>& ranges, bool useSeed, uint64_t seed,
                     std::string& changeId, std::string& error) {
  FileLock lock(imagePath);
  if (!lock.Held()) {
    error = "cannot lock " + imagePath;
    return false;
  }
  const uint64_t size = ImageSize(imagePath, error);
  if (size == UINT64_MAX) return false;
  for (const ByteRange& range : ranges) {
    if (range.second == 0 || range.first > size || range.second > size - range.first) {
      error = "the range " + std::to_string(range.first) + "+" + std::to_string(range.second) +
              " is not within the disk's " + std::to_string(size) + " bytes";
      return false;
    }
  }
  ChangeJournal journal;
  bool begun = false;
  if (!LoadOrBeginJournal(imagePath, journal, begun, error)) return false;
  // What the snapshots still taken of the image, and the digest of the generation being left, need of
  // the old bytes is kept before anything changes them.
  if (!KeepForSnapshots(imagePath, journal, ranges, error)) return false;
  AppendGeneration(journal, ranges);
  // The change is recorded before the bytes change: a write that does not finish costs the next
  // incremental a needless read, never a missed change.
  if (!WriteFileAtomic(ChangeJournalPath(imagePath), FormatChangeJournal(journal), error)) return false;
  const uint64_t fill = useSeed ? seed : journal.last;
  int fd = open(imagePath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + imagePath + ": " + std::strerror(errno);
    return false;
  }
  std::vector<char> chunk(kWriteChunk);
  bool ok = true;
  bool partDone = false;
  for (const ByteRange& range : ranges) {
    for (uint64_t done = 0; ok && done < range.second;) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(kWriteChunk, range.second - done));
      FillSeeded(chunk.data(), piece, fill, range.first + done);
      ok = WriteAllAt(fd, chunk.data(), piece, range.first + done);
      done += piece;
      if (ok && !partDone) {
        partDone = true;
        const SnapshotRaceHooksForTest* hooks = SnapshotRaceHooks();
        if (hooks != nullptr && hooks->writePartDone) hooks->writePartDone();
      }
    }
  }
  if (ok) ok = ZtSyncFileData(fd) == 0;
  if (!ok) error = "cannot write " + imagePath + ": " + std::strerror(errno);
  close(fd);
  if (ok) changeId = CurrentChangeId(journal);
  return ok;
}

uint64_t SpreadBytes(uint64_t diskBytes, uint32_t percent) {
  percent = std::min<uint32_t>(percent, 100);
  const uint64_t exact = (diskBytes / 100) * percent + (diskBytes % 100) * percent / 100;
  const uint64_t sectors = (exact + kSpreadSectorBytes - 1) / kSpreadSectorBytes * kSpreadSectorBytes;
  return std::min(diskBytes, sectors);
}

std::vector<ByteRange> SpreadRanges(uint64_t diskBytes, uint32_t percent) {
  std::vector<ByteRange> ranges;
  if (percent == 0 || diskBytes == 0) return ranges;
  percent = std::min<uint32_t>(percent, 100);
  const uint64_t wanted = SpreadBytes(diskBytes, percent);
  const uint64_t slots = (diskBytes + kSpreadChunkBytes - 1) / kSpreadChunkBytes;
  const uint64_t count = std::min<uint64_t>(slots, std::max<uint64_t>(1, (wanted + kSpreadChunkBytes - 1) / kSpreadChunkBytes));
  uint64_t left = wanted;
  for (uint64_t i = 0; i < count && left > 0; ++i) {
    // Slot i of `count` spread over `slots`: distinct slots, the first at the start of the disk; the
    // last chunk takes what is left, so the write covers what was asked and no more.
    const uint64_t slot = i * slots / count;
    const uint64_t offset = slot * kSpreadChunkBytes;
    const uint64_t length = std::min({kSpreadChunkBytes, diskBytes - offset, left});
    ranges.emplace_back(offset, length);
    left -= length;
  }
  return ranges;
}

namespace {

// The first of the lab's servers on which `find` finds the VM.
template <typename Found>
bool FindOnAnyServer(bool (*find)(const std::string&, const std::string&, Found&), const std::string& nameOrGuid,
                     std::string& server, Found& vm) {
  for (const std::string& candidate : ListServers()) {
    if (!find(candidate, nameOrGuid, vm)) continue;
    server = candidate;
    return true;
  }
  return false;
}

}  // namespace

bool FindLabVM(const std::string& nameOrGuid, std::string& server, VMDescription& vm) {
  return FindOnAnyServer<VMDescription>(FindVM, nameOrGuid, server, vm);
}

bool FindUnreadableLabVM(const std::string& nameOrGuid, std::string& server, UnreadableVM& vm) {
  return FindOnAnyServer<UnreadableVM>(FindUnreadableVM, nameOrGuid, server, vm);
}

bool FindVMDisk(const std::string& vm, const std::string& disk, VMDiskRef& ref, std::string& error) {
  VMDiskRef found;
  UnreadableVM unreadable;
  if (!FindLabVM(vm, found.server, found.vm)) {
    error = FindUnreadableLabVM(vm, found.server, unreadable) ? unreadable.Text() : "the lab has no VM [" + vm + "]";
    return false;
  }
  const std::vector<VMDisk>& disks = found.vm.disks;
  int64_t number = -1;
  bool byVolume = false;
  for (size_t i = 0; i < disks.size() && number < 0; ++i) {
    const std::string& file = disks[i].file;
    const std::string base = file.substr(file.rfind('/') == std::string::npos ? 0 : file.rfind('/') + 1);
    if (base == disk || LabDiskIndexName(i, file) == disk) {
      number = static_cast<int64_t>(i);
    } else if (IsLabDiskNamed(found.vm.guid, i, file, disk)) {
      number = static_cast<int64_t>(i);
      byVolume = true;
    }
  }
  if (number < 0 && !labkv::ParseInt64InRange(disk, 0, static_cast<int64_t>(disks.size()) - 1, number)) {
    error = "VM [" + vm + "] has no disk [" + disk +
            "] (give its number from 0, its image's file name, its index name or its volume's name)";
    return false;
  }
  found.position = static_cast<size_t>(number);
  const VMDisk& chosen = disks[found.position];
  if (!IsContainedPath(chosen.file)) {
    error = "disk image [" + chosen.file + "] of VM [" + vm + "] is not a path under its server";
    return false;
  }
  found.imagePath = DiskImagePath(found.server, chosen.file);
  found.indexName = byVolume ? LabVolumeBackupName(found.vm.guid, found.position)
                             : LabDiskIndexName(found.position, chosen.file);
  found.sizeBytes = chosen.sizeBytes;
  ref = found;
  return true;
}

bool FindVMDiskImage(const std::string& vm, const std::string& disk, std::string& imagePath, uint64_t& sizeBytes,
                     std::string& error) {
  VMDiskRef ref;
  if (!FindVMDisk(vm, disk, ref, error)) return false;
  imagePath = ref.imagePath;
  sizeBytes = ref.sizeBytes;
  return true;
}

uint64_t FolderBytes(const std::string& folder) {
  uint64_t bytes = 0;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    std::error_code statError;
    if (it->is_regular_file(statError) && !it->is_symlink(statError)) bytes += it->file_size(statError);
  }
  return bytes;
}

bool FindVMCollectionFolder(const std::string& vm, const std::string& collection, std::string& folder,
                            std::string& error) {
  for (const std::string& server : ListServers()) {
    VMDescription description;
    if (!FindVM(server, vm, description)) continue;
    for (const VMCollection& candidate : description.collections) {
      const size_t slash = candidate.folder.rfind('/');
      const std::string name = slash == std::string::npos ? candidate.folder : candidate.folder.substr(slash + 1);
      if (name != collection) continue;
      if (!IsContainedPath(candidate.folder)) {
        error = "file collection [" + candidate.folder + "] of VM [" + vm + "] is not a path under its server";
        return false;
      }
      folder = DiskImagePath(server, candidate.folder);
      return true;
    }
    error = "VM [" + vm + "] has no file collection [" + collection + "]";
    return false;
  }
  error = "the lab has no VM [" + vm + "]";
  return false;
}

}  // namespace lab
