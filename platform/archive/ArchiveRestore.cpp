#include "platform/archive/ArchiveRestore.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <set>

#include "platform/index/ExtentNameConverter.h"
#include "platform/os/CPxSha256.h"
#include "platform/os/FXString.h"
#include "records/messages/IdxMetadataMessages.h"

namespace archive {
namespace {

constexpr size_t kFileChunk = 1024 * 1024;
constexpr uint32_t kDefaultUnitSize = 512;

// Removes the first element of the name (its text holds no markup: a nested one's is escaped).
void DropElement(std::string& xml, const std::string& name) {
  const size_t begin = xml.find("<" + name + ">");
  const size_t end = begin == std::string::npos ? begin : xml.find("</" + name + ">", begin);
  if (end != std::string::npos) xml.erase(begin, end + name.size() + 3 - begin);
}

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

ChainPlace ReadChainPlace(const std::string& archivePath, const std::vector<MetadataRecord>& headerMetadata) {
  using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
  ChainPlace place;
  for (const MetadataRecord& record : headerMetadata) {
    std::string xml, error;
    IdxMetadata::IdxMetaData message;
    if (!ReadMetadataText(archivePath, record, xml, error)) continue;
    // The disk's encoded volume header, by far its record's largest field, is no part of its place.
    DropElement(xml, "indexText");
    if (!message.deserialize(xml, &error)) continue;
    const VSMeta* part = message.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
    if (part == nullptr) continue;
    if (place.changeId.empty()) place.changeId = part->getstring(VSMeta::F_changeId);
    if (!place.recorded && part->getint64(VSMeta::F_diskJobId) > 0) {
      place.recorded = true;
      place.baseJob = part->getint64(VSMeta::F_baseJobId);
      place.baseChangeId = part->getstring(VSMeta::F_baseChangeId);
    }
  }
  return place;
}

namespace {

// A disk header of a job's backup of the VM, and the archive that holds it.
struct DiskHeaderOf {
  const ArchiveContents* archive = nullptr;
  const Item* item = nullptr;
};

// The VM's backups by job, judged once, as the reassembly and the walks down each disk's chain see them.
class JobBackups {
 public:
  JobBackups(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
             const BackupRecords& records, std::vector<std::string>& notes)
      : vmGuid_(vmGuid), records_(records) {
    std::map<int64_t, std::vector<const ArchiveContents*>> byJob;
    std::set<int64_t> indexOnly;
    for (const ArchiveContents& archive : archives) {
      if (!SameGuid(archive.vmGuid, vmGuid) || (asOfJob > 0 && archive.jobId > asOfJob)) continue;
      if (archive.indexOnly)
        indexOnly.insert(archive.jobId);
      else
        byJob[archive.jobId].push_back(&archive);
    }
    for (auto& job : byJob) {
      const JobBackup judged = JudgeWithoutAbsent(job.first, JudgeJobBackup(job.second));
      notes.insert(notes.end(), judged.notes.begin(), judged.notes.end());
      const std::string why = judged.Why();
      if (!why.empty()) {
        notes.push_back("job " + std::to_string(job.first) + " left out: " + why);
        damaged_[job.first] = why;
        continue;
      }
      Backup& backup = usable_[job.first];
      backup.archives = judged.archives;
      std::set<std::string> takenOff;  // the disks the standing attempt took off the VM, lower case
      for (const ArchiveContents* archive : judged.archives) {
        backup.full = backup.full || archive->backupLevel == 1;
        for (const Item& item : archive->items) {
          if (item.kind == ItemKind::kDisk) backup.disks[item.name] = DiskHeaderOf{archive, &item};
          if (item.kind == ItemKind::kFile && (item.flags & kDeletedItemFlag)) takenOff.insert(FXString::ToLower(item.name));
        }
      }
      KeepDisksOfEarlierAttempts(judged.earlier, takenOff, backup);
      links_.insert(job.first);
    }
    // A job that recorded a backup of the VM that its archives do not give is a lost backup: never
    // skipped as if the VM had failed there. One that backs the VM up without data (a snapshot, a
    // catalogue) is no link of a chain on the media.
    for (int64_t job : records.jobs)
      if (job > 0 && (asOfJob <= 0 || job <= asOfJob) && !indexOnly.count(job)) links_.insert(job);
  }

