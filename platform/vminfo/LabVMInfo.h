#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabArraySnap.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMachine.h"
#include "platform/lab/LabMount.h"
#include "platform/os/ZtMutex.h"
#include "platform/os/ThreadAnnotations.h"
#include "platform/vminfo/IVMInfo.h"

// The VM-information library of the lab: one hypervisor server of the lab (its records are the lab's,
// platform/lab/LabHypervisor.h). Operations the lab's fault table can make fail: "vminfo.GetHostInfo",
// "vminfo.LoadVMInfo" (selector vm: the name or GUID asked for), "vminfo.GetProxyVMInfo",
// "vminfo.GetStreamLimit", "vminfo.GetDatastoreList" and "vminfo.AttachSharedShadow". The proxy's own
// VM and host are those of its client's lab machine. A fired rule's code is the
// library's error code, its text the error text, its event the failure's job event (none when the
// rule names none). The connection's life (LabVMInfo_link.cpp) adds "vminfo.Initialize",
// "vminfo.Connect", "vminfo.InitializeCluster", "vminfo.Cleanup" and the account checks
// "vminfo.VerifyAccount" and "vminfo.CheckSnapPrivileges" (a rule's code 282 is missing privileges). A connect names the server by the credentials'
// server name (when the object was made without one) and must carry the user and password that the
// server record's keys "user" and "password" name, when it has them; the record's key
// "terminologyEvent" is the server's terminology event. Shared shadows are records of the server
// (platform/lab/LabAgent.h) made and deleted through "vminfo.CreateSharedShadow" and
// "vminfo.DeleteSharedShadow"; a VM's inventory ("vminfo.GetVMInfoForVM", selector vm) carries its
// description's power state, and a datastore's figures ("vminfo.GetDatastoreInfo") are its record of
// platform/lab/LabHypervisor.h. A shared shadow is a point-in-time copy of its VMs' files
// (platform/lab/LabShadow.h); an object whose option "singleSharedShadow" is set mounts every VM from
// the job's shared shadow and from nothing else, and the shadow's deletion (of the job the context
// names) ends the mounts still made from it. A mount leaves out the disks that the context's disk
// filters name (a pattern matched against the disk's index name or image file name, any case).
class LabVMInfo : public IVMInfo {
 public:
  // Codes of the lab's own failures. They lie in a range that the error classification does not
  // single out, so they classify as plain failures.
  // kErrNotFound (IVMInfo): no such host or VM.
  static constexpr int kErrUnreadable = 3002;  // the lab's description cannot be read
  // Job event of the lab's own failures: arguments VM label and error text.
  static constexpr uint32_t kFailureEvent = 0x5B0001F0;

  // server: the hypervisor server of the lab; empty means the lab's only server.
  explicit LabVMInfo(int instanceType, const std::string& server = std::string());
  ~LabVMInfo() override;

  int GetErrorCode() override;
  void GetErrorReport(MountCtx& ctx, std::string& text, EvMessageContainer& message) override;
  int GetInstanceType() override;
  int GetHostInfo(const std::string& hostName, VMInfoStructs::SHostInfo& info, uint64_t mask,
                  int flags) override;

  // ---- The proxy's own view (LabVMInfo_proxy.cpp) ----
  int GetProxyVMInfo(VMInfoStructs::SVMInfo& info, int flags, int reserved) override;
  int GetStreamLimit() override;
  int GetDatastoreList(std::vector<VMInfoStructs::SDatastoreInfo>& datastores) override;
  void ReleaseSession() override;
  int AttachSharedShadow(MountCtx& ctx) override;

