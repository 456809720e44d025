// The index metadata a worker sends for a VM and its items, the metadata files it writes, and the
// content records and upload list that a VM's disk threads fill at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "platform/lab/LabFiles.h"
#include "platform/lab/LabIndex.h"
#include "support/RoadTestSupport.h"

namespace {

using roadtest::Job;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

class IdxMetadataTest : public ::testing::Test {
 protected:
  IdxMetadataTest() {
    roadtest::MakeLab(lab_);
    job_.reset(new Job(1001, 1));
    job_->worker->TEST_SetCurrentVM(&job_->vm);
  }
  ~IdxMetadataTest() override {
    job_->worker->TEST_SetMountCtx(nullptr);
    QuarnRegistry::TEST_Unload();
  }
  // The last disk metadata the worker logged as sent.
  std::string LastSentXml() {
    const std::string log = lab_.Log();
    const std::string mark = "Sending XML metadata - [";
    const size_t at = log.rfind(mark);
    if (at == std::string::npos) return std::string();
    const size_t start = at + mark.size();
    return log.substr(start, log.find("]\n", start) - start);
  }

  testsupport::TestLab lab_{"coordinator"};
  std::unique_ptr<Job> job_;
  MountCtx mount_;
};

TEST_F(IdxMetadataTest, ListsOfCardsKeyPairsAndGroupsAndTheVMHeaderFile) {
  std::vector<VMInfoStructs::SVMNetworkCard> cards(3);
  cards[0].field01 = "eth0";
  cards[0].field05 = "fifth";
  cards[2].field08 = true;
  IdxMetadata::VMNetworks list;
  ASSERT_TRUE(list.deserialize(job_->worker->ExtractNicMetadata(cards)));
  const CNMessageList& entries = list.getlistobject(IdxMetadata::VMNetworks::F_networks, false);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ("eth0", entries[0]->getstring(IdxMetadata::VMNetwork::F_cardName));
  EXPECT_EQ("3", entries[2]->getstring(IdxMetadata::VMNetwork::F_cardName)) << "a card without a name: its position";
  EXPECT_TRUE(entries[0]->isSet(IdxMetadata::VMNetwork::F_cardText5));
  EXPECT_FALSE(entries[1]->isSet(IdxMetadata::VMNetwork::F_cardText5));
  EXPECT_EQ(1, entries[2]->getint64(IdxMetadata::VMNetwork::F_cardFlag));

  // The VM header file: the inventory's fields, written with the process's own creation mask.
  VMInfoStructs::SVMInfo vm;
  vm.host = "esx1";
  vm.field24 = "/pool";
  const mode_t mask = umask(022);
  const std::string path = job_->worker->GetSubclientDirectory() + "/VolHdr(g).imf";
  ASSERT_EQ(0, job_->worker->writeVMHeaderMetadataFile(vm, path));
  EXPECT_EQ(022u, umask(mask)) << "the process's mask is left as it was";
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777u);
  std::string text;
  ASSERT_TRUE(lab::ReadFile(path, text));
  VSMeta header;
  ASSERT_TRUE(header.deserialize(text));
  EXPECT_EQ("esx1", header.getstring(VSMeta::F_esxHost));
  EXPECT_EQ("/pool", header.getstring(VSMeta::F_resourcePoolPath));
  EXPECT_FALSE(header.isSet(VSMeta::F_guestOsId)) << "a guest OS id of 0 is left out";
  EXPECT_FALSE(header.isSet(VSMeta::F_keyPairs)) << "no key pairs: no field";

  // A file that cannot be created is 53, one that cannot be written 54; both say so.
  EXPECT_EQ(53, job_->worker->writeMetadataFile("x", 1, lab_.Path("no/such/folder/f")));
  EXPECT_NE(std::string::npos, lab_.Log().find("Failed to create Metadata file"));
  EXPECT_EQ(54, job_->worker->writeMetadataFile("x", 1, "/dev/full"));
  EXPECT_NE(std::string::npos, lab_.Log().find("Failed to write Metadata file [/dev/full]"));
}

