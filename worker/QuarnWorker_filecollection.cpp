// A file collection of a VM: one container header and content record for the collection, then one
// item per node with its data, and the collection's change id (indexing V2: its state files) for the
// next job. Every item this step opens is ended, failed when it did not go whole, and no change id or
// state file is kept for a collection that failed.
#include <algorithm>
#include <ctime>

#include "controller/QuarnController.h"
#include "disklayout/QuarnChangeIdFile.h"
#include "disklayout/QuarnFileCollectionStateFiles.h"
#include "platform/archive/vsArchive.h"
#include "platform/disk/CFileCollection.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kResultInvalidInput = 10;
constexpr int kResultNoBuffer = 29;
constexpr int kResultNotSent = 31;
constexpr int kResultContentRecord = 43;
constexpr int kResultReadFailed = 54;
constexpr int kInstanceEndNodeAtHeader = 1502;
constexpr uint32_t kNodeBytes = 4096;

using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

}  // namespace

int QuarnWorker::BackupVMFileCollection(quarnBackupArgs* args) {
  static const char* const sig = "int QuarnWorker::BackupVMFileCollection(quarnBackupArgs*)";
  if (args == nullptr || args->mArchive == nullptr || m_appMgr == nullptr || m_jobMgr == nullptr) {
    m_event.Error(sig, "Invalid input");
    return kResultInvalidInput;
  }
  vsArchive* archive = args->mArchive;
  std::shared_ptr<CFileCollection> collection = CFileCollection::createFileCollectionInstance(args->mDiskType);
  if (!collection) {
    m_event.Error(sig, "Invalid file collection type : [%d]", static_cast<int>(args->mDiskType));
    return kResultInvalidInput;
  }
  m_event.Debug(sig, "Backing up file collection : [%s]", args->mBackupPath.c_str());
  const bool v2 = m_appMgr->isUseIndexingV2Enabled();
  QuarnChangeIdFile changeIdFile(this);
  QuarnFileCollectionStateFiles stateFiles(this, v2);
  std::string previous;
  if (!v2) {
    if (!changeIdFile.ReadChangeID(args->mVMGuid, args->mDiskName2, previous)) previous.clear();
  } else if (args->mBackupLevel == 2) {
    auto entry = m_prevIdxMetadata.find(args->mBackupPath);
    const VSMeta* part = entry == m_prevIdxMetadata.end()
                             ? nullptr
                             : entry->second.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
    if (part != nullptr) previous = part->getstring(VSMeta::F_changeId);
  }
  m_event.Debug(sig, "Previous change id for file Collection [%s]  is [%s]", args->mDiskName2.c_str(), previous.c_str());
  const bool useChangeId = collection->SetPreviousReference(previous);
  collection->SetVMInfo(args->mVMInfo, args->mVMName, args->mVMGuid);
  collection->SetVMDiskGuid(args->mBackupPath);
  collection->SetContainerSize(args->mMaxDiskSize);
  if (v2) {
    std::vector<std::string> names;
    collection->GetStateFiles(names);
    for (const std::string& name : names) {
      m_event.DebugLvl(0, sig, "Adding State File %s for this Filecollection %s", name.c_str(), args->mBackupPath.c_str());
      stateFiles.AddStateFile(name);
    }
    const long long previousJob = stateFiles.GetPreviousJob();
    if (previousJob != 0 && m_controller != nullptr && m_currentVM != nullptr &&
        !m_controller->DownloadVMMetaDataFiles(m_mountCtx != nullptr ? m_mountCtx->vmGuid : args->mVMGuid,
                                               GetSubclientDirectory(), previousJob,
                                               m_currentVM->collect.getstring(VirtualServer::VMCollect::F_subclientGuid)))
      m_event.DebugLvl(1, sig, "Cannot download previous job state files for this file collection %s",
                       args->mBackupPath.c_str());
  }
  if (args->mFileSize != 0) {
    CPxError error = collection->Open(args->mBackupPath);
    if (error.IsError()) {
      m_event.Error(sig, "Failed to open file collection object.");
      return kResultReadFailed;
    }
  }

  const std::string name = collection->GetName();
  const std::string containerName = "\\" + args->mVMGuid + "\\" + name;
  // Every failure ends the item that is open, failed. An end where no header went would itself break
  // the archive file: its reader refuses an end of item outside an item.
  bool itemOpen = false;
  auto failItem = [&](int result) {
    if (itemOpen) archive->sendEOF(false, result);
    return result;
  };
  int code = archive->sendFCFileHeader(containerName, args->mMaxDiskSize, 0, false, false, 1, 0, 0, 0, false, true, 0, 0,
                                       16384, 0, 0, 0, 0, 0, 0, 0);
  m_event.Debug(sig, "FileContainer Header [%s], size [%lld]", containerName.c_str(),
                static_cast<long long>(args->mMaxDiskSize));
  if (vsArchive::isError(code)) {
    m_event.Error(sig, "Failed to send pipeline data buffer for file [%s]", args->mDiskPath.c_str());
    return kResultNotSent;
  }
  itemOpen = true;
  VirtualServer::VMContentRecord record;
  record.setstring(VirtualServer::VMContentRecord::F_guid, args->mVMGuid);
  record.setstring(VirtualServer::VMContentRecord::F_indexName, name);
  record.setstring(VirtualServer::VMContentRecord::F_displayName, name);
  if (!args->mProxyName.empty()) {
    m_event.DebugLvl(2, sig, "Proxy disk name:[%s]", args->mProxyName.c_str());
    record.setstring(VirtualServer::VMContentRecord::F_proxyName, args->mProxyName);
  }
  record.setint64(VirtualServer::VMContentRecord::F_flags,
                  record.getint64(VirtualServer::VMContentRecord::F_flags) | static_cast<int64_t>(args->mHeaderKind) | 2);
  record.setint64(VirtualServer::VMContentRecord::F_extentSize, static_cast<int64_t>(args->mMaxDiskSize));
  record.setint64(VirtualServer::VMContentRecord::F_fileSize, static_cast<int64_t>(args->mFileSize));
  const int inserted = insertContentMapTable(record);
  if (inserted != 0) {
    m_event.Error(sig, "Failed to insert record in VM to content map table, retcode [%d]", inserted);
    return failItem(kResultContentRecord);
  }
  std::string metadata;
  CPxError error = collection->GetMetadata(metadata);
  if (error.IsError()) {
    m_event.Error(sig, "Failed to get metadata info from collection object, err [%s]", error.AsString().c_str());
    return failItem(kResultReadFailed);
  }
  args->mIndexText = metadata;
  args->mFileName = std::to_string(static_cast<long long>(time(nullptr)));
  if (!SendVSDiskIndexMetadata(args, static_cast<ProductType_t>(0)))
    m_event.Error(sig, "Failed to send indexing metadata for VM file [%s].", name.c_str());
  code = archive->sendEOF(true, 0);
  if (vsArchive::isError(code)) return failItem(kResultNotSent);
  itemOpen = false;
  if (args->mFileSize == 0) return 0;

  const bool endAtHeader = m_appMgr->getInstanceType() == kInstanceEndNodeAtHeader;
  SFileNode node;
  for (;;) {
    node.archive = archive;
    node.jobId = m_jobMgr->getJobId();
    node.backupLevel = static_cast<int>(m_jobMgr->getBkpLevel());
    node.appMgr = m_appMgr;
    node.collectText = m_currentVM != nullptr ? m_currentVM->collect.getstring(VirtualServer::VMCollect::F_text64)
                                              : std::string();
    m_event.DebugLvl(2, sig, "Prev Ref Time =  [%s]", previous.c_str());
    error = collection->GetNextNode(node);
    if (error.IsError()) break;
    const std::string nodeName = containerName + "\\" + node.name;
    code = archive->sendFCFileHeader(nodeName, node.size, node.time, false, false, 1, 0, 0, node.mode, false, true,
                                     node.timeNanos, node.changeTime, node.inode, node.owner, node.links, node.device,
                                     node.group, node.reserved1, node.reserved2, node.reserved3);
    if (vsArchive::isError(code)) {
      m_event.Error(sig, "Failed to send pipeline data buffer for file [%s]", args->mDiskPath.c_str());
      return kResultNotSent;
    }
    m_event.DebugLvl(2, sig, "Backing up node [%s] inside file collection, node size [%lld]", node.name.c_str(),
                     static_cast<long long>(node.size));
    itemOpen = !endAtHeader;
    if (endAtHeader) archive->sendEOF(true, 0);
    const uint32_t request = static_cast<uint32_t>(std::min<uint64_t>(node.size, kNodeBytes));
    while (node.size != 0) {
      char* buffer = nullptr;
      uint32_t granted = 0;
      code = collection->RequestBuffer(node, request, &buffer, &granted);
      if (vsArchive::isError(code)) {
        m_event.Error(sig, "Failed to allocate pipeline buffer");
        return failItem(kResultNoBuffer);
      }
      uint32_t read = 0;
      error = collection->Read(node, buffer, granted, read);
      if (error.IsError()) {
        m_event.Error(sig, "Failed to backup file collection %s due to %s", args->mBackupPath.c_str(),
                      error.AsString().c_str());
        archive->freeBuffer(buffer);
        return failItem(kResultReadFailed);
      }
      if (read == 0) {
        archive->freeBuffer(buffer);
        break;
      }
      code = collection->Write(node, buffer, read);
      if (vsArchive::isError(code)) {
        m_event.Error(sig, "Failed to send pipeline data buffer for file [%s]", args->mDiskPath.c_str());
        archive->freeBuffer(buffer);
        return failItem(kResultNotSent);
      }
    }
    if (!endAtHeader && vsArchive::isError(collection->EndOfNode(node, true))) {
      m_event.Error(sig, "Failed to send pipeline data buffer for file [%s]", args->mDiskPath.c_str());
      return failItem(kResultNotSent);
    }
    itemOpen = false;
  }
  if (!FXErrorUtil::IsVS(error, CFileCollection::kNoMoreNodes)) {
    m_event.Error(sig, "Failed to get next node during backing up file collection.");
    return kResultReadFailed;
  }
  args->mBackedUpBytes += args->mFileSize;
  if (!v2 && useChangeId) changeIdFile.WriteChangeID(args->mVMGuid, args->mDiskName2, args->mFileName, false);
  // A collection that keeps no state files has nothing to upload, which is no failure.
  if (v2 && !stateFiles.StateFilePaths().empty() && !stateFiles.UploadStateFiles()) {
    m_event.Error(sig, "Failed to upload State Files for this file Collection [%s/%s]", args->mVMGuid.c_str(), name.c_str());
    return -1;
  }
  m_event.Debug(sig, "Store change id for this file Collection  : [%s]", args->mFileName.c_str());
  m_event.Debug(sig, "Successfully backed up VM/FileCollection [%s/%s]", args->mVMGuid.c_str(), name.c_str());
  return 0;
}