  // A job's backup of which an archive its note names is absent (never committed, or not there) lost the
  // disks that archive held. When the records say which disks the job held, it stands for those its other
  // archives hold, the others broken there (DiskFinder); else nothing tells which it lost, and it cannot
  // be used.
  JobBackup JudgeWithoutAbsent(int64_t job, const JobBackup& judged) {
    std::vector<const ArchiveContents*> present;
    std::vector<std::string> absent;
    for (const ArchiveContents* archive : judged.archives)
      if (archive->absent)
        absent.push_back(archive->malformed);
      else
        present.push_back(archive);
    std::set<std::string> recorded;
    if (absent.empty() || present.empty() || !RecordedDisks(job, recorded)) return judged;
    JobBackup rest = JudgeJobBackup(present);
    if (!rest.Usable()) return judged;
    absent_[job] = absent.front();
    rest.attempt = judged.attempt;
    rest.earlier = judged.earlier;
    rest.notes = judged.notes;
    for (const std::string& why : absent) rest.notes.push_back("archive left out of job " + std::to_string(job) + ": " + why);
    return rest;
  }

  int64_t Newest() const { return links_.empty() ? 0 : *links_.rbegin(); }
  // The newest link before the job; 0 when there is none.
  int64_t LinkBefore(int64_t job) const {
    auto found = links_.lower_bound(job);
    return found == links_.begin() ? 0 : *std::prev(found);
  }
  bool Usable(int64_t job) const { return usable_.count(job) != 0; }
  // Why a link is no usable backup: damaged, or missing.
  std::string WhyLost(int64_t job) const {
    const auto damaged = damaged_.find(job);
    return "job " + std::to_string(job) + "'s backup of the VM " +
           (damaged != damaged_.end() ? "cannot be used (" + damaged->second + ")"
                                      : std::string("is lost: no archive of it is found"));
  }
  bool Full(int64_t job) const { return Usable(job) && usable_.at(job).full; }
  // Why a usable backup lacks what an archive of it held (JudgeWithoutAbsent); empty when it lacks none.
  std::string Absent(int64_t job) const {
    const auto found = absent_.find(job);
    return found == absent_.end() ? std::string() : found->second;
  }
  // Why the job's backup lacks a disk its records name: an archive of it absent (named, with why), else
  // none of the archives noted for the VM in the job holds it.
  std::string WhyDiskLost(int64_t job) const {
    const std::string absent = Absent(job);
    return absent.empty() ? "backup of the disk is lost: the job's records name the disk, but no committed archive "
                            "noted for the VM in job " + std::to_string(job) + " holds it"
                          : "backup of the disk is lost with an archive of it: " + absent;
  }

  const std::vector<const ArchiveContents*>& Archives(int64_t job) const { return usable_.at(job).archives; }
  // The archives of earlier attempts of the job that hold a disk of its backup (KeepDisksOfEarlierAttempts).
  const std::vector<const ArchiveContents*>& EarlierArchives(int64_t job) const { return usable_.at(job).earlier; }
  const std::map<std::string, DiskHeaderOf>& Disks(int64_t job) const { return usable_.at(job).disks; }
  const DiskHeaderOf* Disk(int64_t job, const std::string& name) const {
    if (!Usable(job)) return nullptr;
    const auto found = usable_.at(job).disks.find(name);
    return found == usable_.at(job).disks.end() ? nullptr : &found->second;
  }
  // The disks the records say the job held (names below the VM, lower case); false when they do not say.
  bool RecordedDisks(int64_t job, std::set<std::string>& disks) const {
    return records_.jobs.count(job) && DisksNamedFor(job, disks);
  }
  // The same, also of a job no record says backed the VM up: what its mount took still tells a usable
  // backup of it that lacks a disk from one that never had it.
  bool DisksNamedFor(int64_t job, std::set<std::string>& disks) const {
    disks.clear();
    std::set<std::string> named;
    if (!records_.disksOf || !records_.disksOf(job, named)) return false;
    for (const std::string& name : named) disks.insert(FXString::ToLower(name));
    return true;
  }
  // "\<guid>\<name>" of a name below the VM, and back (lower case).
  std::string HeaderName(const std::string& below) const { return "\\" + vmGuid_ + "\\" + below; }
  std::string BelowVM(const std::string& header) const {
    const std::string prefix = "\\" + vmGuid_ + "\\";
    return FXString::ToLower(header.size() > prefix.size() && SameGuid(header.substr(0, prefix.size()), prefix)
                                 ? header.substr(prefix.size())
                                 : header);
  }

