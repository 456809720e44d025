// The shared shadow of a job and the hardware snapshot mounts of a backup copy, in the framework's
// scripted mode over the lab's hypervisor.
#include "controller/QuarnController.h"
#include "coordinator/CoordinatorTestSupport.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabShadow.h"
#include "platform/msg/vsXMLFile.h"
#include "support/VirtualClock.h"

namespace coordtest {
namespace {

using VirtualServer::MountSnapInfo;
using VirtualServer::VMMountSnapInfo;
using VirtualServer::VMSharedShadow;

// A local controller that mounts hardware snapshots on paper.
class MountController : public QuarnController {
 public:
  MountController() : QuarnController(true) {}
  bool InitMovingToTapePhase() override {
    ++mounts;
    return mountResult;
  }
  std::vector<std::string> MountedGuids() {
    ZtCriticalSectionLock lock(&m_snapMountLock);
    std::vector<std::string> guids;
    for (const VMMountSnapInfo& mount : m_snapMounts) guids.push_back(mount.getstring(VMMountSnapInfo::F_guid));
    return guids;
  }
  int mounts = 0;
  bool mountResult = true;
};

// Counts the hooks around the shadow's creation, and acts in the first, which can refuse it.
class HookCoordinator : public TestCoordinator {
 public:
  int PreCreateSharedShadow() override {
    ++pre;
    if (inPre) inPre();
    return preResult;
  }
  int PostCreateSharedShadow() override { return ++post, 0; }
  int pre = 0, post = 0, preResult = 0;
  std::function<void()> inPre;
};

class SharedSnapshotTest : public CoordinatorTest {
 protected:
  // Initialises the coordinator of a Microsoft hypervisor job with its hypervisor connection.
  void InitializeConnected(const std::string& subclient = "instanceType=102") {
    Subclient(subclient);
    ASSERT_TRUE(Initialize());
    ASSERT_TRUE(coordinator_->PrepareVMInfo());
  }
  size_t SentCount(const std::string& agent, uint32_t tag) {
    const Sent sent = TakeSent(agent);
    return static_cast<size_t>(std::count(sent.tags.begin(), sent.tags.end(), tag));
  }
  std::vector<std::string> Standing() const { return lab::StandingSharedShadows(lab::SampleServer()); }
  // The paths of the shadow records of the subclient directory.
  std::vector<std::string> ShadowRecords() const {
    std::vector<std::string> names, records;
    EXPECT_FALSE(CPxDirectory::List(SubclientDir(), names).IsError());
    for (const std::string& name : names)
      if (name.rfind("SharedShadow_", 0) == 0) records.push_back(SubclientDir() + "/" + name);
    return records;
  }
};

TEST_F(SharedSnapshotTest, ShadowGoesToInitialisedRemoteAgentsOnlyAndIsDeletedOnce) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  InitializeConnected();
  TestCoordinator& c = *coordinator_;
  StartAllAgents({"proxyB"});
  Advance(121);  // proxyB never announces itself and fails
  ASSERT_TRUE(c.ScriptRunPass());
  ASSERT_EQ(QuarnCoordinator::kRunning, c.GetState());
  EXPECT_TRUE(Logged("Submitted 3 VMs for the shared Shadow"));
  ASSERT_EQ(1u, Standing().size());
  EXPECT_NE(std::string::npos, lab::ReadSharedShadowLog(lab::SampleServer()).front().find(
                                   VMGuid(1) + "," + VMGuid(2) + "," + VMGuid(3)));
  EXPECT_EQ(1u, SentCount("proxyA", VMSharedShadow::TAG));
  EXPECT_EQ(0u, SentCount("proxyB", VMSharedShadow::TAG));
  EXPECT_EQ(0u, SentCount("coordinator", VMSharedShadow::TAG));