  int Initialize(int flags) override;
  void RegisterCallback(Callback callback, void* context) override;
  int SetOption(const std::string& name, int64_t value) override;
  int Connect(const vsAppMgrServerCredentials& credentials, const std::string& server, const std::string& user,
              const std::vector<SHostCredentials>& hostCredentials) override;
  void GetConnectErrorMessage(std::string& text, EvMessageContainer& message) override;
  int Disconnect() override;
  int FlushInventoryCache() override;
  int Cleanup(int flags) override;
  uint32_t GetTerminology(int kind, int form) override;
  int InitializeCluster(MountCtx& ctx) override;
  // ---- Mount records and mounts (LabVMInfo_mount.cpp) ----
  // Disk records name the VM's images (type kLabDiskType, index name "scsi0-<n>-<image file name>"),
  // configuration files as records of backup type 0 and file collections as records of backup type 2
  // whose disk type is the collection type. While the VM is mounted for the context's job, disk and
  // configuration-file records name the mount's snapshot views and point-in-time copies.
  // The mount takes a snapshot of each disk image and copies each configuration file into the
  // mount-path folder (platform/lab/LabMount.h) and keeps its record under the context's job id.
  // Fault table operations (selector vm: the GUID): "vminfo.GetMountInfoFull",
  // "vminfo.GetMountedVolumes", "vminfo.MountVM", "vminfo.UnmountVM", "vminfo.PostBackupVM",
  // "vminfo.SetBackupCompletion", "vminfo.GetSnapConfigFiles", "vminfo.UpdateVMInfoForIdentifier";
  // "vminfo.ChangeTrackingReset" (selector vm), asked once by a successful mount: a rule that fires
  // raises the context's VM level to full (the hypervisor lost track of the VM's changes);
  // and "vminfo.MountFailure" (selectors vm and disk, the disk's index name), asked once per disk by a
  // successful mount: each rule that fires adds a failure for that disk to the context's list, a
  // warning when its code is 2, with the rule's text.
  static constexpr uint32_t kLabDiskType = 2;
  int GetMountInfoFull(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& mounts) override;
  int GetMountedVolumes(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& volumes) override;
  int MountVM(MountCtx& ctx) override;
  int UpdateVMInfoForIdentifier(const std::string& identifier, const VMInfoStructs::SVMInfo& info) override;
  int UnmountVM(MountCtx& ctx) override;
  int PostBackupVM(MountCtx& ctx) override;
  int SetBackupCompletion(MountCtx& ctx) override;
  int GetSnapConfigFiles(MountCtx& ctx, int flags, std::vector<std::string>& files) override;
  // ---- The data path (LabVMInfo_disks.cpp) ----
  // A change id is valid when the change journal beside the disk (the mount's copy) still describes
  // its generation (platform/lab/LabDisks.h). Fault table operations (selector vm):
  // "vminfo.ValidateChangeId" (the id is then not valid) and "vminfo.ReserveDiskStream" (selector vm:
  // the GUID of the VM last mounted). Disk streams are counted: every reservation and release goes
  // into the job's ledger (platform/lab/LabJob.h) once a mount has named the job, and into this
  // object's own count.
  int ValidateChangeId(const std::string& vmName, const std::string& backupName, const std::string& diskPath,
                       const std::string& changeId) override;
  int ReserveDiskStream(int count) override;
  int ReleaseDiskStream(int count) override;
  // Reservations less releases of disk streams made through this object.
  int64_t DiskStreamsHeld() const;
  // The clean-up string of a lab mount.
  static std::string MountCleanupString(const std::string& server, int64_t jobId, const std::string& guid);

  int VerifyAccount() override;
  int CheckSnapPrivileges() override;
  std::string GetErrorText() override;

