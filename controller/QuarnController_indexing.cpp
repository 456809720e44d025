// Indexing and metadata-file services of the controller.
//
// This build has no index client yet (it comes with the indexing services): every service that needs
// the index fails, and says so, rather than report files as sent.
#include "controller/QuarnController.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"

void QuarnController::CloseIndexing() {}

bool QuarnController::MonitorIndexing() { return true; }

void QuarnController::CleanupIndexingMAFile() {}

bool QuarnController::CleanupJobMetadataFiles(const std::string& dir) {
  static const char* const sig = "virtual bool QuarnController::CleanupJobMetadataFiles(const std::string&)";
  if (m_appMgr == nullptr || dir.empty() || m_appMgr->isServerTypeVMWare()) return true;
  std::string folder = dir;
  if (folder.back() != '/') folder += '/';
  folder += "VSS_FILES_FOLDER";
  if (!CPxDirectory::Exists(folder)) return true;
  m_event.Debug(sig, "Cleaning up metadata folder [%s]", folder.c_str());
  CPxDirectory::Remove(folder, true);
  return true;
}

bool QuarnController::UploadBackupMetadataFiles() {
  static const char* const sig = "virtual bool QuarnController::UploadBackupMetadataFiles()";
  m_event.Debug(sig, "Upload of backup metadata files is not implemented for non-snap jobs");
  return true;
}

bool QuarnController::SendVMMetadataFiles(const std::string& vmGuid, const std::vector<std::string>&, long long,
                                          const std::string&) {
  static const char* const sig =
      "bool QuarnController::SendVMMetadataFiles(const std::string&, const std::vector<std::string>&, long long, "
      "const std::string&)";
  m_event.Error(sig, "Index client is not initialized");
  m_event.Error(sig, "Failed to send index files for VM [%s]", vmGuid.c_str());
  return false;
}

bool QuarnController::DeleteVMMetadataFiles(const std::string&, const std::vector<std::string>& files) {
  for (const std::string& file : files) FXFile::RemoveFile(file);
  return true;
}

bool QuarnController::CommitVMMetadataFiles(const std::string& vmGuid, long long jobId,
                                            const std::string& subclientGuid, std::vector<std::string>& files) {
  if (!SendVMMetadataFiles(vmGuid, files, jobId, subclientGuid)) return false;
  DeleteVMMetadataFiles(vmGuid, files);
  files.clear();
  return true;
}

bool QuarnController::GetVMMetadataFromIndexing(const std::string& vmName, const std::string& vmGuid,
                                                uint64_t subclientId, IdxMetadata::IdxMetaData*,
                                                std::map<std::string, IdxMetadata::IdxMetaData, __less_nocase_cmp>*,
                                                bool& retryable, bool& queryFailed) {
  static const char* const sig =
      "bool QuarnController::GetVMMetadataFromIndexing(const std::string&, const std::string&, unsigned long, "
      "IdxMetadata::IdxMetaData*, IdxMetadataByName*, bool&, bool&)";
  retryable = false;
  queryFailed = true;
  m_event.Error(sig, "Index client is not initialized; cannot query VM [%s] metadata", vmName.c_str());
  return false;
}

bool QuarnController::GetMetadataFile(const std::string& path, const std::string&) {
  static const char* const sig = "bool QuarnController::GetMetadataFile(const std::string&, const std::string&)";
  m_event.Error(sig, "Index client is not initialized");
  m_event.Error(sig, "Failed to get index file [%s]", path.c_str());
  return false;
}

bool QuarnController::GetVMMetadataFile(const std::string& vmGuid, const std::string& path, const std::string&,
                                        long long) {
  static const char* const sig =
      "bool QuarnController::GetVMMetadataFile(const std::string&, const std::string&, const std::string&, long long "
      "int)";
  m_event.Error(sig, "Index client is not initialized");
  m_event.Error(sig, "Failed to get index file [%s] for VM [%s]", path.c_str(), vmGuid.c_str());
  return false;
}

bool QuarnController::RunArchiveIndexForVM(const std::string& vmGuid, const long long&, uint64_t, int, int) {
  static const char* const sig =
      "bool QuarnController::RunArchiveIndexForVM(const std::string&, const long long int&, unsigned long, int, int)";
  m_event.Error(sig, "Index client is not initialized; cannot run the archive index of VM [%s]", vmGuid.c_str());
  return false;
}