 private:
  struct Backup {
    std::vector<const ArchiveContents*> archives;
    std::vector<const ArchiveContents*> earlier;
    bool full = false;
    std::map<std::string, DiskHeaderOf> disks;
  };
  // A disk the standing attempt at the VM does not back up keeps the backup the latest earlier attempt
  // of the job that finished the VM made of it: a later attempt supersedes only what it backs up.
  static void KeepDisksOfEarlierAttempts(const std::vector<const ArchiveContents*>& earlier,
                                         const std::set<std::string>& takenOff, Backup& backup) {
    for (const ArchiveContents* archive : earlier) {
      bool kept = false;
      for (const Item& item : archive->items) {
        if (item.kind != ItemKind::kDisk || backup.disks.count(item.name) ||
            takenOff.count(FXString::ToLower(item.name)))
          continue;
        backup.disks[item.name] = DiskHeaderOf{archive, &item};
        kept = true;
      }
      if (kept) backup.earlier.push_back(archive);
    }
  }

  const std::string vmGuid_;
  const BackupRecords& records_;
  std::map<int64_t, Backup> usable_;
  std::map<int64_t, std::string> damaged_;
  std::map<int64_t, std::string> absent_;  // usable backups an archive of which is absent, and why
  std::set<int64_t> links_;  // usable backups, and the lost ones a record names
};

// The chain of the disk from one backup of it down to its last full backup, newest first. False with the
// link that breaks it.
bool WalkDiskChain(const JobBackups& jobs, int64_t from, const std::string& disk, ChainPlace place,
                   std::vector<int64_t>& chain, std::string& why) {
  chain.assign(1, from);
  for (int64_t link = from;;) {
    int64_t next = 0;
    std::string expected;
    if (place.recorded && place.baseJob == 0) return true;
    if (!place.recorded && jobs.Full(link)) return true;
    if (place.recorded && place.baseJob > 0) {
      next = place.baseJob;
      expected = place.baseChangeId;
    } else {
      next = jobs.LinkBefore(link);
    }
    const std::string builds = "job " + std::to_string(link) + "'s backup of the disk builds on ";
    if (next <= 0 || next >= link) {
      why = builds + (next <= 0 ? std::string("a backup no job before it holds")
                                : "job " + std::to_string(next) + ", which is not an earlier job");
      return false;
    }
    if (!jobs.Usable(next)) {
      why = jobs.WhyLost(next) + ", and " + builds + "it";
      return false;
    }
    const DiskHeaderOf* header = jobs.Disk(next, disk);
    if (header == nullptr) {
      std::set<std::string> recorded;
      const bool named = jobs.DisksNamedFor(next, recorded) && recorded.count(jobs.BelowVM(disk)) != 0;
      why = builds + "job " + std::to_string(next) +
            (!jobs.Absent(next).empty() || named ? ", whose " + jobs.WhyDiskLost(next)
                                                 : std::string(", whose backup of the VM does not hold the disk"));
      return false;
    }
    place = ReadChainPlace(header->archive->path, header->item->metadata);
    if (!expected.empty() && place.changeId != expected) {
      why = builds + "job " + std::to_string(next) + " at change id [" + expected + "], but that backup read it at [" +
            place.changeId + "]";
      return false;
    }
    chain.push_back(next);
    link = next;
  }
}

// The VM's backups from the top one down to the newest full one (any lost on the way too), newest first.
std::vector<int64_t> VMLinks(const JobBackups& jobs, int64_t top) {
  std::vector<int64_t> links;
  for (int64_t link = top; link > 0; link = jobs.LinkBefore(link)) {
    links.push_back(link);
    if (jobs.Full(link)) break;
  }
  return links;
}

// Finds every disk of the VM as of the newest of the links, each in the newest backup that holds it or
// should, and walks its chain; a disk whose newest backup is lost, or that a lost backup above its own may have
// held, is broken there.
class DiskFinder {
 public:
  DiskFinder(const JobBackups& jobs, VMBackup& backup) : jobs_(jobs), backup_(backup) {}

