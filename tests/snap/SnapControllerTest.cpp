// The snapshot controller over the lab: the set-up of a snapshot backup on the first stream grant,
// what every VM is told when it cannot be snapshotted, the mount phase of backup copies, and the
// snapshot's metadata files.
#include <algorithm>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "platform/lab/LabArraySnap.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/os/CPxFile.h"
#include "platform/vminfo/LabVMInfo.h"
#include "snap/QuarnSnapWorker.h"
#include "snap/SnapTestSupport.h"

namespace {

using snaptest::kGuids;
using snaptest::SampleVM;
using snaptest::SnapController;
using R = VirtualServer::VMBackupResult;

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

size_t SnapshotsTaken() {
  const std::vector<std::string> lines = lab::ReadArraySnapLog("vcenter");
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("snapshot ", 0) == 0;
  }));
}

// A snapshot-backup job of the sample lab's three VMs (a full backup: no earlier snapshot is read).
struct SnapJob {
  SnapJob() {
    job.jobMgr.setSnapBackup(true);
    job.jobMgr.setBkpLevel(1);
  }
  ctltest::LabJob job;
};

std::string Text(const CNMessageBase& message) {
  std::string xml;
  message.serialize(xml, true);
  return xml;
}

TEST(SnapController, TheFirstGrantSetsTheJobUpOnceAndAFailedSetUpHandsEveryGrantBack) {
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "the pre-snapshot fails" : "the set-up succeeds");
    SnapJob snap;
    if (fails) snap.job.Lab().Fault("vminfo.PreSnap", 3010, "array is busy");
    SnapController controller(snap.job);
    controller.Queue({SampleVM(0), SampleVM(1), SampleVM(2)});
    VirtualServer::VMBackupStream first = ctltest::Grant(1, 1), second = ctltest::Grant(1, 1);
    EXPECT_EQ(!fails, controller.OnMsgVMBackupStream(&first));
    EXPECT_EQ(!fails, controller.OnMsgVMBackupStream(&second));
    EXPECT_EQ(fails ? 0u : 1u, SnapshotsTaken()) << "two grants, one array snapshot at most";
    EXPECT_TRUE(lab::QuiescedGuests().size() == (fails ? 0u : 3u)) << "held until the post-snapshot";
    const auto returned = controller.Sent(VirtualServer::VMBackupStream::TAG);
    const auto results = controller.Sent(R::TAG);
    if (!fails) {
      EXPECT_EQ(2, controller.GrantsHeld());
      EXPECT_TRUE(returned.empty());
      EXPECT_TRUE(results.empty());
      EXPECT_TRUE(controller.PostBackup());
      EXPECT_TRUE(lab::QuiescedGuests().empty());
      continue;
    }
    ASSERT_EQ(2u, returned.size());
    for (const CNMessagePtr& grant : returned) EXPECT_EQ(Text(first), Text(*grant)) << "handed back unchanged";
    ASSERT_EQ(3u, results.size()) << "every VM is told";
    for (const CNMessagePtr& result : results) {
      EXPECT_EQ(2, result->getint64(R::F_statusCode));
      EXPECT_NE(std::string::npos, result->getstring(R::F_failureReason).find("array is busy"));
      EXPECT_FALSE(result->isSet(R::F_fatalError)) << "not fatal without bPendingOnHWSnapFailure";
    }
    EXPECT_TRUE(controller.FailJobFlag());
  }
}

