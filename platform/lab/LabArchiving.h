#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMedia.h"

// What VM archiving and power management change on the lab's hypervisor, and what the index keeps of
// a VM's stub record.
//
// The hypervisor's clock is the lab's clock plus the server record's "clockOffsetSeconds" (0 when
// absent): a lab run or a test moves the hypervisor's day forward without waiting for it. A VM
// description's "poweredOffAt" is a second of that clock, so its powered-off hours grow with it.
//
// Every change of a VM description here is made under the description's lock (read, change, replace),
// so a stub, a power operation and the lab tool never lose each other's change.
namespace lab {

constexpr const char* kServerClockOffsetKey = "clockOffsetSeconds";

// Seconds of the server's clock (see above); the lab's clock when the server record has no offset
// or cannot be read.
int64_t ServerClockSeconds(const std::string& server);
// Whole hours the VM has been powered off at `now` (server seconds); 0 for a VM that runs or whose
// power-off time is not known; at most INT32_MAX.
int64_t PoweredOffHours(const VMDescription& vm, int64_t now);
// The VM's path of a lab file in the hypervisor's own form: "[<datastore>] <folder>/<file>" for a file
// under datastores/<datastore>/<folder>/; the relative path itself otherwise.
std::string DatastorePathOf(const std::string& relative);

// The server the VM (its GUID in any case, or its name) is on; false when it is on none.
bool FindVMServer(const std::string& guidOrName, std::string& server);

// Reads the VM (its GUID in any case, or its name), lets `change` alter the description and replaces it
// when change returns true. False with the reason: no such VM, a description that cannot be read or
// written, or change's own refusal (the description is then as it was).
using VMChange = std::function<bool(VMDescription& vm, std::string& error)>;
bool UpdateVMDescription(const std::string& server, const std::string& guidOrName, const VMChange& change,
                         std::string& error);

// Powers the VM on, or off as of `offAt` (server seconds; the moment it went off).
bool SetVMPower(const std::string& server, const std::string& guidOrName, bool on, int64_t offAt, std::string& error);

// Within a change of `vm`: removes the image of its disk at `index` and marks the disk deleted. Its
// change journal stays, with the whole disk recorded as changed and the digests its snapshots still
// want kept, so that the backups taken of it can be checked afterwards. A disk deleted before is left as
// it is.
bool DeleteVMDiskImage(const std::string& server, VMDescription& vm, size_t index, std::string& error);

// A stub's deletion of the VM's disk named `indexName` (its name in backups, LabDiskIndexName) on the
// strength of the backup of job `jobId`: made only while the disk is at `changeId`, the change id that
// backup read, checked under the image's lock so that no write slips in between. The description says
// the disk is deleted, with that backup, before its image goes, so a stub cut off at any point leaves a
// description that names every disk whose bytes may be gone and where they are kept (the journal keeps
// the digests of its backups, as DeleteVMDiskImage does). A disk deleted before is left as it is.
// False with the reason, and nothing deleted: no such disk, a disk at another change id (written since
// its backup), or a file that cannot be changed.
bool DeleteStubbedDisk(const std::string& server, const std::string& guidOrName, const std::string& indexName,
                       const std::string& changeId, int64_t jobId, std::string& error);

// One archive noted for the VM, read whole (lab::ReadArchiveWhole) or its structure as a reader of
// backups takes it; false when it is no archive of the VM. One that is not well formed is kept with
// what was read of it; so is one never committed or not there at all, as not well formed: its note
// names it, so its job's backup of the VM is not whole. Each is of the attempt its first record
// names, else of the one its note names. One that holds only index records (of a snapshot or a
// catalogue) is kept too: it tells that its job's backup of the VM was never on the media, so that a
// reader does not take the job for a backup lost from there.
bool ReadNotedVMArchive(const NotedArchive& noted, const std::string& vmGuid, bool structureOnly,
                        archive::ArchiveContents& contents);
// The VM's archives of every job up to `asOfJob` (0: every job), as a reader of backups takes them:
// every archive noted for the VM, read by ReadNotedVMArchive. Only the archives noted for the VM are
// opened.
std::vector<archive::ArchiveContents> ReadVMArchives(const std::string& vmGuid, int64_t asOfJob);
// The same of the chain that counts as of `asOfJob` alone: its jobs from the newest down to the
// newest one whose backup of the VM is a full that can be used (all of them when none is). What
// archive::ReassembleVM as of that job takes from them is what it takes from ReadVMArchives. With
// `structureOnly` each is read as its structure (archive::ReadArchiveStructure), its data unchecked but
// for what a whole read of it found.
std::vector<archive::ArchiveContents> ReadVMChainArchives(const std::string& vmGuid, int64_t asOfJob,
                                                          bool structureOnly = false);

// The backups of the VM the index knows (on any subclient) with the disks it recorded of each, and the
// jobs whose records with the job manager say they backed the VM up (of the jobs from `fromJob` up to
// `toJob`, 0: every job): backups a chain may not be read around. The disks of a job the index has no
// record of are those the job's mount of the VM took, when its mount record is there.
archive::BackupRecords ReportedBackupsOfVM(const std::string& vmGuid, int64_t fromJob = 0, int64_t toJob = 0);
// Whether the VM's backup as of `asOfJob` stands on the media agents with every disk's chain whole, as
// far as the archives' structure shows and what whole reads of them found (their data is not read
// here), judged by the same records as a restore (ReportedBackupsOfVM). False with the first break.
bool VMChainOnMediaIsWhole(const std::string& vmGuid, int64_t asOfJob, std::string& why);
// Whether the VM's backup in the job, as every reader takes it (the job's latest attempt at the VM),
// stands on the media agents: committed archives of it, well formed as far as their structure shows,
// no item ended failed.
bool VMJobBackupStands(const std::string& vmGuid, int64_t jobId);

// The VM as the backup of job `jobId` restores it (archive::ReassembleVM over its archives up to that
// job, no job that recorded a backup of the VM read around), when that job's backup stands in the VM's
// chain. False with why not.
bool ReassembleJobBackup(const std::vector<archive::ArchiveContents>& archives, const std::string& vmGuid,
                         int64_t jobId, archive::VMBackup& backup, std::string& why);
// Of such a backup (ReassembleJobBackup), the disk `indexName` when the job's backup holds it whole, its
// chain whole, as it read it at `changeId`. False with why not. What a stub may delete a disk on, and
// what a restore of the stub brings back.
bool DiskOfJobBackup(const archive::VMBackup& backup, const std::string& indexName, const std::string& changeId,
                     archive::RestoredDisk& disk, std::string& why);

// The disks a VM had at a job, as the job's records show them: those the VM's mount in the job took (a
// later attempt of the job that left the VM as an earlier one backed it up keeps that attempt's mount);
// else those the index's record of the VM in the job lists; else, of a job that reported the VM as a
// stub, those of the stub. That the job reported a stub is told by the index's record of the VM in the
// job (no disk listed, the stub record naming the stub's job) unless the job manager's record of the VM
// in the job says otherwise, or by the job manager's record saying stubbed. The stub's disks are told by
// the records of the stub's job (its mount, its index record, as above), else by the disks the
// hypervisor's description of the VM marks as deleted by a stub at or before the job (disk<i>.stubJob):
// a stub has no disk but those it deleted. The disks the hypervisor still marks so are the VM's at the
// job too. Where nothing tells, `known` is false and `source` says why.
struct VMDisksAtJob {
  int64_t jobId = 0;
  bool known = false;
  bool mounted = false;         // told by the VM's own mount in the job
  bool stub = false;            // the job reported the VM as a stub, as its records tell it
  int64_t stubJob = 0;          // the stub's job where the index's record of the VM in the job names it
  std::set<std::string> names;  // the disks' names in backups (disk or volume), as the records give them
  std::string source;           // what tells them ("the mount of job 1003", ...), or why nothing does
  // Whether the VM had the disk of that name in backups (any case).
  bool Had(const std::string& name) const;
  // Whether it had the VM's disk at `position` (its image file), by its disk-level or volume name.
  bool HadDisk(const std::string& vmGuid, size_t position, const std::string& imageFile) const;
};
VMDisksAtJob DisksOfVMAtJob(const std::string& vmGuid, int64_t jobId);

// The VM's disks at `positions` (of its description), each from the newest backup at or before `asOfJob`
// (0: the latest) that holds it, going down one backup of the VM at a time (a later job of a stub holds
// none), by position in `found`; a disk no backup holds is left out of it. `standing` is the job whose
// backup stands for the VM as of `asOfJob` (0 when the VM has no backup at or before it). False with the
// reason when the backup a disk should come from is lost or its chain broken, or when the mount of that
// backup's job took the disk and no committed archive of the job holds it: a restore never goes around a
// lost backup that anything records. `archives` are the VM's up to `asOfJob` (ReadVMArchives).
bool FindNewestBackupsOfDisks(const std::vector<archive::ArchiveContents>& archives, const VMDescription& vm,
                              const std::vector<size_t>& positions, int64_t asOfJob,
                              std::map<size_t, archive::RestoredDisk>& found, int64_t& standing, std::string& error);

// Removes the VM from the hypervisor: its description and its disk images (with their journals).
bool RemoveVM(const std::string& server, const std::string& guidOrName, std::string& error);

// Moves the VM to another host, datastore or resource pool (an empty one stays as it is). A datastore
// must be one of the server's; the VM's images move into its folder with their journals.
bool MoveVM(const std::string& server, const std::string& guidOrName, const std::string& host,
            const std::string& datastore, const std::string& resourcePool, std::string& error);

// Writes back the VM's deleted disks from its backups, as a restore of a stub does, each as a new image
// whose change journal records the whole disk as changed, and clears the VM's stub record option and
// its "Archived" custom field. Without `asOfJob` (0) a disk comes from the backup its stub recorded
// (DiskOfJobBackup), and when that backup cannot be read whole nothing is written: the reason names
// the disk and the job; a disk deleted without a record comes from the newest backup that holds it.
// With `asOfJob` each disk comes from the newest backup at or before that job that holds it; one that no
// such backup holds and that the VM did not have at that job (DisksOfVMAtJob of the job whose backup
// stands for the VM then: a disk given since) is left as it is, still deleted, and `left` says so and
// why; where that leaves no disk to write, nothing is restored and the restore is refused. `restored`
// names the disks written. False with the reason: no disk is then written back, and the description is
// as it was (each disk still deleted, the stub record and "Archived" field kept).
bool RestoreVMDisks(const std::string& server, const std::string& guidOrName, int64_t asOfJob,
                    std::vector<std::string>& restored, std::vector<std::string>& left, std::string& error);
bool RestoreVMDisks(const std::string& server, const std::string& guidOrName, int64_t asOfJob,
                    std::vector<std::string>& restored, std::string& error);
// Whether every deleted disk of the VM comes back as RestoreVMDisks without a job brings it back; false
// with the reason of the first that does not. Nothing is written.
bool DeletedDisksComeBack(const VMDescription& vm, std::string& why);

// The VM's configuration option that holds its stub record.
constexpr const char* kStubRecordOption = "JyStub.ReparseData";

// What the index knows of a VM's stub record from its newest VM-level index record: the stub text,
// the datastore and resource pool recorded with it, and the delete timestamp (0: none).
struct IndexStubRecord {
  int64_t jobId = 0;  // the job of the record; 0 when the index has none
  std::string stubData;
  std::string datastore;
  std::string resourcePool;
  int64_t deleteTime = 0;
};
// False with the reason only when the index cannot be read; a VM the index does not know gives an
// empty record.
bool ReadIndexStubRecord(const std::string& subclientGuid, const std::string& vmGuid, IndexStubRecord& record,
                         std::string& error);

}  // namespace lab
