// What the index learns of a VM from the archive files a job wrote, the extent checksums it hands
// back across a backup cycle, and the copy of a snapshot job's index for its backup copy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/archive/ArchiveFormat.h"
#include "platform/archive/vsArchive.h"
#include "platform/index/ExtentNameConverter.h"
#include "platform/index/IdxBrowseMessages.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabHistory.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMissingExtents.h"
#include "records/messages/IdxMetadataMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/TestLab.h"

namespace {

const char* const kGuid = "sc-guid";
const char* const kVM = "5029aaaa-0000-4000-8000-000000000001";
const char* const kVM2 = "5029aaaa-0000-4000-8000-000000000002";

using Idx = IdxMetadata::IdxMetaData;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

// Takes the browse replies: every extent with its checksum, and how many replies came.
class Collector : public IdxBrowseClientResp {
 public:
  bool processResp(CNMessageBase* response) override {
    ++replies;
    if (refuse || response->getTagID() != IdxBrowse::BrowseResp::TAG) return false;
    auto* result = response->getObject<IdxBrowse::BrowseResult>(IdxBrowse::BrowseResp::F_result, false);
    for (const CNMessagePtr& item : result->getlistobject(IdxBrowse::BrowseResult::F_items, false)) {
      uint64_t extent = 0;
      EXPECT_TRUE(ExtentNameConverter::Extent_base32_to_dec(item->getstring(IdxBrowse::BrowseItem::F_extentName), extent));
      checksums[extent] = static_cast<uint32_t>(
          item->getObject<IdxBrowse::ExtentAttributes>(IdxBrowse::BrowseItem::F_attributes, false)
              ->getint64(IdxBrowse::ExtentAttributes::F_checksum));
    }
    return true;
  }
  bool refuse = false;
  int replies = 0;
  std::map<uint64_t, uint32_t> checksums;
};

class IndexLearnTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(StartJob(20, "1")); }

  bool StartJob(int64_t jobId, const std::string& indexingV2) {
    client_.reset();
    job_.reset(new vsJobMgr());
    if (!lab_.ReplaceSubclient("4", std::string("subclientGUID=") + kGuid + "\nindexingV2=" + indexingV2 + "\n") ||
        !lab_.AddJob(jobId))
      return false;
    app_.setAppIdStr("4");
    job_->setJobId(std::to_string(jobId));
    job_->setMediaAgent("ma1");
    if (app_.querySettings() != 0 || vsJobMgr::isError(job_->initBackup())) return false;
    client_.reset(new vsIndexClient(job_.get(), &app_, "ma1"));
    return true;
  }

  // The VM's archive file of the current job: its header with the VM's metadata (its name `name`), one
  // disk with its metadata (read at `changeId`, by default "change-<job>") and the extents given
  // (extent -> checksum); `failed` ends the VM's header failed.
  void WriteArchive(uint32_t level, const std::map<uint64_t, uint32_t>& extents, bool failed = false,
                    const std::string& guid = kVM, const std::string& name = "vm01",
                    const std::string& changeId = std::string()) {
    vsArchive stream(job_.get(), &app_, nullptr, "km");
    ASSERT_EQ(0, stream.init(true));
    ASSERT_EQ(0, stream.createArchiveFile(guid, job_->getJobId(), 7, 4, "", level));
    const std::string vm = "\\" + guid;
    ASSERT_EQ(0, stream.sendFileHeader(vm, 0, 0, true, false, false, 1, 0, 0, 0, false, true, false));
    Idx vmRecord;
    vmRecord.getObject<IdxMetadata::IdxCommonMetaData>(Idx::F_common, true)
        ->setstring(IdxMetadata::IdxCommonMetaData::F_itemName, name);
    ASSERT_EQ(0, stream.sendVSIdxMetadata(vmRecord));
    ASSERT_EQ(0, stream.sendEOF(!failed, failed ? 5 : 0));
    for (const auto& extent : extents) {
      const std::string data(512, static_cast<char>(extent.first + 1));
      const std::string name = vm + "\\disk0\\" + ExtentNameConverter::GetFilePath(extent.first);
      ASSERT_EQ(0, stream.sendExtentHeader(name, "disk0", data.size(), 0, false, 1, 0, extent.second, 0, nullptr));
      ASSERT_EQ(0, stream.sendExtentData(data.data(), data.size(), {}, 512, nullptr));
      ASSERT_EQ(0, stream.sendEOF(true, 0));
    }
    ASSERT_EQ(0, stream.sendDiskHeader(vm + "\\disk0", 4096, 4096, false, 1, 1, false));
    Idx disk;
    VSMeta* part = disk.getObject<VSMeta>(Idx::F_virtualServer, true);
    part->setint64(VSMeta::F_extentSize, 2048);
    part->setstring(VSMeta::F_changeId, changeId.empty() ? "change-" + std::to_string(job_->getJobId()) : changeId);
    ASSERT_EQ(0, stream.sendVSIdxDiskMetadata(disk));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
    ASSERT_EQ(0, stream.closeArchiveFile());
  }

  bool ArchiveIndex() { return client_->RunArchiveIndexForVM(kVM, job_->getJobId(), 4, 0, 0); }

  // How a job's VMs are learned: each by its archive-index run, or all of them at the finalisation of
  // the job's index when archive-index runs are off.
  enum class Learning { kArchiveIndexRun, kFinalisedIndex };
  static const char* Name(Learning learning) {
    return learning == Learning::kArchiveIndexRun ? "by the VM's archive-index run" : "by the finalised index";
  }
  // Starts a job that learns its VMs as given. A job whose index is finalised is an incremental here:
  // a finalised full would hide from the next job every record of the jobs before it.
  bool StartLearningJob(int64_t jobId, Learning learning) {
    if (!StartJob(jobId, learning == Learning::kArchiveIndexRun ? "1" : "0")) return false;
    if (learning == Learning::kArchiveIndexRun) return true;
    job_->setBkpLevel(2);
    return client_->AddVMGuid(kVM, false) && client_->createIndex(false);
  }
  // The job learns the VM: false when that says it could not (a finalised index says so only in its
  // last error: the job's other VMs are learned all the same).
  bool Learn(Learning learning) {
    return learning == Learning::kArchiveIndexRun ? ArchiveIndex() : client_->createIndex(true);
  }
  // The change id of the VM's disk in the backup the next job builds on; empty when it builds on none.
  std::string NextJobsBase() {
    Idx metadata;
    IdxMetadataByName disks;
    bool retryable = true, queryFailed = true;
    if (!client_->GetVMMetadata(kVM, std::string(), 4, &metadata, &disks, retryable, queryFailed)) return "";
    const auto disk = disks.find("disk0");
    if (disk == disks.end()) return "no disk0";
    return disk->second.getObject<VSMeta>(Idx::F_virtualServer, true)->getstring(VSMeta::F_changeId);
  }

  testsupport::TestLab lab_;
  vsAppMgr app_;
  std::unique_ptr<vsJobMgr> job_;
  std::unique_ptr<vsIndexClient> client_;
};