  // ---- Shared shadow, inventory and datastore figures (LabVMInfo_inventory.cpp) ----
  int CreateSharedShadow(MountCtx& ctx) override;
  int DeleteSharedShadow(MountCtx& ctx) override;
  int GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid, const std::string& host, uint64_t mask,
                     bool flag, VMInfoStructs::SVMInfo& info) override;
  int GetDatastoreInfo(const std::string& datastore, const std::string& text, const std::string& host, int number1,
                       int number2, VMInfoStructs::SDatastoreInfo& info) override;
  // ---- Storage-array snapshots (LabVMInfo_array.cpp, platform/lab/LabArraySnap.h) ----
  // The pre-snapshot takes a view of each disk image (LabSnapshot.h) and a copy of each configuration
  // file of the context's VMs as of now under the snapshot job (the context's snapshot-backup job id, else its job id), with the guests
  // marked quiesced until the post-snapshot; it reports each VM's snapshot creation and deletion (states
  // 0 and 100) and its progress through the callback. Each proxy's pre-snapshot adds its VMs to the
  // job's snapshot, and its post-snapshot lets only those go. A pre-snapshot that fails leaves every
  // VM it was given the failure as its own (SetVMSnapFailure). A failed post-snapshot still lets its
  // guests go, but leaves the snapshot unfinished: no later job mounts it. A rule of "vminfo.Quiesce" (selector vm) that
  // fires gives that VM its code as quiesce status (2000 to 2002) and its text as the details; the
  // VM is taken all the same, crash-consistent. The snapshot-information operation writes and lists
  // the snapshot's metadata file (a VirtualServer::VMSnapBackup with the datastores of the proxy's
  // VMs), or fetches an earlier snapshot's; the mount and unmount of a snapshot are recorded per proxy and
  // job; a VM mounted for a snapshot backup, backup copy or catalogue reads the snapshot's views
  // (a later job's only where its proxy mounted the snapshot), and a volume mount of such a VM
  // (mount type kMountTypeVolumes) is kept in its mount record ("fileMount"). The mount of a VM for
  // the snapshot backup of a VM-centric engine (the context's vmCentricSnapBackup) takes that VM's
  // own snapshot into the job's, which later jobs read by the VM's mount alone. Archive-file ids are
  // one per datastore of the snapshot. Fault table operations: "vminfo.PreSnap", "vminfo.PostSnap",
  // "vminfo.GetSnapBackupInfo", "vminfo.GetVMSnapBackupInfo", "vminfo.MountSnap",
  // "vminfo.UnmountSnap", "vminfo.GetArchiveFileId", "vminfo.SetVMSnapFailure",
  // "vminfo.ResetFailure", "vminfo.GetLocalHostInfo", "vminfo.AddDiskForMetadata" (the VM forms
  // select by GUID), "vminfo.Quiesce" and "vminfo.SnapshotVM" (selector vm: asked as each VM's copies
  // are taken).
  int PreSnap(MountCtx& ctx) override;
  int PostSnap(MountCtx& ctx) override;
  int GetSnapBackupInfo(MountCtx& ctx, std::vector<std::string>& files, int perVM) override;
  int GetVMSnapBackupInfo(const MountCtx& ctx, std::string& text) override;
  int MountSnap(MountCtx& ctx) override;
  int UnmountSnap(MountCtx& ctx) override;
  uint32_t GetArchiveFileId(const MountCtx& ctx, const std::string& fileName, DiskType_t diskType) override;
  int SetVMSnapFailure(const std::string& vmGuid, int quiesceStatus, const std::string& details) override;
  int ResetFailure(int flags) override;
  int GetLocalHostInfo(VMInfoStructs::SHostInfo& info) override;
  int AddDiskForMetadata(const MountCtx& ctx) override;

  // ---- VM archiving and power management (LabVMInfo_archiving.cpp) ----
  // They change the VM's description (platform/lab/LabArchiving.h): options and custom fields are its
  // keys, the stub deletes its disks' images one by one (none unless the backup of the context's job
  // restores each at the change id given for it: lab::DiskOfJobBackup), relocation moves it, power
  // operations set its power state (a guest that ignores shutdowns stays on), the server time is the
  // hypervisor's clock and the idle check answers the description's "idle" (given any condition).
  // Fault table operations (selector vm: the GUID): "vminfo.SetVMOptions", "vminfo.SetCustomField",
  // "vminfo.PrepareStubVM", "vminfo.StubVM", "vminfo.StubVMDisk" (selectors vm and disk, the disk's index
  // name: asked before each disk's deletion, so a rule with --after N cuts the stub off after N disks),
  // "vminfo.CompleteStubVM",
  // "vminfo.RelocateVM", "vminfo.GetServerCurrentTime", "vminfo.CheckIdleVM" (the check then answers -1)
  // and "vminfo.PerformVMOperation".
  int SetVMOptions(const VMInfoStructs::SVMInfo& vm, int code, std::string& errorText) override;
  int SetCustomField(const std::string& vmName, const std::string& vmGuid, const std::string& field,
                     const std::string& value) override;
  int PrepareStubVM(StubVMCtx& ctx) override;
  int StubVM(StubVMCtx& ctx) override;
  int CompleteStubVM(StubVMCtx& ctx) override;
  int RelocateVM(VMRelocateCtx& ctx) override;
  int64_t GetServerCurrentTime() override;
  int CheckIdleVM(const std::string& vmName, const std::string& vmGuid,
                  const std::map<std::string, std::string>& conditions) override;
  int PerformVMOperation(OperationCtx& ctx) override;

  // Lab views for tests.
  bool IsConnected() const;
  // The option's value; -1 when it was never set.
  int64_t GetOption(const std::string& name) const;
  // Calls the registered callback as the library would; 0xFFFFFFFF without one.
  int InvokeCallback(int reason, void* data);

  // Lab operation: the inventory record of a VM named by GUID (any case) or name, with the parts the
  // mask asks for (every part by default). Non-zero on success.
  int LoadVMInfo(const std::string& guidOrName, VMInfoStructs::SVMInfo& info, uint64_t mask = ~0ULL);

  // What the lab's inventory record of a VM holds (LoadVMInfo, and the mount context's record, which
  // MountVM brings up to date): 1 the name, 3 the GUID, 11 the datastore, 12 the location, 18 the
  // version, 19 the tools version, 23 the host, 24 the resource pool's path, 38 the power state (0
  // only for a description that says "off"), 64 and 112.1 the guest OS id (kGuestOSWindows, or 0
  // when the description names another system), 112.2 the guest OS name ("Windows", "Linux" or
  // the description's own text) and 44 the disks (DiskRecord).
  static constexpr int32_t kGuestOSWindows = 21;
  // The hypervisor's record of the VM's disk `index`: type kLabDiskType, its image's path relative
  // to the server folder, id, display and index names, sizes, datastore (also in field 69), status 1
  // and the OS-disk flag of the first disk.
  static VMInfoStructs::SDisk DiskRecord(const lab::VMDescription& vm, size_t index);

 private:
  struct Failure {
    int code = 0;
    std::string text;
    uint32_t eventId = 0;
  };
  // Records a failure; always returns 0 so operations can `return Fail(...)`.
  int Fail(int code, const std::string& text, uint32_t eventId = kFailureEvent) LOCKS_EXCLUDED(mutex_);
  void Succeed() LOCKS_EXCLUDED(mutex_);
  // The focus client's machine; false (failure recorded) when it has none or it cannot be read.
  bool ReadProxyMachine(lab::MachineRecord& machine);
  // GetHostInfo of the host the proxy's machine runs on (an empty name with kLocalHostMask).
  int GetProxyHostInfo(VMInfoStructs::SHostInfo& info);
  // Records why the server has no VM by that GUID or name: kErrUnreadable naming its description when one
  // is there and does not read (lab::UnreadableVM), else kErrNotFound. Returns 0.
  int FailNoVM(const std::string& server, const std::string& guidOrName);
  // True, with the failure recorded, when the fault table makes the operation fail.
  bool Faulted(const char* op, const std::string& vm = std::string());
  // The server this object reads; false (failure recorded) when there is none.
  bool FindServer(std::string& server);
  // The mount record of the context's VM; false (failure recorded) when there is none.
  bool ReadMount(const MountCtx& ctx, std::string& server, lab::MountRecord& record);
  // The snapshot of the context's snapshot job; false (failure recorded) when there is none.
  bool ReadArraySnap(const MountCtx& ctx, std::string& server, lab::ArraySnapRecord& record);
  // The pre-snapshot's work once its VMs are known; false (failure recorded, and the GUID of the VM
  // it failed on when it failed on one).
  bool TakeArraySnapshot(MountCtx& ctx, const std::string& server, int64_t snapJob,
                         const std::vector<lab::VMDescription>& vms, std::string& failedVM);
  // A VM-centric engine's snapshot of one VM, taken by the VM's mount into the job's snapshot: what
  // the mount reads, by source; false (failure recorded).
  bool SnapshotVMForMount(const std::string& server, MountCtx& ctx, const lab::VMDescription& vm,
                          std::map<std::string, std::string>& copyFrom);
  // Takes the VM's copies into the snapshot and records them; false (failure recorded).
  bool SnapshotVM(const std::string& server, int64_t snapJob, const lab::VMDescription& vm,
                  lab::MountRecord& record);
  void NotifySnapshotOperation(int reason, const lab::VMDescription& vm, int state, int64_t duration);
  // What a VM's mount for a storage-snapshot job reads: the array snapshot's views of its disks and
  // copies of its files, by source (a later job's only where its proxy mounted the snapshot); false
  // (failure recorded) when the snapshot does not hold the VM.
  bool ArraySnapSources(const std::string& server, const MountCtx& ctx, std::map<std::string, std::string>& copyFrom);
  // A volume mount of the mounted VM, or its end; false (failure recorded).
  bool SetFileMount(const MountCtx& ctx, bool mounted);

  // Fills the inventory fields the lab knows from the VM's description (see LoadVMInfo); the others
  // are left as they are.
  static void DescribeVM(const lab::VMDescription& vm, VMInfoStructs::SVMInfo& info);
  // The inventory of VM archiving and power management that the mask asks for (LabVMInfo_archiving.cpp).
  void FillArchivingInventory(const std::string& server, const lab::VMDescription& vm, uint64_t mask,
                              VMInfoStructs::SVMInfo& info);
  // Changes the VM's description (LabVMInfo_archiving.cpp); 0 with the failure recorded when it cannot.
  int ChangeVM(const std::string& guidOrName, const lab::VMChange& change);
  // Takes a snapshot of each of the VM's disks and copies its configuration files into the mount
  // folder, or, for a file with a copy in copyFrom (by source), reads that copy instead: a shared
  // shadow's view is the disk's snapshot itself, its configuration copies are copied on; the disks of
  // `filtered` (positions) are left out. A disk whose described size is not its view's, or no whole
  // number of sectors, fails the mount. False (failure recorded, nothing of this mount left).
  bool CopyVM(const std::string& server, const lab::VMDescription& vm, const std::string& mountPath,
              const std::map<std::string, std::string>& copyFrom, const std::vector<size_t>& filtered,
              lab::MountRecord& record);

  // ---- The job's shared shadow and disk filters (LabVMInfo_shadow.cpp) ----
  // With the option "singleSharedShadow" set, the copies of the VM's files in the job's standing
  // shared shadow: a mount then reads nothing else, and fails (false, failure recorded) when no
  // shared shadow of the job holds the VM. Without the option copyFrom is empty.
  bool SharedShadowSources(const MountCtx& ctx, const std::string& server, const lab::VMDescription& vm,
                           std::map<std::string, std::string>& copyFrom);
  // The point-in-time copies of the VMs' files for a new shared shadow of the job; false (failure
  // recorded, nothing left) when one cannot be made.
  bool TakeSharedShadow(const std::string& server, int64_t jobId, const std::string& name,
                        const std::vector<lab::VMDescription>& vms);
  // Ends the job's mounts that still read from the shared shadow (a job that died left them): the
  // shadow cannot go while they stand. False (failure recorded) when one cannot be ended.
  bool EndSharedShadowMounts(const std::string& server, int64_t jobId, const std::string& name);
  // Removes the job's shared shadow copies and marks its record deleted.
  void RemoveSharedShadow(const std::string& server, int64_t jobId, const std::string& name);
  // Names in the context the shadow that stands for its job (its texts stay empty when none does);
  // `logged` whether its making reached shadows.log. False (failure recorded) when the job's shadow
  // record cannot be read.
  bool NameJobSharedShadow(const std::string& server, MountCtx& ctx, bool& logged);
  // The positions of the VM's disks that a disk filter of the context leaves out of the backup.
  static std::vector<size_t> FilteredDisks(const MountCtx& ctx, const lab::VMDescription& vm);

  // Constant after construction.
  const int instanceType_;
  const std::string server_;

  mutable ZtMutex mutex_;
  Failure last_ GUARDED_BY(mutex_);
  // The connection (LabVMInfo_link.cpp).
  bool initialized_ GUARDED_BY(mutex_) = false;
  bool connected_ GUARDED_BY(mutex_) = false;
  std::string connectedServer_ GUARDED_BY(mutex_);  // the server the credentials named
  Callback callback_ GUARDED_BY(mutex_) = nullptr;
  void* callbackContext_ GUARDED_BY(mutex_) = nullptr;
  std::map<std::string, int64_t> options_ GUARDED_BY(mutex_);
  // The job and VM of the last mount, which the disk streams that follow serve.
  int64_t mountJob_ GUARDED_BY(mutex_) = 0;
  std::string mountedVM_ GUARDED_BY(mutex_);
  int64_t diskStreamsHeld_ GUARDED_BY(mutex_) = 0;
  // Why each VM of the last failed storage snapshot failed (by GUID).
  std::map<std::string, Failure> snapFailures_ GUARDED_BY(mutex_);
};
