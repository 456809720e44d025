#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvMessageContainer.h"
#include "records/MountCtx.h"
#include "records/VMArchivingStructs.h"
#include "records/VMInfoStructs.h"

// A connection of the VM-information library to one hypervisor or cloud instance. One object per
// user; an object is not shared between threads without the owner's lock.
//
// Operations that can fail return non-zero on success and 0 on failure; after a failure
// GetErrorCode gives the library's code of it and GetErrorReport its text and job event.
class IVMInfo {
 public:
  IVMInfo() = default;
  virtual ~IVMInfo() = default;
  IVMInfo(const IVMInfo&) = delete;
  IVMInfo& operator=(const IVMInfo&) = delete;

  // A new object for the instance type (owned by the caller, released with DeleteObject); null when
  // no library serves that type.
  static IVMInfo* CreateObject(int instanceType);
  static void DeleteObject(IVMInfo* object);

  // ---- Agent selection ----
  // Whether the library's hosts of this instance type share volumes between the nodes of a
  // cluster (volume owners and clustered VMs mean something there).
  static bool IsMultiHostAware(int instanceType);

  // The code of the last failure; 0 when nothing has failed.
  virtual int GetErrorCode() = 0;
  // GetErrorCode of a VM or host the hypervisor does not have (any other code of a failed query of a VM
  // is a VM that is there and could not be described).
  static constexpr int kErrNotFound = 3001;
  // The text and job event of the last failure, for the VM the mount context names. The event has
  // message id 0 when the failure has no job event.
  virtual void GetErrorReport(MountCtx& ctx, std::string& text, EvMessageContainer& message) = 0;
  // The instance type the object serves.
  virtual int GetInstanceType() = 0;
  // The record of a hypervisor host.
  virtual int GetHostInfo(const std::string& hostName, VMInfoStructs::SHostInfo& info, uint64_t mask,
                          int flags) = 0;

  // ---- The proxy's own view, asked by the agent controller ----
  // Mask for GetHostInfo with an empty host name: the host the calling proxy runs on.
  static constexpr uint64_t kLocalHostMask = 0x2000000;
  // The inventory record of the VM the calling proxy is; 0 when the proxy is not a VM.
  virtual int GetProxyVMInfo(VMInfoStructs::SVMInfo& info, int flags, int reserved) = 0;
  // How many streams the hypervisor lets this proxy run at once; 0 means no limit.
  virtual int GetStreamLimit() = 0;
  // The datastores this proxy reaches; non-zero on success.
  virtual int GetDatastoreList(std::vector<VMInfoStructs::SDatastoreInfo>& datastores) = 0;
  // Lets go of what the object keeps between requests (sessions, caches); it may be used again.
  virtual void ReleaseSession() = 0;
  // Attaches to the shared shadow the context names (MountCtx::sharedShadowText1/2); 0 when the
  // proxy cannot, and then backs up from a shadow of its own.
  virtual int AttachSharedShadow(MountCtx& ctx) = 0;

  // ---- The connection's life: set-up, connect, disconnect, clean-up, callbacks ----
  // A callback of the library: a reason code, the registered context and the reason's data.
  using Callback = int (*)(int reason, void* context, void* data);
  virtual int Initialize(int flags) = 0;
  // The library calls the callback from its own threads; null unregisters.
  virtual void RegisterCallback(Callback callback, void* context) = 0;
  virtual int SetOption(const std::string& name, int64_t value) = 0;
  // Connects to the server of the credentials; 0 on failure (GetConnectErrorMessage says why).
  virtual int Connect(const vsAppMgrServerCredentials& credentials, const std::string& server,
                      const std::string& user, const std::vector<SHostCredentials>& hostCredentials) = 0;
  // The text and job event of the last failed connect.
  virtual void GetConnectErrorMessage(std::string& text, EvMessageContainer& message) = 0;
  virtual int Disconnect() = 0;
  // Drops what the connection cached of the inventory, so that the next reads see it afresh.
  virtual int FlushInventoryCache() = 0;
  virtual int Cleanup(int flags) = 0;
  // The job event that names the hypervisor's objects in the terminology of its kind; 0 for none.
  virtual uint32_t GetTerminology(int kind, int form) = 0;
  // Prepares a clustered hypervisor for the job's backups.
  virtual int InitializeCluster(MountCtx& ctx) = 0;

  // ---- Mount records of a mounted VM, read by the worker's layout objects ----
  // The mount context's VM as mounted: one record per disk image, configuration file and file
  // collection, each with its files (a disk's snapshot chain) in order. Non-zero on success.
  virtual int GetMountInfoFull(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& mounts) = 0;
  // The mounted guest volumes of a volume-level backup. Non-zero on success.
  virtual int GetMountedVolumes(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& volumes) = 0;