TEST_F(IndexLearnTest, AnArchiveIndexRunLearnsTheVMsMetadataAndChecksumsCarryAcrossTheCycle) {
  WriteArchive(1, {{0, 10}, {1, 11}, {2, 12}});
  ASSERT_TRUE(ArchiveIndex()) << client_->GetLastError();
  ASSERT_TRUE(StartJob(21, "1"));
  WriteArchive(2, {{1, 21}});
  ASSERT_TRUE(ArchiveIndex()) << client_->GetLastError();

  // The VM's and its disk's metadata as the newest job sent them, the VM found by GUID or name.
  for (const std::string& vm : {std::string(kVM), std::string("vm01")}) {
    Idx metadata;
    IdxMetadataByName disks;
    bool retryable = true, queryFailed = true;
    ASSERT_TRUE(client_->GetVMMetadata(vm, std::string(), 4, &metadata, &disks, retryable, queryFailed)) << vm;
    EXPECT_EQ("vm01", metadata.getObject<IdxMetadata::IdxCommonMetaData>(Idx::F_common, false)
                          ->getstring(IdxMetadata::IdxCommonMetaData::F_itemName));
    ASSERT_EQ(1u, disks.count("DISK0"));
    const VSMeta* part = disks["disk0"].getObject<VSMeta>(Idx::F_virtualServer, false);
    EXPECT_EQ(2048, part->getint64(VSMeta::F_extentSize));
    EXPECT_EQ("change-21", part->getstring(VSMeta::F_changeId));
  }
  ASSERT_TRUE(client_->InitLookup());
  std::map<std::string, unsigned long long> disks;
  ASSERT_TRUE(client_->LookupVMDisks(kVM, &disks));
  EXPECT_EQ((std::map<std::string, unsigned long long>{{"disk0", 4096}}), disks);

  // An extent the incremental did not send keeps the full's checksum.
  Collector collector;
  ASSERT_TRUE(client_->GetVMDiskExtentsCRC(kVM, "DISK0", 4, &collector)) << client_->GetLastError();
  EXPECT_EQ((std::map<uint64_t, uint32_t>{{0, 10}, {1, 21}, {2, 12}}), collector.checksums);

  // A new full starts the cycle again: nothing of the older jobs is handed out.
  ASSERT_TRUE(StartJob(22, "1"));
  WriteArchive(1, {{0, 30}});
  ASSERT_TRUE(ArchiveIndex());
  Collector afterFull;
  ASSERT_TRUE(client_->GetVMDiskExtentsCRC(kVM, "disk0", 4, &afterFull));
  EXPECT_EQ((std::map<uint64_t, uint32_t>{{0, 30}}), afterFull.checksums);

  // A disk the index does not know, a VM it does not know, a receiver that refuses: no checksums.
  Collector other;
  EXPECT_FALSE(client_->GetVMDiskExtentsCRC(kVM, "disk9", 4, &other));
  EXPECT_NE(std::string::npos, client_->GetLastError().find("no disk [disk9]"));
  EXPECT_FALSE(client_->GetVMDiskExtentsCRC("5029aaaa-0000-4000-8000-00000000000f", "disk0", 4, &other));
  other.refuse = true;
  EXPECT_FALSE(client_->GetVMDiskExtentsCRC(kVM, "disk0", 4, &other));
  EXPECT_NE(std::string::npos, client_->GetLastError().find("were not taken"));
  ASSERT_TRUE(lab_.Fault("index.GetVMDiskExtentsCRC", 5));
  Collector faulted;
  EXPECT_FALSE(client_->GetVMDiskExtentsCRC(kVM, "disk0", 4, &faulted));
  EXPECT_EQ(0, faulted.replies);
}

