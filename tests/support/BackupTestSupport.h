#pragma once
// Backups as tests write them and read them back: a full backup written as a job's worker would write
// it, and a VM's disks as the readers of backups restore them, beside its disks as they are.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/archive/ArchiveRestore.h"
#include "platform/archive/vsArchive.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabMount.h"
#include "records/messages/IdxMetadataMessages.h"
#include "support/TestLab.h"

namespace archivetest {

// REQUIRES: the lab's scope. The bytes of each disk the lab's VM has now, by the name it is backed up
// under: what a test keeps before a job to hold the job's backup to.
inline std::map<std::string, std::string> DisksNow(const std::string& vm) {
  std::map<std::string, std::string> disks;
  lab::VMDescription description;
  if (!lab::FindVM(lab::SampleServer(), vm, description)) return disks;
  for (size_t i = 0; i < description.disks.size(); ++i)
    if (!description.disks[i].deleted)
      disks[lab::LabDiskIndexName(i, description.disks[i].file)] =
          testsupport::ReadDisk(lab::DiskImagePath(lab::SampleServer(), description.disks[i].file));
  return disks;
}

// REQUIRES: the lab's scope. Why the VM as of the job does not restore to `disks` (DisksNow before the
// job); empty when every one of them restores byte for byte from a chain that ends at the job.
// `notes`: what the reassembly left out.
inline std::string WhyNotRestoredTo(const std::string& vmGuid, int64_t jobId,
                                    const std::map<std::string, std::string>& disks,
                                    std::vector<std::string>* notes = nullptr) {
  const std::vector<archive::ArchiveContents> archives = lab::ReadVMArchives(vmGuid, jobId);
  archive::VMBackup backup;
  std::vector<std::string> left;
  std::string error, why;
  const bool reassembled = archive::ReassembleVM(archives, vmGuid, jobId, {}, backup, left, error);
  if (notes != nullptr) *notes = left;
  if (!reassembled) return error;
  if (backup.jobs.back() != jobId) return "the chain ends at job " + std::to_string(backup.jobs.back());
  for (const auto& disk : disks) {
    const auto restored = backup.disks.find("\\" + vmGuid + "\\" + disk.first);
    std::string bytes;
    if (restored == backup.disks.end() ||
        !archive::ReadRestoredDisk(restored->second, [&](const char* data, size_t size) {
          return bytes.append(data, size), true;
        }, error) || bytes != disk.second)
      why += " disk " + disk.first + " does not restore to its bytes before the job;";
  }
  return why;
}

struct BackedUpDisk {
  std::string indexName;
  std::string image;  // the disk image as the job reads it
};

// Sends a disk's bytes (whole sectors) as one extent item, then opens the disk's header item for the
// caller to end.
inline void SendDiskAsOneExtent(vsArchive& stream, const std::string& vmGuid, const std::string& indexName,
                                const std::string& bytes) {
  const std::string name = "\\" + vmGuid + "\\" + indexName;
  ASSERT_EQ(0, stream.sendExtentHeader(name + "\\Extent0", indexName, bytes.size(), 0, false, 1, 0, 0, 0, nullptr));
  ASSERT_EQ(0, stream.sendExtentData(bytes.data(), bytes.size(), {}, 512, nullptr));
  ASSERT_EQ(0, stream.sendEOF(true, 0));
  ASSERT_EQ(0, stream.sendDiskHeader(name, bytes.size(), bytes.size(), false, 1, bytes.size() / 512, false));
}

// REQUIRES: the job manager names the job and its media agent.
inline void WriteFullBackup(vsJobMgr& job, const std::string& vmGuid, const std::vector<BackedUpDisk>& disks) {
  using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
  vsArchive stream(&job, nullptr, nullptr, "km");
  ASSERT_EQ(0, stream.init(true));
  ASSERT_EQ(0, stream.createArchiveFile(vmGuid, job.getJobId(), 7, 1, "", 1));
  for (const BackedUpDisk& disk : disks) {
    const std::string bytes = testsupport::ReadDisk(disk.image);
    ASSERT_EQ(0u, bytes.size() % 512) << disk.image;
    ASSERT_NO_FATAL_FAILURE(SendDiskAsOneExtent(stream, vmGuid, disk.indexName, bytes));
    IdxMetadata::IdxMetaData metadata;
    metadata.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, true)
        ->setstring(VSMeta::F_changeId, lab::ImageChangeId(disk.image));
    ASSERT_EQ(0, stream.sendVSIdxDiskMetadata(metadata));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
  }
  ASSERT_EQ(0, stream.sendFileHeader("\\" + vmGuid, 0, 0, true, false, false, 1, 0, 0, 0, false, true, false));
  ASSERT_EQ(0, stream.sendEOF(true, 0));
  ASSERT_EQ(0, stream.closeArchiveFile());
}

}  // namespace archivetest
