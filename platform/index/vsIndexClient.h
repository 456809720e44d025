#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/index/IdxBrowseClientResp.h"
#include "platform/lab/LabMedia.h"
#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"
#include "records/FixedRecords.h"
#include "records/messages/IdxMetadataMessages.h"

class vsJobMgr;
class vsAppMgr;
namespace lab {
struct DiskExtentsSent;
}

// Case-insensitive order of index names (disk names, VM GUIDs).
struct IdxNoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
// Index metadata per disk, by the disk's index name.
using IdxMetadataByName = std::map<std::string, IdxMetadata::IdxMetaData, IdxNoCaseLess>;

// The indexing client of a job process: metadata files through the index cache, the job's index
// (VMs, in-image records, archive-file information), lookups of the subclient's earlier backups and
// the archive-index runs. Its counterpart is the lab's index cache (platform/lab/LabIndex.h), shared
// by every process of every job of the subclient: an upload replaces each file atomically and the
// job's index records change under their own lock, so several processes may upload and record for
// the same subclient at once without losing a copy or an entry.
//
// A request for job id 0 reads the newest job at or after the subclient's last successful full
// backup (the newest job whose full backup finalised its index). The job's own id, level and
// subclient come from the job and application managers given at construction.
//
// Operations return true (or 1) on success; on failure GetLastError says why. Every operation asks
// the lab's fault table by name ("index.<operation>"; the VM forms select by the VM's GUID): see
// the README's table. One object may be used from several threads; its owner serialises the calls
// that must not interleave.
class vsIndexClient {
 public:
  // Called once per extent of a metadata-extent query: the extent number and the extent's cluster
  // bitmap text (empty when it has none).
  using ProcessExtentCallback = std::function<void(uint64_t extent, const std::string& bitmap)>;

  vsIndexClient(vsJobMgr* jobMgr, vsAppMgr* appMgr, const std::string& mediaAgent);
  ~vsIndexClient();
  vsIndexClient(const vsIndexClient&) = delete;
  vsIndexClient& operator=(const vsIndexClient&) = delete;

  // Ends the connection; 1 on success. Every later call fails.
  int Close();

  // ---- Metadata files of the job and the subclient ----
  // Copies the named files of the job's folder in the cache into destDir. False (with the reason in
  // GetLastError) when a name is unusable or a file is not there.
  bool DownloadMetadataFilesFromRemoteCache(const std::vector<std::string>& names, const std::string& destDir,
                                            int64_t jobId, const std::string& subclientGuid, const std::string& text);
  // Copies every file matching the pattern ('*' and '?'; only its last path component counts) from
  // the newest job folder of the job's subclient, at or after its last successful full, that has
  // one; false when none matches.
  bool DownloadMetadataFile(const std::string& pattern, const std::string& destDir);
  // Uploads the files into the job's folder of the subclient; 1 on success, 0 on failure.
  int UploadMetadataFiles(const std::vector<std::string>& files, int64_t jobId, const std::string& subclientGuid);
  // Files to be committed with the job's index.
  bool AddMetadataFile(const std::string& path);
  std::vector<std::string> GetMetadataFiles() const;

  // ---- Metadata files of one VM ----
  bool UploadVMMetadataFiles(const std::string& vmGuid, const std::vector<std::string>& files, int64_t jobId,
                             const std::string& subclientGuid);
  // Files of the VM matching the pattern from the job (0: the newest that has one, of a job other than the
  // running one).
  bool DownloadVMMetadataFile(const std::string& vmGuid, const std::string& pattern, const std::string& destDir,
                              int64_t jobId);
  // Every file of the VM from the job (0: the newest, of a job other than the running one); false when
  // the job has none of the VM.
  bool DownloadVMMetadataFiles(const std::string& vmGuid, const std::string& destDir, int64_t jobId,
                               const std::string& subclientGuid);

  // ---- The job's index ----
  // Whether a new index of this job uses fixed-length extent names (the job's setting).
  void SetUseFixedLengthExtentNames(bool on);
  bool GetUseFixedLengthExtentNames() const;
  // Which extent-name form the subclient's index uses: the job's own index, else the newest one
  // recorded, else fixed-length. False when it cannot be asked (subclientDir is the asker's
  // subclient directory and must be given).
  bool GetUseFixedLengthExtentNames(const std::string& subclientDir, bool& fixed);
  // A VM the job's index holds; marked when it is kept as stubbed or failed. Recorded with the next
  // createIndex.
  bool AddVMGuid(const std::string& vmGuid, bool marked);
  // Creates the job's index (finalise false) or finalises it; the VMs added so far are recorded.
  bool createIndex(bool finalise);
  bool SendArchiveFileInfo(uint64_t keyrealmId, uint32_t archiveFileId);
  bool SendArchiveFileInfo(uint64_t keyrealmId, uint32_t archiveFileId, uint64_t creationTime, uint64_t appId,
                           int64_t jobId, int backupLevel);
  bool SendInImageFlag(const std::string& item, int kind, bool inImage, int count, const std::string& text);
  bool SendBrowseViewPaths(const std::vector<std::string>& paths, const std::string& vmGuid,
                           IdxMetadata::IdxMetaData& metadata, const std::string& text, unsigned long long number,
                           long flags);
  bool CommitArchiveFileInfo();

