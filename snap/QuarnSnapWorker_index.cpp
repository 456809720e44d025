// What a snapshot backup records in the index for each VM: the archive files its disks belong to,
// each disk's file record, content record and index metadata, and the VM's own index metadata and
// file record.
#include "disklayout/QuarnChangeIdFile.h"
#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/CAutoMemory.h"
#include "snap/QuarnSnapController.h"
#include "snap/QuarnSnapWorker.h"

namespace {

using Collect = VirtualServer::VMCollect;
using Idx = IdxMetadata::IdxMetaData;
using IdxCommon = IdxMetadata::IdxCommonMetaData;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

const char* const kSigArchiveFileInfo =
    "bool QuarnSnapWorker::SendArchiveFileInfo(const quarnBackupArgs&, const std::string&, unsigned int&)";
const char* const kSigArchiveFileInfoForVM = "bool QuarnSnapWorker::SendArchiveFileInfoForVM(const quarnBackupArgs&)";
const char* const kSigSnapFile = "int QuarnSnapWorker::BackupSnapFile(quarnBackupArgs*, bool, int&)";
const char* const kSigDiskMetadata = "bool QuarnSnapWorker::SendVSDiskIndexMetadata(const quarnBackupArgs*, ProductType_t)";
const char* const kSigVMMetadata = "bool QuarnSnapWorker::SendIndexMetaDataInfo(MountCtx*, int&)";

constexpr int kErrorNoArchiveFile = 140;
constexpr int kErrorArchiveFileInfo = 141;
constexpr int kErrorRestartInfo = 142;
constexpr uint64_t kAllRestartBits = ~0ULL;
constexpr int kNoProductTypeCode = 309;
constexpr int kRecorded = 1;
constexpr int kRecordsFailed = -1;
constexpr int kNoContentRecord = 43;
constexpr int kNoProductType = 46;
constexpr uint64_t kHeaderBit = 4;
constexpr size_t kFirstBlockBytes = 65536;

void SetIfNotEmpty(VSMeta& part, const CNField& field, const std::string& value) {
  if (!value.empty()) part.setstring(field, value);
}

}  // namespace

bool QuarnSnapWorker::SendArchiveFileInfo(const quarnBackupArgs& args, const std::string& fileName,
                                          unsigned int& currentArchiveFileId) {
  if (m_appMgr->isUseIndexingV2Enabled()) return true;
  const uint32_t id = m_vmInfo != nullptr ? m_vmInfo->GetArchiveFileId(m_snapMountCtx, fileName, args.mDiskType) : 0;
  if (id == 0) {
    m_event.Error(kSigArchiveFileInfo, "Failed to get AFileID for filename : [%s]", fileName.c_str());
    m_errorNumber = kErrorNoArchiveFile;
    return false;
  }
  // The disks of one archive file are sent under it once.
  if (id == currentArchiveFileId) return true;
  if (currentArchiveFileId != 0 && !m_snapController->UpdateRestartInfo(kAllRestartBits)) {
    m_event.Error(kSigArchiveFileInfo, "IndexingConnection::updateRestartInfo Failed");
    m_errorNumber = kErrorRestartInfo;
    return false;
  }
  currentArchiveFileId = id;
  const uint64_t keyrealmId = m_appMgr->getKeyrealmId();
  m_event.Debug(kSigArchiveFileInfo, "Sending archive file details to ( Keyrealm ID : [%lu], AFileID :[%u] )",
                static_cast<unsigned long>(keyrealmId), id);
  if (!m_snapController->SendArchiveFileInfo(keyrealmId, id)) {
    m_event.Error(kSigArchiveFileInfo, "Failed to send archive file details to indexing agent");
    m_errorNumber = kErrorArchiveFileInfo;
    return false;
  }
  m_event.DebugLvl(2, kSigArchiveFileInfo, "Archive file details AFileID=[%u] for file=[%s] sent to indexing agent", id,
                   fileName.c_str());
  return true;
}

