// The backup phase: a VM's stub record on the hypervisor against the one in the index, what the worker
// is told, and what reaches the index for the next job.
#include <gtest/gtest.h>

#include <cerrno>

#include "archiving/ArchivingTestSupport.h"
#include "support/ArchiveTestSupport.h"
#include "support/VirtualClock.h"

namespace {

using archtest::StubText;
using Update = JobManager::VMUpdateInfo;
using Stub = archtest::Stub;
constexpr int kNoRecord = -1;  // the index keeps no stub text

int IndexState(const std::string& text) { return text.empty() ? kNoRecord : static_cast<int>(archtest::StubField(text, Stub::F_stubState)); }

TEST(BackupPhaseTest, EachCaseOfTheTwoStubRecordsGivesItsResultAndIndexUpdate) {
  constexpr int kGone = -1, kUnreadable = -2, kRunning = -1, N = kNoRecord;
  constexpr int64_t kEarlierJob = archtest::kJob - 1, kThisJob = archtest::kJob;
  using Also = std::function<void(archtest::ArchivingLab&)>;
  // The record of the stream's archive file after `after` others refused, once.
  auto RefusedOnce = [](int64_t after) -> Also {
    return [after](archtest::ArchivingLab& lab) { lab.Lab().Fault("archive.write", 5, "media full", after); };
  };
  const Also IndexNotToBeAsked = [](archtest::ArchivingLab& lab) { lab.Lab().Fault("index.GetVMMetadata", 5); };
  // The hypervisor's answer to the VM's inventory query refused once with the code.
  const char* const kInventoryRefused =
      "MINOR 0x5B0001DB vm01|The hypervisor could not describe the VM: inventory refused";
  auto InventoryRefused = [](int code) -> Also {
    return [code](archtest::ArchivingLab& lab) { lab.Lab().Fault("vminfo.GetVMInfoForVM", code, "inventory refused"); };
  };
  struct Case {
    const char* what;
    int server;          // the stub state on the hypervisor: 0 none, kGone: no VM, kUnreadable: a broken record
    int64_t subclient;   // of the hypervisor's record
    int index;           // the stub state the collect file hands over: 0 none
    const char* deleted; // the delete timestamp the collect file hands over
    int offHours;        // kRunning: on
    Also also;
    int result;
    int32_t action;      // what the worker is told before the backup
    int indexState;      // the VM's index stub state afterwards
    int update;          // 1: an archive file carries the change to the index; 2: one ended failed; 3: one
                         // written but never committed
    const char* pending; // a pending cause that must be set; empty: none
    const char* reason;  // part of the failure reason
    const char* event;   // a job event that must be raised; empty: none
    // The job the hypervisor's stub record names: an earlier one, as a later job meets a stub, or this
    // job, whose own stub phase wrote it before this attempt of its backup phase.
    int64_t serverJob = kEarlierJob;
    // What stands behind the hypervisor's record: a stub (made: the index holds the backup of the job
    // the record names and the VM's disks are gone; under way: that backup alone), or nothing (a record
    // copied with a VM cloned from a stub): the VM has every disk and the index no such backup; or the
    // index holds that backup and the VM every disk of it; or a stub made that the VM was given a disk
    // since; or this job's stub (its disks gone once made) whose backup the index lost, while the job
    // manager's record of the VM shows that the job's stub phase took it (its stub failed, or made); or
    // this job's stub cut off after the first of two disks, which the hypervisor keeps deleted with the
    // job: the index holding the job's backup of both, or neither the index nor the job manager keeping
    // anything of it, or given a third disk since; or this job's stub made and nothing kept of its backup.
    enum Behind {
      kStub, kNothing, kEveryDiskOfItsBackup, kStubGivenADisk, kStubTheIndexLost,
      kCutOffByThisJob, kCutOffByThisJobNothingKept, kCutOffByThisJobGivenADisk, kMadeByThisJobNothingKept
    } behind = kStub;
    int64_t keyrealm = 1;  // of the hypervisor's record
    // The stub status an earlier attempt left with the job manager, which the VM's record keeps until
    // its archiving is decided again; 0 none.
    int64_t keptStubStatus = 0;
  } cases[] = {
      {"no stub, off 72 h", 0, 1, 0, "", 72, nullptr, 108, 103, 1, 0, "", "", ""},
      {"no stub, running", 0, 1, 0, "", kRunning, nullptr, 108, 104, N, 0, "", "", ""},
      // A job that reports a stub holds it: the stub record goes to the index in an archive of the job.
      {"stubbed here and in the index", 4, 1, 4, "", kRunning, nullptr, 101, 0, 4, 1, "", "", ""},
      {"stubbed here, the index still to be stubbed", 4, 1, 1, "", kRunning, nullptr, 101, 0, 4, 1, "", "", ""},
      {"a stub cut off, running: backed up, retried later", 3, 1, 1, "", kRunning, nullptr, 108, 118, 3, 1, "", "", ""},
      {"a stub cut off, idle: backed up, retried in this job", 3, 1, 1, "", 72, nullptr, 108, 118, 3, 1, "", "", ""},
      {"restored from a stub and idle", 0, 1, 4, "", 72, nullptr, 108, 103, 1, 0, "", "", ""},
      {"restored from a stub and running", 0, 1, 4, "", kRunning, nullptr, 108, 104, N, 0, "", "", ""},
      // A job without archiving backed the stub up without its record: the hypervisor's is taken again.
      {"a stub of this subclient the index does not know", 4, 1, 0, "", kRunning, nullptr, 101, 0, 4, 1, "", "", ""},
      {"a stub cut off that the index does not know: backed up, retried in this job", 3, 1, 0, "", 72, nullptr, 108,
       118, 3, 1, "", "", ""},
      // A record no stub stands behind is no stub: the VM is backed up as a whole one and judged again.
      {"a record of this subclient on a VM never stubbed, idle", 4, 1, 0, "", 72, nullptr, 108, 103, 1, 0, "", "", "",
       kEarlierJob, Case::kNothing},
      {"a record of this subclient on a VM never stubbed, running", 4, 1, 0, "", kRunning, nullptr, 108, 104, N, 0, "",
       "", "", kEarlierJob, Case::kNothing},
      {"a record of a stub under way on a VM never stubbed", 3, 1, 0, "", kRunning, nullptr, 108, 118, 3, 1, "", "",
       "", kEarlierJob, Case::kNothing},
      {"a record of this subclient on a VM that has every disk of the backup it names", 4, 1, 4, "", kRunning, nullptr,
       108, 104, N, 0, "", "", "", kEarlierJob, Case::kEveryDiskOfItsBackup},
      {"a record naming this job on a VM never stubbed", 4, 1, 0, "", 72, nullptr, 108, 103, 1, 0, "", "", "", kThisJob,
       Case::kNothing},
      {"a record of a stub under way naming this job on a VM never stubbed", 3, 1, 0, "", 72, nullptr, 108, 103, 1, 0,
       "", "", "", kThisJob, Case::kNothing},
      {"a record naming this job on a VM never stubbed, without turbo", 4, 1, 0, "", 72,
       [](archtest::ArchivingLab& lab) { lab.jobMgr.setTurboEnabled(false); }, 108, 0, N, 0, "", "", "", kThisJob,
       Case::kNothing},
      // A stub made deleted every disk the VM had: one it has now is in no backup but the one this job
      // makes, whatever the index says, or whether it can be asked.
      {"a stub given a disk of its own, running: backed up whole", 4, 1, 4, "", kRunning, nullptr, 108, 104, N, 0, "",
       "", "", kEarlierJob, Case::kStubGivenADisk},
      {"a stub given a disk of its own, idle: backed up whole, to be stubbed again", 4, 1, 4, "", 72, nullptr, 108, 103,
       1, 0, "", "", "", kEarlierJob, Case::kStubGivenADisk},
      {"a stub record on a VM with every disk, the index not to be asked", 4, 1, 0, "", kRunning, IndexNotToBeAsked,
       108, 104, N, 0, "", "", "", kEarlierJob, Case::kNothing},
      // This job's stub stands whatever the index lost, where the job manager shows its stub phase took the
      // VM: a backup by this attempt would replace the one the stub deleted disks on.
      // One with disks stands only on a backup shown to hold every one of them: without the index's record
      // of it nothing does, and leaving the VM would report disks in no backup of the job.
      {"a stub begun by this job's stub phase, its backup lost from the index", 3, 1, 1, "", 72, nullptr, 95, 0, 1, 0,
       "", "nothing shows that the job's backup of it holds it (the index has no record of that backup)", "", kThisJob,
       Case::kStubTheIndexLost},
      {"a stub begun by this job's stub phase, the index not to be asked", 3, 1, 1, "", 72, IndexNotToBeAsked, 95, 0,
       1, 0, "", "nothing shows that the job's backup of it holds it (the index could not be asked for it)", "",
       kThisJob, Case::kStubTheIndexLost},
      {"stubbed by this job's stub phase, its backup lost from the index", 4, 1, 1, "", 72, nullptr, 101, 0, 1, 0, "",
       "", "", kThisJob, Case::kStubTheIndexLost},
      // Where nothing tells whether an earlier attempt backed the VM up, or a backup by this attempt would
      // replace the one its stub deleted disks on, the VM is neither backed up nor reported.
      {"a record of a stub under way naming this job, the index not to be asked and the job manager showing nothing",
       3, 1, 0, "", 72, IndexNotToBeAsked, 95, 0, N, 0, "", "Neither backed up nor reported", "", kThisJob,
       Case::kNothing},
      {"stubbed by this job's stub phase and given a disk since", 4, 1, 1, "", 72, nullptr, 95, 0, 1, 0, "",
       "it has disk [scsi0-1-added.img] that the job's backup of it does not hold", "", kThisJob,
       Case::kStubGivenADisk},
      // A stub made leaves a VM no disk: one with disks again is no stub to report, whatever the job's
      // backup holds.
      {"stubbed by this job's stub phase, every disk of the job's backup back", 4, 1, 1, "", 72, nullptr, 95, 0, 1, 0,
       "", "this job's stub phase stubbed it, which leaves a VM no disk, and it has disks [", "", kThisJob,
       Case::kEveryDiskOfItsBackup},
      // What the hypervisor keeps of this job's stub (a disk deleted with the job, or none left) stands
      // whatever the index and the job manager lost: the VM is never backed up over it.
      {"a stub of this job cut off after a disk", 3, 1, 1, "", 72, nullptr, 103, 0, 1, 0, "", "", "", kThisJob,
       Case::kCutOffByThisJob},
      {"a stub of this job cut off after a disk, nothing kept of its backup", 3, 1, 1, "", 72, nullptr, 95, 0, 1, 0,
       "", "it has disk [scsi0-1-added.img], and nothing shows that the job's backup of it holds it", "", kThisJob,
       Case::kCutOffByThisJobNothingKept},
      {"a stub of this job cut off after a disk, the index not to be asked, without turbo", 3, 1, 1, "", 72,
       [](archtest::ArchivingLab& lab) {
         lab.Lab().Fault("index.GetVMMetadata", 5);
         lab.jobMgr.setTurboEnabled(false);
       },
       95, 0, 1, 0, "", "(the index could not be asked for it)", "", kThisJob, Case::kCutOffByThisJob},
      {"a stub of this job cut off after a disk and given a disk since", 3, 1, 1, "", 72, nullptr, 95, 0, 1, 0, "",
       "it has disk [scsi0-2-given.img] that the job's backup of it does not hold", "", kThisJob,
       Case::kCutOffByThisJobGivenADisk},
      {"a stub of this job cut off after a disk and given a disk since, without turbo", 3, 1, 1, "", 72,
       [](archtest::ArchivingLab& lab) { lab.jobMgr.setTurboEnabled(false); }, 95, 0, 1, 0, "",
       "it has disk [scsi0-2-given.img] that the job's backup of it does not hold", "", kThisJob,
       Case::kCutOffByThisJobGivenADisk},
      {"stubbed by this job's stub phase, nothing kept of its backup", 4, 1, 1, "", 72, nullptr, 101, 0, 1, 0, "", "",
       "", kThisJob, Case::kMadeByThisJobNothingKept},
      // The stub status kept from the job's stub phase is no status of a VM this attempt backs up whole.
      {"no stub record (restored since this job's stub phase stubbed it), its stub status kept", 0, 1, 0, "", kRunning,
       nullptr, 108, 104, N, 0, "", "", "", kThisJob, Case::kStub, 1, 5},
      // Another Keyrealm's subclient of the same id is another subclient.
      {"a record of this subclient's id on another Keyrealm, on a VM with every disk", 4, 1, 0, "", kRunning, nullptr,
       100, 0, N, 0, "0x5B0000B3 vm01|subclient1", "archived by subclient [subclient1]", "", kEarlierJob,
       Case::kNothing, 2},
      {"a stub of a subclient without a name", 4, 7, 0, "", kRunning, nullptr, 100, 0, N, 0, "0x5B0000B4 vm01|7",
       "archived by subclient 7", ""},
      {"a stub of a named subclient", 4, 2, 0, "", kRunning,
       [](archtest::ArchivingLab&) {
         std::string error;
         lab::SetSubclientValue("2", "subclientName", "finance", error);
       },
       100, 0, N, 0, "0x5B0000B3 vm01|finance", "archived by subclient [finance]", ""},
      {"a stub gone from the hypervisor", kGone, 1, 4, "", kRunning, nullptr, 101, 0, 4, 1, "", "",
       "INFO 0x5B000057 vm01|esx1"},
      {"a stub gone, the hypervisor's time not to be had", kGone, 1, 4, "", kRunning,
       [](archtest::ArchivingLab& lab) { lab.Lab().Fault("vminfo.GetServerCurrentTime", 3001); }, 101, 0, 4, 0, "", "",
       "INFO 0x5B000057 vm01|esx1"},
      // Only the hypervisor's "no such VM" (3001) takes a stub for one gone from it; any other refusal of
      // the VM's inventory fails the VM, saying why, and starts no clock to the stub's expiry.
      {"a stub whose inventory query is refused (5)", 4, 1, 4, "", kRunning, InventoryRefused(5), 95, 0, 4, 0, "",
       "The hypervisor could not describe the VM: inventory refused", kInventoryRefused},
      {"a stub whose inventory query is refused (3000)", 4, 1, 4, "", kRunning, InventoryRefused(3000), 95, 0, 4, 0,
       "", "The hypervisor could not describe the VM: inventory refused", kInventoryRefused},
      {"a stub whose inventory query is refused (3002)", 4, 1, 4, "", kRunning, InventoryRefused(3002), 95, 0, 4, 0,
       "", "The hypervisor could not describe the VM: inventory refused", kInventoryRefused},
      {"a stub the hypervisor answers no such VM for (3001)", 4, 1, 4, "", kRunning, InventoryRefused(3001), 101, 0, 4,
       1, "", "", "INFO 0x5B000057 vm01|esx1"},
      {"a stub back after it was missed", 4, 1, 4, "1700000000", kRunning, nullptr, 101, 0, 4, 1, "", "", ""},
      {"pruned, then back whole and running", 0, 1, 8, "1700000000", kRunning, nullptr, 108, 104, N, 1, "", "", ""},
      {"pruned and still a stub", 4, 1, 8, "1700000000", kRunning, nullptr, 109, 0, 8, 0, "", "pruned from the index",
       ""},
      {"a stub record on the hypervisor that does not read", kUnreadable, 1, 0, "", kRunning, nullptr, 95, 0, N, 0, "",
       "stub record on the hypervisor", ""},
      {"the index update refused", 4, 1, 1, "", kRunning, RefusedOnce(0), 110, 0, 4, 2, "",
       "could not be sent to the index", ""},
      // One record of the update refused once, the rest taken: the update's item ends failed all the same.
      {"the update's metadata refused once", 4, 1, 1, "", kRunning, RefusedOnce(1), 110, 0, 4, 2, "",
       "could not be sent to the index", ""},
      {"the end of the update's item refused once", 4, 1, 1, "", kRunning, RefusedOnce(2), 110, 0, 4, 2, "",
       "could not be sent to the index", ""},
      {"the update's closing item refused once", 4, 1, 1, "", kRunning, RefusedOnce(3), 110, 0, 4, 2, "",
       "could not be sent to the index", ""},
      {"the end of the update's closing item refused once", 4, 1, 1, "", kRunning, RefusedOnce(4), 110, 0, 4, 2, "",
       "could not be sent to the index", ""},
      {"the update's archive file not committed (its sync failed)", 4, 1, 1, "", kRunning,
       [](archtest::ArchivingLab& lab) { lab.Lab().Fault("archive.fileSync", EIO); }, 110, 0, 4, 3, "",
       "could not be sent to the index", ""},
      // Without the archive index run (which finds no archive file) the close alone tells.
      {"a retried stub's update not committed (the sync of its folder failed), no archive index run", 3, 1, 1, "", 72,
       [](archtest::ArchivingLab& lab) {
         lab.Subclient("indexingV2", "0");
         lab.appMgr.querySettings();
         lab.Lab().Fault("archive.fileSync", EIO, "", 1);
       },
       110, 118, 3, 3, "", "could not be sent to the index", ""},
      {"no stream for the update: the backup goes on", 0, 1, 0, "", 72,
       [](archtest::ArchivingLab& lab) { lab.controller->lend = false; }, 108, 0, N, 0, "", "", ""},
      // This job's own stub phase wrote the record: an attempt of its backup phase after it backs nothing
      // up and sends nothing to the index, whatever leaves the archiving check out, and says so.
      {"stubbed by this job's stub phase", 4, 1, 1, "", 72, nullptr, 101, 0, 1, 0, "", "", "", kThisJob},
      {"a stub begun by this job's stub phase", 3, 1, 1, "", 72, nullptr, 103, 0, 1, 0, "", "", "", kThisJob},
      {"a stub begun by this job's stub phase, without turbo", 3, 1, 1, "", 72,
       [](archtest::ArchivingLab& lab) { lab.jobMgr.setTurboEnabled(false); }, 103, 0, 1, 0, "", "", "", kThisJob},
      {"stubbed by this job's stub phase, no stream for the update", 4, 1, 1, "", 72,
       [](archtest::ArchivingLab& lab) { lab.controller->lend = false; }, 101, 0, 1, 0, "", "", "", kThisJob},
      {"stubbed by this job's stub phase, the archiving settings not to be read", 4, 1, 1, "", 72,
       [](archtest::ArchivingLab& lab) { lab.Lab().Fault("appmgr.GetVMArchivingParams", 5); }, 101, 0, 1, 0, "", "",
       "", kThisJob},
      {"a stub of this job by another subclient", 4, 2, 0, "", kRunning, nullptr, 100, 0, N, 0, "0x5B0000B4 vm01|2",
       "archived by subclient 2", "", kThisJob},
      {"without turbo", 0, 1, 0, "", 72, [](archtest::ArchivingLab& lab) { lab.jobMgr.setTurboEnabled(false); }, 108,
       0, N, 0, "", "", ""},
      {"not VMware", 0, 1, 0, "", 72,
       [](archtest::ArchivingLab& lab) {
         lab.Subclient("instanceType", "102");
         lab.appMgr.querySettings();
       },
       108, 0, N, 0, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    archtest::ArchivingLab lab;
    std::string error;
    if (c.server == kGone) lab::RemoveVM(lab::SampleServer(), "vm01", error);
    if (c.server > 0 || c.server == kUnreadable) {
      const std::string stub =
          c.server > 0 ? StubText(c.server, c.subclient, 0, c.keyrealm, c.serverJob) : "<VirtualServer_VMArch";
      lab.ChangeVM(1, [&](lab::VMDescription& d) { d.options[lab::kStubRecordOption] = stub; });
    }
    if (c.behind >= Case::kCutOffByThisJob) lab.AddDisk(1);
    if (c.behind == Case::kCutOffByThisJob || c.behind == Case::kCutOffByThisJobGivenADisk)
      lab.IndexBackup(1, c.serverJob);
    if (c.behind == Case::kCutOffByThisJobGivenADisk) lab.AddDisk(1, "given.img");
    if (c.behind >= Case::kCutOffByThisJob)
      lab.DeleteDisks(1, c.serverJob, c.behind == Case::kMadeByThisJobNothingKept ? 2 : 1);
    if (c.keptStubStatus != 0) lab.StatusFromStubPhase(1, c.keptStubStatus);
    if (c.server == 4 && (c.behind == Case::kStub || c.behind == Case::kStubGivenADisk)) lab.MakeStub(1, c.serverJob);
    if ((c.server == 3 && c.behind == Case::kStub) || c.behind == Case::kEveryDiskOfItsBackup)
      lab.IndexBackup(1, c.serverJob);
    if (c.behind == Case::kStubGivenADisk) lab.AddDisk(1);
    if (c.behind == Case::kStubTheIndexLost) {
      if (c.server == 4) lab.DeleteDisks(1, c.serverJob, 1);
      lab.StatusFromStubPhase(1, c.server == 4 ? 5 : 6);
    }
    if (c.offHours != kRunning && c.server != kGone) lab.PowerOff(1, c.offHours);
    if (c.also) c.also(lab);
    vm_params vm = lab.VM(1);
    if (c.index != 0) vm.indexingMetadata.stubData = StubText(c.index);
    if (c.keptStubStatus != 0) vm.updateInfo.setint64(Update::F_stubStatus, c.keptStubStatus);
    vm.indexingMetadata.deleteTimestampText = c.deleted;

    EXPECT_EQ(c.result, lab.Run(vm));
    EXPECT_EQ(c.action, vm.archiveAction);
    EXPECT_EQ(c.indexState, IndexState(vm.indexingMetadata.stubData)) << vm.indexingMetadata.stubData;
    EXPECT_EQ(c.update == 1 || c.update == 2 ? 1u : 0u, lab.ArchivesOf(1));
    EXPECT_EQ(c.update == 3 ? 1u : 0u, lab::ListUncommittedArchiveFiles(archtest::kJob).size());
    std::vector<std::string> problems;
    const std::vector<archive::ArchiveContents> archives = archivetest::ReadJobArchives(archtest::kJob, &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    // An item of the update that was begun is ended, failed when the update failed: an item left
    // open would be taken by the index as a whole one.
    size_t failed = 0;
    for (const archive::ArchiveContents& contents : archives)
      for (const archive::Item& item : contents.items) {
        EXPECT_TRUE(item.ended) << item.name;
        failed += item.ended && !item.success ? 1 : 0;
      }
    EXPECT_EQ(c.update == 2 ? 1u : 0u, failed);
    EXPECT_EQ(static_cast<size_t>(lab.controller->lent), lab.controller->relinquished.size())
        << "every stream lent is given back";
    EXPECT_LE(lab.controller->asked, 1);
    if (c.update != 0) {
      // The next job's collect file carries what this job's update told the index, and nothing of one
      // that failed.
      const lab::IndexStubRecord indexed = lab.Indexed(1);
      EXPECT_EQ(c.update == 1 ? vm.indexingMetadata.stubData : std::string(), indexed.stubData);
      EXPECT_EQ(c.update == 1 ? vm.indexingMetadata.deleteTimestamp : 0, indexed.deleteTime);
    }
    const std::vector<std::string> pending = lab.Pending();
    EXPECT_EQ(*c.pending ? 1u : 0u, pending.size());
    if (*c.pending && !pending.empty()) {
      EXPECT_NE(std::string::npos, pending[0].find(c.pending)) << pending[0];
    }
    const std::vector<std::string> events = lab.Events();
    EXPECT_EQ(*c.event ? std::vector<std::string>{c.event} : std::vector<std::string>{}, events);
    EXPECT_NE(std::string::npos, vm.failureReason.find(c.reason)) << vm.failureReason;
    if (c.result == 101) {
      // Reported as done without data: a content entry and the job manager's record say so.
      EXPECT_EQ(1u, vm.contentRecords.size());
      const Update status = lab.Status(1);
      EXPECT_EQ(0, status.getint64(Update::F_vmStatus));
      EXPECT_EQ(5, status.getint64(Update::F_stubStatus));
    }
    if (c.action == QuarnVMManagement::kArchiveActionRetryStub) {
      // A stub cut off is no backup: the VM is backed up, and only an idle one is to be stubbed again.
      EXPECT_TRUE(vm.contentRecords.empty());
      EXPECT_EQ(c.offHours == kRunning ? 0 : 1, lab.Status(1).getint64(Update::F_stubStatus));
    }
    if (c.keptStubStatus != 0) {
      EXPECT_EQ(0, vm.updateInfo.getint64(Update::F_stubStatus)) << "the job manager would be told the stub status "
                                                                     "an earlier attempt left";
    }
    if (c.serverJob == kThisJob && c.subclient == 1 && (c.result == 101 || c.result == 103)) {
      // Its backup by the earlier attempt stands: no archive of this attempt, and a stub under way stays
      // to be archived for the stub phase to finish.
      const Update status = lab.Status(1);
      EXPECT_EQ(0, status.getint64(Update::F_vmStatus));
      EXPECT_EQ(c.server == 4 ? 5 : 1, status.getint64(Update::F_stubStatus));
      EXPECT_NE(std::string::npos, status.getstring(Update::F_failureText).find("Left as this job's stub phase"))
          << status.getstring(Update::F_failureText);
      EXPECT_EQ(1u, vm.contentRecords.size());
      EXPECT_EQ(0u, lab::ListArchiveFiles(archtest::kJob).size());
    }
    // A stub the hypervisor says it does not have (0x5B000057) is not marked there.
    if (c.result == 101 && c.server > 0 && std::string(c.event).find("0x5B000057") == std::string::npos) {
      EXPECT_EQ("Yes", lab.Description(1).customFields["Archived"]);
    }
    // A stub under way of another job is retried on a backup made first, whatever stands behind it.
    if (c.result == 108 && c.behind != Case::kStub && c.behind != Case::kStubTheIndexLost &&
        (c.server != 3 || c.serverJob == kThisJob)) {
      // Backed up as a whole VM, and the record it carries is said.
      EXPECT_EQ(0u, vm.contentRecords.size());
      ASSERT_EQ(1u, vm.messages.size());
      EXPECT_NE(std::string::npos, vm.messages[0].find("Not a stub")) << vm.messages[0];
      EXPECT_EQ(1u, lab.Count("is backed up as a whole VM"));
      EXPECT_TRUE(lab.Description(1).customFields["Archived"].empty());
    }
    if (c.result == 95) {
      // Nothing of it is backed up or sent to the index, and it says why.
      EXPECT_TRUE(vm.contentRecords.empty());
      EXPECT_TRUE(vm.messages.empty());
      EXPECT_EQ(c.serverJob == kThisJob ? 1u : 0u, lab.Count("Neither backed up nor reported"));
      EXPECT_EQ(0, vm.indexingMetadata.deleteTimestamp) << "a VM that failed started a stub's clock to expiry";
    }
  }
}

TEST(BackupPhaseTest, AStubGoneFromTheHypervisorExpiresOnlyPastItsRetention) {
  testsupport::VirtualClock clock;
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, const char*>> settings;
    int64_t deletedHoursAgo;
    int64_t extraSeconds;
    bool pruned;
  } cases[] = {
      {"override 5 h, deleted 6 h ago", {{"expiryOverrideHours", "5"}}, 6, 0, true},
      {"override 5 h, deleted 5 h ago: not past it", {{"expiryOverrideHours", "5"}}, 5, 0, false},
      {"override 5 h, deleted a second past it", {{"expiryOverrideHours", "5"}}, 5, 1, true},
      {"override 0 h, deleted a second ago", {{"expiryOverrideHours", "0"}}, 0, 1, true},
      {"retention 1 day, deleted 25 h ago", {{"itemPastExpiryDays", "1"}}, 25, 0, true},
      {"retention 1 day, deleted 24 h ago", {{"itemPastExpiryDays", "1"}}, 24, 0, false},
      {"retention never", {{"itemPastExpiryDays", "-1"}}, 24 * 3650, 0, false},
      {"no retention set: never", {}, 24 * 3650, 0, false},
      {"kept past expiry", {{"itemPastExpiryDays", "1"}, {"keepItemPastExpiry", "1"}}, 48, 0, false},
      {"override -1: the retention decides", {{"expiryOverrideHours", "-1"}, {"itemPastExpiryDays", "2"}}, 49, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    archtest::ArchivingLab lab;
    for (const auto& setting : c.settings) lab.Subclient(setting.first, setting.second);
    std::string error;
    lab::RemoveVM(lab::SampleServer(), "vm01", error);
    vm_params vm = lab.VM(1);
    vm.indexingMetadata.stubData = StubText(4);
    const int64_t deleted = lab::ServerClockSeconds(lab::SampleServer()) - c.deletedHoursAgo * 3600 - c.extraSeconds;
    vm.indexingMetadata.deleteTimestampText = std::to_string(deleted);
    EXPECT_EQ(101, lab.Run(vm)) << "a stub is never backed up";
    EXPECT_EQ(c.pruned ? 8 : 4, IndexState(vm.indexingMetadata.stubData));
    EXPECT_EQ(deleted, vm.indexingMetadata.deleteTimestamp);
    EXPECT_EQ(c.pruned ? 1u : 0u, lab.ArchivesOf(1));
    const std::vector<std::string> pending = lab.Pending();
    EXPECT_EQ(c.pruned ? 1u : 0u, pending.size());
    if (c.pruned && !pending.empty()) {
      EXPECT_NE(std::string::npos, pending[0].find("0x5B0000B5 vm01")) << pending[0];
      EXPECT_EQ(8, IndexState(lab.Indexed(1).stubData)) << "the next job's collect file says pruned";
    }
  }
}

}  // namespace
