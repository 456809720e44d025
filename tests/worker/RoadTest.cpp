// The road of one VM: the order of its steps, its early returns and result codes against the lab's
// faults, and that after every one of them the worker holds no stream and no mount.
#include <gtest/gtest.h>

#include <thread>

#include "platform/lab/LabFaults.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabMount.h"
#include "support/VirtualClock.h"
#include "support/RoadTestSupport.h"

namespace {

using roadtest::Job;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
using Calls = std::vector<std::string>;

class RoadTest : public ::testing::Test {
 protected:
  RoadTest() { roadtest::MakeLab(lab_); }
  ~RoadTest() override { QuarnRegistry::TEST_Unload(); }

  // Every stream the road took went back, and no snapshot of the VM is left mounted on the hypervisor.
  static void ExpectNothingHeld(Job& job) {
    EXPECT_FALSE(job.worker->HoldsStream());
    EXPECT_EQ(static_cast<size_t>(job.controller->lent), job.controller->relinquished.size());
    for (const lab::MountRecord& mount : lab::ListMountRecords(job.id))
      EXPECT_EQ("unmounted", mount.state) << mount.vm << " of job " << job.id;
  }
  bool Logged(const std::string& text) { return lab_.Log().find(text) != std::string::npos; }

  testsupport::TestLab lab_{"coordinator"};
};

TEST_F(RoadTest, AFullBackupRunsEveryStepOnceInOrderAndGivesItsStreamBack) {
  // A full job does not ask the index about the last backup: a refusing index changes nothing.
  lab::FaultRule refusal;
  refusal.op = "index.GetVMMetadata";
  refusal.code = 1;
  refusal.times = lab::kFaultAlways;
  ASSERT_TRUE(lab_.Fault(refusal));
  Job job(1001, 1);
  EXPECT_EQ(0, job.Run());
  EXPECT_EQ((Calls{"mount", "createArchiveFile", "preBackup", "backup", "guestSize", "postBackup", "granularMetadata",
                   "unmount"}),
            job.worker->calls);
  EXPECT_EQ(1, job.controller->lent);
  EXPECT_EQ(1u, lab::ListMountRecords(job.id).size()) << "the VM was mounted for the job";
  ExpectNothingHeld(job);
  EXPECT_EQ(0u, job.stream()->GetArchiveFileId()) << "the archive file was closed";
  EXPECT_TRUE(Logged("Connected to server [vcenter]"));
  EXPECT_TRUE(Logged("Processing VM [vm01] using stream id [1]"));
  lab::FaultTable table;
  std::string error;
  ASSERT_TRUE(lab::ReadFaultTable(table, error)) << error;
  EXPECT_EQ(0, table.rules[0].calls) << "the index was not asked";
  EXPECT_EQ(1, job.worker->Mount()->vmBackupLevel);
}

TEST_F(RoadTest, EachFailureGivesItsCodeAndTheVMEndsHoldingNothing) {
  struct Case {
    const char* what;
    std::function<void(Job&)> arrange;
    int result;
    Calls calls;
    const char* reason;  // part of the VM's failure reason; empty: none set by the road
  } cases[] = {
      {"connection refused", [this](Job&) { lab_.Fault("vminfo.Connect", 3004, "bad password"); }, 17, {}, ""},
      // Never backed up blind: a later job may hold the VM.
      {"the index's newest job of the VM not told", [this](Job&) { lab_.Fault("index.GetVMNewestRecordJob", 5); }, 147,
       {}, "Failed to get the index information from previous backup"},
      {"no server",
       [](Job& j) {
         j.vm.collect.setstring(VirtualServer::VMCollect::F_serverName, "");
         j.vm.host.clear();
       },
       10, {}, ""},
      {"mount refused", [this](Job&) { lab_.Fault("vminfo.MountVM", 3001, "no snapshot"); }, 95,
       {"mount", "sendFailedVM", "unmount"}, ""},
      {"no stream", [](Job& j) { j.controller->lend = false; }, 27, {"mount", "sendFailedVM", "unmount"}, ""},
      {"mount refused and no stream to be had",
       [this](Job& j) {
         lab_.Fault("vminfo.MountVM", 3001, "no snapshot");
         j.controller->lend = false;
       },
       27, {"mount", "sendFailedVM", "unmount"}, ""},
      {"a stream taken before the mount, which then fails",
       [this](Job&) {
         lab_.Setting("VirtualServer", "bGetStreamBeforeMount", "1");
         QuarnRegistry::TEST_Unload();
         lab_.Fault("vminfo.MountVM", 3001, "no snapshot");
       },
       95, {"mount", "sendFailedVM", "unmount"}, ""},
      {"archive file not created", [this](Job&) { lab_.Fault("archive.createArchiveFile", 4); }, 131,
       {"mount", "createArchiveFile", "sendFailedVM", "unmount"}, ""},
      {"disk failed", [](Job& j) { j.worker->diskStage = [](quarnBackupArgs&) { return 54; }; }, 54,
       {"mount", "createArchiveFile", "preBackup", "backup", "sendFailedVM", "unmount"}, ""},
      {"metadata upload refused", [this](Job&) { lab_.Fault("index.UploadMetadataFiles", 5); }, 1,
       {"mount", "createArchiveFile", "preBackup", "backup", "guestSize", "postBackup", "sendFailedVM", "unmount"}, ""},
      {"archive file not closed", [this](Job&) { lab_.Fault("archive.closeArchiveFile", 5); }, 110,
       {"mount", "createArchiveFile", "preBackup", "backup", "guestSize", "postBackup", "sendFailedVM", "unmount"}, ""},
      {"stub phase without archiving", [](Job& j) { j.jobMgr.setVMStubPhase(true); }, 113, {}, "was not stubbed"},
      {"a stream taken before the mount",
       [this](Job&) {
         lab_.Setting("VirtualServer", "bGetStreamBeforeMount", "1");
         QuarnRegistry::TEST_Unload();
       },
       0, {"mount", "createArchiveFile", "preBackup", "backup", "guestSize", "postBackup", "granularMetadata", "unmount"},
       ""},
      {"backed up and to be stubbed", [](Job& j) { j.vm.archiveAction = 103; }, 103,
       {"mount", "createArchiveFile", "preBackup", "backup", "guestSize", "postBackup", "granularMetadata", "unmount"},
       ""},
      {"failed and to be stubbed",
       [](Job& j) {
         j.vm.archiveAction = 103;
         j.worker->diskStage = [](quarnBackupArgs&) { return 54; };
       },
       54, {"mount", "createArchiveFile", "preBackup", "backup", "sendFailedVM", "unmount"}, ""},
      {"backed up before its stub cut off is retried", [](Job& j) { j.vm.archiveAction = 118; }, 118,
       {"mount", "createArchiveFile", "preBackup", "backup", "guestSize", "postBackup", "granularMetadata", "unmount"},
       ""},
      {"failed before its stub cut off is retried",
       [](Job& j) {
         j.vm.archiveAction = 118;
         j.worker->diskStage = [](quarnBackupArgs&) { return 54; };
       },
       54, {"mount", "createArchiveFile", "preBackup", "backup", "sendFailedVM", "unmount"}, ""},
  };
  int64_t id = 2000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    lab::ClearFaultTable(error);
    lab_.Setting("VirtualServer", "bGetStreamBeforeMount", "0");
    QuarnRegistry::TEST_Unload();
    Job job(++id, 1);
    // Every disk leaves a metadata file to upload at the end of the VM.
    job.worker->diskStage = [&job](quarnBackupArgs& args) {
      const std::string path = job.worker->GetSubclientDirectory() + "/" + args.mBackupPath + ".state";
      job.worker->writeMetadataFile("s", 1, path);
      job.worker->AddVMMetadataFile(path);
      return 0;
    };
    c.arrange(job);
    EXPECT_EQ(c.result, job.Run());
    EXPECT_EQ(c.calls, job.worker->calls);
    EXPECT_LE(job.controller->asked, 1) << "a stream is asked for once at most";
    // Every road past the mount attempt asks for a stream, a failed mount's too.
    if (!c.calls.empty() && c.calls[0] == "mount") {
      EXPECT_EQ(1, job.controller->asked);
    }
    ExpectNothingHeld(job);
    EXPECT_NE(std::string::npos, job.vm.failureReason.find(c.reason)) << job.vm.failureReason;
    if (c.result == 17) {
      EXPECT_EQ(1u, vsJobMgr::ReadPendingCauses(job.id).size()) << "the refusal is the job's cause";
    }
  }
}