bool QuarnSnapWorker::SendArchiveFileInfoForVM(const quarnBackupArgs& args) {
  if (!m_appMgr->isUseIndexingV2Enabled()) return true;
  const uint32_t id = m_mountCtx != nullptr ? static_cast<uint32_t>(m_mountCtx->indexArchiveFileId) : 0;
  if (id == 0) {
    m_event.Error(kSigArchiveFileInfoForVM, "Failed to get archive file for VM [%s]", args.mVMName.c_str());
    return false;
  }
  const Collect& collect = m_currentVM->collect;
  const int subclientId = static_cast<int>(collect.getint64(Collect::F_subclientId));
  const long long jobId = collect.getint64(Collect::F_vmJobId);
  m_event.Debug(kSigArchiveFileInfoForVM, "Sending archive file details for VM [%s], AfileId [%u], AppId [%d], JobId [%lld])",
                args.mVMName.c_str(), id, subclientId, jobId);
  if (!m_snapController->SendArchiveFileInfoForVM(args.mVMGuid, m_appMgr->getKeyrealmId(), id,
                                                  static_cast<uint64_t>(subclientId), jobId,
                                                  static_cast<int>(args.mBackupLevel))) {
    m_event.Error(kSigArchiveFileInfoForVM, "Failed to send archive file details to indexing agent");
    m_errorNumber = kErrorArchiveFileInfo;
    return false;
  }
  return true;
}

int QuarnSnapWorker::BackupSnapFile(quarnBackupArgs* args, bool snapBackup, std::atomic<int>& offsetCounter) {
  QuarnChangeIdFile changeIds(this);
  // 1.
  const ProductType_t productType = ProductType();
  if (productType == kProductUnknown) {
    m_event.Error(kSigSnapFile, "Failed [%d]", kNoProductTypeCode);
    return kNoProductType;
  }
  // 2.
  if (snapBackup) {
    if ((args->mObjectKind == 1 || m_appMgr->isUseIndexingV2Enabled()) && !SendVSDiskIndexMetadata(args, productType)) {
      m_event.Error(kSigSnapFile, "SendVSDiskIndexMetadata Failed");
      return kRecordsFailed;
    }
    const std::string name = "\\" + args->mVMGuid + "\\" + args->mBackupPath;
    m_event.Debug(kSigSnapFile, "Sending File Header [%s] with datastore [%s]", name.c_str(), args->mDatastore.c_str());
    // The number is the record's alone, whether the index takes it or not.
    const int number = TakeFileRecordNumber(offsetCounter);
    if (!m_snapController->SendFileInfo(args->mVMGuid, name, number, m_snapMountCtx.snapReferenceTime, args->mFileSize,
                                        false, (args->mHeaderKind & kHeaderBit) != 0, false)) {
      m_event.Error(kSigSnapFile, "SendFileInfo Failed");
      return kRecordsFailed;
    }
    if (m_snapMountCtx.saveChangeId) {
      std::string stored;
      changeIds.ReadChangeID(args->mVMGuid, args->mBackupPath, stored);
      if (stored.empty() && !args->mFileName.empty()) {
        m_event.Debug(kSigSnapFile, "Saving change Id [%s] in index cache for this job", args->mFileName.c_str());
        changeIds.WriteChangeID(args->mVMGuid, args->mBackupPath, args->mFileName, false);
      }
    }
  }
  // 3.
  using Record = VirtualServer::VMContentRecord;
  Record record;
  record.setstring(Record::F_guid, args->mVMGuid);
  record.setstring(Record::F_indexName, args->mBackupPath);
  record.setstring(Record::F_displayName, args->mDisplayName);
  if (!args->mProxyName.empty())
    record.setstring(Record::F_proxyName, m_jobMgr->isFailbackBackup() ? args->mDisplayName : args->mProxyName);
  record.setint64(Record::F_flags, record.getint64(Record::F_flags) | static_cast<int64_t>(args->mHeaderKind));
  record.setint64(Record::F_extentSize, 0);
  record.setint64(Record::F_fileSize, static_cast<int64_t>(args->mFileSize));
  record.setint64(Record::F_diskType, args->mDiskType);
  record.setint64(Record::F_productType, productType);
  record.setint64(Record::F_allocatedSize, static_cast<int64_t>(args->mAllocatedSize));
  const int inserted = insertContentMapTable(record);
  if (inserted != 0) {
    m_event.Error(kSigSnapFile, "Failed to insert record in VM to content map table, retcode [%d]", inserted);
    return kNoContentRecord;
  }
  m_event.DebugLvl(2, kSigSnapFile, "Added in VMToConentMapTable Disk Identifier [%s] Disk Name:[%s]",
                   args->mBackupPath.c_str(), args->mDisplayName.c_str());
  // 4. A Microsoft hypervisor's disk is prepared for the guest metadata collection of its volumes.
  if (m_appMgr->getInstanceType() == kInstanceTypeHyperV && m_jobMgr->isCollectMetadataEnabled() &&
      args->mObjectKind == 1) {
    if (!args->mInActiveChain) {
      m_event.Debug(kSigSnapFile, "Disk [%s] is not part of active VM configuration. Skipping this disk for LVM processing",
                    args->mBackupPath.c_str());
      return kRecorded;
    }
    CArchiveVirtualDiskFile disk(productType);
    m_event.Debug(kSigSnapFile, "Opening diskType=[%d] diskName=[%s] for LVM processing.",
                  static_cast<int>(args->mDiskType), args->mDiskPath.c_str());
    CPxError error = disk.Open(args->mDiskPath, args->mDiskType);
    if (error.IsError()) {
      m_event.Error(kSigSnapFile, "Failed to open disk to archive, error %s\n", error.AsString().c_str());
      return kRecordsFailed;
    }
    CAutoMemory<char> buffer;
    CArchiveVirtualDiskFile::Context_t context;
    if (buffer.Allocate(kFirstBlockBytes) == nullptr ||
        (error = disk.GetFirstBlock(buffer, kFirstBlockBytes / CArchiveVirtualDiskFile::kSectorBytes, context))
            .IsError()) {
      m_event.Error(kSigSnapFile, "Failed to get virtual disk first block, error %s\n", error.AsString().c_str());
      return kRecordsFailed;
    }
    const uint64_t extentSize = context.sectorsPerExtent;
    m_event.Debug(kSigSnapFile, "Adding disk identifier [%s] Extent Size [%lld] for the LVM processing.",
                  args->mBackupPath.c_str(), static_cast<long long>(extentSize));
    {
      ZtCriticalSectionLock lock(&m_extentSizeLock);
      m_extentSizes[args->mBackupPath] = static_cast<uint32_t>(extentSize);
    }
    m_config->addDiskForLVMProcessing(productType, args->mDiskPath, args->mDiskName2, args->mDiskType,
                                      args->mBackupPath.c_str(), extentSize, args->mSectorSize, false);
  }
  return kRecorded;
}