  void Find(const std::vector<int64_t>& links) {
    int64_t lostAbove = 0;  // the newest lost backup whose disks no record names
    for (int64_t link : links) {
      std::set<std::string> recorded;
      const bool knowsDisks = jobs_.RecordedDisks(link, recorded);
      if (!jobs_.Usable(link)) {
        if (!knowsDisks && lostAbove == 0) lostAbove = link;
        for (const std::string& name : recorded)
          if (Decide(name)) Break(jobs_.HeaderName(name), jobs_.WhyLost(link));
        continue;
      }
      for (const auto& entry : jobs_.Disks(link)) {
        if (!Decide(jobs_.BelowVM(entry.first))) continue;
        if (lostAbove != 0)
          Break(entry.first, jobs_.WhyLost(lostAbove) + ", a later backup of the VM than job " +
                                 std::to_string(link) + "'s that holds the disk");
        else
          Take(link, entry.first, entry.second);
      }
      for (const std::string& name : recorded)
        if (Decide(name)) Break(jobs_.HeaderName(name), "job " + std::to_string(link) + "'s " + jobs_.WhyDiskLost(link));
      // A disk a backup took off the VM is no disk of it before that backup either.
      for (const ArchiveContents* archive : jobs_.Archives(link))
        for (const Item& item : archive->items)
          if (item.kind == ItemKind::kFile && (item.flags & kDeletedItemFlag)) decided_.insert(jobs_.BelowVM(item.name));
    }
  }
  const std::map<std::string, std::set<int64_t>>& Chains() const { return chainOf_; }
  const std::map<std::string, uint64_t>& SectorsPerExtent() const { return sectorsPerExtent_; }

 private:
  // True the first time a disk (its name below the VM) is met, from the newest backup down.
  bool Decide(const std::string& below) { return decided_.insert(below).second; }
  void Break(const std::string& name, const std::string& why) { backup_.brokenDisks[name] = why; }
  void Take(int64_t link, const std::string& name, const DiskHeaderOf& header) {
    RestoredDisk disk;
    disk.name = name;
    disk.size = header.item->declaredSize;
    disk.headerJob = link;
    disk.headerArchive = header.archive->path;
    disk.headerMetadata = header.item->metadata;
    disk.place = ReadChainPlace(disk.headerArchive, disk.headerMetadata);
    std::vector<int64_t> chain;
    std::string why;
    if (!WalkDiskChain(jobs_, link, name, disk.place, chain, why)) {
      Break(name, why);
      return;
    }
    disk.chain.assign(chain.rbegin(), chain.rend());
    chainOf_[name].insert(chain.begin(), chain.end());
    sectorsPerExtent_[name] = header.item->sectorsPerExtent;
    backup_.disks[name] = std::move(disk);
  }

