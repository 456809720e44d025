#include "platform/archive/ArchiveRestore.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/index/ExtentNameConverter.h"
#include "platform/os/CPxSha256.h"

namespace archive {
namespace {

constexpr size_t kFileChunk = 1024 * 1024;
constexpr uint32_t kDefaultUnitSize = 512;

bool SameGuid(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string ParentOf(const std::string& name) {
  const size_t slash = name.rfind('\\');
  return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

ItemLayer LayerOf(const ArchiveContents& archive, const Item& item) {
  ItemLayer layer;
  layer.archivePath = archive.path;
  layer.jobId = archive.jobId;
  layer.length = item.declaredSize;
  layer.pieces = item.pieces;
  for (const Piece& piece : item.pieces) layer.partial = layer.partial || piece.changeBitCount > 0;
  return layer;
}

// Open archive files of one read, each opened once.
class Sources {
 public:
  ~Sources() {
    for (auto& open : fds_) close(open.second);
  }
  bool Read(const std::string& path, uint64_t offset, char* into, size_t count, std::string& error) {
    auto found = fds_.find(path);
    if (found == fds_.end()) {
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
      }
      found = fds_.emplace(path, fd).first;
    }
    while (count > 0) {
      ssize_t n = pread(found->second, into, count, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = "cannot read " + path + " at offset " + std::to_string(offset) +
                (n < 0 ? std::string(": ") + std::strerror(errno) : std::string(": the file is shorter"));
        return false;
      }
      into += n;
      offset += static_cast<uint64_t>(n);
      count -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  std::map<std::string, int> fds_;
};

// Lays one layer over the bytes of an item slot of `size` bytes.
bool ApplyLayer(const ItemLayer& layer, char* slot, uint64_t size, Sources& sources, std::vector<char>& scratch,
                std::string& error) {
  for (const Piece& piece : layer.pieces) {
    if (piece.itemOffset >= size) continue;
    const uint64_t length = std::min<uint64_t>(piece.length, size - piece.itemOffset);
    char* at = slot + piece.itemOffset;
    if (piece.hole) {
      std::memset(at, 0, length);
    } else if (piece.changeBitCount == 0) {
      if (!sources.Read(layer.archivePath, piece.fileOffset, at, length, error)) return false;
    } else {
      scratch.resize(length);
      if (!sources.Read(layer.archivePath, piece.fileOffset, scratch.data(), length, error)) return false;
      const uint64_t unit = piece.unitSize > 0 ? piece.unitSize : kDefaultUnitSize;
      for (uint64_t bit = 0; bit < piece.changeBitCount && bit * unit < length; ++bit) {
        if (!BitAt(piece.changeBits, bit)) continue;
        const uint64_t first = bit * unit;
        std::memcpy(at + first, scratch.data() + first, std::min(unit, length - first));
      }
    }
  }
  return true;
}

}  // namespace

bool ParseExtentNumber(const std::string& name, uint64_t& number) {
  const size_t slash = name.rfind('\\');
  const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
  static const std::string kPrefix = "Extent";
  if (last.size() > kPrefix.size() && last.compare(0, kPrefix.size(), kPrefix) == 0) {
    uint64_t value = 0;
    for (size_t i = kPrefix.size(); i < last.size(); ++i) {
      if (last[i] < '0' || last[i] > '9' || __builtin_mul_overflow(value, 10u, &value) ||
          __builtin_add_overflow(value, static_cast<uint64_t>(last[i] - '0'), &value))
        return false;
    }
    number = value;
    return true;
  }
  return ExtentNameConverter::Extent_base32_to_dec(last, number);
}

bool ReassembleVM(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
                  VMBackup& backup, std::vector<std::string>& notes, std::string& error) {
  backup = VMBackup();
  backup.vmGuid = vmGuid;
  std::map<int64_t, std::vector<const ArchiveContents*>> byJob;
  for (const ArchiveContents& archive : archives) {
    if (archive.indexOnly || !SameGuid(archive.vmGuid, vmGuid) || (asOfJob > 0 && archive.jobId > asOfJob)) continue;
    byJob[archive.jobId].push_back(&archive);
  }
  // Each job by the attempt that stands for it; a job whose backup of the VM cannot be used is no
  // base for anything after it.
  std::map<int64_t, bool> usable;  // job -> full
  for (auto& job : byJob) {
    const JobBackup judged = JudgeJobBackup(job.second);
    notes.insert(notes.end(), judged.notes.begin(), judged.notes.end());
    const std::string why = judged.Why();
    job.second = judged.archives;
    if (!why.empty()) {
      notes.push_back("job " + std::to_string(job.first) + " left out: " + why);
      continue;
    }
    usable[job.first] = std::any_of(job.second.begin(), job.second.end(),
                                    [](const ArchiveContents* archive) { return archive->backupLevel == 1; });
  }
  int64_t fullJob = 0;
  for (const auto& job : usable) {
    if (job.second) fullJob = job.first;
  }
  if (fullJob == 0) {
    error = "no complete full backup of VM [" + vmGuid + "]" +
            (asOfJob > 0 ? " at or before job " + std::to_string(asOfJob) : std::string());
    return false;
  }
  for (const auto& job : usable) {
    if (job.first >= fullJob) backup.jobs.push_back(job.first);
  }

  std::map<std::string, uint32_t> unitSizes;
  std::map<std::string, uint64_t> sectorsPerExtent;
  for (int64_t job : backup.jobs) {
    const bool last = job == backup.jobs.back();
    for (const ArchiveContents* archive : byJob[job]) {
      // A collection's container lies above the containers of its files.
      std::set<std::string> containers;
      for (const Item& item : archive->items)
        if (item.kind == ItemKind::kContainer) containers.insert(item.name);
      for (const Item& item : archive->items) {
        switch (item.kind) {
          case ItemKind::kExtent: {
            uint64_t number = 0;
            if (!ParseExtentNumber(item.name, number)) {
              error = "cannot tell the extent number of item [" + item.name + "] in " + archive->path;
              return false;
            }
            RestoredDisk& disk = backup.disks[ParentOf(item.name)];
            disk.name = ParentOf(item.name);
            ItemLayer layer = LayerOf(*archive, item);
            std::vector<ItemLayer>& layers = disk.extents[number];
            if (!layer.partial) layers.clear();
            layers.push_back(std::move(layer));
            if (last) ++disk.extentsFromLastJob;
            for (const Piece& piece : item.pieces) {
              if (piece.unitSize > 0 && !unitSizes.count(disk.name)) unitSizes[disk.name] = piece.unitSize;
            }
            break;
          }
          case ItemKind::kDisk: {
            RestoredDisk& disk = backup.disks[item.name];
            disk.name = item.name;
            disk.size = item.declaredSize;
            disk.headerJob = job;
            disk.headerArchive = archive->path;
            disk.headerMetadata = item.metadata;
            sectorsPerExtent[item.name] = item.sectorsPerExtent;
            break;
          }
          case ItemKind::kFile:
            if (item.flags & kDeletedItemFlag) {
              backup.disks.erase(item.name);
              backup.files.erase(item.name);
            } else {
              backup.files[item.name] = RestoredFile{item.name, LayerOf(*archive, item)};
            }
            break;
          case ItemKind::kContainer:
            // A file of a collection, an empty one too; the collection's own container is no file.
            if (containers.count(ParentOf(item.name))) backup.collectionFiles = true;
            if (!item.pieces.empty() || containers.count(ParentOf(item.name)))
              backup.files[item.name] = RestoredFile{item.name, LayerOf(*archive, item)};
            break;
          default:
            break;
        }
      }
    }
  }
  for (auto it = backup.disks.begin(); it != backup.disks.end();) {
    RestoredDisk& disk = it->second;
    const uint64_t sectors = sectorsPerExtent.count(disk.name) ? sectorsPerExtent[disk.name] : 0;
    if (disk.headerJob == 0 || sectors == 0) {
      notes.push_back("disk [" + disk.name + "] left out: no disk header gives its size and extent size");
      it = backup.disks.erase(it);
      continue;
    }
    disk.extentBytes = sectors * (unitSizes.count(disk.name) ? unitSizes[disk.name] : kDefaultUnitSize);
    ++it;
  }
  return true;
}

bool ReadRestoredDisk(const RestoredDisk& disk, const ByteSink& sink, std::string& error) {
  if (disk.extentBytes == 0 || disk.extentBytes > kMaxPayloadBytes) {
    error = "disk [" + disk.name + "] has no usable extent size";
    return false;
  }
  Sources sources;
  std::vector<char> slot(static_cast<size_t>(std::min(disk.extentBytes, std::max<uint64_t>(disk.size, 1))));
  std::vector<char> scratch;
  for (uint64_t offset = 0, number = 0; offset < disk.size; offset += disk.extentBytes, ++number) {
    const uint64_t length = std::min(disk.extentBytes, disk.size - offset);
    std::memset(slot.data(), 0, length);
    auto found = disk.extents.find(number);
    if (found != disk.extents.end()) {
      for (const ItemLayer& layer : found->second) {
        if (!ApplyLayer(layer, slot.data(), length, sources, scratch, error)) return false;
      }
    }
    if (!sink(slot.data(), length)) {
      error = "the restored bytes were refused";
      return false;
    }
  }
  return true;
}

bool ReadRestoredFile(const RestoredFile& file, const ByteSink& sink, std::string& error) {
  Sources sources;
  std::vector<char> chunk;
  for (const Piece& piece : file.content.pieces) {
    for (uint64_t done = 0; done < piece.length;) {
      const size_t length = static_cast<size_t>(std::min<uint64_t>(kFileChunk, piece.length - done));
      chunk.assign(length, 0);
      if (!piece.hole && !sources.Read(file.content.archivePath, piece.fileOffset + done, chunk.data(), length, error))
        return false;
      if (!sink(chunk.data(), length)) {
        error = "the restored bytes were refused";
        return false;
      }
      done += length;
    }
  }
  return true;
}

bool HashRestoredDisk(const RestoredDisk& disk, std::string& hex, std::string& error) {
  CPxSha256 sha;
  if (!ReadRestoredDisk(disk, [&](const char* data, size_t size) { return sha.Update(data, size), true; }, error))
    return false;
  hex = sha.FinalHex();
  return true;
}

bool HashRestoredFile(const RestoredFile& file, std::string& hex, std::string& error) {
  CPxSha256 sha;
  if (!ReadRestoredFile(file, [&](const char* data, size_t size) { return sha.Update(data, size), true; }, error))
    return false;
  hex = sha.FinalHex();
  return true;
}

}  // namespace archive
