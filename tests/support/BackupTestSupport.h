#pragma once
// Backups as tests write them: a full backup written as a job's worker would write it.
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
