// The VM collect file (missing, foreign, malformed, fetched from the index cache) and the
// coordinator's hypervisor connection.
#include "coordinator/CoordinatorTestSupport.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/vminfo/LabVMInfo.h"

namespace coordtest {
namespace {

// The index cache's copy of the job's collect file.
std::string CachePath() {
  std::vector<std::string> names;
  CPxDirectory::List(lab::IndexDir(), names);
  return names.empty() ? std::string() : lab::IndexDir() + "/" + names[0] + "/1001/vmcollect_1001.ztf";
}

TEST_F(CoordinatorTest, BadCollectFilesGiveTheirLineAndCauseAndNeverACrash) {
  struct Case {
    const char* name;
    std::string content;  // empty: no file at all
    bool keepCacheCopy;
    std::vector<std::string> lines;
  } cases[] = {
      {"missing", "", false,
       {"VM Collect file [", "] is not present", "Failed to download collect file from RemoteFileCache",
        "Failed to download the VM Collect File ["}},
      {"malformed", "<VirtualServer_VMCollectList tag=\"0x1A4F75B1\"><jobId>1001</jobId><vms>", false,
       {"Failed to read the VM Collect File [", "Checking if the VM Collect file ["}},
      // Another job's file: the id differs only above 32 bits, so a 32-bit comparison would take it.
      {"foreign", "4294968297", false, {"Job id mismatch. File Job Id [4294968297], process job id [1001]"}},
      {"unreadable binary", std::string("\0\1\2\3garbage", 11), false, {"Failed to read the VM Collect File ["}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    ASSERT_EQ(0, std::remove(CachePath().c_str()));
    if (test.content.empty()) {
      std::remove(CollectPath().c_str());
    } else if (test.name == std::string("foreign")) {
      VirtualServer::VMCollectList list;
      ASSERT_TRUE(vsXMLFile(CollectPath()).Load(list));
      list.setint64(VirtualServer::VMCollectList::F_jobId, std::stoll(test.content));
      ASSERT_TRUE(vsXMLFile(CollectPath()).Save(list));
    } else {
      ASSERT_TRUE(lab::WriteFileAtomic(CollectPath(), test.content));
    }
    EXPECT_FALSE(Initialize());
    TestCoordinator& c = *coordinator_;
    for (const std::string& line : test.lines) EXPECT_TRUE(Logged(line)) << line;
    EXPECT_TRUE(Logged("Error reading the VM Collect, the job will fail back to the discovery phase"));
    EXPECT_EQ(std::vector<std::string>{"0x5B000082"}, Pending());
    EXPECT_TRUE(c.m_setupFailed);
    EXPECT_TRUE(c.m_vmMap.empty());
    if (test.name == std::string("foreign")) {
      EXPECT_FALSE(CPxFile::Exists(CollectPath())) << "a foreign file is deleted";
    }
    bool partial, failJob, setupFailed, resumeNow;
    EXPECT_FALSE(c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
    EXPECT_TRUE(setupFailed);
    EXPECT_FALSE(failJob);
  }
}

TEST_F(CoordinatorTest, AMissingCollectFileIsFetchedFromTheIndexCacheAndNotUploadedAgain) {
  std::remove(CollectPath().c_str());
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  EXPECT_EQ(3u, c.m_vmMap.size());
  EXPECT_TRUE(CPxFile::Exists(CollectPath()));
  EXPECT_TRUE(Logged("Checking if the VM Collect file [" + CollectPath() + "] is present in the index cache."));
  EXPECT_TRUE(Pending().empty());
  // The collect file's fields reach the VM's record.
  const vm_params& vm = *c.m_vmMap.Find(VMGuid(2));
  EXPECT_EQ("vm02", vm.vmName);
  EXPECT_EQ("esx2", vm.host);
  EXPECT_EQ("ds2", vm.datastore);
  EXPECT_EQ("dc1", vm.datacenter);
  EXPECT_EQ(102, vm.collect.getint64(VirtualServer::VMCollect::F_vmClientId));
}

TEST_F(CoordinatorTest, AContentIndexJobNeverLooksInTheIndexCache) {
  std::remove(CollectPath().c_str());
  EXPECT_FALSE(Initialize({"-ci"}));
  EXPECT_TRUE(Logged("Unable to load VM collect file."));
  EXPECT_FALSE(Logged("present in the index cache"));
  EXPECT_FALSE(CPxFile::Exists(CollectPath()));
}

TEST_F(CoordinatorTest, FailedCollectUploadSetsThePendingCauseWithTheIndexMediaAgent) {
  // Without indexing version 2 the file has the subclient's own name and is uploaded by a fresh job.
  Subclient("indexingV2=0");
  std::string collect;
  ASSERT_TRUE(lab::ReadFile(CollectPath(), collect));
  ASSERT_TRUE(lab::WriteFileAtomic(SubclientDir() + "/vmcollect.ztf", collect));
  ASSERT_TRUE(lab_->Fault("index.UploadMetadataFiles", 5, "the cache is full"));
  EXPECT_FALSE(Initialize());
  EXPECT_TRUE(Logged("Failed to upload collect file to index cache - the cache is full"));
  EXPECT_TRUE(Logged("Failed to upload VM Collect File [" + SubclientDir() + "/vmcollect.ztf] to the index cache."));
  ASSERT_FALSE(Pending().empty());
  EXPECT_EQ("0x5B0001CE ma1|the cache is full", Pending().back());
}

TEST_F(CoordinatorTest, HypervisorConnectFailureIsRetriedNotTakenForAConnection) {
  Server("user=admin\npassword=secret");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  EXPECT_FALSE(c.PrepareVMInfo());
  EXPECT_TRUE(Logged("Error Connecting - Authentication failed for user [] on [vcenter]"));
  ASSERT_FALSE(Events().empty());
  EXPECT_EQ("CRITICAL 0x5B0001F0 vcenter|Authentication failed for user [] on [vcenter]", Events().back());
  ASSERT_NE(nullptr, c.m_vmInfo) << "the object stays for the clean-up";
  EXPECT_EQ(nullptr, c.GetHostInfo("esx1")) << "an unconnected object gives no host";
  EXPECT_TRUE(Logged("VMInfo Object is not available"));
  EXPECT_FALSE(c.InitializeCluster());

  // Once the credentials are right, the next call connects the same object instead of returning at once.
  Subclient("serverUser=admin\nserverPassword=secret\nuseVMInstanceUuid=1");
  ASSERT_EQ(vsAppMgr::kRetOk, app_->querySettings());
  EXPECT_TRUE(c.PrepareVMInfo());
  auto* lab = static_cast<LabVMInfo*>(c.m_vmInfo);
  EXPECT_TRUE(lab->IsConnected());
  EXPECT_EQ(1, lab->GetOption("useInstanceUuid"));
  EXPECT_TRUE(c.PrepareVMInfo());
  EXPECT_TRUE(c.InitializeCluster());

  // Host records: a failure is asked again, a success is kept.
  VMInfoStructs::SHostInfo* host = c.GetHostInfo("esx1");
  ASSERT_NE(nullptr, host);
  EXPECT_EQ(host, c.GetHostInfo("esx1"));
  EXPECT_EQ(nullptr, c.GetHostInfo("nohost"));
  Server("hosts=esx1,esx2,nohost");
  EXPECT_NE(nullptr, c.GetHostInfo("nohost"));
  EXPECT_EQ(nullptr, c.GetHostInfo(""));

  // The library's callbacks: reason 1 and unknown reasons are answered, 8 and 9 reach the hooks.
  EXPECT_EQ(9000, lab->InvokeCallback(1, nullptr));
  EXPECT_EQ(0, lab->InvokeCallback(8, nullptr));
  EXPECT_EQ(9000, lab->InvokeCallback(42, nullptr));
  EXPECT_TRUE(Logged("Unexpected reason [42] received"));
}

TEST_F(CoordinatorTest, ConnectFailureSetsTheLibrarysCauseAndRemembersThePendingSetting) {
  lab::FaultRule rule;
  rule.op = "vminfo.Connect";
  rule.code = 7;
  rule.times = lab::kFaultAlways;
  rule.eventId = 0x5B0001F0;
  rule.text = "host unreachable";
  ASSERT_TRUE(lab_->Fault(rule));
  Settings("bPendingOnVMInfoConnectFailure=1");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  EXPECT_FALSE(c.PrepareVMInfo());
  EXPECT_TRUE(Logged("Error Connecting - host unreachable"));
  EXPECT_EQ("0x5B0001F0 vcenter|host unreachable", Pending().back());
  EXPECT_TRUE(c.m_pendingOnConnectFailure);
}

}  // namespace
}  // namespace coordtest

namespace coordtest {
namespace {

// Each stand-in the coordinator calls can be made to fail through the lab's fault table; the
// coordinator then says so in its log and its causes and goes no further than it should.
TEST_F(CoordinatorTest, StandInFaultsGiveTheirLogLinesAndCauses) {
  struct Case {
    const char* op;
    const char* step;  // "init", "prepare", "run", "result", "startup"
    std::vector<std::string> lines;
    std::string pending;  // the last pending cause's start; empty: none expected
  } cases[] = {
      {"jobmgr.getVMBkpJobStatus", "init", {"Failed to get VM status from Job Manager."}, ""},
      {"index.UploadMetadataFiles", "init",
       {"Failed to upload collect file to index cache - injected", "Failed to upload VM Collect File ["},
       "0x5B0001CE ma1|injected"},
      {"index.DownloadMetadataFiles", "init",
       {"Failed to download collect file from RemoteFileCache", "Failed to download the VM Collect File ["},
       "0x5B000082"},
      {"vminfo.Initialize", "prepare", {"Failed to init VMInfo object"}, ""},
      {"jobmgr.setRefTime", "run", {"Error: Failed to set the reference time for Job manager, 42"}, ""},
      {"results.putLine", "result", {"Failed to write backup.out file"}, ""},
      {"copy.CopySingleFile", "startup", {"Failed to copy file to remote machine [proxyA]. Error msg [injected]"}, ""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.op);
    FreshLab();
    if (std::string(test.op) == "index.DownloadMetadataFiles") {
      ASSERT_EQ(0, std::remove(CollectPath().c_str()));
    }
    ASSERT_TRUE(lab_->Fault(test.op, 42, "injected", 0, lab::kFaultAlways));
    const std::string step = test.step;
    if (step == "init") {
      EXPECT_FALSE(Initialize());
    } else {
      ASSERT_TRUE(Initialize());
      TestCoordinator& c = *coordinator_;
      if (step == "prepare") {
        EXPECT_FALSE(c.PrepareVMInfo());
        EXPECT_EQ(nullptr, c.m_vmInfo) << "an object that could not be set up is not kept";
      } else if (step == "run") {
        EXPECT_FALSE(c.Run());
        EXPECT_EQ(QuarnCoordinator::kConstructed, c.GetState()) << "no loop without a reference time";
      } else if (step == "result") {
        c.WriteBackupDotOut("vm01", "", "reason", true, false);
        EXPECT_TRUE(BackupOut().empty());
      } else {
        StartAllAgents();
        EXPECT_EQ(AgentInitialized, c.m_agents["proxyA"].state) << "a failed copy does not stop the agent";
      }
    }
    for (const std::string& line : test.lines) EXPECT_TRUE(Logged(line)) << line;
    const std::vector<std::string> pending = Pending();
    if (!test.pending.empty()) {
      ASSERT_FALSE(pending.empty());
      EXPECT_EQ(0u, pending.back().rfind(test.pending, 0)) << pending.back();
    }
  }
}

}  // namespace
}  // namespace coordtest