bool QuarnSnapWorker::SendVSDiskIndexMetadata(const quarnBackupArgs* args, ProductType_t productType) {
  Idx message;
  if (!args->mDisplayName.empty())
    message.getObject<IdxCommon>(Idx::F_common, true)->setstring(IdxCommon::F_itemName, args->mDisplayName);
  VSMeta& part = *message.getObject<VSMeta>(Idx::F_virtualServer, true);
  SetIfNotEmpty(part, VSMeta::F_datastore, args->mDatastore);
  SetIfNotEmpty(part, VSMeta::F_diskName3, args->mDiskName3);
  SetIfNotEmpty(part, VSMeta::F_proxyName, args->mProxyName);
  part.setint64(VSMeta::F_productType, productType);
  part.setint64(VSMeta::F_diskType, args->mDiskType);
  part.setint64(VSMeta::F_fileSize, static_cast<int64_t>(args->mFileSize));
  part.setint64(VSMeta::F_maxDiskSize, static_cast<int64_t>(args->mMaxDiskSize));
  part.setstring(VSMeta::F_diskName2, args->mDiskName2);
  part.setstring(VSMeta::F_changeId, args->mFileName);
  part.setstring(VSMeta::F_diskText1, args->mDiskText1);
  part.setstring(VSMeta::F_diskText2, args->mDiskText2);
  part.setint64(VSMeta::F_diskFlag1, args->mDiskFlag1 ? 1 : 0);
  if (args->mDiskNumber2 == 2) part.setint64(VSMeta::F_diskNumber2Is2, 1);
  if (args->mDiskNumber2 == 3) part.setint64(VSMeta::F_diskNumber2Is3, 1);
  part.setint64(VSMeta::F_inActiveChain, args->mInActiveChain ? 1 : 0);
  SetIfNotEmpty(part, VSMeta::F_parentIndexName, args->mParentIndexName);
  SetIfNotEmpty(part, VSMeta::F_text181, args->mDiskPairText);
  part.setint64(VSMeta::F_isOSDisk, args->mIsOSDisk ? 1 : 0);
  // A failback snapshot backup indexes the disk as the last backup knew it.
  if (m_jobMgr->isFailbackBackup()) {
    auto previous = m_prevIdxMetadata.find(args->mBackupPath);
    if (previous != m_prevIdxMetadata.end()) message = previous->second;
  }
  if (m_appMgr->isUseIndexingV2Enabled() &&
      !m_snapController->UpdateIndexDataWithGUID(args->mVMGuid, message, "\\" + args->mVMGuid + "\\" + args->mBackupPath,
                                                 static_cast<int64_t>(args->mAllocatedSize),
                                                 static_cast<int64_t>(args->mFileSize), CurrentChildJobId(),
                                                 m_currentVM->collect.getstring(Collect::F_text64))) {
    m_event.Error(kSigDiskMetadata, "sendIndexMetaDataInfo Failed");
    return false;
  }
  std::string xml;
  message.serialize(xml, true);
  m_event.DebugLvl(2, kSigDiskMetadata, "Sending XML metadata - [%s]", xml.c_str());
  if (!m_snapController->SendIndexMetaDataInfo(args->mVMGuid, message)) {
    m_event.Error(kSigDiskMetadata, "sendIndexMetaDataInfo Failed");
    return false;
  }
  return true;
}

