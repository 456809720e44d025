#include "disklayout/QuarnFileCollectionStateFiles.h"

#include <algorithm>

QuarnFileCollectionStateFiles::QuarnFileCollectionStateFiles(QuarnWorker* owner, bool v2) : QuarnDataFile(owner, v2) {}

bool QuarnFileCollectionStateFiles::AddStateFile(const std::string& name) {
  m_names.push_back(name);
  m_paths.push_back(GetSubclientDirectory() + "/" + name);
  return true;
}

bool QuarnFileCollectionStateFiles::DownloadStateFiles() {
  if (!m_v2) return false;
  int64_t fullJobId = 0, incrJobId = 0;
  if (!getPastFullAndIncrJobId(fullJobId, incrJobId)) return false;
  const int64_t previous = std::max(fullJobId, incrJobId);
  // By path: a bare name would be looked for in the process's working folder, not where the cache
  // puts the copy and the collection reads it.
  if (previous != 0) return DownloadFileList(m_paths, previous);
  m_event.Debug("bool QuarnFileCollectionStateFiles::DownloadStateFiles()",
                "This is the first Backup Job for this File Collection");
  return true;
}

bool QuarnFileCollectionStateFiles::UploadStateFiles() { return m_v2 && UploadFileList(m_paths); }

bool QuarnFileCollectionStateFiles::DeleteStateFiles() { return m_v2 && DeleteFileList(m_paths); }

long long QuarnFileCollectionStateFiles::GetPreviousJob() {
  int64_t fullJobId = 0, incrJobId = 0;
  if (!getPastFullAndIncrJobId(fullJobId, incrJobId)) {
    m_event.Debug("long long int QuarnFileCollectionStateFiles::GetPreviousJob()", "Unable to get previous jobs");
    return 0;
  }
  return std::max(fullJobId, incrJobId);
}