  // ---- Lookups of the subclient's index ----
  bool InitLookup();
  // The VM names the subclient's index knows; false when the lookup was not initialised or cannot read.
  bool Lookup(std::vector<std::string>& names, bool flag);
  // The VM's disks (by index name) with their numbers, from its last backup; needs InitLookup.
  bool LookupVMDisks(const std::string& vm, std::map<std::string, unsigned long long>* disks);
  // The VM's index metadata and its disks' by index name, from its last backup (vm: the VM's name
  // or GUID; folder: its GUID when known). On false, retryable says whether asking again may help
  // and queryFailed whether the query itself failed (rather than the index not knowing the VM).
  // The newest job of the index that holds a full backup of the VM (by GUID) that ended well; 0 when
  // there is none. False when the index cannot be asked.
  bool GetVMLastFullJob(const std::string& vmGuid, int64_t& jobId);
  // The newest job of which the index holds a record of the VM (by GUID), whatever became of that job
  // (a VM's own child job counted as the job it belongs to): a job's backup of the VM, or its report of
  // the VM's stub; 0 when it holds none. False when the index cannot be asked.
  bool GetVMNewestRecordJob(const std::string& vmGuid, int64_t& jobId);
  bool GetVMMetadata(const std::string& vm, const std::string& folder, unsigned long count,
                     IdxMetadata::IdxMetaData* metadata, IdxMetadataByName* byName, bool& retryable,
                     bool& queryFailed);
  // The same of the VM (by GUID) from the backup of it one job made; false when the index holds none
  // of that job (queryFailed: the index could not be asked).
  bool GetVMJobMetadata(const std::string& vmGuid, int64_t jobId, IdxMetadata::IdxMetaData* metadata,
                        IdxMetadataByName* byName, bool& queryFailed);
  // The extent checksums of the VM's disk as of its last backup (every extent the cycle's jobs sent
  // since the VM's last full backup, each with its newest checksum), through the response object:
  // IdxBrowse::BrowseResp replies of at most kExtentsPerReply extents each. False when the index does
  // not know the disk or the response object refuses a reply.
  static constexpr size_t kExtentsPerReply = 4096;
  bool GetVMDiskExtentsCRC(const std::string& vmGuid, const std::string& disk, unsigned long count,
                           IdxBrowseClientResp* response);
  // The metadata extents (mft) or mount extents of a disk from the VM's last backup, one callback
  // per extent.
  bool GetListOfMetadataExtents(int64_t clientId, const std::string& indexText, int64_t subclientId,
                                const std::string& vmGuid, const std::string& disk, bool mft,
                                const ProcessExtentCallback& callback);

  // ---- Archive-index runs ----
  bool RunArchiveIndexForVM(const std::string& vmGuid, const int64_t& jobId, uint64_t subclientId, int streamClientId,
                            int flag);
  bool RunArchiveIndexForVM(const VMArchiveIndexParam& param);
  // Runs the VMs of the batch in order; each answer (a JobManager::ArchiveIndexResp) reaches the
  // response object. 1 when every VM was run; 0 when the batch stopped, and the VMs from there on
  // get no answer.
  int RunArchiveIndexInBatch(const std::list<VMArchiveIndexParam>& batch, IdxBrowseClientResp* response);

  std::string GetLastError() const;
  std::string GetMediaAgentClientName() const;

  // ---- Backup copy of a snapshot job (vsIndexClient_snap.cpp) ----
  // Makes the snapshot job's index that of this backup copy: in the lab, the snapshot job's files,
  // its index record (VMs, level) and each VM's files and entries are copied to this job. 1 on
  // success, 0 on failure (GetLastError), also when the snapshot job left no index at all.
  // Fault table operation "index.CopySnapIndexToBackupCopy".
  int CopySnapIndexToBackupCopy(int64_t snapJobId, uint32_t masterFileNumber, uint64_t masterFileTime);

