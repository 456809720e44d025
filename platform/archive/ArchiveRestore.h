#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/archive/ArchiveReader.h"

// Reassembles a VM's files and disks from its archive files: each disk from the backup of the job asked
// for (the newest backup of the VM at or before it) down its chain to the disk's last full backup, each
// backup applied over the one before.
//
// A disk's chain is whole or it is not. Each backup of a disk records the job whose backup it builds on
// and the change id of the disk there (the index metadata of its disk header: a disk backed up whole
// builds on none); a backup of an older writer that recorded none builds on the backup of the VM before
// it. Every link must be a job backup of the VM that can be used (JudgeJobBackup), hold the disk, and
// have read it at the change id the later backup built on; a job that recorded a backup of the VM
// elsewhere (the job manager, the index) but whose archives of it are missing or damaged is such a
// link too. A disk whose chain breaks is not restored: the break is named instead.
//
// A disk is the set of extent items whose names lie under the disk's header name ("\<guid>\<disk>"),
// sized by the disk header of the latest backup that sent it. An extent's bytes lie at its number
// times the extent size (sectors per extent of the disk header times the unit size of its data, 512
// bytes when it sent none); an extent a backup does not send is unchanged since the backup before; an
// extent no backup sent reads as zeros. Data with change bits replaces only the units whose bit is
// set. A file is the data of its latest file item. A file header flagged deleted (0x20000000000)
// removes the disk or file of its name. A file of a collection (a container item below another
// container of its archive) is restored as its latest backup sent it, an empty one too; a collection
// is backed up by modification time, so a file deleted after a backup of the chain is restored too.
namespace archive {

constexpr uint64_t kDeletedItemFlag = 0x20000000000ULL;

// The content of one item as one backup sent it.
struct ItemLayer {
  std::string archivePath;
  int64_t jobId = 0;
  uint64_t length = 0;
  std::vector<Piece> pieces;
  bool partial = false;  // some data carries change bits: the layers below still count
};

struct RestoredFile {
  std::string name;
  ItemLayer content;
};

// Where one backup of a disk stands in the disk's chain, as the index metadata of its disk header
// records it; `recorded` is false for a writer that did not record it.
struct ChainPlace {
  bool recorded = false;  // by a writer that names the job of each backup of a disk
  int64_t baseJob = 0;       // 0: the disk was backed up whole; -1: it builds on a backup it does not name
  std::string baseChangeId;  // the change id of the disk in the backup it builds on
  std::string changeId;      // the change id this backup read the disk at
};
// The place recorded by the disk header's index metadata records in the archive file. Records that
// cannot be read, or that carry none, leave `place` not recorded (the change id is taken where given).
ChainPlace ReadChainPlace(const std::string& archivePath, const std::vector<MetadataRecord>& headerMetadata);

struct RestoredDisk {
  std::string name;  // the disk header name
  uint64_t size = 0;
  uint64_t extentBytes = 0;
  int64_t headerJob = 0;  // the backup whose disk header gave the size
  std::string headerArchive;                    // the archive file of that disk header
  std::vector<MetadataRecord> headerMetadata;  // the disk header's index metadata records there
  ChainPlace place;                            // of that backup of the disk
  std::vector<int64_t> chain;                  // the jobs its bytes come from, the full backup first
  // Per extent number, the layers that make it, oldest first.
  std::map<uint64_t, std::vector<ItemLayer>> extents;
  uint64_t extentsFromLastJob = 0;
};

struct VMBackup {
  std::string vmGuid;
  std::vector<int64_t> jobs;  // every job the backup is made of, the job asked for last
  std::map<std::string, RestoredFile> files;
  bool collectionFiles = false;  // some files are files of collections
  std::map<std::string, RestoredDisk> disks;
  // Disks of the job's backup whose chain is broken, by disk header name: why (the job that breaks it).
  std::map<std::string, std::string> brokenDisks;
  // When the VM's newest backup is lost or damaged: its job (nothing else is then reassembled).
  int64_t lostJob = 0;
};

// The extent number of an extent item's name: "...\Extent<decimal>", or a fixed-length name
// (platform/index/ExtentNameConverter.h).
bool ParseExtentNumber(const std::string& name, uint64_t& number);

// What records beside a VM's archives say of its backups: the jobs that recorded one (the job manager's
// records, the index), and for a job the index knows, the disks it recorded (their names below the VM,
// any case; false when it does not know the job's disks).
struct BackupRecords {
  std::set<int64_t> jobs;
  std::function<bool(int64_t job, std::set<std::string>& disks)> disksOf;
};

// The VM's backup as of `asOfJob` (0: the latest) from its archives (ReadArchive or ReadArchiveStructure;
// those not well formed with what was read of them). Each job stands by the attempt JudgeJobBackup
// takes; a job whose backup of the VM it finds unusable is left out, unless `records` names it: then it
// is a backup that is lost, and breaks every chain that runs through it (a disk the records say it held,
// or any disk when they do not say). A disk stands as the newest backup of the VM at or before the job
// holds it, down to the newest full backup, unless a later one deleted it. Each archive and job left
// out is named in `notes`, each disk whose chain breaks in `backup.brokenDisks`. False with the reason
// when there is no backup of the VM at or before the job, when the newest one is lost or damaged, or
// when an extent name cannot be read.
bool ReassembleVM(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
                  const BackupRecords& records, VMBackup& backup, std::vector<std::string>& notes,
                  std::string& error);
bool ReassembleVM(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
                  VMBackup& backup, std::vector<std::string>& notes, std::string& error);
// The same without the bytes: which backups the VM's backup as of the job is made of, and which disks'
// chains break (`backup`'s disks carry their chains and sizes, no extents, and it has no files).
bool JudgeVMChains(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
                   const BackupRecords& records, VMBackup& backup, std::vector<std::string>& notes,
                   std::string& error);

// The restored bytes of a disk or a file, in order, in chunks of at most an extent (files: 1 MiB) to
// `sink`; a false from the sink stops the read. False with the reason.
using ByteSink = std::function<bool(const char* data, size_t size)>;
bool ReadRestoredDisk(const RestoredDisk& disk, const ByteSink& sink, std::string& error);
bool ReadRestoredFile(const RestoredFile& file, const ByteSink& sink, std::string& error);
// SHA-256 (lower-case hex) of the restored bytes.
bool HashRestoredDisk(const RestoredDisk& disk, std::string& hex, std::string& error);
bool HashRestoredFile(const RestoredFile& file, std::string& hex, std::string& error);

}  // namespace archive