TEST_F(IndexLearnTest, ChecksumsComeInRepliesOfBoundedSize) {
  for (const size_t count : {vsIndexClient::kExtentsPerReply, vsIndexClient::kExtentsPerReply + 1}) {
    SCOPED_TRACE(count);
    std::vector<std::vector<std::string>> entries = {{"level", "1"}, {"disk", "disk0", "1"}};
    for (size_t n = 0; n < count; ++n) entries.push_back({"crc", "disk0", std::to_string(n), std::to_string(n + 7)});
    std::string error;
    ASSERT_TRUE(lab::WriteIndexVMEntries(kGuid, kVM, 20, entries, error)) << error;
    Collector collector;
    ASSERT_TRUE(client_->GetVMDiskExtentsCRC(kVM, "disk0", 4, &collector));
    EXPECT_EQ(count == vsIndexClient::kExtentsPerReply ? 1 : 2, collector.replies);
    ASSERT_EQ(count, collector.checksums.size());
    EXPECT_EQ(count + 6, collector.checksums.rbegin()->second);
  }
}

TEST_F(IndexLearnTest, AVMWhoseArchiveCannotBeIndexedFailsItsRunAndLeavesNoEntries) {
  struct Case {
    const char* name;
    bool write, failed;
    const char* reason;
  } cases[] = {
      {"the VM's backup ended failed", true, true, "did not end well"},
      {"no archive file of the VM", false, false, "wrote no archive file"},
  };
  int64_t jobId = 30;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_TRUE(StartJob(++jobId, "1"));
    if (test.write) WriteArchive(1, {{0, 1}}, test.failed);
    EXPECT_FALSE(ArchiveIndex());
    EXPECT_NE(std::string::npos, client_->GetLastError().find(test.reason)) << client_->GetLastError();
    std::vector<std::vector<std::string>> entries;
    std::string error;
    ASSERT_TRUE(lab::ReadIndexVMEntries(kGuid, kVM, jobId, entries, error));
    EXPECT_TRUE(entries.empty());
    // The run is recorded with the VM's failed status.
    const auto log = lab::ReadIndexJobEntries(kGuid, jobId);
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ((std::vector<std::string>{"archiveIndex", kVM, "1"}), log[0]);
  }
}