TEST_F(RoadTest, IndexingV2ChecksTheVMsOwnJobAndRunsItsArchiveIndex) {
  std::string error;
  lab::SetSubclientValue("1", "indexingV2", "1", error);
  {
    Job job(3001, 1);
    job.vm.collect.setint64(VirtualServer::VMCollect::F_vmJobId, 3001);
    EXPECT_EQ(140, job.Run());
    EXPECT_EQ("Failed to get VM jobId", job.vm.failureReason);
    EXPECT_TRUE(job.worker->calls.empty());
  }
  {
    Job job(3002, 1);
    job.vm.collect.setint64(VirtualServer::VMCollect::F_subclientId, 0);
    EXPECT_EQ(129, job.Run());
    EXPECT_EQ("Failed to get VM AppId", job.vm.failureReason);
  }
  {
    // An index-V2 VM the index has never seen is backed up in full, and its archive is indexed.
    Job job(3003, 2);
    EXPECT_EQ(0, job.Run());
    EXPECT_EQ(1, job.vm.updateInfo.getint64(JobManager::VMUpdateInfo::F_backupLevel)) << "converted to full";
    EXPECT_EQ(1, job.worker->Mount()->vmBackupLevel);
    EXPECT_TRUE(Logged("VM:[vm01] not found in the index.Performing FULL backup on the VM"));
  }
  {
    ASSERT_TRUE(lab_.Fault("index.RunArchiveIndexForVM", 7));
    Job job(3004, 1);
    EXPECT_EQ(132, job.Run());
    EXPECT_EQ("Failed to run Archive Index Operation", job.vm.failureReason);
    ExpectNothingHeld(job);
  }
  {
    // A quit that comes during the backup ends the VM as interrupted before its archive index.
    Job job(3005, 1);
    job.worker->diskStage = [&job](quarnBackupArgs&) {
      lab::RequestJobQuit(job.id);
      return 0;
    };
    EXPECT_EQ(11, job.Run());
    ExpectNothingHeld(job);
  }
}