TEST(SnapController, EveryVMOfAFailedSetUpSaysWhy) {
  struct Case {
    const char* name;
    const char* secondServer;  // the second VM's server
    const char* platformType;  // of the client, or null
    int preSnapCode;           // 0: no fault
    bool pendingOnFailure;
    const char* reason;
    const char* pendingCause;  // after the set-up, or null for none
    bool fatal;
    bool failJob;
  } cases[] = {
      {"VMs of two servers", "vcenter2", nullptr, 0, false, "one server", nullptr, false, false},
      {"no media agent", "vcenter", "1", 0, false, "MA is not installed", "0x5B000087", false, true},
      {"code 33 keeps the job's pending cause", "vcenter", nullptr, 33, false, "array is busy", "0x5B0001F0", false,
       true},
      {"another code resets it", "vcenter", nullptr, 3010, false, "array is busy", nullptr, false, true},
      {"pending instead of failed", "vcenter", nullptr, 3010, true, "array is busy", nullptr, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SnapJob snap;
    if (c.platformType != nullptr) snap.job.SetSetting("Base", "nPlatformType", c.platformType);
    if (c.preSnapCode != 0) {
      lab::FaultRule rule;
      rule.op = "vminfo.PreSnap";
      rule.code = c.preSnapCode;
      rule.text = "array is busy";
      rule.eventId = 0x5B0001F0;
      ASSERT_TRUE(snap.job.Lab().Fault(rule));
    }
    if (c.pendingOnFailure) snap.job.SetSetting("bPendingOnHWSnapFailure", "1");
    SnapController controller(snap.job);
    controller.Queue({SampleVM(0), SampleVM(1, c.secondServer), SampleVM(2)});
    VirtualServer::VMBackupStream grant = ctltest::Grant(1, 1);
    EXPECT_FALSE(controller.OnMsgVMBackupStream(&grant));
    const auto results = controller.Sent(R::TAG);
    ASSERT_EQ(3u, results.size());
    for (const CNMessagePtr& result : results) {
      EXPECT_EQ(2, result->getint64(R::F_statusCode));
      EXPECT_NE(std::string::npos, result->getstring(R::F_failureReason).find(c.reason))
          << result->getstring(R::F_failureReason);
      EXPECT_EQ(c.fatal ? 1 : 0, result->getint64(R::F_fatalError));
    }
    const std::vector<std::string> pending = lab::ReadPendingCauses(ctltest::kJobId);
    if (c.pendingCause != nullptr)
      EXPECT_TRUE(Contains(pending, c.pendingCause));
    else
      EXPECT_TRUE(pending.empty()) << pending.front();
    EXPECT_EQ(c.failJob, controller.FailJobFlag());
    EXPECT_EQ(c.fatal, controller.HasFatalVMError());
    EXPECT_EQ(0u, SnapshotsTaken());
    EXPECT_TRUE(lab::QuiescedGuests().empty());
  }
}

// A VM the coordinator stopped before the set-up failed has had its one result (stopped): the set-up's
// failure fails the others and leaves its result and its status with the job manager as they were.
TEST(SnapController, AVMStoppedBeforeAFailedSetUpKeepsItsOneResult) {
  struct Case {
    const char* name;
    const char* platformType;  // of the client, or null
    bool preSnapFails;
    const char* reason;
  } cases[] = {
      {"the set-up fails before the pre-snapshot", "1", false, "MA is not installed"},
      {"the pre-snapshot fails", nullptr, true, "array is busy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SnapJob snap;
    if (c.platformType != nullptr) snap.job.SetSetting("Base", "nPlatformType", c.platformType);
    if (c.preSnapFails) { ASSERT_TRUE(snap.job.Lab().Fault("vminfo.PreSnap", 3010, "array is busy")); }
    SnapController controller(snap.job);
    controller.Queue({SampleVM(0), SampleVM(1), SampleVM(2)});
    VirtualServer::VMBackupStopVM stop;
    stop.setstring(VirtualServer::VMBackupStopVM::F_vmName, "vm02");
    stop.setstring(VirtualServer::VMBackupStopVM::F_vmGuid, kGuids[1]);
    ASSERT_TRUE(controller.OnMsgVMBackupStopVM(&stop));

    VirtualServer::VMBackupStream grant = ctltest::Grant(1, 1);
    EXPECT_FALSE(controller.OnMsgVMBackupStream(&grant));
    std::map<std::string, std::vector<int64_t>> statuses;
    for (const CNMessagePtr& result : controller.Sent(R::TAG)) {
      statuses[result->getstring(R::F_vmGuid)].push_back(result->getint64(R::F_statusCode));
      if (result->getstring(R::F_vmGuid) != kGuids[1]) {
        EXPECT_NE(std::string::npos, result->getstring(R::F_failureReason).find(c.reason));
      }
    }
    EXPECT_EQ((std::vector<int64_t>{2}), statuses[kGuids[0]]);
    EXPECT_EQ((std::vector<int64_t>{3}), statuses[kGuids[1]]) << "stopped, and told once";
    EXPECT_EQ((std::vector<int64_t>{2}), statuses[kGuids[2]]);
    JobManager::VMUpdateInfo status;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(ctltest::kJobId, kGuids[1], status));
    EXPECT_EQ(6, status.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << "still stopped with the job manager";
    EXPECT_EQ(PHASE_STOPPED, controller.Record(kGuids[1]).vmPhase);
  }
}

// Metadata collection mounts the snapshot at the set-up. A mount that fails leaves the backup to go on
// without the metadata, and the job ends completed with errors with the array's reason among its events.
TEST(SnapController, AFailedMountForMetadataCollectionEndsTheJobCompletedWithErrorsSayingWhy) {
  for (bool mountFails : {false, true}) {
    SCOPED_TRACE(mountFails ? "the mount fails" : "the mount succeeds");
    SnapJob snap;
    snap.job.jobMgr.setMetatdataCollectionOption(1);
    if (mountFails) {
      lab::FaultRule rule;
      rule.op = "vminfo.MountSnap";
      rule.code = 3012;
      rule.text = "no free LUN on the proxy";
      rule.eventId = 0x5B0001F2;
      ASSERT_TRUE(snap.job.Lab().Fault(rule));
    }
    SnapController controller(snap.job);
    controller.Queue({SampleVM(0), SampleVM(1), SampleVM(2)});
    VirtualServer::VMBackupStream grant = ctltest::Grant(1, 1);
    EXPECT_TRUE(controller.OnMsgVMBackupStream(&grant)) << "the backup goes on either way";
    EXPECT_TRUE(controller.Sent(R::TAG).empty()) << "no VM is failed for it";
    EXPECT_EQ(!mountFails, snap.job.jobMgr.isCollectMetadataEnabled());
    EXPECT_EQ(mountFails ? 0u : 1u, lab::StandingArraySnapMounts("vcenter", ctltest::kJobId).size());
    const std::vector<std::string> events = lab::ReadJobEvents(ctltest::kJobId);
    EXPECT_EQ(mountFails, Contains(events, "0x5B0001F2"));
    EXPECT_EQ(mountFails, Contains(events, "no free LUN on the proxy"));

    controller.OnAgentStopped();
    const auto shutdown = controller.Sent(VirtualServer::VMAgentShutdown::TAG);
    ASSERT_EQ(1u, shutdown.size());
    EXPECT_EQ(mountFails ? 1 : 0, shutdown[0]->getint64(VirtualServer::VMAgentShutdown::F_completedWithErrors));
    EXPECT_EQ(0, shutdown[0]->getint64(VirtualServer::VMAgentShutdown::F_failJob));
    EXPECT_TRUE(controller.PostBackup());
    EXPECT_TRUE(lab::QuiescedGuests().empty());
  }
}

// Whatever fails once a pre-snapshot was asked for, the job's end lets the guests go; each VM says its
// own reason; no metadata of a snapshot that failed is kept.
TEST(SnapController, TheGuestsAreLetGoWhateverFailsOnceThePreSnapshotWasAskedFor) {
  const std::string notTaken = "The storage snapshot of the job was not taken: array out of space";
  const std::string noFile = "No snapshot metadata file was found for this job";
  struct Case {
    const char* name;
    std::vector<lab::FaultRule> faults;
    const char* platformType;          // of the client, or null
    bool setUp;                        // the set-up succeeds
    std::vector<std::string> reasons;  // each VM's result when the set-up fails
    bool released;                     // the job's end lets guests go
  } cases[] = {
      {"the set-up fails before the pre-snapshot", {}, "1", false,
       {"MA is not installed on the machine", "MA is not installed on the machine", "MA is not installed on the machine"},
       false},
      {"the pre-snapshot fails part-way, at the second VM", {}, nullptr, false,
       {notTaken, "array out of space", notTaken}, true},
      {"the set-up fails after the snapshot was taken", {}, nullptr, false, {noFile, noFile, noFile}, true},
      {"the set-up succeeds", {}, nullptr, true, {}, true},
  };
  cases[1].faults.resize(1);
  cases[1].faults[0].op = "vminfo.SnapshotVM";
  cases[1].faults[0].vm = kGuids[1];
  cases[1].faults[0].code = 3040;
  cases[1].faults[0].text = "array out of space";
  cases[2].faults.resize(1);
  cases[2].faults[0].op = "vminfo.GetSnapBackupInfo";
  cases[2].faults[0].code = 3042;
  cases[2].faults[0].times = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SnapJob snap;
    if (c.platformType != nullptr) snap.job.SetSetting("Base", "nPlatformType", c.platformType);
    for (const lab::FaultRule& rule : c.faults) ASSERT_TRUE(snap.job.Lab().Fault(rule));
    SnapController controller(snap.job);
    controller.Queue({SampleVM(0), SampleVM(1), SampleVM(2)});
    VirtualServer::VMBackupStream grant = ctltest::Grant(1, 1);
    EXPECT_EQ(c.setUp, controller.OnMsgVMBackupStream(&grant));
    const auto results = controller.Sent(R::TAG);
    ASSERT_EQ(c.reasons.size(), results.size());
    for (size_t i = 0; i < results.size(); ++i) {
      const size_t vm = static_cast<size_t>(
          std::find(kGuids.begin(), kGuids.end(), results[i]->getstring(R::F_vmGuid)) - kGuids.begin());
      ASSERT_LT(vm, kGuids.size());
      EXPECT_EQ(0u, results[i]->getstring(R::F_failureReason).find(c.reasons[vm]))
          << results[i]->getstring(R::F_failureReason);
    }
    EXPECT_EQ(c.released, controller.IsPostSnapOwed()) << "owed until the job's end";
    EXPECT_TRUE(controller.PostBackup()) << "a set-up that failed has failed the job already";
    EXPECT_FALSE(controller.IsPostSnapOwed());
    EXPECT_TRUE(lab::QuiescedGuests().empty());
    EXPECT_EQ(c.released, Contains(lab::ReadArraySnapLog("vcenter"), "release coordinator 1001"));
    std::string error;
    EXPECT_EQ(c.setUp, CPxFile::Exists(lab::IndexJobDir(snap.job.appMgr.getSubclientGUID(), 1001, error) +
                                      "/backup_1001.xml"))
        << "the metadata of a snapshot kept only when the set-up succeeded";
  }
}

// A post-snapshot that fails leaves a snapshot no copy can use: the VMs reported backed up on it are
// failed with the reason, the job says so (by the library's event where it has one), and the guests
// are let go all the same.
TEST(SnapController, AFailedPostSnapshotFailsTheVMsReportedBackedUpOnIt) {
  for (uint32_t libraryEvent : {0u, 0x5B0001F1u}) {
    SCOPED_TRACE(libraryEvent == 0 ? "the library names no event" : "the library names its event");
    SnapJob snap;
    SnapController controller(snap.job);
    controller.Queue({SampleVM(0), SampleVM(1), SampleVM(2)});
    VirtualServer::VMBackupStream grant = ctltest::Grant(1, 1);
    ASSERT_TRUE(controller.OnMsgVMBackupStream(&grant));
    controller.EndVM(kGuids[0], PHASE_DONE);
    controller.EndVM(kGuids[1], PHASE_DONE_WITH_ERRORS);
    controller.EndVM(kGuids[2], PHASE_FAILED, "its own reason");
    lab::FaultRule rule;
    rule.op = "vminfo.PostSnap";
    rule.code = 3041;
    rule.text = "array cannot finish";
    rule.eventId = libraryEvent;
    ASSERT_TRUE(snap.job.Lab().Fault(rule));

    EXPECT_FALSE(controller.PostBackup());
    EXPECT_TRUE(controller.FailJobFlag());
    const std::string reason = "The storage snapshot of the job could not be finished: array cannot finish";
    const auto results = controller.Sent(R::TAG);
    ASSERT_EQ(2u, results.size()) << "the VMs reported backed up, not the one that failed before";
    for (const CNMessagePtr& result : results) {
      EXPECT_NE(kGuids[2], result->getstring(R::F_vmGuid));
      EXPECT_EQ(2, result->getint64(R::F_statusCode));
      EXPECT_EQ(reason, result->getstring(R::F_failureReason));
      JobManager::VMUpdateInfo status;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(ctltest::kJobId, result->getstring(R::F_vmGuid), status));
      EXPECT_EQ(1, status.getint64(JobManager::VMUpdateInfo::F_vmStatus));
      EXPECT_EQ(reason, status.getstring(JobManager::VMUpdateInfo::F_failureText));
    }
    EXPECT_EQ("its own reason", controller.Record(kGuids[2]).failureReason);
    const char* cause = libraryEvent == 0 ? "0x5B0001E4" : "0x5B0001F1";
    EXPECT_TRUE(Contains(lab::ReadPendingCauses(ctltest::kJobId), cause));
    EXPECT_TRUE(Contains(lab::ReadJobEvents(ctltest::kJobId), cause));
    EXPECT_TRUE(Contains(lab::ReadJobEvents(ctltest::kJobId), "array cannot finish"));
    EXPECT_TRUE(lab::QuiescedGuests().empty());
    lab::ArraySnapRecord snapshot;
    std::string error;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadArraySnapRecord("vcenter", ctltest::kJobId, snapshot, error));
    EXPECT_EQ("array cannot finish", snapshot.unfinished);
    EXPECT_FALSE(CPxFile::Exists(lab::IndexJobDir(snap.job.appMgr.getSubclientGUID(), ctltest::kJobId, error) +
                                 "/backup_1001.xml"));
  }
}