// A job run again after an attempt that failed: the index learns the attempt that stands for the VM,
// whatever the earlier one's archive is, and learns nothing when the latest one's cannot be indexed:
// cut short, its first record changed (its note still tells its job, its VM and its attempt) or gone
// while its note names it; the error then names that archive and what is wrong with it. Never learned
// from what is left of it, such a job is no base: the next job builds on the newest backup the index
// learned before it. A latest attempt whose archive was never committed did not finish the VM: the
// earlier attempt that did stands, and is learned. Each attempt reads the disk at a change id of its
// own, so the next job's base tells which attempt was learned. The same by an archive-index run and by
// the finalised index.
TEST_F(IndexLearnTest, TheLatestAttemptAloneDecidesWhatIsLearned) {
  enum class Harm { kNone, kEndedFailed, kCut, kFirstRecordChanged, kRemoved, kUncommitted };
  struct Case {
    const char* name;
    Harm earlier, latest;
    bool learned;
    // What the user is told of the VM's backup in the job: the change id the next job builds on (the
    // attempt's that stands) when it is learned, else the index's error.
    std::string said;
    bool earlierStands = false;
  } cases[] = {
      {"the earlier attempt ended failed", Harm::kEndedFailed, Harm::kNone, true, "read by the latest attempt"},
      {"the earlier attempt's archive cut short", Harm::kCut, Harm::kNone, true, "read by the latest attempt"},
      {"the earlier attempt's first record changed", Harm::kFirstRecordChanged, Harm::kNone, true,
       "read by the latest attempt"},
      {"the earlier attempt's archive gone", Harm::kRemoved, Harm::kNone, true, "read by the latest attempt"},
      {"the latest attempt's archive cut short", Harm::kNone, Harm::kCut, false,
       "a data record runs past the end of the file (cut short)"},
      {"the latest attempt's first record changed", Harm::kNone, Harm::kFirstRecordChanged, false,
       "at offset 0: the check value of an archive begin record does not match its bytes"},
      {"the latest attempt's archive gone", Harm::kNone, Harm::kRemoved, false, "but the file is not there"},
      {"the latest attempt's archive never committed", Harm::kNone, Harm::kUncommitted, true,
       "read by the earlier attempt", true},
  };
  const auto changeIdOf = [](int64_t job, const std::string& attempt) {
    return "change-" + std::to_string(job) + " " + attempt;
  };
  int64_t jobId = 50;
  std::string lastBase = "change-0 read by the latest attempt";
  for (const Learning learning : {Learning::kArchiveIndexRun, Learning::kFinalisedIndex}) {
    for (const Case& test : cases) {
      SCOPED_TRACE(std::string(test.name) + ", " + Name(learning));
      ASSERT_TRUE(StartLearningJob(++jobId, learning));
      std::string error;
      WriteArchive(1, {{0, 1}}, test.earlier == Harm::kEndedFailed, kVM, "vm01",
                   changeIdOf(jobId, "read by the earlier attempt"));
      // The job's next run: the coordinator's next dispatch of the VM.
      ASSERT_TRUE(lab::RecordVMDispatch(jobId, kVM, lab::FocusClient(), error)) << error;
      WriteArchive(1, {{0, 2}}, false, kVM, "vm01", changeIdOf(jobId, "read by the latest attempt"));
      const std::vector<lab::ArchiveLocation> archives = lab::ListVMArchiveFiles(jobId, kVM);
      ASSERT_EQ(2u, archives.size());
      for (size_t i = 0; i < 2; ++i) {
        const std::string& path = archives[i].path;
        struct stat status {};
        ASSERT_EQ(0, stat(path.c_str(), &status));
        switch (i == 0 ? test.earlier : test.latest) {
          case Harm::kCut: ASSERT_EQ(0, truncate(path.c_str(), status.st_size / 2)); break;
          case Harm::kFirstRecordChanged: archivetest::FlipByte(path, 30); break;
          case Harm::kRemoved: ASSERT_EQ(0, unlink(path.c_str())); break;
          case Harm::kUncommitted:
            ASSERT_EQ(0, std::rename(path.c_str(), (path + archive::kUncommittedSuffix).c_str()));
            break;
          default: break;
        }
      }
      EXPECT_EQ(test.learned || learning == Learning::kFinalisedIndex, Learn(learning)) << client_->GetLastError();
      std::vector<std::vector<std::string>> entries;
      ASSERT_TRUE(lab::ReadIndexVMEntries(kGuid, kVM, jobId, entries, error)) << error;
      const std::vector<std::string> standingChecksum = {"crc", "disk0", "0", test.earlierStands ? "1" : "2"};
      const bool learnedStanding = std::find(entries.begin(), entries.end(), standingChecksum) != entries.end();
      EXPECT_EQ(test.learned, learnedStanding);
      if (test.learned) {
        EXPECT_EQ("", client_->GetLastError());
        EXPECT_EQ(changeIdOf(jobId, test.said), NextJobsBase());
        lastBase = changeIdOf(jobId, test.said);
        continue;
      }
      // The error names the latest attempt's archive, never the earlier one's.
      EXPECT_NE(std::string::npos, client_->GetLastError().find("cannot be indexed: " + archives[1].path))
          << client_->GetLastError();
      EXPECT_NE(std::string::npos, client_->GetLastError().find(test.said)) << client_->GetLastError();
      EXPECT_TRUE(entries.empty()) << "nothing of a VM it cannot index";
      EXPECT_EQ(lastBase, NextJobsBase()) << client_->GetLastError();
    }
  }
}