  // ---- What a storage-snapshot job records without archive files (vsIndexClient_snap.cpp) ----
  // Each is kept among what the index knows of the VM from the client's job (LabIndex.h), one entry
  // each: "file <name> <number> <time> <size> <vm 0|1> <flag 0|1> <flag 0|1>" (a file record of a
  // disk also names the disk, "disk <index name> <number>", the index name being the last part of
  // the file's name, and takes the index metadata sent for the VM's item before it: "meta disk
  // <index name> <XML>"), "header <name> <number> <time> <failed 0|1> <kind> <text> <flags>
  // <size>", "meta vm <XML>" with "name <VM name>" for the VM's own index metadata; the job's own
  // entries "error <VM name> <code> <reason>" and "restart <value>". Fault table operations
  // "index.SendFileInfo", "index.SendFileHeader", "index.SendIndexMetaDataInfo" (selector vm),
  // "index.sendErrorIdxMetadata", "index.UpdateRestartInfo" and "index.UpdateIndexDataWithGUID".
  bool SendFileInfo(const std::string& vmGuid, const std::string& name, int64_t number, int64_t time, uint64_t size,
                    bool vmRecord, bool flag2, bool flag3);
  bool SendFileHeader(const std::string& vmGuid, const std::string& name, uint64_t number, int64_t time, bool failed,
                      uint32_t kind, const std::string& text, int flags, uint64_t size);
  bool SendIndexMetaDataInfo(const std::string& vmGuid, IdxMetadata::IdxMetaData& metadata);
  bool sendErrorIdxMetadata(const std::string& vmName, int code, const std::string& reason);
  bool UpdateRestartInfo(uint64_t value);
  // Completes an item's index metadata for the second indexing generation: the item's path, its
  // allocated and file sizes (set where the message has none), its job and index text.
  bool UpdateIndexDataWithGUID(IdxMetadata::IdxMetaData& metadata, const std::string& itemPath, int64_t allocated,
                               int64_t size, int64_t jobId, const std::string& text);

 private:
  // The fault the table gives the operation (selector vm when given); true, with the reason kept,
  // when it fires. `code` receives the rule's code.
  bool Faulted(const char* op, const std::string& vmGuid = std::string(), int* code = nullptr);
  // False (reason kept) once closed.
  bool CheckOpen();
  void SetError(const std::string& text);
  // The job's subclient GUID and id; false (reason kept) when either is missing.
  bool JobIdentity(std::string& subclientGuid, int64_t& jobId);
  std::string SubclientGuid() const;
  // The job's subclient GUID, where the index knows the VM in it; false (reason kept) where it does not.
  bool FindVMOfSubclient(const std::string& vmGuid, std::string& subclientGuid);
  // Appends an entry to the job's index log.
  bool RecordJobEntry(const std::vector<std::string>& fields);
  // Appends an entry to what the index knows of the VM from the job.
  bool RecordVMEntry(const std::string& vmGuid, const std::vector<std::string>& fields);
  // Copies the files of `folder` matching the pattern into destDir; true when at least one was.
  bool CopyMatches(const std::string& folder, const std::string& pattern, const std::string& destDir, bool& copied);
  // Uploads files into the folder, each replaced whole.
  bool UploadInto(const std::string& folder, const std::vector<std::string>& files);
  // Whether the VM's backup of the job stands on the media with every disk's chain whole, as far as the
  // archives' structure shows, and no later job of the cycle holds a backup of the VM there; false with
  // the first break.
  bool StandsOnTheMedia(const std::string& vmGuid, int64_t jobId, std::string& why);
  // The jobs whose entries of the VM (GUID or name) a request may read, newest first (only `jobId`
  // when it is not 0), and the VM's GUID as the index keeps it; none (reason kept) when the index has
  // no backup of the VM.
  std::vector<int64_t> VMJobsToRead(const std::string& subclientGuid, const std::string& vm, std::string& vmGuid,
                                    int64_t jobId = 0);
  // The entries of the VM's last backup (the newest job with entries at or after the last full), or
  // of the job's backup when `jobId` is not 0. `from` names the VM and the job they came from.
  struct EntriesOf {
    std::string vmGuid;
    int64_t job = 0;
  };
  bool ReadLastVMEntries(const std::string& vm, std::vector<std::vector<std::string>>& entries, bool& known,
                         int64_t jobId, EntriesOf& from);
  bool ReadLastVMEntries(const std::string& vm, std::vector<std::vector<std::string>>& entries, bool& known,
                         int64_t jobId = 0) {
    EntriesOf from;
    return ReadLastVMEntries(vm, entries, known, jobId, from);
  }
  // The VM's record and its items' records among the entries; false (reason kept) when a record does
  // not read or the VM has none.
  bool ParseVMEntries(const std::string& vm, const std::vector<std::vector<std::string>>& entries, bool known,
                      IdxMetadata::IdxMetaData* metadata, IdxMetadataByName* byName);
  // One VM of an archive-index run: its status (0 archived) or false when the run stopped there.
  // learn: the index learns the VM from the job's archive files first (a VM's own run; a
  // snapshot's batch has no data archives to learn from).
  bool ArchiveIndexOneVM(const std::string& vmGuid, int64_t jobId, bool learn, int64_t& status);
  // The status of a VM's run when the index could not learn the VM from its archive files.
  static constexpr int64_t kArchiveIndexNotLearned = 1;