// A VM is never backed up by a job over the backup of it by a later job of the subclient: the index
// holding a record of it in a later job (at any level of this job; one past the job, and the job itself at
// the limit), or a last backup whose disk is of a later job, fails the VM before anything is mounted, with
// its reason, the job's pending cause and event. A record of the job's own earlier attempt is backed up
// over whole, one of an earlier job built on; the stub phase backs nothing up and is not asked.
TEST_F(RoadTest, AVMThatALaterJobHoldsIsNeverBackedUpOverIt) {
  std::string error;
  lab::SetSubclientValue("1", "indexingV2", "1", error);
  QuarnRegistry::TEST_Unload();
  enum Before { kLaterJob, kSameJob, kEarlierJob, kEarlierJobNamingALaterDisk };
  struct Case {
    const char* what;
    Before before;  // the job that backed the VM up first, against the one that runs
    int level;      // the running job's
    bool stubPhase;
    int result;
    int backupLevel;     // of the running job's backup of the VM; 0: none
    const char* reason;  // part of the VM's failure reason (and of its pending cause)
  } cases[] = {
      {"a later job's record, a full", kLaterJob, 1, false, 95, 0, "the index holds a record of the VM in job ["},
      {"a later job's record, an incremental", kLaterJob, 2, false, 95, 0,
       "a later job of the subclient; a backup of the VM in job ["},
      {"a later job's record, the stub phase", kLaterJob, 2, true, 113, 0, "was not stubbed"},
      {"the job's own earlier attempt, an incremental", kSameJob, 2, false, 0, 1, ""},
      {"the job's own earlier attempt, a full", kSameJob, 1, false, 0, 1, ""},
      {"an earlier job", kEarlierJob, 2, false, 0, 2, ""},
      {"an earlier job's record whose disk is of a later job", kEarlierJobNamingALaterDisk, 2, false, 95, 0,
       "a backup of the VM by job ["},
  };
  int64_t id = 6000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    id += 10;
    const int64_t running = id, first = c.before == kLaterJob ? id + 1 : c.before == kSameJob ? id : id - 1;
    {
      Job earlier(first, 1);
      ASSERT_EQ(0, earlier.Run());
      // The scripted disks send no records of their own: the record of the first job's backup names each
      // disk's backup as of that job, or (kEarlierJobNamingALaterDisk) of a later one.
      const std::string guid = earlier.appMgr.getSubclientGUID();
      std::vector<std::vector<std::string>> entries;
      ASSERT_TRUE(lab::ReadIndexVMEntries(guid, roadtest::kVMGuid, first, entries, error)) << error;
      IdxMetadata::IdxMetaData vmRecord;
      vmRecord.getObject<IdxMetadata::IdxCommonMetaData>(IdxMetadata::IdxMetaData::F_common, true)
          ->setstring(IdxMetadata::IdxCommonMetaData::F_itemName, roadtest::kVM);
      std::string vmXml;
      ASSERT_TRUE(vmRecord.serialize(vmXml, true));
      entries.push_back({"meta", "vm", vmXml});
      for (const char* disk : {"scsi0-0-vm01_0.img", "scsi0-1-vm01_1.img"}) {
        IdxMetadata::IdxMetaData record;
        record.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, true)
            ->setint64(VSMeta::F_diskJobId, c.before == kEarlierJobNamingALaterDisk ? first + 100 : first);
        std::string xml;
        ASSERT_TRUE(record.serialize(xml, true));
        entries.push_back({"meta", "disk", disk, xml});
      }
      ASSERT_TRUE(lab::WriteIndexVMEntries(guid, roadtest::kVMGuid, first, entries, error)) << error;
    }
    Job job(running, c.level);
    job.jobMgr.setVMStubPhase(c.stubPhase);
    const size_t causes = vsJobMgr::ReadPendingCauses(running).size();
    EXPECT_EQ(c.result, job.Run());
    EXPECT_NE(std::string::npos, job.vm.failureReason.find(c.reason)) << job.vm.failureReason;
    if (c.backupLevel == 0) {
      EXPECT_TRUE(c.stubPhase || job.worker->calls.empty()) << "the VM was mounted";
    } else {
      ASSERT_NE(nullptr, job.worker->Mount());
      EXPECT_EQ(c.backupLevel, job.worker->Mount()->vmBackupLevel);
    }
    ExpectNothingHeld(job);
    if (c.before == kSameJob && c.level == 2) {
      EXPECT_TRUE(Logged("The last backup of VM [vm01] in the index is of job [" + std::to_string(running) +
                         "] (disk [scsi0-0-vm01_0.img]), not of a job before this one"));
    }
    const std::vector<std::string> pending = vsJobMgr::ReadPendingCauses(running);
    const std::vector<std::string> events = vsJobMgr::ReadEvents(running);
    if (c.result != 95) {
      EXPECT_EQ(causes, pending.size());
      continue;
    }
    const std::string later = "job [" + std::to_string(c.before == kLaterJob ? first : first + 100) + "]";
    EXPECT_NE(std::string::npos, job.vm.failureReason.find(later)) << job.vm.failureReason;
    EXPECT_TRUE(Logged("ERROR int QuarnWorker::FailVMHeldByALaterJob") && Logged("VM [vm01]: " + job.vm.failureReason));
    ASSERT_EQ(causes + 1, pending.size());
    EXPECT_NE(std::string::npos, pending.back().find("0x5B0001DB vm01|" + job.vm.failureReason)) << pending.back();
    ASSERT_FALSE(events.empty());
    EXPECT_NE(std::string::npos, events.back().find("0x5B0001DB vm01|" + job.vm.failureReason)) << events.back();
  }
}

