// The controller's services to its workers: per-VM and job quit flags, the VM-information connection
// and its callbacks, the one index client and what goes through it, read speeds, clean-up.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/cleanup/VSCleanupClient.h"
#include "platform/config/ZTPI_Base.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/os/CPxDirectory.h"
#include "platform/vminfo/LabVMInfo.h"
#include "support/ControllerTestSupport.h"
#include "support/VirtualClock.h"

namespace {

using namespace VirtualServer;
using ctltest::Collect;
using ctltest::CollectList;
using ctltest::LabJob;
using ctltest::TestController;

// Opens the subclient folder the controller's set-up would have filled.
class ServicesController : public TestController {
 public:
  using TestController::TestController;
  void SetSubclientDir(const std::string& dir) {
    std::snprintf(m_subclientFiles.subclientDir, sizeof(m_subclientFiles.subclientDir), "%s", dir.c_str());
  }
};

class ControllerServicesTest : public ::testing::Test {
 protected:
  std::string Guid() { return job.appMgr.getSubclientGUID(); }
  // A VM of the job whose collect entry names the subclient, as discovery writes it.
  VMCollect VM(const std::string& name, const std::string& guid, int64_t jobId) {
    VMCollect vm = Collect(name, guid, jobId);
    vm.setstring(VMCollect::F_subclientGuid, Guid());
    return vm;
  }
  std::string LocalFile(const std::string& name, const std::string& content) {
    const std::string path = job.Lab().Path(name);
    EXPECT_TRUE(lab::WriteFileAtomic(path, content));
    return path;
  }
  // Calls counted so far by the operation's last fault rule.
  static int64_t RuleCalls(const std::string& op) {
    lab::FaultTable table;
    std::string error;
    int64_t calls = -1;
    if (!lab::ReadFaultTable(table, error)) return calls;
    for (const lab::FaultRule& rule : table.rules)
      if (rule.op == op) calls = rule.calls;
    return calls;
  }
  void HandOut(vm_params*& vm) {
    int index = 0;
    ASSERT_TRUE(controller.GetNextVM(0, vm, index));
  }

