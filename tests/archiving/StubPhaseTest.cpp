// The stub phase: a VM the backup phase selected is stubbed or relocated; anything else is left whole
// and says why.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/lab/LabIndex.h"
#include "records/messages/IdxMetadataMessages.h"
#include "archiving/ArchivingTestSupport.h"
#include "support/BackupTestSupport.h"

namespace {

using archtest::StubText;
using Update = JobManager::VMUpdateInfo;
using Stub = archtest::Stub;

// A guest write over the start of the VM's disk (a new generation of its change journal).
void WriteDisk(archtest::ArchivingLab& lab, int i, size_t disk, uint64_t seed) {
  std::string changeId, error;
  ASSERT_TRUE(lab::WriteDiskRanges(lab::DiskImagePath(lab::SampleServer(), lab.Description(i).disks[disk].file),
                                   {{0, 4096}}, true, seed, changeId, error))
      << error;
}

// The index's record of the VM from a job's backup (this job's by default), carrying the stub text the
// VM header sent and each disk the VM has now at the change id it has now.
void IndexBackup(archtest::ArchivingLab& lab, int i, const std::string& stubText, int64_t job = archtest::kJob) {
  using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
  IdxMetadata::IdxMetaData record;
  record.getObject<IdxMetadata::IdxCommonMetaData>(IdxMetadata::IdxMetaData::F_common, true)
      ->setstring(IdxMetadata::IdxCommonMetaData::F_itemName, archtest::Name(i));
  if (!stubText.empty())
    record.getObject<IdxMetadata::IdxAuxMetaData>(IdxMetadata::IdxMetaData::F_aux, true)
        ->setstring(IdxMetadata::IdxAuxMetaData::F_auxText, stubText);
  std::string xml, error;
  record.serialize(xml, true);
  std::vector<std::vector<std::string>> entries = {{"name", archtest::Name(i)}, {"level", "1"}, {"meta", "vm", xml}};
  const lab::VMDescription vm = lab.Description(i);
  for (size_t d = 0; d < vm.disks.size(); ++d) {
    if (vm.disks[d].deleted) continue;
    IdxMetadata::IdxMetaData disk;
    VSMeta& part = *disk.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, true);
    part.setstring(VSMeta::F_changeId, lab::ImageChangeId(lab::DiskImagePath(lab::SampleServer(), vm.disks[d].file)));
    part.setint64(VSMeta::F_sectorSize, 512);
    std::string diskXml;
    disk.serialize(diskXml, true);
    entries.push_back({"meta", "disk", lab::LabDiskIndexName(d, vm.disks[d].file), diskXml});
  }
  ASSERT_TRUE(lab::WriteIndexVMEntries(lab.appMgr.getSubclientGUID(), archtest::Guid(i), job, entries, error)) << error;
}

// The job's backup of the VM's disks as they are now on the media agent: what the stub's deletion of a
// disk relies on.
void BackUp(archtest::ArchivingLab& lab, int i) {
  const lab::VMDescription vm = lab.Description(i);
  std::vector<archivetest::BackedUpDisk> disks;
  for (size_t d = 0; d < vm.disks.size(); ++d)
    disks.push_back(
        {lab::LabDiskIndexName(d, vm.disks[d].file), lab::DiskImagePath(lab::SampleServer(), vm.disks[d].file)});
  archivetest::WriteFullBackup(lab.jobMgr, archtest::Guid(i), disks);
}

// The job's archive of vm01 removed from the media, or cut to half its length.
void DamageBackup(bool cut) {
  for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(archtest::kJob, archtest::Guid(1))) {
    struct stat status {};
    ASSERT_EQ(0, stat(location.path.c_str(), &status));
    ASSERT_EQ(0, cut ? truncate(location.path.c_str(), status.st_size / 2) : unlink(location.path.c_str()));
  }
}

// Whether each disk image of the VM is still there.
std::vector<bool> Images(archtest::ArchivingLab& lab, int i) {
  std::vector<bool> present;
  for (const lab::VMDisk& disk : lab.Description(i).disks)
    present.push_back(access(lab::DiskImagePath(lab::SampleServer(), disk.file).c_str(), F_OK) == 0);
  return present;
}