TEST_F(RoadTest, AnIndexThatCannotBeAskedIsRetriedOnTheClockAndFailsTheVM) {
  testsupport::VirtualClock clock;
  lab::FaultRule rule;
  rule.op = "index.GetVMMetadata";
  rule.code = 1;
  rule.times = lab::kFaultAlways;
  ASSERT_TRUE(lab_.Fault(rule));
  lab_.Setting("VirtualServer", "nMaxBrowseRetryAttempts", "3");
  QuarnRegistry::TEST_Unload();
  Job job(4001, 2);
  const time_t before = ZtClock::NowSeconds();
  int result = -1;
  std::thread road([&] { result = job.Run(); });
  for (int wait = 0; wait < 2; ++wait) {
    ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
    ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(60));
  }
  road.join();
  EXPECT_EQ(147, result);
  EXPECT_EQ(120, ZtClock::NowSeconds() - before) << "two waits of 60 seconds between three requests";
  EXPECT_EQ("Failed to get the index information from previous backup", job.vm.failureReason);
  EXPECT_TRUE(job.worker->calls.empty()) << "nothing mounted";
  EXPECT_EQ(2u, testsupport::CountOf(lab_.Log(), "Retrying GetVMMetadata for VM [vm01] after sleeping 60 seconds"));
  lab::FaultTable table;
  std::string error;
  ASSERT_TRUE(lab::ReadFaultTable(table, error));
  EXPECT_EQ(3, table.rules[0].calls);
}

