#pragma once
// Reading back what streams wrote to the lab's media agents.
#include <map>
#include <string>
#include <vector>

#include "platform/archive/ArchiveReader.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/LabMedia.h"

namespace archivetest {

// Every archive file of the job, read and checked; a malformed one fails the test through `problems`.
inline std::vector<archive::ArchiveContents> ReadJobArchives(int64_t jobId, std::vector<std::string>* problems) {
  std::vector<archive::ArchiveContents> all;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    if (!archive::ReadArchive(location.path, contents, problem) && problems != nullptr)
      problems->push_back(problem.Describe());
    all.push_back(contents);
  }
  return all;
}

// REQUIRES: the lab's scope. Why the VM as of the job, reassembled from every archive file of the lab,
// does not restore to the disks given (SHA-256 by the path a backup keeps each under, "\<VM GUID>\<name>";
// other VMs' are passed over); empty when each restores byte for byte. `notes` gets what the
// reassembly left out.
inline std::string WhyNotRestoredTo(int64_t jobId, const std::string& guid, const std::map<std::string, std::string>& disks,
                                    std::vector<std::string>& notes) {
  std::vector<archive::ArchiveContents> archives;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(0)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    if (!archive::ReadArchive(location.path, contents, problem)) return "malformed: " + problem.Describe();
    archives.push_back(std::move(contents));
  }
  archive::VMBackup backup;
  std::string error;
  if (!archive::ReassembleVM(archives, guid, jobId, {}, backup, notes, error)) return error;
  std::string why;
  for (const auto& disk : disks) {
    if (disk.first.compare(1, guid.size(), guid) != 0) continue;
    const auto restored = backup.disks.find(disk.first);
    std::string sha;
    if (restored == backup.disks.end())
      why += " " + disk.first + " is not restored;";
    else if (!archive::HashRestoredDisk(restored->second, sha, error) || sha != disk.second)
      why += " " + disk.first + " restores other bytes " + error + ";";
  }
  return why;
}

// The bytes an item carries (holes as zeros).
inline std::string ItemBytes(const archive::ArchiveContents& contents, const archive::Item& item) {
  archive::RestoredFile file;
  file.name = item.name;
  file.content.archivePath = contents.path;
  file.content.pieces = item.pieces;
  std::string bytes;
  std::string error;
  archive::ReadRestoredFile(file, [&](const char* data, size_t size) { return bytes.append(data, size), true; },
                            error);
  return bytes;
}

// The fields of records as a stream writes them, for archives built record by record: an extent
// item's header (no checksum, flags or cluster bitmap), a data record whose bytes all count, and an
// end of item.
inline archive::FieldWriter ExtentHeaderFields(const std::string& name, const std::string& disk, uint64_t size) {
  archive::FieldWriter fields;
  fields.Text(name);
  fields.Text(disk);
  fields.U64(size);
  fields.U64(0);
  fields.Bool(false);
  fields.I32(1);
  fields.I32(0);
  fields.U32(0);
  fields.U64(0);
  fields.Text(std::string());
  return fields;
}
inline archive::FieldWriter DataFields(uint32_t unitSize = 512) {
  archive::FieldWriter fields;
  fields.U32(unitSize);
  fields.U32(0);
  fields.Text(std::string());
  fields.Text(std::string());
  return fields;
}
inline archive::FieldWriter EndOfItemFields(bool success) {
  archive::FieldWriter fields;
  fields.Bool(success);
  fields.I32(0);
  return fields;
}

// The first item of the name; null when there is none.
inline const archive::Item* FindItem(const archive::ArchiveContents& contents, const std::string& name) {
  for (const archive::Item& item : contents.items) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

}  // namespace archivetest