std::string Option(archtest::ArchivingLab& lab, int i) { return lab.Description(i).options[lab::kStubRecordOption]; }

TEST(StubPhaseTest, OnlyASelectedIdleVMWithItsBackupInTheIndexIsStubbed) {
  using Arrange = std::function<void(archtest::ArchivingLab&, vm_params&)>;
  struct Case {
    const char* what;
    Arrange arrange;
    const char* fault;  // an operation that fails, after this many calls
    int64_t after;
    int result;
    std::vector<bool> images;  // afterwards
    int optionState;           // of the VM's stub record afterwards; 0: none
    int retries;
    int jobManagerStub;        // the job manager's stub status afterwards
    const char* reason;
  } cases[] = {
      {"selected, idle, backed up", nullptr, nullptr, 0, 102, {false, false}, 4, 1, 5, ""},
      {"not selected by the backup phase", [](archtest::ArchivingLab&, vm_params& vm) { vm.archivingStatus = 5; },
       nullptr, 0, 113, {true, true}, 0, 0, 0, "the backup phase did not select it"},
      {"running again",
       [](archtest::ArchivingLab& lab, vm_params&) { lab.ChangeVM(1, [](lab::VMDescription& d) { d.powerState = "on"; }); },
       nullptr, 0, 113, {true, true}, 0, 0, 0, "no longer meets the archiving criteria"},
      {"no backup of it in the index",
       [](archtest::ArchivingLab& lab, vm_params&) {
         std::string error;
         lab::WriteIndexVMEntries(lab.appMgr.getSubclientGUID(), archtest::Guid(1), archtest::kJob, {{"name", "vm01"}},
                                  error);
       },
       nullptr, 0, 95, {true, true}, 0, 0, 0, "the index holds no backup of it"},
      {"the index's backup did not select it",
       [](archtest::ArchivingLab& lab, vm_params&) { IndexBackup(lab, 1, std::string()); }, nullptr, 0, 95,
       {true, true}, 0, 0, 0, "selected it for stubbing"},
      {"the index's backup is of another subclient",
       [](archtest::ArchivingLab& lab, vm_params&) { IndexBackup(lab, 1, StubText(1, 4)); }, nullptr, 0, 95,
       {true, true}, 0, 0, 0, "selected it for stubbing"},
      {"cut off after one disk", nullptr, "vminfo.StubVMDisk", 1, 95, {false, true}, 3, 1, 6, "1 of 2 disks deleted"},
      {"a stub cut off before, retried",
       [](archtest::ArchivingLab& lab, vm_params&) {
         std::string error;
         lab.ChangeVM(1, [](lab::VMDescription& d) { d.options[lab::kStubRecordOption] = StubText(3, 1, 1); });
         lab::UpdateVMDescription(lab::SampleServer(), "vm01", [&](lab::VMDescription& d, std::string& why) {
           return lab::DeleteVMDiskImage(lab::SampleServer(), d, 0, why);
         }, error);
         IndexBackup(lab, 1, StubText(3));
       },
       nullptr, 0, 102, {false, false}, 4, 2, 5, ""},
      {"a disk written since the backup", [](archtest::ArchivingLab& lab, vm_params&) { WriteDisk(lab, 1, 1, 99); },
       nullptr, 0, 95, {true, true}, 0, 0, 0, "disk [scsi0-1-vm01_1.img] was written since this job's backup"},
      {"a disk added since the backup",
       [](archtest::ArchivingLab& lab, vm_params&) {
         lab::VMDisk added = lab.Description(1).disks[1];
         added.file = added.file.substr(0, added.file.rfind('/') + 1) + "vm01_2.img";
         std::string error;
         lab::WriteImageAtomic(lab::DiskImagePath(lab::SampleServer(), added.file), "added", added.sizeBytes, error);
         lab.ChangeVM(1, [&](lab::VMDescription& d) { d.disks.push_back(added); });
         WriteDisk(lab, 1, 2, 5);
       },
       nullptr, 0, 95, {true, true, true}, 0, 0, 0, "disk [scsi0-2-vm01_2.img] is not in this job's backup"},
      {"a disk removed since the backup",
       [](archtest::ArchivingLab& lab, vm_params&) {
         lab.ChangeVM(1, [](lab::VMDescription& d) { d.disks.pop_back(); });
       },
       nullptr, 0, 102, {false}, 4, 1, 5, ""},
      {"only an earlier job's backup in the index",
       [](archtest::ArchivingLab& lab, vm_params&) {
         std::string error;
         lab::WriteIndexVMEntries(lab.appMgr.getSubclientGUID(), archtest::Guid(1), archtest::kJob, {{"name", "vm01"}},
                                  error);
         IndexBackup(lab, 1, StubText(1), archtest::kJob - 1);
       },
       nullptr, 0, 95, {true, true}, 0, 0, 0, "no backup of it from this job"},
      {"the index's backup, but not on the media",
       [](archtest::ArchivingLab&, vm_params&) { DamageBackup(false); }, nullptr, 0, 95, {true, true}, 3, 1, 6,
       "would not come back from the backup of job 1001: the newest backup of VM"},
      {"the index's backup, its archive cut short on the media",
       [](archtest::ArchivingLab&, vm_params&) { DamageBackup(true); }, nullptr, 0, 95, {true, true}, 3, 1, 6,
       "job 1001's backup of the VM cannot be used"},
      {"its stub record cannot be written", nullptr, "vminfo.SetVMOptions", 0, 95, {true, true}, 0, 0, 0,
       "could not be written to the VM"},
      {"its inventory cannot be read", nullptr, "vminfo.GetVMInfoForVM", 0, 95, {true, true}, 0, 0, 0,
       "inventory could not be read"},
      {"the settings cannot be read", nullptr, "appmgr.GetVMArchivingParams", 0, 113, {true, true}, 0, 0, 0,
       "was not stubbed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    archtest::ArchivingLab lab(3, 2);
    lab.jobMgr.setVMStubPhase(true);
    lab.PowerOff(1, 72);
    WriteDisk(lab, 1, 0, 1);
    WriteDisk(lab, 1, 1, 2);
    IndexBackup(lab, 1, StubText(1));
    BackUp(lab, 1);
    vm_params vm = lab.VM(1);
    vm.archivingStatus = VMInfoStructs::STUB_STATE_TO_BE_STUBBED;
    if (c.arrange) c.arrange(lab, vm);
    if (c.fault != nullptr) lab.Lab().Fault(c.fault, 3010, "refused", c.after);
    EXPECT_EQ(c.result, lab.Run(vm));
    EXPECT_EQ(c.images, Images(lab, 1));
    const std::string option = Option(lab, 1);
    EXPECT_EQ(c.optionState, option.empty() ? 0 : archtest::StubField(option, Stub::F_stubState)) << option;
    if (c.optionState != 0) {
      EXPECT_EQ(c.retries, archtest::StubField(option, Stub::F_stubRetryCount));
    }
    const Update status = lab.Status(1);
    EXPECT_EQ(c.jobManagerStub, status.getint64(Update::F_stubStatus));
    EXPECT_NE(std::string::npos, vm.failureReason.find(c.reason)) << vm.failureReason;
    EXPECT_TRUE(lab.controller->relinquished.empty() && lab.controller->asked == 0) << "the stub phase has no stream";
    const bool stubbed = c.result == 102;
    EXPECT_EQ(stubbed ? "Yes" : "", lab.Description(1).customFields["Archived"]);
    EXPECT_EQ(stubbed ? "1" : "", ClientProperties(101).getValue("archived"));
    EXPECT_EQ(stubbed ? 1 : 0, status.getint64(Update::F_stubbedFlag));
    const std::vector<std::string> events = lab.Events();
    EXPECT_EQ(stubbed ? 1u : 0u, events.size());
    if (stubbed && !events.empty()) {
      EXPECT_NE(std::string::npos, events[0].find("INFO 0x5B000053 vm01|1001")) << events[0];
    }
    // A stub that does not finish leaves its record in progress, for the next backup to retry it.
    if (c.result == 95 && c.optionState == 3) {
      EXPECT_EQ(1u, lab.Count("Failed! to stub VM=[vm01]=[" + archtest::Guid(1) + "]"));
    }
  }
}

TEST(StubPhaseTest, RelocationMovesTheVMOrSaysWhyNot) {
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, const char*>> settings;
    const char* fault;  // of vminfo.RelocateVM, with its text
    int result;
    const char* host;  // where the VM is afterwards
    const char* datastore;
    int jobManagerStub;
    const char* pending;
    const char* reason;
  } cases[] = {
      {"to another host, datastore and pool",
       {{"destinationHost", "esx2"}, {"destinationDatastore", "ds2"}, {"destinationResourcePool", "pool2"}}, nullptr,
       120, "esx2", "ds2", 8, "", ""},
      {"refused by the hypervisor", {{"destinationHost", "esx2"}}, "host in maintenance", 95, "esx1", "ds1", 9,
       "0x5B0000B8 vm01|host in maintenance", "host in maintenance"},
      {"to a datastore the hypervisor has not", {{"destinationDatastore", "ds9"}}, nullptr, 95, "esx1", "ds1", 9,
       "0x5B0000B8 vm01|datastore [ds9] is not a datastore", "ds9"},
      {"already where the settings say", {{"destinationHost", "esx1"}}, nullptr, 113, "esx1", "ds1", 0, "",
       "no longer meets"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    archtest::ArchivingLab lab;
    lab.Subclient("archiveRule", "0");
    lab.Subclient("relocateDays", "1");
    lab.Subclient("relocateRule", "1");
    for (const auto& setting : c.settings) lab.Subclient(setting.first, setting.second);
    if (c.fault != nullptr) lab.Lab().Fault("vminfo.RelocateVM", 3012, c.fault);
    lab.jobMgr.setVMStubPhase(true);
    lab.PowerOff(1, 72);
    vm_params vm = lab.VM(1);
    vm.archivingStatus = VMInfoStructs::STUB_STATE_TO_BE_STUBBED;
    EXPECT_EQ(c.result, lab.Run(vm));
    const lab::VMDescription after = lab.Description(1);
    EXPECT_EQ(c.host, after.host);
    EXPECT_EQ(c.datastore, after.datastore);
    EXPECT_EQ(std::vector<bool>(1, true), Images(lab, 1)) << "a relocation keeps every disk";
    EXPECT_EQ(c.jobManagerStub, lab.Status(1).getint64(Update::F_stubStatus));
    const std::vector<std::string> pending = lab.Pending();
    EXPECT_EQ(*c.pending ? 1u : 0u, pending.size());
    if (*c.pending && !pending.empty()) {
      EXPECT_NE(std::string::npos, pending[0].find(c.pending)) << pending[0];
    }
    EXPECT_NE(std::string::npos, vm.failureReason.find(c.reason)) << vm.failureReason;
  }
}

// The relocation itself: without any destination it says so (the criteria never pass such a VM on);
// a VM already where the settings say is not moved, and the hypervisor is not asked.
TEST(StubPhaseTest, ARelocationWithoutADestinationOrToWhereTheVMIsAsksNoHypervisor) {
  archtest::ArchivingLab lab;
  lab.Lab().Fault("vminfo.RelocateVM", 3012, "must not be asked");
  for (const char* destination : {"esx1", ""}) {
    VMArchivingParams params;
    params.DestinationHost = destination;
    vm_params vm = lab.VM(1);
    const std::unique_ptr<QuarnVMManagement> prepared = lab.Management(vm, params);
    QuarnVMManagement& management = *prepared;
    VMInfoStructs::SVMInfo info;
    ASSERT_NE(0, lab.vmInfo.LoadVMInfo("vm01", info));
    EXPECT_EQ(*destination != 0, management.VMArchRelocateVM(info));
    EXPECT_EQ(*destination != 0, vm.failureReason.empty()) << vm.failureReason;
  }
  EXPECT_EQ(std::vector<std::string>{"0x5B0000B7"}, lab.Pending());
  EXPECT_EQ(0u, lab.Count("Successfully relocated VM"));
}

}  // namespace