// Without archive-index runs the index learns the job's VMs once the job's index is finalised, each VM
// from the archives its own note names and whose beginning says they are its: an archive another VM's
// note names as well (a line that note should not have) is learned once, for its own VM alone.
TEST_F(IndexLearnTest, WithoutArchiveIndexRunsTheFinalisedIndexLearnsTheJobsVMs) {
  struct Case {
    const char* name;
    bool strayNote;  // vm01's note names vm02's archive as well
  } cases[] = {
      {"each VM's note names its own archive", false},
      {"vm01's note names vm02's archive as well", true},
  };
  struct Learned {
    const char* guid;
    const char* name;
    std::vector<std::vector<std::string>> checksums;
  };
  const Learned vms[] = {
      {kVM, "vm01", {{"crc", "disk0", "0", "3"}}},
      {kVM2, "vm02", {{"crc", "disk0", "0", "4"}, {"crc", "disk0", "1", "5"}}},
  };
  int64_t jobId = 40;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_TRUE(StartJob(++jobId, "0"));
    for (const Learned& vm : vms) ASSERT_TRUE(client_->AddVMGuid(vm.guid, false));
    ASSERT_TRUE(client_->createIndex(false));
    WriteArchive(1, {{0, 3}});
    WriteArchive(1, {{0, 4}, {1, 5}}, false, kVM2, "vm02");
    std::string error;
    if (test.strayNote) {
      const std::vector<lab::ArchiveLocation> ofVM02 = lab::ListVMArchiveFiles(jobId, kVM2);
      ASSERT_EQ(1u, ofVM02.size());
      ASSERT_TRUE(lab::RecordVMArchiveFile("ma1", jobId, kVM, ofVM02[0].archiveFileId, error)) << error;
      ASSERT_EQ(2u, lab::ListVMNotedArchives(jobId, kVM).size());
    }
    std::vector<std::vector<std::string>> entries;
    for (const Learned& vm : vms) {
      ASSERT_TRUE(lab::ReadIndexVMEntries(kGuid, vm.guid, jobId, entries, error));
      EXPECT_TRUE(entries.empty()) << vm.name << ": nothing is learned before the index is finalised";
    }
    ASSERT_TRUE(client_->createIndex(true)) << client_->GetLastError();
    for (const Learned& vm : vms) {
      SCOPED_TRACE(vm.name);
      ASSERT_TRUE(lab::ReadIndexVMEntries(kGuid, vm.guid, jobId, entries, error)) << error;
      ASSERT_FALSE(entries.empty());
      EXPECT_EQ((std::vector<std::string>{"name", vm.name}), entries.front());
      std::vector<std::vector<std::string>> checksums;
      std::copy_if(entries.begin(), entries.end(), std::back_inserter(checksums),
                   [](const std::vector<std::string>& entry) { return entry.front() == "crc"; });
      EXPECT_EQ(vm.checksums, checksums);
      const std::set<std::vector<std::string>> distinct(entries.begin(), entries.end());
      EXPECT_EQ(distinct.size(), entries.size()) << "an entry learned twice";
    }
  }
}