// A VM-centric engine takes each VM's snapshot in its worker: its set-up asks for no pre-snapshot, and
// its job's end still owes the post-snapshot (then the metadata and the application size).
TEST(SnapController, AVMCentricEngineOwesThePostSnapshotWithoutAPreSnapshot) {
  struct Case {
    int instanceType;
    const char* engine;
    const char* indexingV2;
    bool vmCentric;
  } cases[] = {
      {101, "66", "1", true},  {101, "58", "0", true},  {101, "77", "1", true},  {101, "0", "1", false},
      {102, "59", "1", true},  {102, "66", "1", false}, {301, "0", "1", true},   {301, "0", "0", false},
      {402, "0", "1", true},   {1301, "0", "1", true},  {1501, "0", "1", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.instanceType) + " engine " + c.engine + " indexing V2 " + c.indexingV2);
    SnapJob snap;
    snap.job.SetSubclient("instanceType", std::to_string(c.instanceType));
    snap.job.SetSubclient("snapEngineId", c.engine);
    snap.job.SetSubclient("indexingV2", c.indexingV2);
    SnapController controller(snap.job);
    controller.Queue({SampleVM(0), SampleVM(1), SampleVM(2)});
    VirtualServer::VMBackupStream grant = ctltest::Grant(1, 1);
    ASSERT_TRUE(controller.OnMsgVMBackupStream(&grant));
    EXPECT_TRUE(controller.IsPostSnapOwed());
    EXPECT_EQ(c.vmCentric ? 0u : 1u, SnapshotsTaken());
    EXPECT_EQ(c.vmCentric ? 1u : 0u, snap.job.LogCount("This is VMCentric backup. No PreSnap required for VMS"));
  }
}

