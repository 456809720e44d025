// The VM's archive file on its stream, the index archive file of a snapshot job, and the VM's
// configuration files sent into the archive file: a header named after the VM, the data in the
// stream's buffers, index metadata, a content record and the end of the item.
#include <cerrno>

#include "app/QuarnUtils.h"
#include "controller/QuarnController.h"
#include "platform/archive/vsArchive.h"
#include "platform/os/CAverageCounter.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/sim/vsSim.h"
#include "platform/vminfo/IVMInfo.h"
#include "platform/vminfo/VMConfigFile.h"
#include "worker/QuarnWorker.h"

namespace {

using Collect = VirtualServer::VMCollect;
using Content = VirtualServer::VMContentRecord;

constexpr int kResultInputMissing = 10;
constexpr int kResultNoBuffer = 29;
constexpr int kResultRefused = 31;
constexpr int kResultContentRecord = 43;
constexpr int kResultCannotOpen = 53;
constexpr int kResultReadFailed = 54;

constexpr uint32_t kTransferBytes = 0x8000;
constexpr uint64_t kHeaderBit = 4;
constexpr uint64_t kConfigHeaderKind = 4;
constexpr uint32_t kShareAll = FXFile::kShareRead | FXFile::kShareWrite | FXFile::kShareDelete;

// The system error number of a failed file call.
int ErrorNumber(const CPxError& error) { return error.GetErrorCode() < 0 ? -error.GetErrorCode() : errno; }

}  // namespace

bool QuarnWorker::CreateArchiveFile(quarnBackupArgs& args, vsArchive* archive) {
  static const char* const sig = "virtual bool QuarnWorker::CreateArchiveFile(quarnBackupArgs&, vsArchive*)";
  if (archive == nullptr || m_currentVM == nullptr) {
    m_event.Error(sig, "No stream or no VM to create the archive file of VM [%s] on", args.mVMName.c_str());
    return false;
  }
  const Collect& collect = m_currentVM->collect;
  const int code = archive->createArchiveFile(args.mVMGuid, collect.getint64(Collect::F_vmJobId),
                                              collect.getint64(Collect::F_vmClientId),
                                              collect.getint64(Collect::F_subclientId),
                                              collect.getstring(Collect::F_text64), args.mBackupLevel);
  return !vsArchive::isError(code);
}

bool QuarnWorker::CreateVMArchiveFileForSnap() {
  static const char* const sig = "bool QuarnWorker::CreateVMArchiveFileForSnap()";
  if (m_mountCtx == nullptr || m_currentVM == nullptr) return false;
  const vm_params& vm = *m_currentVM;
  if (m_mountCtx->indexArchiveFileId == 0) {
    vsSim sim;
    vsArchive archive(m_jobMgr, m_appMgr, &sim, std::string());
    if (vsArchive::isError(archive.init(false))) return false;
    if (archive.CreateVMIndexArchiveFileForSnap(vm.vmGuid, vm.collect.getint64(Collect::F_vmJobId),
                                                vm.collect.getint64(Collect::F_vmClientId),
                                                vm.collect.getint64(Collect::F_subclientId),
                                                &m_mountCtx->indexArchiveFileId) != 0) {
      m_event.Error(sig, "Failed to create archive file for VM [%s]", vm.vmName.c_str());
      return false;
    }
  }
  m_event.Debug(sig, "Created archive file [%d] for VM [%s]", static_cast<int>(m_mountCtx->indexArchiveFileId),
                vm.vmName.c_str());
  return true;
}