  EXPECT_TRUE(c.DeleteSharedShadow());
  EXPECT_TRUE(Standing().empty());
  EXPECT_TRUE(c.DeleteSharedShadow());
  EXPECT_EQ(2u, lab::ReadSharedShadowLog(lab::SampleServer()).size()) << "one creation, one deletion";
}

TEST_F(SharedSnapshotTest, WhetherAShadowIsMadeByHypervisorSettingAndJob) {
  struct Case {
    std::string subclient, settings;
    bool snapBackup, made;
  } cases[] = {
      {"instanceType=102", "", false, true},
      {"instanceType=501", "", false, true},
      {"instanceType=101", "", false, false},
      {"instanceType=101", "bCreateSharedShadow=1", false, true},
      {"instanceType=102", "bCreateSharedShadow=0", false, false},
      {"instanceType=102", "", true, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.subclient + " " + test.settings);
    FreshLab();
    if (!test.settings.empty()) Settings(test.settings);
    Subclient(test.subclient);
    ASSERT_TRUE(StartManagers());
    job_->setSnapBackup(test.snapBackup);
    ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
    ASSERT_TRUE(coordinator_->PrepareVMInfo());
    EXPECT_EQ(test.made, coordinator_->CreateSharedShadow());
    EXPECT_EQ(test.made ? 1u : 0u, Standing().size());
  }
}

TEST_F(SharedSnapshotTest, NothingIsSentWhenNoVMIsLeftOrTheShadowFails) {
  InitializeConnected();
  TestCoordinator& c = *coordinator_;
  for (auto& entry : c.m_vmMap) entry.second.vmPhase = PHASE_STARTED;
  EXPECT_FALSE(c.CreateSharedShadow());
  EXPECT_TRUE(Logged("No VMS found eligible for shared shadow creation"));

  c.m_vmMap.Find(VMGuid(2))->vmPhase = PHASE_NOT_STARTED;
  ASSERT_TRUE(lab_->Fault("vminfo.CreateSharedShadow", 5));
  StartAllAgents();
  EXPECT_TRUE(Logged("Submitted 1 VMs for the shared Shadow"));
  EXPECT_TRUE(Logged("Failed to create the shared shadow"));
  EXPECT_EQ(0u, SentCount("proxyA", VMSharedShadow::TAG));
  EXPECT_TRUE(Standing().empty());
  EXPECT_TRUE(c.DeleteSharedShadow()) << "no shadow, nothing to delete";
}

TEST_F(SharedSnapshotTest, AFailedDeletionLeavesTheShadowStandingForTheNextTry) {
  InitializeConnected();
  ASSERT_TRUE(coordinator_->CreateSharedShadow());
  ASSERT_TRUE(lab_->Fault("vminfo.DeleteSharedShadow", 5));
  EXPECT_FALSE(coordinator_->DeleteSharedShadow());
  EXPECT_TRUE(Logged("Failed to delete the shared shadow"));
  EXPECT_EQ(1u, Standing().size());
  EXPECT_TRUE(coordinator_->DeleteSharedShadow());
  EXPECT_TRUE(Standing().empty());
}

// A shadow the job could not delete stays, and the job says so: the event names it and the reason,
// and the job completes with errors. The job's next attempt deletes it before it makes its own, or,
// failing again, says so again and leaves it to the attempt after; a record without the shadow's name
// (a coordinator killed before the library named it) gets the job's shadow deleted all the same, and
// so does one of an earlier job that the library made but was cut off before it logged the making:
// the library is asked by that job's id, whatever the shadow was named. A record that cannot be read
// is kept, and the attempt reports it as a shadow left standing; a later job's shadow is left to that
// job.
TEST_F(SharedSnapshotTest, AShadowLeftStandingIsReportedAndDeletedBeforeTheNextIsMade) {
  enum Record { kKept, kUnnamed, kOfALaterJob, kUnreadable, kMadeButNeverLogged };
  struct Case {
    const char* name;
    int64_t failures;  // of the deletion
    Record record;
    const char* logged;  // by the next attempt, "%s" the shadow left
    bool deleted;        // by the next attempt
    bool reported;       // by the next attempt: the event, completed with errors
  } cases[] = {
      {"the next attempt deletes it", 1, kKept, "Deleted the shared shadow [%s] that job [1001] left standing", true,
       false},
      {"its deletion fails again", 2, kKept, "Failed to delete the shared shadow [%s] that job [1001] left standing",
       false, true},
      {"a later job's record", 1, kOfALaterJob, nullptr, false, false},
      {"an unreadable record", 1, kUnreadable, "Cannot read the record [", false, true},
      {"a record without its name", 1, kUnnamed, "Deleted the shared shadow [%s] that job [1001] left standing", true,
       false},
      {"an earlier job's record without its name, the shadow's making never logged", 0, kMadeButNeverLogged,
       "Deleted the shared shadow [%s] that job [1000] left standing", true, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    InitializeConnected();
    std::string left, record, copies;
    if (test.record == kMadeButNeverLogged) {
      // Job 1000's coordinator recorded the shadow it was about to ask for, and the library made it (its
      // record and copies stand) but was cut off before it logged the making, as a killed process
      // leaves it.
      const int64_t earlierJob = kJobId - 1;
      left = "shadow-0000000100000001";
      copies = lab::SharedShadowCopyDir(lab::SampleServer(), earlierJob, left);
      ASSERT_TRUE(lab::MakeDirs(copies) && lab::WriteFileAtomic(copies + "/copy.img", "copied"));
      lab::SharedShadowRecord made;
      made.name = left;
      made.state = "standing";
      std::string error;
      ASSERT_TRUE(lab::WriteSharedShadowRecord(lab::SampleServer(), earlierJob, made, error)) << error;
      record = SubclientDir() + "/SharedShadow_1000_00000001.xml";
      ASSERT_TRUE(vsXMLFile(record).Save(VMSharedShadow()));
      EXPECT_TRUE(Standing().empty()) << "its making was never logged";
    } else {
      ASSERT_TRUE(coordinator_->CreateSharedShadow());
      left = Standing().front();
      ASSERT_TRUE(lab_->Fault("vminfo.DeleteSharedShadow", 5, "held by a host", 0, test.failures));
      EXPECT_FALSE(coordinator_->DeleteSharedShadow());
      EXPECT_TRUE(Logged("Failed to delete the shared shadow"));
      EXPECT_EQ("MAJOR 0x5B0001E7 " + left + "|held by a host", Events().back());
      EXPECT_TRUE(coordinator_->m_completedWithErrors);
      ASSERT_EQ(1u, ShadowRecords().size());
      record = ShadowRecords().front();
    }
    if (test.record == kOfALaterJob) {
      ASSERT_EQ(0, std::rename(record.c_str(), (SubclientDir() + "/SharedShadow_1002_0.xml").c_str()));
    } else if (test.record == kUnnamed) {
      ASSERT_TRUE(vsXMLFile(record).Save(VMSharedShadow()));
    } else if (test.record == kUnreadable) {
      ASSERT_FALSE(CPxFile::WriteAll(record, "<not a record").IsError());
    }
    const size_t events = Events().size();

    InitializeConnected();  // the job's next attempt
    ASSERT_TRUE(coordinator_->DistributeSharedShadow());
    std::string logged = test.logged != nullptr ? test.logged : "";
    if (logged.find("%s") != std::string::npos) logged.replace(logged.find("%s"), 2, left);
    if (!logged.empty()) {
      EXPECT_TRUE(Logged(logged)) << logged;
    }
    const std::vector<std::string> standing = Standing();
    ASSERT_EQ(test.deleted ? 1u : 2u, standing.size());
    EXPECT_NE(left, standing.back()) << "a shadow of its own";
    if (test.record == kMadeButNeverLogged) {
      EXPECT_FALSE(CPxFile::Exists(record)) << "the record of a shadow deleted stays";
      EXPECT_FALSE(CPxDirectory::Exists(copies)) << "the shadow's copies stand";
      lab::SharedShadowRecord made;
      std::string error;
      ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSharedShadowRecord(lab::SampleServer(), kJobId - 1, made, error));
      EXPECT_EQ("deleted", made.state);
    }
    EXPECT_EQ(test.reported, coordinator_->m_completedWithErrors);
    EXPECT_EQ(events + (test.reported ? 1 : 0), Events().size());
    if (test.record == kUnreadable) {
      EXPECT_EQ(0u, Events().back().find("MAJOR 0x5B0001E7 " + record + "|its record cannot be read"))
          << Events().back();
      EXPECT_TRUE(CPxFile::Exists(record)) << "kept: the shadow it was of may stand";
    }
    EXPECT_TRUE(coordinator_->DeleteSharedShadow());
    EXPECT_EQ(test.deleted ? 0u : 1u, Standing().size());
    if (test.failures < 2) continue;

    InitializeConnected();  // the attempt after
    ASSERT_TRUE(coordinator_->DistributeSharedShadow());
    EXPECT_TRUE(coordinator_->DeleteSharedShadow());
    EXPECT_TRUE(Standing().empty());
    EXPECT_FALSE(coordinator_->m_completedWithErrors);
  }
}

TEST_F(SharedSnapshotTest, TheHookBeforeTheShadowCanRefuseIt) {
  Subclient("instanceType=102");
  ASSERT_TRUE(StartManagers());
  auto* hooks = new HookCoordinator();
  coordinator_.reset(hooks);
  coordinator_->SetScriptedMode();
  coordinator_->SetAvailableStreams(streams_);
  ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
  ASSERT_TRUE(coordinator_->PrepareVMInfo());
  // Recorded before it is made: a coordinator killed from here on leaves a record.
  std::vector<size_t> recordsBefore;
  hooks->inPre = [&] { recordsBefore.push_back(ShadowRecords().size()); };
  hooks->preResult = 144;
  EXPECT_FALSE(coordinator_->CreateSharedShadow());
  EXPECT_EQ(0, hooks->post);
  EXPECT_TRUE(ShadowRecords().empty()) << "no shadow, no record";
  hooks->preResult = 0;
  EXPECT_TRUE(coordinator_->CreateSharedShadow());
  EXPECT_EQ(2, hooks->pre);
  EXPECT_EQ(1, hooks->post);
  EXPECT_EQ((std::vector<size_t>{1, 1}), recordsBefore);
}

TEST_F(SharedSnapshotTest, HardwareMountsSkipEarlierAndSkippedVMsAndReachOnlyRemoteAgents) {
  MountController local;
  ASSERT_TRUE(StartManagers());
  job_->setSnapToTape(true);
  job_->setSnapBkpJobId(900);
  job_->setPrevMasterArchFile(5);
  ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
  TestCoordinator& c = *coordinator_;
  c.m_localController = &local;
  c.m_vmMap.Find(VMGuid(1))->vmPhase = PHASE_PREVIOUS_ATTEMPT;
  c.m_vmMap.Find(VMGuid(2))->vmPhase = PHASE_SKIPPED;
  StartAllAgents();
  EXPECT_EQ(QuarnCoordinator::kRunning, c.GetState());
  EXPECT_EQ(1, local.mounts);
  EXPECT_EQ(std::vector<std::string>{VMGuid(3)}, local.MountedGuids());
  for (const char* agent : {"proxyA", "proxyB"}) {
    const Sent sent = TakeSent(agent);
    auto it = std::find(sent.tags.begin(), sent.tags.end(), MountSnapInfo::TAG);
    ASSERT_NE(it, sent.tags.end()) << agent;
    const CNMessageBase& info = *sent.messages[static_cast<size_t>(it - sent.tags.begin())];
    EXPECT_EQ(900, info.getint64(MountSnapInfo::F_snapshotJobId));
  }
  EXPECT_EQ(0u, SentCount("coordinator", MountSnapInfo::TAG));
}

TEST_F(SharedSnapshotTest, AHardwareMountThatCannotBeMadeStopsTheJobsStart) {
  struct Case {
    bool controller, mountResult, anyVM;
    const char* error;
  } cases[] = {
      {true, false, true, "Failed to mount hardware snapshot from coordinator node"},
      {false, true, true, "Failed to mount hardware snapshot from coordinator node"},
      {true, true, false, "No vms found for hardware mount request"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.error);
    FreshLab();
    MountController local;
    local.mountResult = test.mountResult;
    ASSERT_TRUE(StartManagers());
    job_->setSnapToTape(true);
    job_->setPrevMasterArchFile(5);
    ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
    TestCoordinator& c = *coordinator_;
    if (test.controller) c.m_localController = &local;
    if (!test.anyVM)
      for (auto& entry : c.m_vmMap) entry.second.vmPhase = PHASE_SKIPPED;
    StartAllAgents();
    EXPECT_TRUE(Logged(test.error));
    EXPECT_TRUE(Logged("Stopping coordinator node"));
    EXPECT_EQ(QuarnCoordinator::kStopping, c.GetState());
    EXPECT_EQ(0u, SentCount("proxyA", MountSnapInfo::TAG));
    c.m_localController = nullptr;
  }
}

TEST_F(SharedSnapshotTest, ABackupCopyTakesItsParentSnapshotsIndexOnce) {
  struct Case {
    const char* name;
    bool snapToTape, copyParent, parentIndexed, result, done;
  } cases[] = {
      {"not a backup copy", false, true, true, true, false},
      {"parent index copied", true, true, true, true, true},
      {"parent index already copied", true, false, false, true, false},
      {"parent has no index", true, true, false, false, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    ASSERT_TRUE(StartManagers());
    job_->setSnapToTape(test.snapToTape);
    job_->setCopyParentJobToTape(test.copyParent);
    job_->setSnapBkpJobId(900);
    job_->setPrevMasterArchFile(5);  // the master index archive file of the earlier attempt
    job_->setPrevMasterAFileCTime(77);
    ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
    std::string error;
    const std::string parent = lab::IndexJobDir(app_->getSubclientGUID(), 900, error);
    if (test.parentIndexed) {
      ASSERT_TRUE(lab::MakeDirs(parent) && lab::WriteFileAtomic(parent + "/master.idx", "x"));
    }
    EXPECT_EQ(test.result, coordinator_->CopyParentSnapIndexToBackupCopy());
    EXPECT_EQ(test.done, vsJobMgr::IsParentBackupToTapeDone(kJobId));
    EXPECT_EQ(test.result ? 0u : 1u, Pending().size());
    EXPECT_EQ(test.result, coordinator_->FinalizeIndex()) << "the index's last step of a backup copy";
    EXPECT_EQ(!test.result, Logged("Failed to copy Parent Snap Index to Backup Copy"));
    if (test.done) {
      EXPECT_TRUE(CPxFile::Exists(lab::IndexJobDir(app_->getSubclientGUID(), kJobId, error) + "/master.idx"));
      EXPECT_TRUE(Logged("Copying parent index with MasterIndexAfile [5] cTime [77]"));
    }
  }
}

// A backup copy that copies its parent's index takes the master index archive file of its earlier
// attempt, or has one made through the media agent; a job that ends meanwhile makes none.
TEST_F(SharedSnapshotTest, ABackupCopyHasItsMasterIndexArchiveFileMadeOnce) {
  struct Case {
    const char* name;
    bool copyParent;
    int64_t previous;
    bool fault, quit, result;
    size_t files;  // index-only archive files of the job afterwards
  } cases[] = {
      {"made through the media agent", true, 0, false, false, true, 1},
      {"the earlier attempt's", true, 5, false, false, true, 0},
      {"the parent is not copied", false, 0, false, false, true, 0},
      {"the archive file cannot be made", true, 0, true, false, false, 0},
      {"the job was killed", true, 0, false, true, false, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    ASSERT_TRUE(StartManagers());
    job_->setSnapToTape(true);
    job_->setCopyParentJobToTape(test.copyParent);
    job_->setPrevMasterArchFile(test.previous);
    job_->setMediaAgent("ma1");
    if (test.fault) {
      ASSERT_TRUE(lab_->Fault("archive.createArchiveFile", 4));
    }
    if (test.quit) {
      ASSERT_TRUE(lab::RequestJobQuit(kJobId));
    }
    coordinator_->UseManagers(job_.get(), app_.get());
    EXPECT_EQ(test.result, coordinator_->CreateMasterIndexArchiveFile());
    EXPECT_EQ(test.files, lab::ListArchiveFiles(kJobId).size());
    if (test.files == 1) {
      const uint32_t number = coordinator_->m_masterIndexFileNumber;
      EXPECT_EQ(lab::ListArchiveFiles(kJobId).front().archiveFileId, number);
      EXPECT_TRUE(Logged("Created master index archive file [" + std::to_string(number) + "]"));
      EXPECT_EQ(static_cast<int64_t>(number), job_->getPrevMasterArchFile()) << "a later attempt takes it";
    }
    if (test.previous != 0) {
      EXPECT_EQ(5u, coordinator_->m_masterIndexFileNumber);
    }
    EXPECT_EQ(test.quit, Logged("Job is suspended or killed"));
    lab::ClearJobQuit(kJobId);
  }
}

}  // namespace
}  // namespace coordtest
