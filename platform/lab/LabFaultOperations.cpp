#include "platform/lab/LabFaultOperations.h"

namespace lab {
namespace {

constexpr unsigned kNone = 0;
constexpr unsigned kVM = kFaultSelectsVM;
constexpr unsigned kStream = kFaultSelectsStream;
constexpr unsigned kVMStream = kFaultSelectsVM | kFaultSelectsStream;

}  // namespace

const std::vector<FaultOperationRow>& FaultOperationRows() {
  static const std::vector<FaultOperationRow> rows = {
      {{{"jobmgr.initBackup", kNone}}, "the job manager's start; the rule's code is returned"},
      {{{"jobmgr.setPendingCause", kNone}}, "every way of setting a pending cause"},
      {{{"jobmgr.setPhaseResult", kNone}}, "`phaseSuccessful`, `phasePartialSuccess`, `phaseFailed`"},
      {{{"jobmgr.StopAndAutoResume", kNone}}, "the automatic resume is refused"},
      {{{"jobmgr.setVMStatus", kVM}}, "keeping a VM's status"},
      {{{"jobmgr.updateVMBkpJobStatus", kNone}}, "the job-status update of the VMs"},
      {{{"jobmgr.getLastSucessfulBkpJobId", kNone}},
       "the subclient's last full and incremental jobs; the rule's code is returned"},
      {{{"appmgr.querySettings", kNone}}, "loading the subclient; the rule's code is returned"},
      {{{"appmgr.querySnapFailoverESXHostsProperties", kNone}}, "the failover host query; the rule's code is returned"},
      {{{"appmgr.queryVMArchivingSettings", kNone}}, "the archiving settings query; the rule's code is returned"},
      {{{"appmgr.queryReplicationSettingsForFailback", kNone}}, "the failback replication query"},
      {{{"appmgr.queryMemberServersForInstance", kNone}}, "the member servers of an instance"},
      {{{"vminfo.StartupVMInfo", kNone}}, "the start of the VM-information library"},
      {{{"vminfo.GetHostInfo", kNone}}, "a host's record; the code, text and event are the library's failure"},
      {{{"vminfo.LoadVMInfo", kVM}}, "a VM's record"},
      {{{"vminfo.GetProxyVMInfo", kNone}}, "the proxy's own VM record (from its client's machine record)"},
      {{{"vminfo.GetStreamLimit", kNone}}, "the stream limit of the hypervisor server (`streamLimit` of server.conf)"},
      {{{"vminfo.GetDatastoreList", kNone}}, "the datastores a proxy reaches"},
      {{{"vminfo.AttachSharedShadow", kNone}}, "a proxy's attachment to the shared shadow"},
      {{{"jobmgr.setVMStatusProgressPercentage", kVM}}, "a VM's progress percentage"},
      {{{"jobmgr.AddCleanupString", kNone}, {"jobmgr.RemoveCleanupString", kNone}}, "the job's clean-up strings"},
      {{{"appmgr.setVSAReplicationInfo", kNone}}, "keeping a failback VM's replication record"},
      {{{"cleanup.RegisterProcess", kNone}, {"cleanup.UnregisterProcess", kNone}},
       "the process's registration with the cleanup service"},
      {{{"cleanup.RegisterVM", kNone}, {"cleanup.UnregisterVM", kNone}}, "a VM's registration with the cleanup service"},
      {{{"sim.queryClientOSId", kNone}}, "the client's operating system (then unknown: the agent does not start)"},
      {{{"vminfo.Initialize", kNone}, {"vminfo.Connect", kNone}, {"vminfo.InitializeCluster", kNone}},
       "the coordinator's hypervisor connection"},
      {{{"jobmgr.getVMBkpJobStatus", kNone}}, "the job's VM status list; the rule's code is returned"},
      {{{"jobmgr.setRefTime", kNone}, {"jobmgr.setJobCommittable", kNone}},
       "the job's reference time, marking the job committable"},
      {{{"jobmgr.freeStream", kNone},
        {"jobmgr.allocateAdditionalStreams", kNone},
        {"jobmgr.checkStatusOfAdditionalResourceRequest", kNone}},
       "giving streams back (also `freeNStreams`), asking for more and asking how the request stands"},
      {{{"archmgr.getResourceReservation", kNone}}, "the archive manager's list of the job's reservations"},
      {{{"media.setClientToken", kStream}}, "marking a reserved stream as the job's"},
      {{{"media.exchangeMAAndDPReservation", kStream}, {"media.exchangeMAAndDPReservationByProxy", kStream}},
       "moving a stream's reservation to another media agent, and its storage policy"},
      {{{"index.UploadMetadataFiles", kVM}, {"index.DownloadMetadataFiles", kVM}},
       "uploads to and downloads from the index cache (a VM's files, with `--vm`)"},
      {{{"index.createIndex", kNone},
        {"index.SendArchiveFileInfo", kNone},
        {"index.SendInImageFlag", kNone},
        {"index.SendBrowseViewPaths", kVM},
        {"index.CommitArchiveFileInfo", kNone}},
       "the job's index: creating or finalising it, and what is sent to it"},
      {{{"index.InitLookup", kNone},
        {"index.LookupVMDisks", kVM},
        {"index.GetVMMetadata", kVM},
        {"index.GetListOfMetadataExtents", kVM},
        {"index.GetVMDiskExtentsCRC", kVM},
        {"index.GetUseFixedLengthExtentNames", kNone}},
       "lookups of the subclient's index"},
      {{{"index.GetVMNewestRecordJob", kVM}},
       "the newest job of which the index holds a record of a VM, asked before each backup of the VM"},
      {{{"index.RunArchiveIndexForVM", kVM}},
       "a VM's archive-index run: the VM's answer carries the rule's code as its status; without a rule a run "
       "whose VM's archive files cannot be indexed (none, not well formed, or the VM's backup ended failed) fails "
       "with status 1"},
      {{{"index.RunArchiveIndexInBatch", kVM}},
       "the log-archiver batch stops at the VM: it and the VMs after it get no answer"},
      {{{"index.Close", kNone}}, "closing an indexing connection"},
      {{{"crctable.initialize", kNone}, {"crctable.close", kNone}},
       "starting and writing out an extent checksum table; the rule's text is the reason"},
      {{{"vminfo.Cleanup", kNone}, {"vminfo.VerifyAccount", kNone}, {"vminfo.CheckSnapPrivileges", kNone}},
       "the clean-up of a VM-information object (code 1002: the job's clean-up strings are cleared), the account "
       "checks of an agent's connection (code 282: missing privileges)"},
      {{{"jobmgr.ClearCleanupString", kNone}}, "clearing the job's clean-up strings"},
      {{{"lvm.InitializeFromDisk", kVM | kFaultSelectsDisk}},
       "the guest volume library's parse of a VM's disks; the rule's text is the error's; the parse is tried six "
       "times before the VM's sectors are all backed up"},
      {{{"lvm.OpenVolume", kFaultSelectsVolume}, {"lvm.ReadVolumeData", kVM | kFaultSelectsVolume}},
       "opening an NTFS guest volume, reading a guest volume's bytes; the volume is then backed up whole"},
      {{{"sim.SetOperatingSystemIdForVMClient", kNone}}, "keeping the guest OS detected for a VM's client"},
      {{{"disk.Open", kVM | kFaultSelectsDisk}, {"disk.Read", kVM | kFaultSelectsDisk}},
       "opening a disk for backup, reading one of its extents; the rule's code is the disk layer's error code"},
      {{{"vminfo.ValidateChangeId", kVM}}, "a change id of an earlier backup is refused: the disk is read whole"},
      {{{"vminfo.ReserveDiskStream", kNone}}, "the hypervisor refuses a disk stream"},
      {{{"filecollection.Open", kVM | kFaultSelectsCollection},
        {"filecollection.NextNode", kVM | kFaultSelectsCollection},
        {"filecollection.Read", kVM | kFaultSelectsCollection}},
       "a file collection's folder, its next file, a read of a file"},
      {{{"thread.Create", kFaultSelectsThread}},
       "starting a named thread (such as `disk` for a VM's disk threads)"},
      {{{"results.putLine", kNone}}, "a line of the result file \"backup.out\""},
      {{{"copy.CopySingleFile", kNone}}, "a copy to another client's folder (`--client`: the target)"},
      {{{"config.setString", kNone}}, "writing a setting (also `setNumber`)"},
      {{{"ra.LaunchAgent", kNone}},
       "an agent's start, local or process (`--client`: the client the agent is); it is reported failed to start"},
      {{{"ra.RecordVMDispatch", kVM}},
       "recording that the coordinator gives a VM to an agent (`--client`: the agent's client): the write is cut "
       "short, half the line and no line end, and the rule's code is the system error (28: a full file system)"},
      {{{"msg.LoadFile", kNone}, {"msg.SaveFile", kNone}}, "loading and saving a message file; the rule's text is the reason"},
      {{{"archive.init", kVMStream},
        {"archive.createArchiveFile", kVMStream},
        {"archive.allocateBuffer", kVMStream},
        {"archive.closeArchiveFile", kVMStream}},
       "opening a stream, creating an archive file (also a job's master index archive file), a transfer buffer, "
       "closing the file"},
      {{{"archive.write", kVMStream}},
       "any record sent into an archive file: headers, data, holes, ranges, ends of items, index metadata (the "
       "file is then committed only with an item ended failed: the one left open, else the VM's header; a "
       "refused index metadata record alone leaves the file whole, and the worker only warns of an item's)"},
      {{{"archive.close", kVMStream}, {"archive.checkStatus", kVMStream}}, "closing a stream, asking a stream's status"},
      {{{"archive.fileWrite", kNone}, {"archive.fileSync", kNone}},
       "the archive file's own I/O below the stream: a write of gathered records, the sync of the file at its "
       "close and then of its folder that commits it (the rule's code is the system error, such as 28 for a full "
       "file system); the file stays uncommitted"},
      {{{"vminfo.MountVM", kVM}, {"vminfo.UnmountVM", kVM}},
       "a VM's mount and unmount; a failed unmount leaves the mount's clean-up string"},
      {{{"vminfo.MountFailure", kVM | kFaultSelectsDisk}},
       "a failure the mount records for a disk of the VM; code 2 makes it a warning, the text is its error text"},
      {{{"vminfo.ChangeTrackingReset", kVM}},
       "the mount finds the VM's change tracking reset and the VM is backed up in full, whatever the job's level"},
      {{{"vminfo.GetMountInfoFull", kVM},
        {"vminfo.GetMountedVolumes", kVM},
        {"vminfo.PostBackupVM", kVM},
        {"vminfo.SetBackupCompletion", kVM},
        {"vminfo.GetSnapConfigFiles", kVM},
        {"vminfo.UpdateVMInfoForIdentifier", kVM}},
       "a mounted VM's records and the end of its backup"},
      {{{"vminfo.VMConfigFile.Save", kVM}}, "writing a VM's generalized configuration file"},
      {{{"apps.DiscoverApps", kVM}}, "application discovery in a VM's guest"},
      {{{"clientprops.setAppsDiscovered", kNone}}, "keeping the applications found with the VM's client"},
      {{{"file.ZTCreateFile", kFaultSelectsPath}, {"file.ZTReadFile", kNone}, {"file.ZTGetFileSize", kNone}},
       "opening a local file by handle, a read, its size"},
      {{{"vminfo.CreateSharedShadow", kNone}, {"vminfo.DeleteSharedShadow", kNone}},
       "the shared shadow of a job's VMs (a creation fails after the hook before it has run)"},
      {{{"vminfo.GetVMInfoForVM", kVM}},
       "a VM's inventory on request (in an archiving job's backup phase a code other than 3001, the "
       "hypervisor's \"no such VM\", fails the VM with the rule's text; 3001 takes the VM as gone from the "
       "hypervisor)"},
      {{{"vminfo.GetDatastoreInfo", kNone}}, "a datastore's capacity and free space"},
      {{{"task.TaskRequest", kNone}, {"task.StartJob", kNone}}, "a task request is refused; accepted but starts no job"},
      {{{"task.getChildJobsInfo", kNone}}, "the child jobs of a job"},
      {{{"jobquery.init", kNone}, {"jobquery.getJobState", kNone}}, "the job query of the management server"},
      {{{"session.Listen", kNone}, {"session.Attach", kNone}, {"session.SendXMLMessage", kNone}, {"session.Disconnect", kNone}},
       "session services"},
      {{{"autoscale.CreateAgent", kNone}}, "an agent-creation job of auto-scale"},
      {{{"index.CopySnapIndexToBackupCopy", kNone}}, "the copy of a snapshot job's index for its backup copy"},
      {{{"vminfo.PreSnap", kNone}, {"vminfo.PostSnap", kNone}},
       "quiescing the guests and taking the storage-array snapshot; letting the guests go (the rule's code is the "
       "library's: 33 keeps the job's pending cause); a failed post-snapshot still lets the guests go but leaves the "
       "snapshot unfinished"},
      {{{"vminfo.SnapshotVM", kVM}},
       "taking one VM's copies into the array snapshot (a VM-centric engine's: at the VM's mount); a pre-snapshot "
       "failed there has taken the VMs before it"},
      {{{"vminfo.Quiesce", kVM}},
       "a guest's quiesce for the array snapshot; the rule's code 2000 to 2002 is the VM's quiesce status and its "
       "text the details; the VM is taken crash-consistent"},
      {{{"vminfo.GetSnapBackupInfo", kVM},
        {"vminfo.GetVMSnapBackupInfo", kVM},
        {"vminfo.MountSnap", kNone},
        {"vminfo.UnmountSnap", kNone},
        {"vminfo.GetArchiveFileId", kVM},
        {"vminfo.SetVMSnapFailure", kVM},
        {"vminfo.ResetFailure", kNone},
        {"vminfo.GetLocalHostInfo", kNone},
        {"vminfo.AddDiskForMetadata", kVM}},
       "the array snapshot's metadata files, its mount and unmount on a proxy, the archive file of a file of it, a "
       "VM's failure in it, the proxy's own host, a disk's place in the metadata collection"},
      {{{"index.SendFileInfo", kVM},
        {"index.SendFileHeader", kVM},
        {"index.SendIndexMetaDataInfo", kVM},
        {"index.sendErrorIdxMetadata", kVM},
        {"index.UpdateRestartInfo", kNone},
        {"index.UpdateIndexDataWithGUID", kNone}},
       "what a snapshot job records in the index without archive files"},
      {{{"appmgr.GetJMDataLinkForParentJob", kNone}},
       "the jobs linked to a parent job (where a snapshot's metadata file is looked for next)"},
      {{{"vminfo.SetVMOptions", kVM}, {"vminfo.SetCustomField", kVM}},
       "writing a VM's configuration option (its stub record) or custom field"},
      {{{"vminfo.PrepareStubVM", kVM}, {"vminfo.StubVM", kVM}, {"vminfo.CompleteStubVM", kVM}},
       "the three steps of a stub (the stub deletes only the disks it is given, each only at the change id its "
       "backup read and only when the job's backup restores it as read at that change id)"},
      {{{"vminfo.StubVMDisk", kVM | kFaultSelectsDisk}},
       "the deletion of one disk by a stub: with `--after N` the stub is cut off after N disks"},
      {{{"restore.SyncImage", kVM | kFaultSelectsDisk}},
       "the sync of the folder of a disk `vm restore` writes back, once the image took its name (the rule's code "
       "is the system error): the disk stays deleted and its image is removed again"},
      {{{"vminfo.RelocateVM", kVM}},
       "moving a VM to another host, datastore or resource pool; the rule's text is the error"},
      {{{"vminfo.GetServerCurrentTime", kNone}}, "the hypervisor's clock"},
      {{{"vminfo.CheckIdleVM", kVM}, {"vminfo.PerformVMOperation", kVM}},
       "the idle-VM check (it then answers that it failed) and a power operation"},
      {{{"appmgr.GetVMArchivingParams", kNone}}, "the subclient's archiving and power-management settings for a VM"},
      {{{"subclient.getSubclientName", kNone},
        {"subclient.getItemPastExpiryDays", kNone},
        {"subclient.getIsKeepItemPastExpiryTime", kNone}},
       "another subclient's name, and how long archived items are kept (a retention that cannot be read keeps "
       "them)"},
      {{{"clientprops.setClientArchived", kNone},
        {"clientprops.setPowerOffTimeHours", kNone},
        {"clientprops.setEligibleForArchiving", kNone}},
       "keeping a VM client's archived flag, powered-off hours or eligibility"},
      {{{"meditech.census", kNone}, {"meditech.quiesce", kNone}, {"meditech.unquiesce", kNone}},
       "a run of the MEDITECH tool (`--client`: the client it runs on): it prints the rule's text, echoes its "
       "arguments password and all, and exits with the rule's code"},
      {{{"appmgr.GetMeditechSubclientConfig", kNone}}, "the MEDITECH configuration of the subclient"},
  };
  return rows;
}

const FaultOperation* FindFaultOperation(const std::string& name) {
  for (const FaultOperationRow& row : FaultOperationRows()) {
    for (const FaultOperation& operation : row.operations)
      if (name == operation.name) return &operation;
  }
  return nullptr;
}

namespace {

// The selectors as the README names them: "`--vm`, `--disk`: a disk of the VM".
std::string SelectorNames(unsigned selectors) {
  struct Name {
    unsigned bit;
    const char* text;
  };
  static const Name kNames[] = {{kFaultSelectsVM, "`--vm`"},
                                {kFaultSelectsDisk, "`--disk`: a disk of the VM"},
                                {kFaultSelectsPath, "`--disk`: the file's path"},
                                {kFaultSelectsThread, "`--disk`: the thread's name"},
                                {kFaultSelectsCollection, "`--disk`: the collection"},
                                {kFaultSelectsStream, "`--stream`"},
                                {kFaultSelectsVolume, "`--disk`: the volume's name"}};
  std::string names;
  for (const Name& name : kNames) {
    if (selectors & name.bit) names += (names.empty() ? "" : ", ") + std::string(name.text);
  }
  return names;
}

bool OneSelector(unsigned selectors) { return selectors != 0 && (selectors & (selectors - 1)) == 0; }

}  // namespace

std::string FaultOperationTableMarkdown() {
  std::string table = "| operation | what fails |\n|---|---|\n";
  for (const FaultOperationRow& row : FaultOperationRows()) {
    bool alike = true;
    for (const FaultOperation& operation : row.operations)
      alike = alike && operation.selectors == row.operations.front().selectors;
    // Operations of a row that narrow alike share one note; otherwise each names its own.
    std::string names;
    for (const FaultOperation& operation : row.operations) {
      names += (names.empty() ? "`" : ", `") + std::string(operation.name) + "`";
      if (!alike && operation.selectors != 0) names += " (" + SelectorNames(operation.selectors) + ")";
    }
    std::string fails = row.fails;
    const std::string shared = alike ? SelectorNames(row.operations.front().selectors) : std::string();
    if (!shared.empty()) fails += std::string(OneSelector(row.operations.front().selectors) ? "; selector " : "; selectors ") + shared;
    table += "| " + names + " | " + fails + " |\n";
  }
  return table;
}

}  // namespace lab