int QuarnWorker::BackupVMConfigFile(quarnBackupArgs* args, CMediaSpeedCounter& speed, CAverageCounter& average) {
  static const char* const sig =
      "int QuarnWorker::BackupVMConfigFile(quarnBackupArgs*, CMediaSpeedCounter&, CAverageCounter&)";
  // 1.
  if (args == nullptr || args->mDiskPath.empty() || args->mBackupPath.empty() || args->mDisplayName.empty() ||
      m_jobMgr == nullptr) {
    m_event.Error(sig, "Some of the input is missing. Not backing up file");
    return kResultInputMissing;
  }
  const bool snapBackup = m_jobMgr->isSnapBackup();
  vsArchive* archive = args->mArchive;
  // 2.
  if (!snapBackup && archive == nullptr) {
    m_event.Debug(sig, "pArchive input param is missing. Not backing up file");
    return kResultInputMissing;
  }
  static const Collect kNoCollect;
  const Collect& collect = m_currentVM != nullptr ? m_currentVM->collect : kNoCollect;
  // 3. A failback job records the file in the index only.
  if (m_jobMgr->isFailbackBackup()) {
    m_event.DebugLvl(2, sig, "Send Pseudo header for config file [%s] for failback backup", args->mDiskPath.c_str());
    m_controller->SendInImageDiskHeader(args->mVMGuid, args->mBackupPath, args->mDisplayName,
                                        static_cast<unsigned long>(collect.getint64(Collect::F_subclientId)),
                                        static_cast<unsigned long>(collect.getint64(Collect::F_vmJobId)),
                                        static_cast<ZTBkpLevel>(args->mBackupLevel), collect.getstring(Collect::F_text64));
    return 0;
  }
  // 4.
  m_event.DebugLvl(2, sig, "Backing up file [%s]", args->mDiskPath.c_str());
  average.Start();
  ZtScopedFileHandle file(
      FXFile::ZTCreateFile(args->mDiskPath, FXFile::kGenericRead, FXFile::kShareRead, nullptr, FXFile::kOpenExisting, 0));
  if (!file.IsValid()) {
    m_event.Debug(sig, "Attempting opening file [%s] with SHARE_READ, SHARE_WRITE and SHARE_DELETE option",
                  args->mDiskPath.c_str());
    file.Reset(FXFile::ZTCreateFile(args->mDiskPath, FXFile::kGenericRead, kShareAll, nullptr, FXFile::kOpenExisting, 0));
  }
  average.Stop();
  if (!file.IsValid()) {
    m_event.Error(sig, "Failed to open the file [%s]. GetLastError() [%d]", args->mDiskPath.c_str(), errno);
    return kResultCannotOpen;
  }
  // 5. A file whose size is unknown cannot be sent as what it is: that is a failure, not a success.
  uint64_t size = 0;
  CPxError error = FXFile::ZTGetFileSize(file.Get(), size);
  if (error.IsError()) {
    m_event.Error(sig, "Failed to get size of the file [%s]. [%s]", args->mDiskPath.c_str(), error.AsString().c_str());
    return kResultReadFailed;
  }
  args->mMaxDiskSize = size;
  args->mFileSize = size;
  // 6.
  int64_t fileTime = static_cast<int64_t>(args->mAllocatedSize);
  if (args->mAllocatedSize == 0) {
    time_t changed = 0, modified = 0, accessed = 0;
    FXFile::GetFileTimes(args->mDiskPath, changed, modified, accessed);
    fileTime = static_cast<int64_t>(modified);
  }
  // 7. Header and data. Once the header is in, every way out ends the item.
  if (!snapBackup) {
    const std::string name = "\\" + args->mVMGuid + "\\" + args->mBackupPath;
    int code = archive->sendFileHeader(name, size, fileTime, false, false, false, 1, 0, 0, 0,
                                       (args->mHeaderKind & kHeaderBit) != 0, true, false);
    if (vsArchive::isError(code)) {
      m_event.Error(sig, "Failed to send file header [%s], retCode [%d]", name.c_str(), code);
      return kResultRefused;
    }
    m_event.DebugLvl(2, sig, "file Header [%s]", name.c_str());
    SendVSConfigFileIndexMetadata(args);
    for (uint64_t remaining = size; remaining > 0;) {
      uint32_t granted = 0;
      char* buffer = nullptr;
      code = archive->allocateBuffer(static_cast<uint32_t>(std::min<uint64_t>(remaining, kTransferBytes)), &granted,
                                     &buffer);
      if (vsArchive::isError(code)) {
        m_event.Error(sig, "Failed to allocate pipeline buffer");
        archive->sendEOF(false, 0);
        return kResultNoBuffer;
      }
      uint32_t read = 0;
      speed.Start();
      error = FXFile::ZTReadFile(file.Get(), buffer, granted, &read);
      if (error.IsError()) {
        speed.Stop(0);
        m_event.Error(sig, "ReadFile() call failed for file [%s]. GetLastError() [%d]", args->mDiskPath.c_str(),
                      ErrorNumber(error));
        archive->freeBuffer(buffer);
        archive->sendEOF(false, 0);
        return kResultReadFailed;
      }
      speed.Stop(read);
      if (read == 0) {
        // The file ended before the size it had when it was opened: what was sent is not the file,
        // so the item ends failed instead of passing for a whole file.
        archive->freeBuffer(buffer);
        m_event.Error(sig, "File [%s] ended [%llu] bytes before the size it was opened with", args->mDiskPath.c_str(),
                      static_cast<unsigned long long>(remaining));
        archive->sendEOF(false, 0);
        return kResultReadFailed;
      }
      code = archive->writeDataBuffer(buffer, read);
      if (vsArchive::isError(code)) {
        m_event.Error(sig, "Failed to send pipeline data buffer for file [%s]", args->mDiskPath.c_str());
        archive->sendEOF(false, 0);
        return kResultRefused;
      }
      remaining -= read;
    }
  }
  // 8.
  Content record;
  record.setstring(Content::F_guid, args->mVMGuid);
  record.setstring(Content::F_indexName, args->mBackupPath);
  record.setstring(Content::F_displayName, args->mDisplayName);
  if (!args->mProxyName.empty()) {
    m_event.Debug(sig, "Proxy disk name:[%s]", args->mProxyName.c_str());
    record.setstring(Content::F_proxyName, args->mProxyName);
  }
  record.setint64(Content::F_flags, record.getint64(Content::F_flags) | static_cast<int64_t>(args->mHeaderKind));
  record.setint64(Content::F_extentSize, static_cast<int64_t>(size));
  record.setint64(Content::F_fileSize, static_cast<int64_t>(args->mFileSize));
  record.setint64(Content::F_allocatedSize, fileTime);
  m_event.DebugLvl(2, sig, "Disk Identifier [%s]", args->mBackupPath.c_str());
  m_event.DebugLvl(2, sig, "Disk Name [%s]", args->mDisplayName.c_str());
  if (int code = insertContentMapTable(record)) {
    m_event.Error(sig, "Failed to insert record in VM to content map table, retcode [%d]", code);
    // The file's item is ended as failed: an item left open would make the rest of the archive
    // file unreadable as items.
    if (!snapBackup) archive->sendEOF(false, 0);
    return kResultContentRecord;
  }
  // 9.
  if (!snapBackup) {
    if (!SendVSDiskIndexMetadata(args, static_cast<ProductType_t>(0)))
      m_event.Error(sig, "Failed to send indexing metadata for VM config file [%s].", args->mDisplayName.c_str());
    const int code = archive->sendEOF(true, 0);
    if (vsArchive::isError(code)) {
      m_event.Error(sig, "Failed to send the end of file [%s], retCode [%d]", args->mDiskPath.c_str(), code);
      archive->sendEOF(false, 0);
      return kResultRefused;
    }
  }
  // 10.
  return 0;
}

