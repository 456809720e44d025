#pragma once
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"
#include "records/FixedRecords.h"

class vsJobMgr;
class vsAppMgr;

// The indexing client of a job process: metadata files through the index cache, lookups of the
// subclient's earlier backups and the log-archiver batch.
//
// The index cache is the lab's (platform/lab/LabCoordinator.h): one folder per job that uploaded files
// for a subclient, each file kept under its own name. An upload replaces a file atomically, so several
// processes of a job may upload at once without losing a copy. Fault table operations:
// "index.UploadMetadataFiles", "index.DownloadMetadataFiles" (both the by-name and the by-pattern form).
class vsIndexClient {
 public:
  vsIndexClient(vsJobMgr* jobMgr, vsAppMgr* appMgr, const std::string& mediaAgent);
  ~vsIndexClient();
  vsIndexClient(const vsIndexClient&) = delete;
  vsIndexClient& operator=(const vsIndexClient&) = delete;

  void SetUseFixedLengthExtentNames(bool on);
  bool GetUseFixedLengthExtentNames() const;

  // Copies the named files of the job's folder in the cache into destDir. False (with the reason in
  // GetLastError) when a name is unusable or a file is not there.
  bool DownloadMetadataFilesFromRemoteCache(const std::vector<std::string>& names, const std::string& destDir,
                                            int64_t jobId, const std::string& subclientGuid, const std::string& text);
  // Copies every file matching the pattern ('*' and '?') from the newest job folder of the job's
  // subclient that has one; false when none matches.
  bool DownloadMetadataFile(const std::string& pattern, const std::string& destDir);
  // Uploads the files into the job's folder of the subclient; 1 on success, 0 on failure.
  int UploadMetadataFiles(const std::vector<std::string>& files, int64_t jobId, const std::string& subclientGuid);
  // Files to be committed with the job's index.
  bool AddMetadataFile(const std::string& path);
  std::vector<std::string> GetMetadataFiles() const;

  bool InitLookup();
  // The VM names of the subclient's index; false when the lookup was not initialised or cannot read.
  bool Lookup(std::vector<std::string>& names, bool flag);
  // The batched archive-index run of a snapshot job; false when it could not run. The per-VM
  // answers are not produced yet, so every VM of a batch stays unanswered.
  bool RunArchiveIndexInBatch(const std::list<VMArchiveIndexParam>& batch);

  std::string GetLastError() const;
  std::string GetMediaAgentClientName() const;

  // ---- Backup copy of a snapshot job (vsIndexClient_snap.cpp, issue 13) ----
  // Makes the snapshot job's index that of this backup copy: in the lab, the snapshot job's files in
  // the index cache are copied into this job's folder. 1 on success, 0 on failure (GetLastError).
  // Fault table operation "index.CopySnapIndexToBackupCopy".
  int CopySnapIndexToBackupCopy(int64_t snapJobId, uint32_t masterFileNumber, uint64_t masterFileTime);

 private:
  void SetError(const std::string& text);

  // Constant after construction.
  vsJobMgr* const jobMgr_;
  vsAppMgr* const appMgr_;
  const std::string mediaAgent_;

  mutable ZtMutex mutex_;
  bool fixedLengthExtentNames_ GUARDED_BY(mutex_) = true;
  bool lookupReady_ GUARDED_BY(mutex_) = false;
  std::vector<std::string> metadataFiles_ GUARDED_BY(mutex_);
  std::string lastError_ GUARDED_BY(mutex_);
};
