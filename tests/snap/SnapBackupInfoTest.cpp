// The snapshot metadata of a snapshot backup as text: the job's metadata file and a VM's own record,
// asked only under indexing V2, and a failure that says why.
#include <gtest/gtest.h>

#include "SnapTestSupport.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

class InfoController : public snaptest::SnapController {
 public:
  using snaptest::SnapController::SnapController;
  bool Connect() { return EnsureVMInfo("vcenter"); }
};

TEST(SnapBackupInfo, OnlyASnapshotBackupUnderIndexingV2ReadsItsMetadataAndAFailureSaysWhy) {
  struct Case {
    const char* name;
    bool snapBackup, indexingV2;
    const char* fault;  // a fault of the VM-information operation, or null
    bool ok;            // both answers
    bool read;          // both texts were read
    const char* logged;
  } cases[] = {
      {"a backup copy", false, true, nullptr, true, false, nullptr},
      {"indexing V1", true, false, nullptr, true, false, nullptr},
      {"a snapshot backup under V2", true, true, nullptr, true, true, nullptr},
      {"the snapshot's files cannot be listed", true, true, "vminfo.GetSnapBackupInfo", false, false,
       "Failed to get Snap Backup xml file"},
      {"the VM's record cannot be had", true, true, "vminfo.GetVMSnapBackupInfo", false, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ctltest::LabJob job;
    job.SetSubclient("indexingV2", c.indexingV2 ? "1" : "0");
    job.jobMgr.setSnapBackup(c.snapBackup);
    // The job's snapshot of the first VM, taken beforehand.
    MountCtx ctx;
    ctx.jobId = 1001;
    ctx.isSnapBackup = c.snapBackup;
    ctx.vmGuid = snaptest::kGuids[0];
    SVMBasicInfo vm;
    vm.vmGuid = snaptest::kGuids[0];
    ctx.vmBasicInfos.push_back(vm);
    LabVMInfo array(kInstanceTypeVMware, "vcenter");
    ASSERT_NE(0, array.PreSnap(ctx));
    ASSERT_NE(0, array.PostSnap(ctx));
    InfoController controller(job);
    ASSERT_TRUE(controller.Connect());
    ctx.subclientDir = controller.SubclientDir();
    if (c.fault != nullptr) job.Lab().Fault(c.fault, 5);

    std::string jobText, vmText;
    const bool jobOk = controller.GetSnapBackupInfo(ctx, jobText);
    const bool vmOk = controller.GetVMSnapBackupInfo(ctx, vmText);
    EXPECT_EQ(c.ok, jobOk && vmOk);
    if (c.fault == nullptr) {
      EXPECT_TRUE(jobOk);
      EXPECT_TRUE(vmOk);
    }
    EXPECT_EQ(c.read, !jobText.empty() && !vmText.empty()) << jobText << "\n" << vmText;
    if (c.read) { EXPECT_NE(std::string::npos, vmText.find(snaptest::kGuids[0])) << vmText; }
    if (c.logged != nullptr) {
      EXPECT_EQ(1u, job.LogCount(c.logged));
    }
  }
}

}  // namespace