  // The disk's extent checksums as of the VM's last backup; false (reason kept) when the index does
  // not know the VM or the disk.
  bool DiskChecksums(const std::string& vmGuid, const std::string& disk, std::map<uint64_t, uint32_t>& checksums);

  // ---- What the index learns from a job's archive files (vsIndexClient_learn.cpp) ----
  // The archive files of one VM that a job (or a child job of the VM) wrote, and the job that wrote them.
  // Each as its note names it, whatever became of it: one never committed or not there leaves the VM's
  // backup not whole.
  struct VMArchives {
    std::vector<lab::NotedArchive> archives;
    int64_t parentJob = 0;
  };
  // This client's own job's archive files (those noted for the VM, when one is given) after the job's,
  // when it is another job: a child job's files may be kept there.
  void AddOwnArchives(int64_t jobId, std::vector<lab::NotedArchive>& noted, const std::string& vmGuid = std::string());
  // The archive files of the VM that the job (or a child job of the VM) wrote, found among the job's
  // and this client's own job's files, and the job that wrote them (the job itself when none).
  VMArchives VMArchivesOf(const std::string& vmGuid, int64_t jobId);
  // The entries of the VM from the archive files the job wrote for it, and what they hold of each disk
  // (by its index name). `learned` is false (reason kept) when the job wrote none or they cannot be
  // indexed (not well formed, the VM's backup ended failed); false when a file could not be read.
  bool LearnVMEntries(const std::string& vmGuid, int64_t jobId, const std::vector<lab::NotedArchive>& archives,
                      std::vector<std::vector<std::string>>& entries,
                      std::map<std::string, lab::DiskExtentsSent>& sent, bool& learned);
  // Learns the VM from the job's archive files and keeps what it learned as the VM's entries of the
  // job that wrote them: whichever of its child jobs is named. The extents it declared missing that
  // the job sent again, or that lie past the end of their disk, are missing no more.
  bool LearnVM(const std::string& vmGuid, int64_t jobId, bool& learned);
  bool LearnVM(const std::string& vmGuid, int64_t jobId, const VMArchives& archives, bool& learned);
  // Learns every VM the job wrote archive files for; a VM whose files cannot be indexed is left out.
  bool LearnJob(int64_t jobId);

  // Copies the regular files of a cache folder that exists (found set) into another.
  bool CopyIndexFolder(const std::string& from, const std::string& to, bool& found);

  // ---- Which earlier jobs a request of a VM's state may read (vsIndexClient_jobs.cpp) ----
  // Of the jobs that hold what is asked for (`available`), those a request for `jobId` may read, in
  // the order to try them: that job alone, or for job 0 the jobs of the subclient's current backup
  // cycle as the job manager's history knows them (platform/lab/LabHistory.h: its last successful
  // full job and the jobs that ended well after it), newest first, so that neither the half-state of
  // a failed or running job nor a file of an older cycle is handed out. Without a full job in that
  // history (per-VM jobs of indexing V2) the index's own record of its last full job decides.
  std::vector<int64_t> JobsToRead(const std::string& subclientGuid, const std::vector<int64_t>& available,
                                  int64_t jobId);
  // The jobs whose files of the VM a request may read, as JobsToRead orders them. The last backup's
  // files (job 0) are never the running job's own: on a later attempt of a job that ended, they are of
  // an earlier attempt, which this one supersedes, and a file says nothing of whose it is. The backup
  // they serve builds on the last backup of a job before this one, as the index's record of the VM
  // names it (that record is handed out, so that the backup sees the earlier attempt and reads
  // nothing of it).
  // The jobs of the subclient's current cycle after the job and before the running one, newest first;
  // none when the history names no cycle or cannot be read.
  std::vector<int64_t> CycleJobsAfter(int64_t jobId);
  std::vector<int64_t> VMFileJobsToRead(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId);

  // Constant after construction.
  vsJobMgr* const jobMgr_;
  vsAppMgr* const appMgr_;
  const std::string mediaAgent_;

  mutable ZtMutex mutex_;
  bool closed_ GUARDED_BY(mutex_) = false;
  bool fixedLengthExtentNames_ GUARDED_BY(mutex_) = true;
  bool lookupReady_ GUARDED_BY(mutex_) = false;
  std::vector<std::string> metadataFiles_ GUARDED_BY(mutex_);
  std::map<std::string, bool> addedVMs_ GUARDED_BY(mutex_);  // lower-case GUID -> marked
  // Index metadata of a VM's item waiting for the item's file record (VM GUID -> XML).
  std::map<std::string, std::string, IdxNoCaseLess> heldItemMetadata_ GUARDED_BY(mutex_);
  std::string lastError_ GUARDED_BY(mutex_);
};