TEST_F(IndexLearnTest, ABackupCopyTakesTheSnapshotJobsWholeIndex) {
  std::string error;
  const int64_t snap = 15;
  ASSERT_TRUE(lab::UpdateIndexJobRecord(kGuid, snap, [](lab::IndexJobRecord& record, std::string&) {
    record.level = 1;
    record.finalized = true;
    record.vms["5029aaaa-0000-4000-8000-000000000001"] = false;
    return true;
  }, error)) << error;
  const std::string jobFiles = lab::IndexJobDir(kGuid, snap, error);
  const std::string vmFiles = lab::IndexVMJobDir(kGuid, kVM, snap, error);
  ASSERT_TRUE(lab::MakeDirs(jobFiles) && lab::WriteFileAtomic(jobFiles + "/backup_15.xml", "snap"));
  ASSERT_TRUE(lab::MakeDirs(vmFiles) && lab::WriteFileAtomic(vmFiles + "/VMConfig.ztf", "config"));
  ASSERT_TRUE(lab::WriteIndexVMEntries(kGuid, kVM, snap, {{"meta", "vm", "<x/>"}}, error));

  ASSERT_EQ(1, client_->CopySnapIndexToBackupCopy(snap, 5, 77)) << client_->GetLastError();
  std::string text;
  EXPECT_TRUE(lab::ReadFile(lab::IndexJobDir(kGuid, 20, error) + "/backup_15.xml", text));
  EXPECT_TRUE(lab::ReadFile(lab::IndexVMJobDir(kGuid, kVM, 20, error) + "/VMConfig.ztf", text));
  std::vector<std::vector<std::string>> entries;
  ASSERT_TRUE(lab::ReadIndexVMEntries(kGuid, kVM, 20, entries, error));
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"meta", "vm", "<x/>"}}), entries);
  lab::IndexJobRecord record;
  bool exists = false;
  ASSERT_TRUE(lab::ReadIndexJobRecord(kGuid, 20, record, exists, error));
  EXPECT_TRUE(exists && record.finalized && record.level == 1 && record.vms.count(kVM) == 1);

  EXPECT_EQ(0, client_->CopySnapIndexToBackupCopy(16, 5, 77));
  EXPECT_NE(std::string::npos, client_->GetLastError().find("snapshot job 16 has no index"));
  ASSERT_TRUE(lab_.Fault("index.CopySnapIndexToBackupCopy", 9));
  EXPECT_EQ(0, client_->CopySnapIndexToBackupCopy(snap, 5, 77));
}

// A VM's own (child) job uploads under its id; a later job asking for the cycle's newest files gets
// them as the files of the job the child belongs to, and nothing of a job outside the cycle.
TEST_F(IndexLearnTest, WhatAVMsOwnJobUploadedCountsAsItsJobs) {
  std::string error;
  for (const lab::HistoryJob& ended : {lab::HistoryJob{19, 1, false}, lab::HistoryJob{20, 2, false}})
    ASSERT_TRUE(lab::RecordSuccessfulJob("4", ended, error)) << error;
  const std::string local = lab_.Path("local");
  ASSERT_TRUE(lab::MakeDirs(local) && lab::WriteFileAtomic(local + "/state.crc", "of job 20"));
  ASSERT_TRUE(client_->UploadVMMetadataFiles(kVM, {local + "/state.crc"}, 20001, kGuid)) << client_->GetLastError();
  EXPECT_EQ(20, lab::IndexParentJob(kGuid, 20001));
  EXPECT_EQ(18001, lab::IndexParentJob(kGuid, 18001)) << "no known child: the job itself";
  ASSERT_TRUE(StartJob(18, "1"));  // a job the history does not hold
  ASSERT_TRUE(lab::WriteFileAtomic(local + "/older.crc", "of job 18"));
  ASSERT_TRUE(client_->UploadVMMetadataFiles(kVM, {local + "/older.crc"}, 18001, kGuid));

  ASSERT_TRUE(StartJob(21, "1"));
  const std::string out = lab_.Path("out");
  ASSERT_TRUE(lab::MakeDirs(out));
  EXPECT_TRUE(client_->DownloadVMMetadataFile(kVM, "state*", out, 0)) << client_->GetLastError();
  std::string text;
  EXPECT_TRUE(lab::ReadFile(out + "/state.crc", text) && text == "of job 20");
  EXPECT_FALSE(client_->DownloadVMMetadataFile(kVM, "older*", out, 0));
}