TEST(SnapController, GuestsThatCannotBeQuiescedRaiseTheirEventsWhenAsked) {
  struct Case {
    int status;
    const char* sendEvents;
    const char* event;  // null: none
  } cases[] = {
      {2000, "1", "0x5B00004B"}, {2001, "1", "0x5B00004C"}, {2002, "1", "0x5B00004D"}, {2000, "0", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " events " + c.sendEvents);
    SnapJob snap;
    snap.job.SetSetting("nSendVMQuiesceFailureEvents", c.sendEvents);
    lab::FaultRule rule;
    rule.op = "vminfo.Quiesce";
    rule.vm = kGuids[1];
    rule.code = c.status;
    rule.text = "writer timed out";
    ASSERT_TRUE(snap.job.Lab().Fault(rule));
    SnapController controller(snap.job);
    controller.Queue({SampleVM(0), SampleVM(1), SampleVM(2)});
    VirtualServer::VMBackupStream grant = ctltest::Grant(1, 1);
    ASSERT_TRUE(controller.OnMsgVMBackupStream(&grant));
    const std::vector<std::string> events = lab::ReadJobEvents(ctltest::kJobId);
    EXPECT_EQ(c.event != nullptr, Contains(events, "vm02"));
    if (c.event != nullptr) {
      EXPECT_TRUE(Contains(events, c.event));
    }
    EXPECT_TRUE(controller.CompletedWithErrors());
    EXPECT_EQ(c.status == 2000 ? 2000u : 0u, controller.Record(kGuids[1]).snapshotStatus);
    EXPECT_EQ(0u, controller.Record(kGuids[0]).snapshotStatus);
  }
}

