// The snapshot worker's own steps: its progress in a snapshot backup, a VM that a later job holds, and a
// catalogue's volumes (their mount at file level, their header files, their image-level trees).
#include <cstring>

#include <gtest/gtest.h>

#include "platform/index/CImageTree.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabMount.h"
#include "platform/os/CPxFile.h"
#include "platform/vminfo/LabVMInfo.h"
#include "snap/QuarnSnapWorker.h"
#include "snap/SnapTestSupport.h"
#include "support/LayoutTestSupport.h"

namespace {

using layouttest::Volume;
using snaptest::kGuids;

// A snapshot worker with the test's VM-information object and, once lent, a VM in hand.
class LentWorker : public QuarnSnapWorker {
 public:
  LentWorker(snaptest::SnapController* controller, LabVMInfo* vmInfo) : QuarnSnapWorker(controller, 0) {
    m_vmInfo = vmInfo;
  }
  // What the test lent the worker is the test's.
  ~LentWorker() override {
    m_vmInfo = nullptr;
    TEST_SetMountCtx(nullptr);
    TEST_SetCurrentVM(nullptr);
  }
};

class SnapWorkerTest : public testing::Test {
 protected:
  SnapWorkerTest() {
    job.SetSubclient("instanceType", std::to_string(kInstanceTypeNutanix));
    job.jobMgr.setSnapCatalogMode(true);
    job.jobMgr.setSnapBkpJobId(900);
    job.jobMgr.setMetatdataCollectionOption(1);
  }
  // The VM mounted for the catalogue from a snapshot of its disks.
  void MountVM(LentWorker& worker) {
    MountCtx snapshot;
    snapshot.jobId = 900;
    snapshot.vmBasicInfos.resize(1);
    snapshot.vmBasicInfos[0].vmGuid = kGuids[0];
    ASSERT_NE(0, vmInfo.PreSnap(snapshot));
    ASSERT_TRUE(worker.Initialize(&job.jobMgr, &job.appMgr));
    vm.vmName = "vm01";
    vm.vmGuid = kGuids[0];
    ctx.vmName = "vm01";
    ctx.vmGuid = kGuids[0];
    ctx.jobId = ctltest::kJobId;
    ctx.snapBackupJobId = 900;
    ctx.isSnapCatalog = true;
    ctx.mountPath = job.Lab().Path("mount");
    lab::MountRecord record;
    std::string error;
    record.vm = "vm01";
    record.guid = kGuids[0];
    record.state = "mounted";
    ASSERT_TRUE(lab::WriteMountRecord("vcenter", ctltest::kJobId, record, error)) << error;
    worker.TEST_SetCurrentVM(&vm);
    worker.TEST_SetMountCtx(&ctx);
    args.mVMName = "vm01";
    args.mVMGuid = kGuids[0];
  }
  ctltest::LabJob job;
  snaptest::SnapController controller{job};
  // The VM-information library with the volumes the test gives it.
  layouttest::VolumesVMInfo vmInfo{kInstanceTypeNutanix, "vcenter"};
  vm_params vm;
  MountCtx ctx;
  quarnBackupArgs args;
};

TEST_F(SnapWorkerTest, ASnapshotBackupCountsItsProgressByPhase) {
  job.jobMgr.setSnapCatalogMode(false);
  job.jobMgr.setSnapBackup(true);
  LentWorker worker(&controller, &vmInfo);
  ASSERT_TRUE(worker.Initialize(&job.jobMgr, &job.appMgr));
  const std::pair<QuarnVMProgressPhase, int> expected[] = {
      {VM_PROGRESS_NOT_STARTED, 80}, {VM_PROGRESS_STARTED, 80},   {VM_PROGRESS_MOUNTED, 90},
      {VM_PROGRESS_CONFIG_FILES, 90}, {VM_PROGRESS_DISKS, 90},    {VM_PROGRESS_GRANULAR_METADATA, 90},
      {VM_PROGRESS_UNMOUNTED, 99},    {VM_PROGRESS_COMPLETE, 100}, {static_cast<QuarnVMProgressPhase>(8), 0}};
  for (const auto& phase : expected) EXPECT_EQ(phase.second, worker.getPercentageCompletion(phase.first, 5, 10));
}

// The snapshot worker takes its VM's base from the ordinary road: a VM that a later job of the
// subclient holds (the index's record of it in that job) is not backed up by a snapshot backup, at any
// level, and fails saying which job before its snapshot's mount; a record of the job itself does not
// stop it.
TEST_F(SnapWorkerTest, ASnapshotBackupOfAVMALaterJobHoldsFailsItBeforeAnyMount) {
  job.jobMgr.setSnapCatalogMode(false);
  job.jobMgr.setSnapBackup(true);
  std::string error;
  for (const int64_t recordJob : {ctltest::kJobId, ctltest::kJobId + 1}) {
    ASSERT_TRUE(lab::WriteIndexVMEntries(job.appMgr.getSubclientGUID(), kGuids[0], recordJob, {{"name", "vm01"}},
                                         error))
        << error;
    for (const int level : {1, 2}) {
      SCOPED_TRACE("a record of job " + std::to_string(recordJob) + ", level " + std::to_string(level));
      job.jobMgr.setBkpLevel(level);
      vm_params road;
      road.vmName = "vm01";
      road.vmGuid = kGuids[0];
      road.collect = snaptest::SampleVM(0);
      road.collect.setint64(VirtualServer::VMCollect::F_vmJobId, ctltest::kJobId * 1000 + 1);
      road.collect.setint64(VirtualServer::VMCollect::F_subclientId, 1);
      QuarnSnapWorker worker(&controller, 0);
      ASSERT_TRUE(worker.Initialize(&job.jobMgr, &job.appMgr));
      worker.TEST_SetCurrentVM(&road);
      const int result = worker.ProcessVM();
      worker.TEST_SetCurrentVM(nullptr);
      if (recordJob == ctltest::kJobId) {
        // On to its snapshot's mount, which this lab has none of.
        EXPECT_EQ(146, result) << road.failureReason;
        continue;
      }
      EXPECT_EQ(95, result);
      EXPECT_NE(std::string::npos,
                road.failureReason.find("the index holds a record of the VM in job [" +
                                        std::to_string(ctltest::kJobId + 1) + "], a later job of the subclient"))
          << road.failureReason;
    }
  }
}

TEST_F(SnapWorkerTest, ACatalogueThatCollectsNothingSaysSoInTheVMsResult) {
  struct Case {
    const char* name;
    bool mountFails;
    bool volume;
    const char* line;
  } cases[] = {
      {"the volumes cannot be mounted", true, false, "could not be mounted for metadata collection"},
      {"the VM has no volume", false, false, "Metadata collection failed on all volumes"},
      {"no volume can be read", false, true, "Metadata collection failed on all volumes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vm = vm_params();
    LentWorker worker(&controller, &vmInfo);
    MountVM(worker);
    vmInfo.volumes.clear();
    if (c.volume) vmInfo.volumes.push_back(Volume("0001", job.Lab().Path("no-such-device")));
    if (c.mountFails) job.Lab().Fault("vminfo.MountVM", 3003);
    EXPECT_EQ(117, worker.CollectGranularMetadata(args));
    ASSERT_FALSE(vm.messages.empty());
    EXPECT_NE(std::string::npos, vm.messages.back().find(c.line)) << vm.messages.back();
    EXPECT_NE(std::string::npos, vm.messages.back().find("vm01 Failed "));
    EXPECT_GE(vm.errorCount, 1);
  }
}

TEST_F(SnapWorkerTest, ACatalogueVolumeKeepsItsHeaderAndItsImageTreeNamesIt) {
  LentWorker worker(&controller, &vmInfo);
  MountVM(worker);
  const std::string device = job.Lab().Path("volume.img");
  ASSERT_TRUE(lab::WriteFileAtomic(device, std::string(128 * 1024, 'v')));
  vmInfo.volumes = {Volume("0001", device)};
  // The metadata collection made the volume's tree; its first entry names a longer path than the
  // volume's, as long as a path may be.
  const std::string treePath = worker.GetSubclientDirectory() + "/imageLevelTree(" + kGuids[0] + "_0001)";
  {
    CImageTree tree;
    ASSERT_EQ(0, tree.init(treePath));
    TImageTreePathRecord first;
    first.clear();
    first.number = 1;
    std::memset(first.path, 'x', TImageTreePathRecord::kMaxPath);
    ASSERT_EQ(0, tree.insert(first));
    ASSERT_EQ(0, tree.close());
  }
  EXPECT_EQ(1, worker.CollectGranularMetadata(args));
  EXPECT_TRUE(vm.messages.empty());
  EXPECT_TRUE(CPxFile::Exists(worker.GetSubclientDirectory() + "/VolHdr(" + kGuids[0] + "_0001).imf"))
      << "the header is kept inside the worker's folder";
  CImageTree tree;
  ASSERT_EQ(0, tree.init(treePath));
  TImageTreePathRecord first;
  first.clear();
  ASSERT_EQ(0, tree.firstRecord(first));
  EXPECT_EQ("0001", std::string(first.path, strnlen(first.path, sizeof(first.path))))
      << "the new path, terminated, with nothing of the old one after it";
  lab::MountRecord record;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", ctltest::kJobId, kGuids[0], record, error));
  EXPECT_EQ("unmounted", record.other["fileMount"]) << "the volume mount is let go";
}

// A catalogue volume that cannot be opened is the run's error: a minor job event with the reason, the
// VM's first error and a warning of its result, while the other volumes go on. Every volume failing
// fails the collection.
TEST_F(SnapWorkerTest, ACatalogueVolumeThatCannotBeOpenedIsReportedAsTheRunsError) {
  struct Case {
    const char* name;
    int failing;  // of the two volumes, the first ones whose open fails
    int result;
  } cases[] = {
      {"no volume fails", 0, 1},
      {"the first volume fails", 1, 1},
      {"every volume fails", 2, 117},
  };
  const std::string devices[] = {job.Lab().Path("volume-1.img"), job.Lab().Path("volume-2.img")};
  for (const std::string& device : devices) ASSERT_TRUE(lab::WriteFileAtomic(device, std::string(128 * 1024, 'v')));
  auto reason = [](const char* volume) {
    return std::string("Error mounting VM [vm01] Volume [") + volume +
           "]. Metadata collection is supported on volume with NTFS file system only";
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vm = vm_params();
    LentWorker worker(&controller, &vmInfo);
    MountVM(worker);
    vmInfo.volumes = {Volume("0001", devices[0]), Volume("0002", devices[1])};
    if (c.failing > 0) {
      lab::FaultRule rule;
      rule.op = "disk.Open";
      rule.vm = kGuids[0];
      rule.code = 5;
      rule.times = c.failing;
      ASSERT_TRUE(job.Lab().Fault(rule));
    }
    const size_t eventsBefore = job.Lab().Events().size();
    const size_t openLinesBefore = job.LogCount("Err [53] Continuing ahead...");
    auto reasonLines = [&] { return job.LogCount(": " + reason("0001")) + job.LogCount(": " + reason("0002")); };
    const size_t reasonLinesBefore = reasonLines();

    EXPECT_EQ(c.result, worker.CollectGranularMetadata(args));

    std::vector<std::string> events = job.Lab().Events();
    events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(eventsBefore));
    std::vector<std::string> expectedEvents, expectedLines;
    const char* const volumes[] = {"0001", "0002"};
    for (int i = 0; i < c.failing; ++i) {
      expectedEvents.push_back("MINOR 0x4800006A " + reason(volumes[i]));
      expectedLines.push_back("vm01 Warning " + reason(volumes[i]));
    }
    EXPECT_EQ(expectedEvents, events) << "one event per failed volume, with its reason";
    ASSERT_GE(vm.messages.size(), expectedLines.size());
    EXPECT_EQ(expectedLines, std::vector<std::string>(vm.messages.begin(), vm.messages.begin() + c.failing))
        << "the run's errors, its first one first, are the VM's warnings";
    EXPECT_EQ(static_cast<size_t>(c.failing), job.LogCount("Err [53] Continuing ahead...") - openLinesBefore);
    EXPECT_EQ(static_cast<size_t>(c.failing), reasonLines() - reasonLinesBefore)
        << "the reason is logged as the VM's metadata error";
    EXPECT_TRUE(job.Lab().Pending().empty()) << "a volume left out of the metadata holds up no job";
  }
}

// The end of a VM of a snapshot backup uploads the snapshot's files of the VM to the index cache. The
// VM's own file then goes from the proxy; a Microsoft hypervisor's is the job's metadata file, which
// the job's end still sends, and stays.
TEST(SnapWorkerEnd, TheVMsOwnSnapshotFileGoesOnceUploadedTheJobsFileStays) {
  struct Case {
    int instanceType;
    std::string file;  // the file the VM's end is given
    bool kept;
  } cases[] = {
      {kInstanceTypeVMware, "VMSnap_" + kGuids[0] + "_1001.snap", false},
      {kInstanceTypeHyperV, "backup_1001.xml", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.instanceType);
    ctltest::LabJob job;
    job.SetSubclient("instanceType", std::to_string(c.instanceType));
    job.jobMgr.setSnapBackup(true);
    snaptest::SnapController controller(job);
    LabVMInfo array(c.instanceType, "vcenter");
    MountCtx snapshot;
    snapshot.jobId = ctltest::kJobId;
    snapshot.isSnapBackup = true;
    snapshot.subclientDir = controller.SubclientDir();
    snapshot.vmBasicInfos.resize(1);
    snapshot.vmBasicInfos[0].vmGuid = kGuids[0];
    ASSERT_NE(0, array.PreSnap(snapshot));
    LentWorker worker(&controller, &array);
    ASSERT_TRUE(worker.Initialize(&job.jobMgr, &job.appMgr));
    vm_params vm;
    vm.vmName = "vm01";
    vm.vmGuid = kGuids[0];
    vm.collect = snaptest::SampleVM(0);
    vm.collect.setint64(VirtualServer::VMCollect::F_vmJobId, 1001001);
    vm.collect.setstring(VirtualServer::VMCollect::F_subclientGuid, job.appMgr.getSubclientGUID());
    MountCtx ctx = snapshot;
    ctx.vmGuid = kGuids[0];
    worker.TEST_SetCurrentVM(&vm);
    worker.TEST_SetMountCtx(&ctx);
    quarnBackupArgs args;
    args.mVMName = "vm01";
    args.mVMGuid = kGuids[0];
    worker.PostBackupVM(args);
    const std::string path = controller.SubclientDir() + "/" + c.file;
    EXPECT_EQ(c.kept, CPxFile::Exists(path)) << path;
    std::string error;
    EXPECT_TRUE(CPxFile::Exists(lab::IndexVMJobDir(job.appMgr.getSubclientGUID(), kGuids[0], 1001001, error) + "/" +
                                c.file))
        << "in the cache for the VM's later copies";
  }
}

}  // namespace