  // ---- A VM's mount and the end of its backup ----
  // Mounts the VM the context names: takes the snapshot through which its disks are read, creates
  // the context's mount-path folder with what the disks are read from, and fills the mount's results
  // (clean-up string, failures, reference point, file time, allocated size). Non-zero when mounted.
  virtual int MountVM(MountCtx& ctx) = 0;
  // The follow-up of a mount for a VM whose inventory record carries an identifier.
  virtual int UpdateVMInfoForIdentifier(const std::string& identifier, const VMInfoStructs::SVMInfo& info) = 0;
  // Removes what the mount made. On success the context's clean-up string is cleared; a failed
  // unmount leaves it, and what it names is left for the clean-up service.
  virtual int UnmountVM(MountCtx& ctx) = 0;
  // Closes the VM's backup on the hypervisor's side (the snapshot's change ids, its release).
  virtual int PostBackupVM(MountCtx& ctx) = 0;
  // Marks the VM's backup complete on the hypervisor's side.
  virtual int SetBackupCompletion(MountCtx& ctx) = 0;
  // The configuration files of the VM's snapshot.
  virtual int GetSnapConfigFiles(MountCtx& ctx, int flags, std::vector<std::string>& files) = 0;

  // ---- The data path: change ids and disk streams (the worker's disk backup) ----
  // Whether a change id of an earlier backup of the disk read from diskPath still tells what changed
  // since; non-zero when it does. The backup reads the whole disk otherwise.
  virtual int ValidateChangeId(const std::string& vmName, const std::string& backupName, const std::string& diskPath,
                               const std::string& changeId) = 0;
  // Reserves a stream of the hypervisor's transport for reading one disk; non-zero when reserved. A
  // reservation is given back with ReleaseDiskStream and the same count.
  virtual int ReserveDiskStream(int count) = 0;
  virtual int ReleaseDiskStream(int count) = 0;

  // ---- Account checks of the agent controller's connection ----
  // Error code of a check that failed because the account lacks privileges.
  static constexpr int kErrMissingPrivileges = 282;
  // Whether the connected account may back VMs up; 0 when it may not.
  virtual int VerifyAccount() = 0;
  // Whether the connected account may take storage snapshots; 0 when it may not.
  virtual int CheckSnapPrivileges() = 0;
  // The text of the last failure; empty when nothing has failed.
  virtual std::string GetErrorText() = 0;