  LabJob job;
  ServicesController controller{&job};
};

// ---- Quit flags ----

TEST_F(ControllerServicesTest, QuitFlagsPerVMAndPerJob) {
  controller.Deliver(CollectList({Collect("vm1", "G1", 501), Collect("vm2", "G2", 502)}));
  vm_params* vm = nullptr;
  HandOut(vm);
  VMBackupStopVM stop;
  stop.setstring(VMBackupStopVM::F_vmGuid, "G1");
  stop.setint64(VMBackupStopVM::F_vmJobId, 501);
  controller.Deliver(stop);
  controller.SetQuitFlagForVM("G2", "");
  controller.SetQuitFlagForVM("", "ignored");

  struct Case {
    long long jobId;
    const char* guid;
    bool quit;
  } cases[] = {
      {501, "G1", true}, {501, "", true},  {501, "other", true},  // the stopped VM's job, whatever the GUID
      {502, "", false},  {0, "G1", false}, {0, "g2", true},       // by GUID, in any case
      {0, "", false},    {503, "G3", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.quit, controller.CheckQuitFlagForVM(c.jobId, c.guid)) << c.jobId << " " << c.guid;

  std::string reason;
  EXPECT_FALSE(controller.GetQuitFlagReasonForVM("G2", reason)) << "set without a reason";
  controller.SetQuitFlagForVM("G2", "datastore full");
  controller.SetQuitFlagForVM("g2", "second reason");
  ASSERT_TRUE(controller.GetQuitFlagReasonForVM("G2", reason));
  EXPECT_EQ("datastore full", reason) << "the first reason stays";
  EXPECT_EQ(1u, job.LogCount("Setting quit flag for vm [vm2] - [datastore full]"));

  // The job manager's quit latches: it stays set when the job's quit goes away.
  EXPECT_FALSE(controller.CheckQuitFlag(502, "G3"));
  ASSERT_TRUE(lab::RequestJobQuit(ctltest::kJobId));
  EXPECT_TRUE(controller.CheckQuitFlag(502, "G3"));
  ASSERT_TRUE(lab::ClearJobQuit(ctltest::kJobId));
  EXPECT_TRUE(controller.CheckQuitFlag());
}

TEST_F(ControllerServicesTest, QuitFlagsSetAndReadFromSeveralThreads) {
  std::vector<VMCollect> vms;
  for (int i = 0; i < 40; ++i) vms.push_back(Collect("vm" + std::to_string(i), "G" + std::to_string(i), 600 + i));
  controller.Deliver(CollectList(vms));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = t; i < 40; i += 4) {
        const std::string guid = "G" + std::to_string(i);
        controller.SetQuitFlagForVM(guid, "reason " + std::to_string(t));
        EXPECT_TRUE(controller.CheckQuitFlag(0, guid));
        controller.CheckQuitFlagForVM(600 + (i + 1) % 40, "");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < 40; ++i) {
    std::string reason;
    ASSERT_TRUE(controller.GetQuitFlagReasonForVM("G" + std::to_string(i), reason));
    EXPECT_EQ("reason " + std::to_string(i % 4), reason);
  }
}

// ---- The VM-information connection and its callbacks ----

TEST_F(ControllerServicesTest, CallbacksByReason) {
  bool flag = true;
  std::string guid = "G1";
  SCallbackSnapshotOperationArgs snapshot;
  struct Case {
    int reason;
    void* argument;
    int result;
  } cases[] = {{0, nullptr, 0}, {1, &flag, 0}, {2, &flag, 0},    {3, &guid, 0},   {5, &snapshot, 0},
               {6, &snapshot, 0}, {7, &guid, 0}, {4, nullptr, 9000}, {8, nullptr, 9000}, {-1, nullptr, 9000}};
  for (const Case& c : cases) {
    flag = true;
    EXPECT_EQ(c.result, QuarnController::CallbackStatic(c.reason, &controller, c.argument)) << c.reason;
    if (c.reason == 1 || c.reason == 2) {
      EXPECT_FALSE(flag) << "no quit, not committed";
    }
  }
  EXPECT_EQ(1u, job.LogCount("Unexpected reason [4] received"));
  EXPECT_EQ(-1, QuarnController::CallbackStatic(1, nullptr, &flag));
  ASSERT_TRUE(lab::RequestJobQuit(ctltest::kJobId));
  EXPECT_EQ(0, controller.Callback(1, &flag));
  EXPECT_TRUE(flag);
}

TEST_F(ControllerServicesTest, AFailedConnectLeavesNoObjectAndTheNextUserConnects) {
  job.SetSubclient("serverUser", "backup");
  ASSERT_TRUE(job.Lab().Fault("vminfo.Connect", 3004, "Authentication failed"));
  {
    auto_lock lock;
    EXPECT_EQ(nullptr, controller.GetVMInfoPtr(lock));
    EXPECT_TRUE(lock.IsLocked()) << "the lock is held also without an object";
  }
  EXPECT_EQ(1u, job.LogCount("Error Connecting - Authentication failed"));

  // A failed account check only changes the log: the connection stands.
  lab::FaultRule missing;
  missing.op = "vminfo.VerifyAccount";
  missing.code = 282;
  missing.text = "no backup role";
  ASSERT_TRUE(job.Lab().Fault(missing));
  auto_lock lock;
  IVMInfo* vmInfo = controller.GetVMInfoPtr(lock);
  ASSERT_NE(nullptr, vmInfo);
  EXPECT_TRUE(static_cast<LabVMInfo*>(vmInfo)->IsConnected());
  EXPECT_EQ(0, static_cast<LabVMInfo*>(vmInfo)->GetOption("useInstanceUuid"));
  EXPECT_EQ(1u, job.LogCount("User Account [backup] is missing privileges.  [no backup role]"));
  EXPECT_EQ(vmInfo, controller.GetVMInfoPtr(lock)) << "a connected object is kept";
}

TEST_F(ControllerServicesTest, AccountChecksFollowTheSettingAndCleanupClearsTheJobsStrings) {
  job.SetSetting("VerifyAccount", "false");
  ASSERT_TRUE(job.Lab().Fault("vminfo.VerifyAccount", 5, "down", 0, lab::kFaultAlways));
  ASSERT_TRUE(controller.PrepareVMInfo("vcenter", "u", "p"));
  EXPECT_EQ(0, RuleCalls("vminfo.VerifyAccount")) << "not checked";
  job.SetSetting("VerifyAccount", "true");
  ASSERT_TRUE(controller.PrepareVMInfo("vcenter"));
  EXPECT_EQ(1u, job.LogCount("Account verification failed for user [")) << "the server's own account";

  ASSERT_TRUE(job.jobMgr.AddCleanupString("mount of vm1"));
  ASSERT_TRUE(job.Lab().Fault("vminfo.Cleanup", 1002));
  EXPECT_EQ(0, controller.CleanupVMInfo());
  EXPECT_TRUE(vsJobMgr::ReadCleanupStrings(ctltest::kJobId).empty());
  EXPECT_EQ(1u, job.LogCount("Clearing cleanup string per VMInfo response"));
  EXPECT_EQ(0, controller.CleanupVMInfo()) << "nothing left to clean up";
}

// ---- The index client ----

TEST_F(ControllerServicesTest, IdleIndexClientClosesAfterMoreThanItsLimitNeverWhileBusy) {
  testsupport::VirtualClock clock;
  job.SetSetting("nMaxIndexClientIdleTime", "30");
  auto use = [this] {
    auto_lock lock;
    EXPECT_NE(nullptr, controller.GetIndexClient(lock));
  };
  use();
  use();
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(30));
  EXPECT_TRUE(controller.MonitorIndexing());
  EXPECT_EQ(0u, job.LogCount("Closing idle Indexing connection")) << "at the limit it stays";
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
  EXPECT_TRUE(controller.MonitorIndexing());
  EXPECT_EQ(1u, job.LogCount("Closing idle Indexing connection.  Reused [1] times, Idle for [31] seconds"));