// The coordinator gave the VM to one agent, gave up on it and gave it to another: the index learns the
// VM from the archive of the later dispatch, although the earlier agent's archive was written last.
TEST_F(IndexLearnTest, TheIndexLearnsTheVMFromItsLatestDispatch) {
  std::string error;
  for (const char* client : {"proxyA", "proxyB"}) ASSERT_TRUE(lab::RecordVMDispatch(20, kVM, client, error)) << error;
  lab_.Focus("proxyB");
  WriteArchive(1, {{0, 10}, {1, 11}, {2, 12}});
  lab_.Focus("proxyA");
  WriteArchive(1, {{0, 99}});
  ASSERT_TRUE(ArchiveIndex()) << client_->GetLastError();
  Collector collector;
  ASSERT_TRUE(client_->GetVMDiskExtentsCRC(kVM, "disk0", 4, &collector)) << client_->GetLastError();
  EXPECT_EQ((std::map<uint64_t, uint32_t>{{0, 10}, {1, 11}, {2, 12}}), collector.checksums);
}

// Extents the index declared missing are missing no more once a job sends them again or they lie past
// the end of the disk as the job backed it up (4096 bytes of 512-byte extents: 0 to 7); a disk left
// with names the index cannot read is dropped with them, one the job did not back up is kept, and a
// declaration with nothing left is gone, so no later job trues the VM up again.
TEST_F(IndexLearnTest, AJobThatSentTheDeclaredExtentsSettlesTheDeclaration) {
  using Declared = std::map<std::string, std::vector<std::string>>;
  const auto name = [](uint64_t extent) { return ExtentNameConverter::GetFilePath(extent); };
  struct Case {
    const char* name;
    std::vector<std::string> disk0;      // declared for disk0
    bool otherDisk;                      // also a disk the job does not back up
    std::map<uint64_t, uint32_t> sent;   // what the next job sends of disk0
    Declared left;
  };
  const Case cases[] = {
      {"sent again, and the last extent and one past it", {name(1), name(7), name(8)}, false, {{1, 5}, {7, 6}}, {}},
      {"one past the end is never missing", {name(8), name(5000)}, false, {}, {}},
      {"not sent yet keeps its name and the unreadable one", {name(1), name(3), "bogus"}, false, {{1, 5}},
       {{"disk0", {name(3), "bogus"}}}},
      {"a disk the job does not back up", {name(1)}, true, {{1, 5}}, {{"disk9", {name(0)}}}},
  };
  int64_t jobId = 50;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_TRUE(StartJob(++jobId, "0"));
    WriteArchive(1, {{0, 1}, {1, 2}});
    ASSERT_TRUE(ArchiveIndex()) << client_->GetLastError();
    std::string error;
    ASSERT_TRUE(lab::DeclareMissingExtentNames("4", jobId, kVM, "disk0", test.disk0, error)) << error;
    if (test.otherDisk) { ASSERT_TRUE(lab::DeclareMissingExtentNames("4", jobId, kVM, "disk9", {name(0)}, error)); }
    const int64_t declaring = jobId;
    ASSERT_TRUE(StartJob(++jobId, "0"));
    WriteArchive(2, test.sent);
    ASSERT_TRUE(ArchiveIndex()) << client_->GetLastError();
    Declared left;
    ASSERT_TRUE(lab::ReadMissingExtents(kGuid, declaring, kVM, left, error)) << error;
    EXPECT_EQ(test.left, left);
  }
}

}  // namespace