TEST(SnapController, TheMountMethodOfABackupCopyIsChosenOnceFromTheFirstAttemptOrThePreviousOne) {
  struct Case {
    const char* name;
    int instanceType;
    const char* prefer;
    bool restarted;
    int64_t previousEvent;  // 0: the previous attempt's VM has none
    const char* transport;
    uint32_t method;
  } cases[] = {
      {"first attempt", 101, "1", false, 0, "0", 1},
      {"restart after a proxyless failure", 101, "1", true, 0x5B00016A, "0", 3},
      {"restart after another failure", 101, "1", true, 0x5B000001, "0", 0},
      {"restart with a transport other than AUTO", 101, "1", true, 0x5B00016A, "3", 0},
      {"proxyless not preferred", 101, "0", false, 0, "0", 0},
      {"another hypervisor", 102, "1", false, 0, "0", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ctltest::LabJob job;
    job.SetSubclient("instanceType", std::to_string(c.instanceType));
    job.SetSubclient("transportMode", c.transport);
    job.SetSetting("bPreferProxylessForBackupCopy", c.prefer);
    if (c.restarted) {
      std::string error;
      ASSERT_TRUE(lab::UpdateJobRecord(ctltest::kJobId, [](lab::JobRecord& record, std::string&) {
        record.restart = "-o attempt2";
        return true;
      }, error));
      job.jobMgr.initBackup();
      JobManager::VMUpdateInfo previous;
      previous.setstring(JobManager::VMUpdateInfo::F_recordGuid, kGuids[0]);
      previous.setint64(JobManager::VMUpdateInfo::F_vmStatus, 1);
      if (c.previousEvent != 0)
        previous.getObject<Common::EventMessage>(JobManager::VMUpdateInfo::F_statusEvent, true)
            ->setint64(Common::EventMessage::F_messageId, c.previousEvent);
      ASSERT_TRUE(job.jobMgr.setVMStatus(kGuids[0], previous));
    }
    job.jobMgr.setSnapToTape(true);
    SnapController controller(job);
    // Workers ask at once; one of them chooses for all.
    std::vector<uint32_t> chosen(8);
    std::vector<std::thread> workers;
    for (size_t i = 0; i < chosen.size(); ++i)
      workers.emplace_back([&, i] { chosen[i] = controller.GetSnapMountMethod(); });
    for (std::thread& worker : workers) worker.join();
    for (uint32_t method : chosen) EXPECT_EQ(c.method, method);
    EXPECT_LE(job.LogCount("Setting mount to ANY because this is the first attempt of the job"), 1u);
    EXPECT_LE(job.LogCount("HOST method will be used for snap mount"), 1u);
  }
}

TEST(SnapController, TheLastSuccessfulSnapshotJobIsTheLaterOfTheFullAndTheIncremental) {
  struct Case {
    int64_t full, incremental, expected;
  } cases[] = {{5, 0, 5}, {5, 7, 7}, {9, 7, 9}, {0, 0, 0}};
  ctltest::LabJob job;
  SnapController controller(job);
  for (const Case& c : cases) {
    job.jobMgr.setLastSuccessfulSnapBkpJobId(c.full);
    job.jobMgr.setLastIncrementalSnapBkpJobId(c.incremental);
    MountCtx ctx;
    controller.SetLastSuccesfulSnapJobId(ctx);
    EXPECT_EQ(c.expected, ctx.lastSuccessfulSnapJobId) << c.full << " " << c.incremental;
  }
}

TEST(SnapController, TheSnapshotFileIsDownloadedByItsJobElseByEachLinkedJobInTurn) {
  struct Case {
    const char* name;
    long long jobId;
    std::vector<int64_t> holding;  // jobs whose cache folder has the file
    const char* links8;            // dataLink.1001.8, or null
    const char* links0;            // dataLink.1001.0, or null
    bool linkFault;
    bool downloaded;
    const char* logged;
  } cases[] = {
      {"its own job has it", 1001, {1001}, nullptr, nullptr, false, true, nullptr},
      {"the second VM job has it", 1001, {2002}, "2001:G,2002:G", nullptr, false, true, nullptr},
      {"a link of any type has it", 1001, {2003}, nullptr, "2003:G", false, true, nullptr},
      {"no job is linked", 1001, {}, nullptr, nullptr, false, false, "VM jobIds list is empty for parent job [1001]"},
      {"no linked job has it", 1001, {}, "2001:G", nullptr, false, false,
       "Failed to download file [backup_1001.xml] from the remote cache location"},
      {"the links cannot be asked", 1001, {}, nullptr, nullptr, true, false,
       "Failed to fetch JMJobDataLink details for parent job [1001]"},
      {"no job", 0, {}, nullptr, nullptr, false, false, "Invalid snap backup job for download."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ctltest::LabJob job;
    const std::string subclientGuid = job.appMgr.getSubclientGUID();
    for (int64_t holder : c.holding) {
      std::string error;
      // A linked job's files are kept under the index text the link names.
      const std::string dir = lab::IndexJobDir(holder == 1001 ? subclientGuid : "G", holder, error);
      ASSERT_TRUE(lab::MakeDirs(dir));
      ASSERT_TRUE(lab::WriteFileAtomic(dir + "/backup_1001.xml", "<snapshot/>"));
    }
    if (c.links8 != nullptr) job.SetSubclient("dataLink.1001.8", c.links8);
    if (c.links0 != nullptr) job.SetSubclient("dataLink.1001.0", c.links0);
    if (c.linkFault) job.Lab().Fault("appmgr.GetJMDataLinkForParentJob", 5);
    SnapController controller(job);
    MountCtx ctx;
    const std::string destination = job.Lab().Path("download");
    ASSERT_TRUE(lab::MakeDirs(destination));
    EXPECT_EQ(c.downloaded, controller.DownloadSnapMetadataFiles(ctx, c.jobId, destination));
    EXPECT_EQ(c.downloaded, CPxFile::Exists(destination + "/backup_1001.xml"));
    if (c.logged != nullptr) {
      EXPECT_EQ(1u, job.LogCount(c.logged));
    }
  }
}

// A backup copy of the snapshot of job 900, taken beforehand.
struct CopyJob {
  CopyJob() {
    LabVMInfo array(kInstanceTypeVMware, "vcenter");
    MountCtx snapshot;
    snapshot.jobId = 900;
    for (const std::string& guid : kGuids) {
      SVMBasicInfo vm;
      vm.vmGuid = guid;
      snapshot.vmBasicInfos.push_back(vm);
    }
    EXPECT_NE(0, array.PreSnap(snapshot));
    EXPECT_NE(0, array.PostSnap(snapshot));
    // The first indexing generation finds the snapshot without its metadata file in the cache.
    job.SetSubclient("indexingV2", "0");
    job.jobMgr.setSnapToTape(true);
    job.jobMgr.setSnapBkpJobId(900);
  }
  bool Mount(SnapController& controller) {
    VirtualServer::MountSnapInfo info;
    info.setint64(VirtualServer::MountSnapInfo::F_snapshotJobId, 900);
    VirtualServer::VMMountSnapInfo vm;
    vm.setstring(VirtualServer::VMMountSnapInfo::F_guid, kGuids[0]);
    info.getlistobject(VirtualServer::MountSnapInfo::F_vmMounts, true).emplace_back(vm);
    return controller.OnMsgMountSnapInfo(&info);
  }
  std::vector<std::string> Standing() const { return lab::StandingArraySnapMounts("vcenter", 900); }
  ctltest::LabJob job;
};

TEST(SnapController, AMountedSnapshotIsReportedUnmountedOnlyOnceItIsUnmounted) {
  CopyJob copy;
  SnapController controller(copy.job);
  EXPECT_TRUE(controller.UnmountSnap()) << "nothing mounted, nothing to do";
  VirtualServer::MountSnapInfo empty;
  EXPECT_FALSE(controller.OnMsgMountSnapInfo(&empty));
  EXPECT_EQ(1u, copy.job.LogCount("Empty VM list found in MountSnap request"));

  ASSERT_TRUE(copy.Mount(controller));
  EXPECT_TRUE(controller.IsSnapMounted());
  EXPECT_EQ(std::vector<std::string>{"coordinator 1001"}, copy.Standing());
  EXPECT_EQ(1u, copy.job.LogCount("Mounting started for snap to tape"));

  copy.job.Lab().Fault("vminfo.UnmountSnap", 3011, "the array refuses");
  EXPECT_FALSE(controller.UnmountSnap());
  EXPECT_TRUE(controller.IsSnapMounted()) << "a failed unmount keeps the flag";
  EXPECT_EQ(1u, copy.Standing().size());

  // The agent's connection is gone: the unmount makes one rather than forget the mount.
  controller.DropVMInfo();
  EXPECT_TRUE(controller.UnmountSnap());
  EXPECT_FALSE(controller.IsSnapMounted());
  EXPECT_TRUE(copy.Standing().empty());
}

TEST(SnapController, TheMountPhaseNeedsAMediaAgentAndAMountPath) {
  struct Case {
    const char* name;
    const char* platformType;
    const char* mountPath;  // subclient's, or null for the default
    const char* logged;
  } cases[] = {
      {"no media agent", "1", nullptr, "MA is not installed on the machine..Failure"},
      {"no mount path", nullptr, "", "Failed to get snap Mount path. Moving to tape will not be performed."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CopyJob copy;
    if (c.platformType != nullptr) copy.job.SetSetting("Base", "nPlatformType", c.platformType);
    if (c.mountPath != nullptr) copy.job.SetSubclient("snapMountPath", c.mountPath);
    SnapController controller(copy.job);
    EXPECT_FALSE(copy.Mount(controller));
    EXPECT_EQ(1u, copy.job.LogCount(c.logged));
    EXPECT_EQ(1u, copy.job.LogCount("Failed to mount hardware snapshot for snap job [900]"));
    EXPECT_TRUE(copy.Standing().empty());
  }
}

TEST(SnapController, TheMetadataCleanUpRemovesOnlyThisJobsFolderInsideTheSubclientFolder) {
  ctltest::LabJob job;
  job.SetSubclient("instanceType", "102");
  SnapController controller(job);
  controller.GetSnapMountCtx()->snapBackupJobId = 1001;
  const std::string subclient = controller.SubclientDir();
  const std::string outside = job.Lab().Path("outside");
  for (const std::string& folder : {subclient + "/Metadata/1001", subclient + "/Metadata/10010", subclient + "/Metadata1001",
                                    outside + "/Metadata/1001"})
    ASSERT_TRUE(lab::MakeDirs(folder));
  EXPECT_TRUE(controller.CleanupJobMetadataFiles(outside));
  EXPECT_TRUE(lab::IsDirectory(outside + "/Metadata/1001")) << "outside the subclient folder";
  EXPECT_TRUE(controller.CleanupJobMetadataFiles(subclient + "/../" + subclient.substr(subclient.rfind('/') + 1)));
  EXPECT_TRUE(lab::IsDirectory(subclient + "/Metadata/1001")) << "a path that leads out and back is not trusted";
  EXPECT_TRUE(controller.CleanupJobMetadataFiles(subclient));
  EXPECT_FALSE(lab::IsDirectory(subclient + "/Metadata/1001"));
  EXPECT_TRUE(lab::IsDirectory(subclient + "/Metadata/10010")) << "a sibling whose name begins the same";
  EXPECT_TRUE(lab::IsDirectory(subclient + "/Metadata1001"));
}

TEST(SnapController, AMetadataFileThatWasNotUploadedIsKept) {
  struct Case {
    const char* indexingV2;
    bool uploadFails;
    bool result, kept, completedWithErrors;
  } cases[] = {
      {"0", false, true, false, false},
      {"0", true, false, true, false},
      {"1", false, true, false, false},
      {"1", true, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("indexing V2 ") + c.indexingV2 + (c.uploadFails ? ", the upload fails" : ""));
    SnapJob snap;
    snap.job.SetSubclient("indexingV2", c.indexingV2);
    if (c.uploadFails) snap.job.Lab().Fault("index.UploadMetadataFiles", 5);
    SnapController controller(snap.job);
    const std::string file = controller.SubclientDir() + "/backup_1001.xml";
    ASSERT_TRUE(lab::WriteFileAtomic(file, "<snapshot/>"));
    controller.SetMetadataFiles({file});
    EXPECT_EQ(c.result, controller.UploadBackupMetadataFiles());
    EXPECT_EQ(c.kept, CPxFile::Exists(file));
    EXPECT_EQ(c.completedWithErrors, controller.CompletedWithErrors());
    std::string error;
    EXPECT_EQ(!c.uploadFails,
              CPxFile::Exists(lab::IndexJobDir(snap.job.appMgr.getSubclientGUID(), 1001, error) + "/backup_1001.xml"));
  }
}

TEST(SnapController, FileRecordNumbersFromEightThreadsAreEachTakenOnce) {
  std::atomic<int> counter{1};
  constexpr int kPerThread = 2000;
  std::vector<std::vector<int>> taken(8);
  std::vector<std::thread> threads;
  for (auto& mine : taken)
    threads.emplace_back([&counter, &mine] {
      for (int i = 0; i < kPerThread; ++i) mine.push_back(QuarnSnapWorker::TakeFileRecordNumber(counter));
    });
  for (std::thread& thread : threads) thread.join();
  std::vector<int> all;
  for (const auto& mine : taken) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end())) << "no number twice";
  EXPECT_EQ(1, all.front());
  EXPECT_EQ(8 * kPerThread, all.back());
}

}  // namespace
