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
