#pragma once
// A full backup of a VM's disks written by a test as a job's worker would write it, for the code that
// reads backups back (restores, the stub's check) to find: one archive file on the job's media agent
// with each disk as one extent item of its whole bytes, and its disk header item with the index
// metadata that names the change id the backup read.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/archive/vsArchive.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabDisks.h"
#include "records/messages/IdxMetadataMessages.h"
#include "support/TestLab.h"

namespace archivetest {

struct BackedUpDisk {
  std::string indexName;
  std::string image;  // the disk image as the job reads it
};

// REQUIRES: the job manager names the job and its media agent.
inline void WriteFullBackup(vsJobMgr& job, const std::string& vmGuid, const std::vector<BackedUpDisk>& disks) {
  using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
  vsArchive stream(&job, nullptr, nullptr, "km");
  ASSERT_EQ(0, stream.init(true));
  ASSERT_EQ(0, stream.createArchiveFile(vmGuid, job.getJobId(), 7, 1, "", 1));
  for (const BackedUpDisk& disk : disks) {
    const std::string bytes = testsupport::ReadDisk(disk.image);
    ASSERT_EQ(0u, bytes.size() % 512) << disk.image;
    const std::string name = "\\" + vmGuid + "\\" + disk.indexName;
    ASSERT_EQ(0, stream.sendExtentHeader(name + "\\Extent0", disk.indexName, bytes.size(), 0, false, 1, 0, 0, 0,
                                         nullptr));
    ASSERT_EQ(0, stream.sendExtentData(bytes.data(), bytes.size(), {}, 512, nullptr));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
    ASSERT_EQ(0, stream.sendDiskHeader(name, bytes.size(), bytes.size(), false, 1, bytes.size() / 512, false));
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
