#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/archive/ArchiveReader.h"

// Reassembles a VM's files and disks from its archive files: the last full backup at or before a job
// and every later backup up to that job, each applied over the one before.
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

struct RestoredDisk {
  std::string name;  // the disk header name
  uint64_t size = 0;
  uint64_t extentBytes = 0;
  int64_t headerJob = 0;  // the backup whose disk header gave the size
  std::string headerArchive;                    // the archive file of that disk header
  std::vector<MetadataRecord> headerMetadata;  // the disk header's index metadata records there
  // Per extent number, the layers that make it, oldest first.
  std::map<uint64_t, std::vector<ItemLayer>> extents;
  uint64_t extentsFromLastJob = 0;
};

struct VMBackup {
  std::string vmGuid;
  std::vector<int64_t> jobs;  // the full backup first, then the backups applied over it
  std::map<std::string, RestoredFile> files;
  bool collectionFiles = false;  // some files are files of collections
  std::map<std::string, RestoredDisk> disks;
};

// The extent number of an extent item's name: "...\Extent<decimal>", or a fixed-length name
// (platform/index/ExtentNameConverter.h).
bool ParseExtentNumber(const std::string& name, uint64_t& number);

// The VM's backup as of `asOfJob` (0: the latest) from its archives (ReadArchive; those not well
// formed with what was read of them). Each job stands by the attempt JudgeJobBackup takes, and a job
// whose backup of the VM it finds unusable is left out of the chain. Each archive and job left out is
// named in `notes`. False with the reason when there is no full backup to start from or an extent name
// cannot be read.
bool ReassembleVM(const std::vector<ArchiveContents>& archives, const std::string& vmGuid, int64_t asOfJob,
                  VMBackup& backup, std::vector<std::string>& notes, std::string& error);

// The restored bytes of a disk or a file, in order, in chunks of at most an extent (files: 1 MiB) to
// `sink`; a false from the sink stops the read. False with the reason.
using ByteSink = std::function<bool(const char* data, size_t size)>;
bool ReadRestoredDisk(const RestoredDisk& disk, const ByteSink& sink, std::string& error);
bool ReadRestoredFile(const RestoredFile& file, const ByteSink& sink, std::string& error);
// SHA-256 (lower-case hex) of the restored bytes.
bool HashRestoredDisk(const RestoredDisk& disk, std::string& hex, std::string& error);
bool HashRestoredFile(const RestoredFile& file, std::string& hex, std::string& error);

}  // namespace archive