  use();
  EXPECT_EQ(2u, job.LogCount("Opening Indexing connection"));
  // A client held by another thread is busy, not idle: the monitor neither closes it nor waits.
  std::promise<void> held, release;
  std::thread user([&] {
    auto_lock lock;
    controller.GetIndexClient(lock);
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(100));
  EXPECT_TRUE(controller.MonitorIndexing());
  release.set_value();
  user.join();
  EXPECT_EQ(1u, job.LogCount("Closing idle Indexing connection"));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(31));
  EXPECT_TRUE(controller.MonitorIndexing());
  EXPECT_EQ(1u, job.LogCount("Reused [1] times, Idle for [131] seconds")) << "idle since the hand-out, not the use";
}

TEST_F(ControllerServicesTest, AFailedCloseRaisesItsEventAndTheClientIsGone) {
  {
    auto_lock lock;
    ASSERT_NE(nullptr, controller.GetIndexClient(lock));
  }
  ASSERT_TRUE(job.Lab().Fault("index.Close", 9));
  controller.CloseIndexing();
  EXPECT_EQ(1u, job.LogCount("Error closing indexing connection"));
  const auto events = job.Lab().Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ("MINOR 0x48000036 Error closing connection to indexing", events.back());
  controller.CloseIndexing();
  EXPECT_EQ(1u, job.LogCount("Error closing indexing connection")) << "no client is left to close";
}

