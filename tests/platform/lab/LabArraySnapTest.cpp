// The lab's storage-array snapshots: the proxies of one job each add their VMs to the job's snapshot
// (from several threads at once) and let only theirs go, a failed post-snapshot leaves the snapshot
// unfinished, a VM of a later job finds its snapshot by either file its metadata cache may hold, and a
// VM-centric engine's snapshot of each VM, taken at its mount, is read by a copy without a proxy mount.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/lab/Lab.h"
#include "platform/lab/LabArraySnap.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFaults.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/vminfo/LabVMInfo.h"
#include "records/messages/VirtualServerMessages.h"
#include "support/TestLab.h"

namespace {

constexpr int64_t kSnapJob = 900;

class LabArraySnapTest : public ::testing::Test {
 protected:
  LabArraySnapTest() {
    lab::LabPlan plan;
    plan.vms = 8;
    lab.Create(plan);
  }
  static std::string Guid(int index) { return lab::SampleVMGuid(index); }
  // The snapshot context of a proxy for its VMs.
  static MountCtx SnapCtx(const std::vector<int>& vms) {
    MountCtx ctx;
    ctx.jobId = kSnapJob;
    ctx.isSnapBackup = true;
    for (int vm : vms) {
      SVMBasicInfo basic;
      basic.vmGuid = Guid(vm);
      ctx.vmBasicInfos.push_back(basic);
    }
    return ctx;
  }
  // A later job's mount of a VM.
  MountCtx CopyCtx(int vm, int64_t job = 1002) {
    MountCtx ctx;
    ctx.vmGuid = Guid(vm);
    ctx.jobId = static_cast<uint64_t>(job);
    ctx.isSnapToTape = true;
    ctx.snapBackupJobId = kSnapJob;
    ctx.mountPath = lab.Path("mnt/" + std::to_string(job) + "-" + std::to_string(vm));
    return ctx;
  }
  static lab::ArraySnapRecord Record() {
    lab::ArraySnapRecord record;
    std::string error;
    EXPECT_EQ(lab::RecordRead::kRead, lab::ReadArraySnapRecord("vcenter", kSnapJob, record, error)) << error;
    return record;
  }
  static std::vector<std::string> Datastores(const std::string& path) {
    VirtualServer::VMSnapBackup metadata;
    std::vector<std::string> names;
    if (!vsXMLFile(path).Load(metadata)) return names;
    for (const CNMessagePtr& backup : metadata.getlistobject(VirtualServer::VMSnapBackup::F_backups, false)) {
      auto* list = backup->getObject<VirtualServer::VMDatastoreList>(VirtualServer::Backup::F_backupDatastores, false);
      if (list == nullptr) continue;
      for (const CNMessagePtr& datastore : list->getlistobject(VirtualServer::VMDatastoreList::F_datastores, false))
        names.push_back(datastore->getstring(VirtualServer::VMDatastoreInfo::F_datastore));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  testsupport::TestLab lab;
};

TEST_F(LabArraySnapTest, EachProxyAddsItsVMsToTheJobsSnapshotAndLetsOnlyThoseGo) {
  // Eight proxies snapshot one VM each at once: none loses another's.
  std::vector<std::thread> proxies;
  std::vector<int> taken(8, 0);
  for (int vm = 1; vm <= 8; ++vm) {
    proxies.emplace_back([&, vm] {
      LabVMInfo array(101);
      MountCtx ctx = SnapCtx({vm});
      taken[static_cast<size_t>(vm - 1)] = array.PreSnap(ctx);
    });
  }
  for (std::thread& proxy : proxies) proxy.join();
  EXPECT_EQ(std::vector<int>(8, 1), taken);
  lab::ArraySnapRecord record = Record();
  EXPECT_EQ(8u, record.vms.size());
  std::sort(record.datastores.begin(), record.datastores.end());
  EXPECT_EQ((std::vector<std::string>{"ds1", "ds2"}), record.datastores) << "each datastore once";
  EXPECT_EQ(8u, lab::QuiescedGuests().size());

  // The proxy of the odd VMs describes and lets go its own: the even ones stay held.
  LabVMInfo array(101);
  MountCtx odd = SnapCtx({1, 3, 5, 7});
  odd.snapshotFolder = lab.Path("odd");
  std::vector<std::string> files;
  ASSERT_EQ(1, array.GetSnapBackupInfo(odd, files, 0));
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(std::vector<std::string>{"ds1"}, Datastores(files[0])) << "the odd VMs' datastore only";
  EXPECT_EQ((std::vector<std::string>{"ds1", "ds2"}),
            Datastores(lab::ArraySnapDir("vcenter", kSnapJob) + "/backup_900.xml"))
      << "the array keeps the whole snapshot's";
  ASSERT_EQ(1, array.PostSnap(odd));
  EXPECT_EQ(4u, lab::QuiescedGuests().size());
  for (const std::string& guest : lab::QuiescedGuests())
    EXPECT_EQ(0, (guest.back() - '0') % 2) << guest;
  MountCtx even = SnapCtx({2, 4, 6, 8});
  ASSERT_EQ(1, array.PostSnap(even));
  EXPECT_TRUE(lab::QuiescedGuests().empty());
}

TEST_F(LabArraySnapTest, AFailedPostSnapshotLetsTheGuestsGoAndNoLaterJobMountsTheSnapshot) {
  LabVMInfo array(101);
  MountCtx ctx = SnapCtx({1, 2});
  ASSERT_EQ(1, array.PreSnap(ctx));
  ASSERT_TRUE(lab.Fault("vminfo.PostSnap", 3041, "array cannot finish"));
  EXPECT_EQ(0, array.PostSnap(ctx));
  EXPECT_EQ(3041, array.GetErrorCode());
  EXPECT_TRUE(lab::QuiescedGuests().empty());
  EXPECT_EQ("array cannot finish", Record().unfinished);

  MountCtx copy = CopyCtx(1);
  EXPECT_EQ(0, array.MountSnap(copy));
  EXPECT_NE(std::string::npos, array.GetErrorText().find("never finished: array cannot finish"))
      << array.GetErrorText();
  EXPECT_TRUE(lab::StandingArraySnapMounts("vcenter", kSnapJob).empty());

  // A post-snapshot of a snapshot never taken has nothing to let go.
  MountCtx none = SnapCtx({3});
  none.jobId = 901;
  EXPECT_EQ(1, array.PostSnap(none));
}

TEST_F(LabArraySnapTest, AVMOfALaterJobFindsItsSnapshotByEitherFileOfItsMetadataCache) {
  LabVMInfo array(101);
  MountCtx snapshot = SnapCtx({1, 2, 3});
  ASSERT_EQ(1, array.PreSnap(snapshot));
  ASSERT_EQ(1, array.PostSnap(snapshot));
  MountCtx mount = CopyCtx(1);
  ASSERT_EQ(1, array.MountSnap(mount));
  struct Case {
    const char* name;
    std::string file;  // in the VM's metadata cache, or empty
    bool mounted;
  } cases[] = {
      {"the VM's own file", "VMSnap_" + Guid(1) + "_900.snap", true},
      {"the job's metadata, as a Microsoft hypervisor keeps it for each VM", "backup_900.xml", true},
      {"a file of a snapshot that does not hold the VM", "backup_901.xml", false},
      {"nothing", "", false},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MountCtx ctx = CopyCtx(1);
    ctx.mountPath += "-" + std::to_string(index++);
    // The VM's own job within the snapshot job: the snapshot is found through the cache only.
    ctx.snapBackupJobId = 900001;
    ctx.snapMetadataCacheDir = ctx.mountPath + "_SnapMetaCache";
    ASSERT_TRUE(lab::MakeDirs(ctx.snapMetadataCacheDir));
    std::string error;
    if (!c.file.empty()) { ASSERT_TRUE(lab::WriteFileAtomic(ctx.snapMetadataCacheDir + "/" + c.file, "x", error)); }
    EXPECT_EQ(c.mounted ? 1 : 0, array.MountVM(ctx)) << array.GetErrorText();
    if (c.mounted) { EXPECT_EQ(1, array.UnmountVM(ctx)); }
  }
}

TEST_F(LabArraySnapTest, AVMCentricEnginesSnapshotOfEachVMIsTakenAtItsMountAndKeptForItsCopies) {
  LabVMInfo array(101);
  MountCtx own;
  own.vmGuid = Guid(2);
  own.jobId = kSnapJob;
  own.isSnapBackup = true;
  own.vmCentricSnapBackup = true;
  own.mountPath = lab.Path("mnt/own");
  ASSERT_EQ(1, array.MountVM(own)) << array.GetErrorText();
  EXPECT_EQ(1u, own.snapVolumes.size());
  EXPECT_GT(own.snapReferenceTime, 0);
  ASSERT_EQ(1, array.UnmountVM(own));
  lab::ArraySnapRecord record = Record();
  EXPECT_TRUE(record.perVM);
  ASSERT_EQ(1u, record.vms.size());
  EXPECT_FALSE(record.vms[0].quiesced) << "the guest is let go once its own snapshot is taken";

  // A copy reads the VM's snapshot by the VM's mount alone, and its bytes are the snapshot's.
  lab::MountRecord held;
  std::string error, atSnapshot, copied;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadArraySnapVM("vcenter", kSnapJob, Guid(2), held, error)) << error;
  ASSERT_TRUE(lab::MountedDiskDigest(held, held.disks[0], atSnapshot, error)) << error;
  MountCtx copy = CopyCtx(2);
  ASSERT_EQ(1, array.MountVM(copy)) << array.GetErrorText();
  lab::MountRecord mounted;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", 1002, Guid(2), mounted, error)) << error;
  ASSERT_TRUE(lab::MountedDiskDigest(mounted, mounted.disks[0], copied, error)) << error;
  EXPECT_EQ(atSnapshot, copied);
  ASSERT_EQ(1, array.UnmountVM(copy));

  // A VM whose snapshot cannot be taken is not mounted.
  lab::FaultRule rule;
  rule.op = "vminfo.SnapshotVM";
  rule.vm = Guid(3);
  rule.code = 3040;
  rule.text = "array out of space";
  ASSERT_TRUE(lab.Fault(rule));
  MountCtx failing = own;
  failing.vmGuid = Guid(3);
  failing.mountPath = lab.Path("mnt/failing");
  EXPECT_EQ(0, array.MountVM(failing));
  EXPECT_EQ("array out of space", array.GetErrorText());
  EXPECT_EQ(1u, Record().vms.size());
}

}  // namespace
