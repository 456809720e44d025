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