TEST_F(ControllerServicesTest, MetadataFilesRoundTripThroughTheIndexCache) {
  job.SetSubclient("indexingV2", "0");
  controller.Deliver(CollectList({VM("vm1", "G1", 1001), VM("vm2", "G2", 1001)}));
  vm_params* vm = nullptr;
  HandOut(vm);
  const std::string crc = LocalFile("disk.crc", "checksums");
  const std::string state = LocalFile("disk.cid", "change ids");
  vm->vmPhase = PHASE_DONE;
  vm->statusCode = 1;
  vm->metadataFiles = {crc, state};
  int result = 0;
  ASSERT_TRUE(controller.CompleteVM(vm, result));
  EXPECT_EQ(1u, controller.Sent(VMBackupResult::TAG).size());
  EXPECT_FALSE(testsupport::Exists(crc) || testsupport::Exists(state)) << "committed files leave the proxy";

  const std::string out = job.Lab().Path("next-job");
  ASSERT_TRUE(lab::MakeDirs(out));
  // A later attempt of the job takes none of them for the last backup's: it supersedes them.
  EXPECT_FALSE(controller.GetVMMetadataFile("G1", "/previous/job/disk.crc", out, 0));
  job.jobMgr.setJobId(std::to_string(ctltest::kJobId + 1));  // the next job
  struct Case {
    bool indexingV2;
    std::string file;
    bool found;
    std::string logged;
  } cases[] = {
      {false, "/previous/job/disk.crc", true, ""},
      {false, "/previous/job/missing.crc", false, "Failed to get index file [missing.crc*] for VM [G1]"},
      {true, "disk.cid", true, ""},
      {true, "/previous/missing.cid", false, "Failed to get index file [/previous/missing.cid] for VM [G1]"},
  };
  for (const Case& c : cases) {
    job.SetSubclient("indexingV2", c.indexingV2 ? "1" : "0");
    EXPECT_EQ(c.found, controller.GetVMMetadataFile("G1", c.file, out, 0)) << c.file;
    if (!c.logged.empty()) {
      EXPECT_EQ(1u, job.LogCount(c.logged));
    }
  }
  std::string text;
  ASSERT_TRUE(lab::ReadFile(out + "/disk.crc", text));
  EXPECT_EQ("checksums", text);
  EXPECT_FALSE(controller.DownloadVMMetaDataFiles("G1", out, 77, Guid()));
  EXPECT_EQ(1u, job.LogCount("Failed to download vm metadata files for job [77]"));

  // An upload that fails keeps the files and the list, and the VM is not reported.
  HandOut(vm);
  const std::string kept = LocalFile("vm2.crc", "kept");
  vm->vmPhase = PHASE_DONE;
  vm->statusCode = 1;
  vm->metadataFiles = {kept};
  std::vector<std::string> list = vm->metadataFiles;
  ASSERT_TRUE(job.Lab().Fault("index.UploadMetadataFiles", 5, "cache full", 0, 2));
  EXPECT_FALSE(controller.CommitVMMetadataFiles("G2", 1001, Guid(), list));
  EXPECT_EQ(1u, list.size());
  vm_params* held = vm;
  ASSERT_TRUE(controller.CompleteVM(vm, result));
  EXPECT_EQ(PHASE_PENDING, held->vmPhase);
  EXPECT_EQ(1u, controller.Sent(VMBackupResult::TAG).size()) << "no result for the pending VM";
  EXPECT_TRUE(testsupport::Exists(kept));
  EXPECT_EQ(2u, job.LogCount("Failed to send index files for VM [G2]"));
  EXPECT_TRUE(controller.CommitVMMetadataFiles("G2", list));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(testsupport::Exists(kept));
}

TEST_F(ControllerServicesTest, ExtentNameFormIsAskedOnceAFailureAsksAgain) {
  controller.SetSubclientDir(job.Lab().Path("subclient"));
  ASSERT_TRUE(job.Lab().Fault("index.GetUseFixedLengthExtentNames", 5));
  bool fixed = false;
  EXPECT_FALSE(controller.GetUseFixedLengthExtentNames(fixed));
  EXPECT_EQ(1u, job.LogCount("Failed to check the extent name format that the index is using"));
  ASSERT_TRUE(controller.GetUseFixedLengthExtentNames(fixed));
  EXPECT_TRUE(fixed);
  ASSERT_TRUE(job.Lab().Fault("index.GetUseFixedLengthExtentNames", 5, "", 0, lab::kFaultAlways));
  EXPECT_TRUE(controller.GetUseFixedLengthExtentNames(fixed));
  EXPECT_EQ(0, RuleCalls("index.GetUseFixedLengthExtentNames")) << "never asked again";
}

