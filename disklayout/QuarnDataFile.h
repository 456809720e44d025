#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ev/EvEvent.h"
#include "records/VMInfoStructs.h"

class QuarnWorker;

// The kind of an incremental-state file, with its name prefix.
enum QuarnDataFileType : int32_t {
  DATA_FILE_CHANGE_ID = 0,    // "vsidaCHGID_"
  DATA_FILE_EXTENT_SIZE = 1,  // "vsidaEXTSZ_": only in the names of files an older version left
  DATA_FILE_CRC = 2,          // "vsidaCRC_"
};

// The state one backup item (a VM and disk, or a VM) carries from job to job, as files in the
// worker's subclient job-results directory: this class names them, fetches the previous job's copies
// through the worker's metadata-file services, chooses what this job reads and writes, and queues
// what it wrote for upload. Its subclasses read and write the content.
//
// Names. A full job writes "<prefix>(<VM key>)_(<item key>_ZTFULL)<ext>", any other job
// "..._ZTINCR)<ext>"; files of the older scheme carry the job id instead ("<prefix><job>_(<VM key>)_(
// <item key>)<ext>") and are upgraded to the current names when found.
//
// Life of one object: GenerateFilePaths (once, or once per extension of a pair) or
// GenerateFilePath_V2, then PrepareFiles, then the subclass reads the input list and writes the
// output list, then CommitFiles. An object belongs to the thread that backs up its item; different
// items never share a name, so no lock is taken.
class QuarnDataFile {
 public:
  explicit QuarnDataFile(QuarnWorker* owner);
  QuarnDataFile(QuarnWorker* owner, bool v2);
  // Frees the lists; deletes and uploads nothing.
  virtual ~QuarnDataFile();
  QuarnDataFile(const QuarnDataFile&) = delete;
  QuarnDataFile& operator=(const QuarnDataFile&) = delete;

  // No previous file is used: the item is backed up in full.
  void ForceFullBackup() { m_forceFull = true; }
  std::string GetSubclientDirectory() const;

  // Appends the current and old names of the item to the lists (never clears them). Always true.
  bool GenerateFilePaths(QuarnDataFileType type, const std::string& vmKey, const std::string& itemKey,
                         const std::string& extension, DiskType_t diskType);
  // The V2 checksum table's name (without extension) into `path`; its ".idx" and ".dat" files become
  // the inputs and are deleted at once. Always true.
  bool GenerateFilePath_V2(QuarnDataFileType type, const std::string& vmKey, const std::string& itemKey,
                           DiskType_t diskType, std::string& path);
  // "a_ZTINCR).ztf" -> "a_ZTINCR)_TEMP.ztf": "_TEMP" before the last ".".
  static std::string GenerateTempFileName(const std::string& name);

  // Afterwards the input list holds the files to read (empty: back the item up in full) and the
  // output list the files to write.
  void PrepareFiles();
  // Queues the outputs for upload (not with V2) and deletes the inputs. Always true.
  bool CommitFiles();
  bool getPastFullAndIncrJobId(int64_t& fullJobId, int64_t& incrJobId);

  // List operations (see each).
  bool DownloadFileList(const std::vector<std::string>& list, long long jobId);
  bool UploadFileList(const std::vector<std::string>& list);
  bool AccessFileList(const std::vector<std::string>& list);
  bool DeleteFileList(const std::vector<std::string>& list);
  bool CopyFileList(const std::vector<std::string>& from, const std::vector<std::string>& to);
  bool RenameFileList(const std::vector<std::string>& from, const std::vector<std::string>& to);
  bool GetListofOldFilesToBeDeleted(std::vector<std::string>& list) { return true; }
  static void AddFileToList(std::vector<std::string>& list, const std::string& path) { list.push_back(path); }

  // Views of the lists.
  const std::vector<std::string>& InputList() const { return m_inputs; }
  const std::vector<std::string>& OutputList() const { return m_outputs; }
  const std::vector<std::string>& CurrentFullNames() const { return m_currentFull; }
  const std::vector<std::string>& CurrentIncrementalNames() const { return m_currentIncr; }
  const std::vector<std::string>& OldFullNames() const { return m_oldFull; }
  const std::vector<std::string>& OldIncrementalNames() const { return m_oldIncr; }
  const std::vector<std::string>& OldNamePatterns() const { return m_patterns; }

 protected:
  bool IsFullJob() const;
  bool IsIncrementalJob() const;
  // What this job wrote under the full names is also published under the incremental names (see
  // QuarnCRCFile), when the job is not full and wrote the full names.
  void PublishFullOutputsAsIncremental() { m_publishFullAsIncremental = true; }

  // Constant after construction.
  QuarnWorker* const m_owner;
  const bool m_v2;

  EvEvent m_event;
  bool m_forceFull = false;
  std::string m_vmKey;
  std::vector<std::string> m_currentFull;
  std::vector<std::string> m_currentIncr;
  std::vector<std::string> m_oldFull;
  std::vector<std::string> m_oldIncr;
  std::vector<std::string> m_inputs;
  std::vector<std::string> m_outputs;
  std::vector<std::string> m_patterns;
  bool m_upgradedFull = false;

 private:
  // Copies the full-name outputs to the incremental names; the copies are queued with them.
  bool CopyOutputsToIncrementalNames(std::vector<std::string>& copies);

  bool m_publishFullAsIncremental = false;
};