TEST_F(IdxMetadataTest, WhatIsSentForTheVMForDisksAndForConfigurationFiles) {
  vsArchive& stream = *job_->stream();
  ASSERT_EQ(0, stream.createArchiveFile(roadtest::kVMGuid, 1001, 101, 1, "", 1));
  quarnBackupArgs args;
  EXPECT_FALSE(job_->worker->SendVSConfigFileIndexMetadata(&args)) << "no stream";
  EXPECT_NE(std::string::npos, lab_.Log().find("Invalid archive object"));
  args.mArchive = &stream;
  args.mDisplayName = args.mBackupPath = "vm01.vmx";
  EXPECT_TRUE(job_->worker->SendVSConfigFileIndexMetadata(&args)) << "nothing to send is no failure";
  args.mBackupPath = "[ds1] vm01/vm01.vmx";
  EXPECT_TRUE(job_->worker->SendVSConfigFileIndexMetadata(&args));

  struct Case {
    uint32_t kind;
    int64_t field9;
    bool sectorSize;
  } cases[] = {{1, 2048, true}, {2, 5000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    args.mObjectKind = c.kind;
    args.mExtentSize = 2048;
    args.mFileSize = 5000;
    args.mSectorSize = 4096;
    args.mDiskNumber2 = 3;
    ASSERT_TRUE(job_->worker->SendVSDiskIndexMetadata(&args, kProductVMware));
    IdxMetadata::IdxMetaData sent;
    ASSERT_TRUE(sent.deserialize(LastSentXml())) << LastSentXml();
    const VSMeta* part = sent.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
    ASSERT_NE(nullptr, part);
    EXPECT_EQ(c.field9, part->getint64(VSMeta::F_extentSize));
    EXPECT_EQ(c.sectorSize, part->isSet(VSMeta::F_sectorSize));
    EXPECT_EQ(1, part->getint64(VSMeta::F_diskNumber2Is3));
    EXPECT_FALSE(part->isSet(VSMeta::F_diskNumber2Is2));
  }

  // The VM's record carries its key pairs and groups always, even empty: the index replaces its own.
  IdxMetadata::IdxMetaData vmRecord;
  EXPECT_FALSE(job_->worker->SendVSVMIdxMetadata("", 0, vmRecord)) << "no mount, no stream";
  job_->worker->TEST_SetMountCtx(&mount_);
  job_->worker->UseStream(&stream);
  mount_.vmName = "vm01";
  ASSERT_TRUE(job_->worker->SendVSVMIdxMetadata("stub", 12, vmRecord));
  job_->worker->UseStream(nullptr);
  const VSMeta* part = vmRecord.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
  ASSERT_NE(nullptr, part);
  EXPECT_TRUE(part->isSet(VSMeta::F_keyPairs));
  EXPECT_TRUE(part->isSet(VSMeta::F_securityGroups));
  EXPECT_EQ(12, part->getint64(VSMeta::F_stubSize));
  EXPECT_EQ(101, part->getint64(VSMeta::F_instanceType));
  EXPECT_EQ(1, vmRecord.getObject<IdxMetadata::IdxCommonMetaData>(IdxMetadata::IdxMetaData::F_common, false)
                   ->getint64(IdxMetadata::IdxCommonMetaData::F_isVM));
  EXPECT_EQ(0, stream.closeArchiveFile());
}

TEST_F(IdxMetadataTest, DiskThreadsFillTheContentRecordsAndUploadListAtOnce) {
  constexpr int kThreads = 8, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) {
        VirtualServer::VMContentRecord record;
        record.setstring(VirtualServer::VMContentRecord::F_indexName, std::to_string(t) + "-" + std::to_string(i));
        EXPECT_EQ(0, job_->worker->insertContentMapTable(record));
        job_->worker->AddVMMetadataFile("/f" + std::to_string(t) + "-" + std::to_string(i));
        job_->worker->AddVMMetadataFile("/shared");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach), job_->vm.contentRecords.size());
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach + 1), job_->vm.metadataFiles.size()) << "a file is listed once";

  // Without a VM nothing is kept, and it is said; the upload keeps its list when it fails.
  job_->worker->TEST_SetCurrentVM(nullptr);
  EXPECT_EQ(43, job_->worker->insertContentMapTable(VirtualServer::VMContentRecord()));
  job_->worker->AddVMMetadataFile("/lost");
  EXPECT_FALSE(job_->worker->CommitVMMetadataFiles());
  EXPECT_NE(std::string::npos, lab_.Log().find("There is no current VM to add metadata file /lost"));
  job_->worker->TEST_SetCurrentVM(&job_->vm);
  ASSERT_TRUE(lab_.Fault("index.UploadMetadataFiles", 5));
  EXPECT_FALSE(job_->worker->CommitVMMetadataFiles());
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach + 1), job_->vm.metadataFiles.size());
  EXPECT_FALSE(job_->worker->DownloadVMMetadataFile(lab_.Path("nothing.dat"), 0));

  // The cache copies into the job-results directory: a path elsewhere is not reported as fetched.
  std::string error;
  const std::string cached = lab::IndexJobDir(job_->appMgr.getSubclientGUID(), 900, error);
  ASSERT_TRUE(lab::MakeDirs(cached)) << error;
  ASSERT_TRUE(lab::WriteFileAtomic(cached + "/hdr.imf", "h"));
  EXPECT_FALSE(job_->worker->DownloadMetadataFile(lab_.Path("hdr.imf")));
  EXPECT_TRUE(job_->worker->DownloadMetadataFile(job_->worker->GetSubclientDirectory() + "/hdr.imf"));
}

}  // namespace