int QuarnWorker::BackupGeneralizedVMConfigFile(quarnBackupArgs* args, CMediaSpeedCounter& speed,
                                               CAverageCounter& average) {
  if (args == nullptr || m_mountCtx == nullptr) return kResultInputMissing;
  // 1.
  args->mBackupPath = QuarnUtils::kGeneralizedConfigFile;
  args->mDisplayName = QuarnUtils::kGeneralizedConfigFile;
  args->mDiskPath = CPxPath::Append(m_mountCtx->mountPath, QuarnUtils::kGeneralizedConfigFile, false);
  args->mHeaderKind = kConfigHeaderKind;
  // 2.
  VMConfigFile file(args->mDiskPath);
  if (!file.Save(m_mountCtx->vmInfo)) return kResultCannotOpen;
  // 3.
  if (m_mountCtx->fileTime > 0) args->mAllocatedSize = static_cast<uint64_t>(m_mountCtx->fileTime);
  // 4. The file is the worker's own: it goes whatever became of it.
  const int result = BackupVMConfigFile(args, speed, average);
  FXFile::RemoveFile(args->mDiskPath);
  return result;
}

int QuarnWorker::BackupSnapBackupConfigFile(quarnBackupArgs* args, CMediaSpeedCounter& speed,
                                            CAverageCounter& average) {
  static const char* const sig =
      "int QuarnWorker::BackupSnapBackupConfigFile(quarnBackupArgs*, CMediaSpeedCounter&, CAverageCounter&)";
  if (args == nullptr || m_mountCtx == nullptr || m_vmInfo == nullptr) return 0;
  // 1.
  std::vector<std::string> files;
  m_vmInfo->GetSnapConfigFiles(*m_mountCtx, 0, files);
  // 2.
  if (files.empty() || files.front().empty()) return 0;
  // 3.
  args->mDiskPath = files.front();
  args->mBackupPath = CPxPath::GetFileName(files.front());
  args->mDisplayName = args->mBackupPath;
  args->mHeaderKind = kConfigHeaderKind;
  // 4.
  if (BackupVMConfigFile(args, speed, average) != 0)
    m_event.Error(sig, "Failed to backup Snap Config file: %s", args->mDiskPath.c_str());
  return 0;
}