TEST_F(ControllerServicesTest, OneIndexClientServesSeveralWorkersAtOnce) {
  vm_params vm;
  vm.vmGuid = "G1";
  std::string error;
  ASSERT_TRUE(lab::AppendIndexVMEntry(Guid(), "G1", 1001, {"extent", "d1", "mft", "5", ""}, error)) << error;
  std::atomic<int> extents{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 6; ++t) {
    workers.emplace_back([&, t] {
      std::vector<std::string> files = {LocalFile("w" + std::to_string(t), "x")};
      EXPECT_TRUE(controller.CommitVMMetadataFiles("G1", 1001, Guid(), files));
      EXPECT_TRUE(controller.GetMFTExtentsFromIndexing(vm, "d1", [&extents](uint64_t, const std::string&) {
        ++extents;
      }));
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(6, extents.load());
  EXPECT_EQ(1u, job.LogCount("Opening Indexing connection"));
  std::vector<std::string> names;
  CPxDirectory::List(lab::IndexVMJobDir(Guid(), "G1", 1001, error), names);
  EXPECT_EQ(6u, names.size());

  vm.vmGuid = "unknown";
  EXPECT_FALSE(controller.GetMountExtentsFromIndexing(vm, "d1", nullptr));
  EXPECT_EQ(1u, job.LogCount("Failed to fetch metadata extent list from indexing. Continuing without metadata"));
}

// ---- Index requests beside the metadata files ----

TEST_F(ControllerServicesTest, InImageHeaderAndBrowsePaths) {
  job.SetSubclient("indexingV2", "0");
  const auto entries = [this] { return lab::ReadIndexJobEntries(Guid(), ctltest::kJobId); };
  EXPECT_EQ(127, controller.SendInImageDiskHeader("G1", "", "disk", 4, 501, 2, "t"));
  EXPECT_EQ(0, controller.SendInImageDiskHeader("G1", "scsi0-0", "disk", 4, 501, 2, "t"));
  ASSERT_EQ(2u, entries().size());
  EXPECT_EQ((std::vector<std::string>{"inImage", "\\G1\\scsi0-0", "0", "1", "1", "t"}), entries()[1]);
  EXPECT_EQ(1u, job.LogCount("Sending in-image file Header for disk path:[\\G1\\scsi0-0]"));
  ASSERT_TRUE(job.Lab().Fault("index.SendInImageFlag", 5, "index down"));
  EXPECT_EQ(0, controller.SendInImageDiskHeader("G1", "scsi0-1", "disk", 4, 501, 2, "t")) << "logged, not reported";
  EXPECT_EQ(1u, job.LogCount("index down"));
  job.SetSubclient("indexingV2", "1");
  EXPECT_EQ(0, controller.SendInImageDiskHeader("G1", "scsi0-2", "disk", 4, 501, 2, "t"));
  EXPECT_EQ(3u, entries().size()) << "version 2 sends nothing";

  IdxMetadata::IdxMetaData metadata;
  job.jobMgr.setSnapToTape(true);
  EXPECT_TRUE(controller.SendBrowseViewPaths({"/a"}, "G1", metadata, "", 1, 0));
  job.jobMgr.setSnapToTape(false);
  EXPECT_EQ(3u, entries().size()) << "a backup copy contacts no index";
  ASSERT_TRUE(controller.SendBrowseViewPaths({"/a"}, "G1", metadata, "", 1, 0));
  ASSERT_EQ(5u, entries().size()) << "without a master index archive file: the paths and the commit";
  EXPECT_EQ("browsePaths", entries()[3][0]);
  VMAgentInit init;
  init.setint64(VMAgentInit::F_masterIndexFileId, 9);
  init.setint64(VMAgentInit::F_masterIndexFileTime, 77);
  controller.Deliver(init);
  ASSERT_TRUE(job.Lab().Fault("index.SendBrowseViewPaths", 5));
  EXPECT_FALSE(controller.SendBrowseViewPaths({"/a"}, "G1", metadata, "", 1, 0));
  ASSERT_EQ(6u, entries().size()) << "the archive file first, no commit after a failed send";
  EXPECT_EQ((std::vector<std::string>{"archiveFileInfo", std::to_string(job.appMgr.getKeyrealmId()), "9", "77",
                                      std::to_string(job.appMgr.getAppId()), "1001",
                                      std::to_string(job.jobMgr.getBkpLevel())}),
            entries()[5]);
}

// ---- Read speeds, clean-up and housekeeping ----

TEST_F(ControllerServicesTest, OneSpeedCounterPerDatastorePrintedAndResetOnQuit) {
  controller.OuputDatastoreMedaiSpeedCounters();
  EXPECT_EQ(0u, job.LogCount("--- Datastore read speeds ---")) << "nothing without counters";
  job.SetSetting("nBackupPerfCounterInterval", "120");
  CMultiStreamMediaSpeedCounter* first = controller.GetDatastoreMediaSpeedCounter("ds1");
  first->Add(4096);
  EXPECT_EQ(first, controller.GetDatastoreMediaSpeedCounter("ds1"));
  EXPECT_EQ(4096u, first->Size()) << "a second disk does not reset the counter";
  EXPECT_EQ("Datastore Read [ds1]", first->Name());
  EXPECT_EQ(120u, first->LoggingInterval());
  EXPECT_EQ(ctltest::kJobId, first->JobId());
  controller.GetDatastoreMediaSpeedCounter("ds0");
  controller.OuputDatastoreMedaiSpeedCounters();
  const std::string log = job.Log();
  EXPECT_LT(log.find("Datastore Read [ds0]"), log.find("Datastore Read [ds1]")) << "in name order";
  EXPECT_EQ(0u, first->Size());
}

// A field holding the separator is escaped, and an unregistration that fails keeps the entry for a
// later attempt.
TEST_F(ControllerServicesTest, CleanupRegistrationsEscapeTheirFieldsAndOutliveAFailedUnregistration) {
  EXPECT_TRUE(controller.RegisterVMForCleanup("esx1", "vm1", "G1", "mount|1"));
  EXPECT_EQ(std::vector<std::string>{"vm esx1|vm1|G1|mount\\|1"}, VSCleanupClient::ReadRegistrations("coordinator"));
  ASSERT_TRUE(job.Lab().Fault("cleanup.UnregisterVM", 5));
  EXPECT_FALSE(controller.UnregisterVMFromCleanup("esx1", "vm1", "G1", "mount|1"));
  EXPECT_EQ(1u, VSCleanupClient::ReadRegistrations("coordinator").size());
  EXPECT_TRUE(controller.UnregisterVMFromCleanup("esx1", "vm1", "G1", "mount|1"));
  EXPECT_TRUE(VSCleanupClient::ReadRegistrations("coordinator").empty());
}

TEST_F(ControllerServicesTest, HousekeepingFilesOfTheJob) {
  const std::string maFile = ZTPI_Base::getVorlaxTempDirectory() + "/VSAIndexingMA_1001.txt";
  ASSERT_TRUE(lab::MakeDirs(ZTPI_Base::getVorlaxTempDirectory()));
  ASSERT_TRUE(lab::WriteFileAtomic(maFile, "an older job's content"));
  job.jobMgr.setMediaAgent("ma7");
  controller.InitIndexingMAFile();
  std::string text;
  ASSERT_TRUE(lab::ReadFile(maFile, text));
  EXPECT_EQ("ma7", text) << "the bare name";
  controller.CleanupIndexingMAFile();
  EXPECT_FALSE(testsupport::Exists(maFile));

  const std::string dir = job.Lab().Path("subclient");
  ASSERT_TRUE(lab::MakeDirs(dir + "/VSS_FILES_FOLDER/sub"));
  controller.CleanupJobMetadataFiles(dir);
  EXPECT_TRUE(lab::IsDirectory(dir + "/VSS_FILES_FOLDER")) << "a VMware subclient keeps it";
  job.SetSubclient("instanceType", "102");
  controller.CleanupJobMetadataFiles("");
  EXPECT_TRUE(lab::IsDirectory(dir + "/VSS_FILES_FOLDER")) << "no folder named, none removed";
  controller.CleanupJobMetadataFiles(dir);
  EXPECT_FALSE(lab::IsDirectory(dir + "/VSS_FILES_FOLDER"));
  EXPECT_EQ(1u, job.LogCount("Cleaning up metadata folder [" + dir + "/VSS_FILES_FOLDER]"));
}

}  // namespace
