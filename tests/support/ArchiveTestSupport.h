#pragma once
// Reading back what streams wrote to the lab's media agents.
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/archive/ArchiveReader.h"
#include "platform/archive/ArchiveWriter.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "support/DiskCopies.h"

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

// REQUIRES: the lab's scope. The VM's archives of every job up to `asOfJob` (0: of every job), found by
// reading every committed archive file of the lab (not by what the lab noted of the VM), each read
// whole; one that is not well formed comes with what was read of it, as the readers of backups take
// it. An archive whose beginning does not read says of no VM that it is its.
inline std::vector<archive::ArchiveContents> LabArchivesOf(const std::string& vmGuid, int64_t asOfJob) {
  std::vector<archive::ArchiveContents> archives;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(0)) {
    if (asOfJob > 0 && location.jobId > asOfJob) continue;
    archive::ArchiveContents contents;
    archive::Problem problem;
    if (!archive::ReadArchiveBegin(location.path, contents, problem) || contents.indexOnly ||
        strcasecmp(contents.vmGuid.c_str(), vmGuid.c_str()) != 0)
      continue;
    contents = archive::ArchiveContents();
    archive::ReadArchive(location.path, contents, problem);
    archives.push_back(std::move(contents));
  }
  return archives;
}

// REQUIRES: the lab's scope. Why the VM as of the job does not restore to its disks' copies in `copies`
// (testsupport::CopyDisks before the job; other VMs' are passed over): empty when the VM's chain ends
// at the job and every copied disk restores from it byte for byte. Each job stands by its latest
// attempt, as archive::JudgeJobBackup judges it for every reader of backups. `notes`: what the
// reassembly left out.
inline std::string WhyNotRestoredTo(const std::string& vmGuid, int64_t jobId, const testsupport::DiskCopies& copies,
                                    std::vector<std::string>* notes = nullptr) {
  const testsupport::DiskCopies disks = testsupport::CopiesOf(copies, vmGuid);
  if (disks.empty()) return "no copy of the VM's disks to compare with";
  archive::VMBackup backup;
  std::vector<std::string> left;
  std::string error;
  const bool reassembled = archive::ReassembleVM(LabArchivesOf(vmGuid, jobId), vmGuid, jobId, backup, left, error);
  if (notes != nullptr) *notes = left;
  if (!reassembled) return error;
  if (backup.jobs.back() != jobId) return "the VM's chain ends at job " + std::to_string(backup.jobs.back());
  std::string why;
  for (const testsupport::DiskCopy& disk : disks) {
    const auto restored = std::find_if(backup.disks.begin(), backup.disks.end(), [&](const auto& entry) {
      return strcasecmp(entry.first.c_str(), disk.BackupName().c_str()) == 0;
    });
    std::string sha;
    if (restored == backup.disks.end())
      why += " disk " + disk.BackupName() + " is not in the backup;";
    else if (!archive::HashRestoredDisk(restored->second, sha, error))
      why += " disk " + disk.BackupName() + " cannot be read back: " + error + ";";
    else if (sha != disk.sha256)
      why += " disk " + disk.BackupName() + " does not restore to its bytes before the job;";
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

// The fields of an archive's begin record of the VM in the job, as far as a writer of the oldest
// version wrote them (no process stamp, no dispatch).
inline archive::FieldWriter BeginFields(uint64_t archiveFileId, int64_t jobId, const std::string& vmGuid,
                                        uint32_t level) {
  archive::FieldWriter begin;
  begin.U32(archive::kFormatVersion);
  begin.U64(archiveFileId);
  begin.I64(jobId);
  begin.I64(0);
  begin.I64(7);
  begin.I64(11);
  begin.U32(level);
  begin.I32(3);
  begin.I32(103);
  begin.I64(1700000000);
  begin.Text(vmGuid);
  begin.Text(std::string());
  begin.Text("ma1");
  begin.Text("proxy");
  begin.Bool(false);
  return begin;
}

// Changes the byte at the offset of the file (XOR with `mask`, so it is never left as it was).
inline void FlipByte(const std::string& path, uint64_t offset, char mask = 0x5a) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  char byte = 0;
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(&byte, 1);
  byte = static_cast<char>(byte ^ mask);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(&byte, 1);
  ASSERT_TRUE(file.good()) << path << " at " << offset;
}

// The fields of a disk header record of a disk of `bytes` in extents of 8 sectors.
inline archive::FieldWriter DiskHeaderFields(const std::string& name, uint64_t bytes) {
  archive::FieldWriter header;
  header.Text(name);
  header.U64(bytes);
  header.U64(bytes);
  header.Bool(false);
  header.I32(1);
  header.U64(8);
  header.Bool(false);
  return header;
}

// REQUIRES: the lab's scope. A backup of the VM in the job on media agent "ma1" that holds a header of
// each disk named (index names below the VM) and no data: what a backup of disks of zeros leaves,
// noted for the VM.
inline void WriteBackupOfDisks(int64_t jobId, const std::string& vmGuid, uint32_t level,
                               const std::vector<std::string>& disks = {}) {
  uint64_t id = 0;
  std::string error;
  ASSERT_TRUE(lab::TakeArchiveFileId("ma1", id, error)) << error;
  ASSERT_TRUE(lab::MakeDirs(lab::MediaJobDir("ma1", jobId)));
  ASSERT_TRUE(lab::RecordVMArchiveFile("ma1", jobId, vmGuid, id, error)) << error;
  archive::ArchiveWriter writer;
  ASSERT_TRUE(writer.Create(lab::ArchiveFilePath("ma1", jobId, id), error)) << error;
  auto append = [&](archive::RecordType type, const archive::FieldWriter& fields) {
    ASSERT_TRUE(writer.Append(type, fields.Bytes(), nullptr, 0, error)) << error;
  };
  append(archive::RecordType::kArchiveBegin, BeginFields(id, jobId, vmGuid, level));
  for (const std::string& disk : disks) {
    append(archive::RecordType::kDiskHeader, DiskHeaderFields("\\" + vmGuid + "\\" + disk, 4096));
    append(archive::RecordType::kEndOfItem, EndOfItemFields(true));
  }
  archive::FieldWriter end;
  end.U64(writer.Records());
  end.U64(0);
  end.U64(0);
  append(archive::RecordType::kArchiveEnd, end);
  ASSERT_TRUE(writer.Close(error)) << error;
}

// The first item of the name; null when there is none.
inline const archive::Item* FindItem(const archive::ArchiveContents& contents, const std::string& name) {
  for (const archive::Item& item : contents.items) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

// REQUIRES: the lab's scope. The VM's committed archive of the job that holds its disk 1 and not its
// disk 0; an empty path when it has none (or the VM has fewer than two disks).
inline lab::ArchiveLocation ArchiveOfDisk1Alone(int64_t jobId, const std::string& vmName) {
  lab::VMDescription vm;
  if (!lab::FindVM(lab::SampleServer(), vmName, vm) || vm.disks.size() < 2) return lab::ArchiveLocation();
  const std::string prefix = "\\" + vm.guid + "\\";
  for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(jobId, vm.guid)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    archive::ReadArchiveStructure(location.path, contents, problem);
    if (FindItem(contents, prefix + lab::LabDiskIndexName(1, vm.disks[1].file)) != nullptr &&
        FindItem(contents, prefix + lab::LabDiskIndexName(0, vm.disks[0].file)) == nullptr)
      return location;
  }
  return lab::ArchiveLocation();
}

}  // namespace archivetest
