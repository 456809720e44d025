#pragma once
#include <string>
#include <vector>

#include "disklayout/QuarnDataFile.h"

// The state files a file collection's backup produces and needs again in the next job (indexing V2
// only): named by the collection, kept in the subclient job-results directory, fetched from the
// previous job before the backup and uploaded after it. Without V2 every operation is refused.
class QuarnFileCollectionStateFiles : public QuarnDataFile {
 public:
  QuarnFileCollectionStateFiles(QuarnWorker* owner, bool v2);

  bool AddStateFile(const std::string& name);
  // The files of the newest earlier job (full or incremental); true without one (first backup).
  bool DownloadStateFiles();
  // Queued only when every file exists.
  bool UploadStateFiles();
  bool DeleteStateFiles();
  // The newest earlier job of the subclient; 0 when unknown.
  long long GetPreviousJob();

  const std::vector<std::string>& StateFilePaths() const { return m_paths; }

 private:
  std::vector<std::string> m_names;
  std::vector<std::string> m_paths;
};