bool QuarnSnapWorker::SendIndexMetaDataInfo(MountCtx* ctx, std::atomic<int>& offsetCounter) {
  if (ctx == nullptr || m_currentVM == nullptr) return false;
  Idx message;
  message.getObject<IdxCommon>(Idx::F_common, true)->setstring(IdxCommon::F_itemName, ctx->vmName);
  VSMeta& part = *message.getObject<VSMeta>(Idx::F_virtualServer, true);
  ExtractIdxMetadata(ctx->vmInfo, part);
  message.getObject<IdxCommon>(Idx::F_common, true)->setint64(IdxCommon::F_isVM, 1);
  if (m_jobMgr->isFailbackBackup()) message = m_vmIdxMetadata;
  VSMeta& vs = *message.getObject<VSMeta>(Idx::F_virtualServer, true);
  vs.setint64(VSMeta::F_opType, m_jobMgr->getOpType());
  vs.setint64(VSMeta::F_snapEngineId, m_snapMountCtx.snapEngineId);
  SetIfNotEmpty(vs, VSMeta::F_text181, m_snapMountCtx.vmIdText);
  const uint64_t appSize = m_config != nullptr ? m_config->getTotalSizeOnDisk() : 0;
  if (m_appMgr->isUseIndexingV2Enabled()) {
    vs.setint64(VSMeta::F_instanceType, m_snapMountCtx.instanceType);
    m_event.DebugLvl(2, kSigVMMetadata, "Version Guid params reference Time [%ld] VMJobId:[%lld]",
                     static_cast<long>(m_snapMountCtx.snapReferenceTime), CurrentChildJobId());
    if (!m_snapController->UpdateIndexDataWithGUID(ctx->vmGuid, message, "\\" + ctx->vmGuid,
                                                   m_snapMountCtx.snapReferenceTime, static_cast<int64_t>(appSize),
                                                   CurrentChildJobId(),
                                                   m_currentVM->collect.getstring(Collect::F_text64))) {
      m_event.Error(kSigVMMetadata, "sendIndexMetaDataInfo Failed");
      return false;
    }
  }
  std::string xml;
  if (!message.serialize(xml, true))
    m_event.Error(kSigVMMetadata, "Failed to serialize (XML) VM Idx Metadata. Code [%d]", 1);
  else
    m_event.Debug(kSigVMMetadata, "VM Idx Metadata:[%s]", xml.c_str());
  if (!m_snapController->SendIndexMetaDataInfo(ctx->vmGuid, message)) {
    m_event.Error(kSigVMMetadata, "sendIndexMetaDataInfo Failed");
    return false;
  }
  const int number = TakeFileRecordNumber(offsetCounter);
  if (!m_snapController->SendFileInfo(ctx->vmGuid, ctx->vmGuid, number, m_snapMountCtx.snapReferenceTime, appSize, true,
                                      false, m_appMgr->isUseIndexingV2Enabled() && !m_jobMgr->isCollectMetadataEnabled())) {
    m_event.Error(kSigVMMetadata, "SendFileInfo Failed");
    return false;
  }
  return true;
}