  const JobBackups& jobs_;
  VMBackup& backup_;
  std::set<std::string> decided_;
  std::map<std::string, std::set<int64_t>> chainOf_;
  std::map<std::string, uint64_t> sectorsPerExtent_;
};

// The VM's backup as of the job: the disks by their chains, and with `withBytes` the layers of every
// disk's extents and the files.
bool Assemble(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
              const BackupRecords& records, bool withBytes, VMBackup& backup, std::vector<std::string>& notes,
              std::string& error) {
  backup = VMBackup();
  backup.vmGuid = vmGuid;
  const JobBackups jobs(archives, vmGuid, asOfJob, records, notes);
  const int64_t top = jobs.Newest();
  const std::string asOf = asOfJob > 0 ? " at or before job " + std::to_string(asOfJob) : std::string();
  if (top == 0) {
    error = "no backup of VM [" + vmGuid + "]" + asOf + " can be used";
    return false;
  }
  if (!jobs.Usable(top)) {
    backup.lostJob = top;
    error = "the newest backup of VM [" + vmGuid + "]" + asOf + " is not there: " + jobs.WhyLost(top);
    return false;
  }
  const std::vector<int64_t> links = VMLinks(jobs, top);
  DiskFinder disks(jobs, backup);
  disks.Find(links);
  // Files come from every usable backup of the VM down to its newest full one, the latest of each
  // standing; a disk's extents only from the backups of its chain.
  std::set<int64_t> applied;
  for (int64_t link : links)
    if (jobs.Usable(link)) applied.insert(link);
  for (const auto& chain : disks.Chains()) applied.insert(chain.second.begin(), chain.second.end());
  backup.jobs.assign(applied.begin(), applied.end());
  if (!withBytes) return true;

  std::map<std::string, uint32_t> unitSizes;
  for (int64_t job : backup.jobs) {
    if (!jobs.Usable(job)) continue;
    std::vector<const ArchiveContents*> archivesOfJob = jobs.Archives(job);
    const size_t standing = archivesOfJob.size();
    archivesOfJob.insert(archivesOfJob.end(), jobs.EarlierArchives(job).begin(), jobs.EarlierArchives(job).end());
    for (size_t taken = 0; taken < archivesOfJob.size(); ++taken) {
      const ArchiveContents* archive = archivesOfJob[taken];
      // An earlier attempt's archive gives only the extents of the disks it stands for.
      const bool earlier = taken >= standing;
      // A collection's container lies above the containers of its files.
      std::set<std::string> containers;
      for (const Item& item : archive->items)
        if (item.kind == ItemKind::kContainer) containers.insert(item.name);
      for (const Item& item : archive->items) {
        if (earlier && item.kind != ItemKind::kExtent) continue;
        switch (item.kind) {
          case ItemKind::kExtent: {
            const auto disk = backup.disks.find(ParentOf(item.name));
            if (disk == backup.disks.end() || !disks.Chains().at(disk->first).count(job)) break;
            // Each disk's extents in a job come from the attempt whose header of it stands there.
            const DiskHeaderOf* header = jobs.Disk(job, disk->first);
            if (header == nullptr || !(AttemptOf(*header->archive) == AttemptOf(*archive))) break;
            uint64_t number = 0;
            if (!ParseExtentNumber(item.name, number)) {
              error = "cannot tell the extent number of item [" + item.name + "] in " + archive->path;
              return false;
            }
            ItemLayer layer = LayerOf(*archive, item);
            std::vector<ItemLayer>& layers = disk->second.extents[number];
            if (!layer.partial) layers.clear();
            layers.push_back(std::move(layer));
            if (job == top) ++disk->second.extentsFromLastJob;
            for (const Piece& piece : item.pieces) {
              if (piece.unitSize > 0 && !unitSizes.count(disk->first)) unitSizes[disk->first] = piece.unitSize;
            }
            break;
          }
          case ItemKind::kFile:
            if (item.flags & kDeletedItemFlag) {
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
    const auto sectors = disks.SectorsPerExtent().find(disk.name);
    if (sectors == disks.SectorsPerExtent().end() || sectors->second == 0) {
      notes.push_back("disk [" + disk.name + "] left out: no disk header gives its size and extent size");
      it = backup.disks.erase(it);
      continue;
    }
    disk.extentBytes = sectors->second * (unitSizes.count(disk.name) ? unitSizes[disk.name] : kDefaultUnitSize);
    ++it;
  }
  return true;
}

}  // namespace

bool ReassembleVM(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
                  VMBackup& backup, std::vector<std::string>& notes, std::string& error) {
  return ReassembleVM(archives, vmGuid, asOfJob, BackupRecords(), backup, notes, error);
}

bool ReassembleVM(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
                  const BackupRecords& records, VMBackup& backup, std::vector<std::string>& notes,
                  std::string& error) {
  return Assemble(archives, vmGuid, asOfJob, records, true, backup, notes, error);
}

bool JudgeVMChains(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
                   const BackupRecords& records, VMBackup& backup, std::vector<std::string>& notes,
                   std::string& error) {
  return Assemble(archives, vmGuid, asOfJob, records, false, backup, notes, error);
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