// A VM's last index record that cannot be read is as good as none: the incremental backs the VM up in
// full at once, saying why, instead of leaving it pending in every later job.
TEST_F(RoadTest, AnIndexRecordThatCannotBeReadGivesAFullBackupWithoutAskingAgain) {
  struct Case {
    const char* name;
    bool cutShort;  // the record is cut short after it was written whole
    const char* why;
  } cases[] = {
      {"metadata that is not a message", false, "cannot be read"},
      {"a record cut short", true, "is damaged"},
  };
  int64_t jobId = 4101;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::VirtualClock clock;
    lab_.Setting("VirtualServer", "nMaxBrowseRetryAttempts", "3");
    QuarnRegistry::TEST_Unload();
    Job job(jobId, 2);
    std::string error;
    const std::string guid = job.appMgr.getSubclientGUID();
    ASSERT_TRUE(lab::WriteIndexVMEntries(guid, roadtest::kVMGuid, jobId - 1,
                                         {{"name", "vm01"}, {"meta", "vm", test.cutShort ? "<x/>" : "<not a record"}},
                                         error))
        << error;
    const std::string record = lab::IndexVMDir(guid, roadtest::kVMGuid, error) + "/" + std::to_string(jobId - 1) + ".idx";
    if (test.cutShort) {
      ASSERT_EQ(0, truncate(record.c_str(), 12));
    }
    const time_t before = ZtClock::NowSeconds();
    EXPECT_EQ(0, job.Run());
    EXPECT_EQ(0, ZtClock::NowSeconds() - before) << "no wait before a request that cannot do better";
    EXPECT_EQ(0u, testsupport::CountOf(lab_.Log(), "Retrying GetVMMetadata"));
    EXPECT_EQ(1, job.worker->Mount()->vmBackupLevel) << "a full backup";
    const std::string log = lab_.Log();
    const size_t said = log.find("The index gave no metadata of the last backup of VM [vm01]");
    ASSERT_NE(std::string::npos, said);
    EXPECT_NE(std::string::npos, log.find(test.why, said)) << log.substr(said, 400);
    EXPECT_NE(std::string::npos, log.find("Performing FULL backup on the VM", said));
    ExpectNothingHeld(job);
    jobId += 2;
  }
}

TEST_F(RoadTest, ConnectionIsKeptForTheSameServerAndMadeAgainForAnother) {
  Job job(5001, 1);
  EXPECT_EQ(0, job.Run());
  EXPECT_EQ(0, job.Run());
  EXPECT_EQ(1u, testsupport::CountOf(lab_.Log(), "Connected to server [vcenter]")) << "the second VM reuses it";
  EXPECT_TRUE(job.worker->IsConnectedTo("vcenter"));
  job.vm.collect.setstring(VirtualServer::VMCollect::F_serverName, "other");
  EXPECT_EQ(17, job.Run()) << "the lab has no such server";
  EXPECT_FALSE(job.worker->IsConnectedTo("vcenter"));
  EXPECT_TRUE(Logged("Error Connecting - "));
  job.worker->CleanUpVMInfo();
  EXPECT_FALSE(job.worker->IsConnectedTo("other"));
}

}  // namespace