  // ---- Shared shadow, a VM's inventory and a datastore's figures ----
  // Callback reasons around the creation of a shared shadow: just before it (a result other than 0
  // refuses the creation) and just after it.
  static constexpr int kCallbackPreCreateSharedShadow = 8;
  static constexpr int kCallbackPostCreateSharedShadow = 9;
  // One shadow of the VMs of ctx.vmBasicInfos; on success ctx.sharedShadowText1/2 name it.
  virtual int CreateSharedShadow(MountCtx& ctx) = 0;
  // Deletes the shared shadow ctx.sharedShadowText1/2 name, made for the job ctx.jobId (an earlier
  // job's too), with the mounts still made from it; one deleted already is success. Without the
  // texts it deletes the job's shadow whatever it was named, and names it in them (they stay empty,
  // and it succeeds, when the job has none standing): a caller that died while the shadow was being
  // made never learnt its name.
  virtual int DeleteSharedShadow(MountCtx& ctx) = 0;
  // The inventory record of a VM named by GUID (or, without one, by name) on the given host; the
  // mask says which parts the caller needs. Non-zero when data came back.
  virtual int GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid, const std::string& host,
                             uint64_t mask, bool flag, VMInfoStructs::SVMInfo& info) = 0;
  // The figures of a datastore (capacity and free space in bytes) as seen from the host.
  virtual int GetDatastoreInfo(const std::string& datastore, const std::string& text, const std::string& host,
                               int number1, int number2, VMInfoStructs::SDatastoreInfo& info) = 0;

  // ---- Storage-array snapshots (storage-snapshot jobs) ----
  // Callback reasons while an array snapshot is taken: overall progress (SCallbackUpdateProgressBarArgs),
  // and per VM the creation and the deletion of its hypervisor snapshot (SCallbackSnapshotOperationArgs,
  // state 0 started and 100 done).
  static constexpr int kCallbackProgress = 0;
  static constexpr int kCallbackSnapshotCreate = 5;
  static constexpr int kCallbackSnapshotDelete = 6;
  // Mount type of a file-level (volume) mount of an already mounted VM.
  static constexpr int32_t kMountTypeVolumes = 1;
  // Quiesces the guests of ctx.vmBasicInfos and takes one array snapshot of them under the context's
  // snapshot-backup job id; fills ctx.vmInfoMap (GUID -> the VM as the snapshot sees it, with its
  // quiesce status) and ctx.snapVolumes (the snapshot's datastores, each with its VMs). The guests
  // stay quiesced until PostSnap. Non-zero on success.
  virtual int PreSnap(MountCtx& ctx) = 0;
  // Lets the snapshot's guests go (un-quiesces them); 1 on success.
  virtual int PostSnap(MountCtx& ctx) = 0;
  // The snapshot's metadata files. For a snapshot backup the library writes "backup_<job>.xml" into
  // the context's snapshot folder and lists it. With the context's backup-copy flag set and names in
  // `files`, it fetches those files of the context's snapshot-backup job into the subclient folder
  // instead. With a VM named in the context and `perVM` set, the VM's own files (none here).
  // Non-zero on success.
  virtual int GetSnapBackupInfo(MountCtx& ctx, std::vector<std::string>& files, int perVM) = 0;
  // What the snapshot keeps of the context's VM, as text; 1 on success.
  virtual int GetVMSnapBackupInfo(const MountCtx& ctx, std::string& text) = 0;
  // Mounts the snapshot of the context's snapshot-backup job on this proxy for the context's job, or
  // lets it go. Non-zero on success.
  virtual int MountSnap(MountCtx& ctx) = 0;
  virtual int UnmountSnap(MountCtx& ctx) = 0;
  // The archive file a file of the snapshot belongs to (one per datastore); 0 on failure.
  virtual uint32_t GetArchiveFileId(const MountCtx& ctx, const std::string& fileName, DiskType_t diskType) = 0;
  // Makes a VM's failure in the snapshot the object's last error (GetErrorCode, GetErrorReport), and
  // forgets it again.
  virtual int SetVMSnapFailure(const std::string& vmGuid, int quiesceStatus, const std::string& details) = 0;
  virtual int ResetFailure(int flags) = 0;
  // The host the calling proxy runs on; non-zero on success.
  virtual int GetLocalHostInfo(VMInfoStructs::SHostInfo& info) = 0;
  // Whether a disk of the context's mounted VM can join the guest metadata collection; non-zero when
  // it can.
  virtual int AddDiskForMetadata(const MountCtx& ctx) = 0;

  // ---- VM archiving and power management of one VM ----
  // Parts of the inventory GetVMInfoForVM fills only when its mask asks for them.
  static constexpr uint64_t kInventoryDiskModes = 0x10;         // disks' independent and raw-mapped flags
  static constexpr uint64_t kInventoryChangeIds = 0x40;         // disks' current change ids (SDisk field 5)
  static constexpr uint64_t kInventoryPowerOffTime = 0x800;     // the hours a powered-off VM has been off
  // Configuration options: the stub record, and the disks stubs deleted (SVMInfo::stubDeletedDisks).
  static constexpr uint64_t kInventoryOptions = 0x20000000;
  // Sets the configuration options vm.options on the VM vm names (field01, guid); `code` is the kind
  // of change the library makes. Non-zero on success; otherwise errorText says why.
  virtual int SetVMOptions(const VMInfoStructs::SVMInfo& vm, int code, std::string& errorText) = 0;
  // Sets a custom field of the VM. Non-zero on success.
  virtual int SetCustomField(const std::string& vmName, const std::string& vmGuid, const std::string& field,
                             const std::string& value) = 0;
  // The three steps of a stub: preparation, the stub proper (deletes the VM's disks and reports how many
  // of them in ctx; 0, or ctx.failed, when it did not complete) and completion. Non-zero on success.
  virtual int PrepareStubVM(StubVMCtx& ctx) = 0;
  virtual int StubVM(StubVMCtx& ctx) = 0;
  virtual int CompleteStubVM(StubVMCtx& ctx) = 0;
  // Moves the VM where ctx says. Non-zero on success; otherwise ctx.errorText says why.
  virtual int RelocateVM(VMRelocateCtx& ctx) = 0;
  // The hypervisor's current time in seconds since 1970; 0 when it cannot be had.
  virtual int64_t GetServerCurrentTime() = 0;
  // Whether the VM is idle by the conditions: 1 idle, 0 not idle, -1 the check failed.
  virtual int CheckIdleVM(const std::string& vmName, const std::string& vmGuid,
                          const std::map<std::string, std::string>& conditions) = 0;
  // A power operation (OperationCtx::kPowerOff, kGuestShutdown). Non-zero when the hypervisor took it;
  // a guest may take a shutdown request and still not power off.
  virtual int PerformVMOperation(OperationCtx& ctx) = 0;
};
