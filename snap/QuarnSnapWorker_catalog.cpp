// A catalogue's guest metadata: the snapshot's volumes of a VM are mounted at file level, each
// volume's header is kept as a metadata file and the volume joins the metadata collection, and each
// volume's image-level tree is pointed at the volume.
#include <cstring>
#include <memory>

#include "app/QuarnUtils.h"
#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/index/CImageTree.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/CAutoMemory.h"
#include "snap/QuarnSnapController.h"
#include "snap/QuarnSnapWorker.h"

namespace {

const char* const kSigCollect = "virtual int QuarnSnapWorker::CollectGranularMetadata(quarnBackupArgs&)";
const char* const kSigAddDisk = "int QuarnSnapWorker::ADDVMDiskForMetadataProcessing(quarnBackupArgs*)";
const char* const kSigImageTree =
    "bool QuarnSnapWorker::UpdateFirstRecordInImageTreeTable(quarnBackupArgs&, const MountCtx&)";

constexpr int kResultAllVolumesFailed = 117;
constexpr int kResultOpenFailed = 53;
constexpr int kResultReadFailed = 54;
constexpr int kResultNoContentRecord = 43;
constexpr int kResultNoProductType = 46;
constexpr int kNoProductTypeCode = 886;
constexpr uint64_t kVolumeExtentSectors = 65536;
constexpr size_t kFirstBlockBytes = 65536;

// Puts the worker's own layout object back, however the catalogue of the VM ends.
class LayoutSwap {
 public:
  LayoutSwap(quarnConfig*& slot, quarnConfig*& argsSlot, quarnConfig* replacement)
      : slot_(slot), argsSlot_(argsSlot), saved_(slot), savedArgs_(argsSlot) {
    slot_ = replacement;
    argsSlot_ = replacement;
  }
  ~LayoutSwap() {
    slot_ = saved_;
    argsSlot_ = savedArgs_;
  }
  LayoutSwap(const LayoutSwap&) = delete;
  LayoutSwap& operator=(const LayoutSwap&) = delete;

 private:
  quarnConfig*& slot_;
  quarnConfig*& argsSlot_;
  quarnConfig* const saved_;
  quarnConfig* const savedArgs_;
};

}  // namespace

int QuarnSnapWorker::CollectGranularMetadata(quarnBackupArgs& args) {
  // 1.
  if (!m_jobMgr->isCollectMetadataEnabled()) {
    m_event.Debug(kSigCollect, "VM LVM processing disabled for VM: [%s]", args.mVMName.c_str());
    return 0;
  }
  m_event.Debug(kSigCollect, "Metadata Collection enabled for VM: [%s]", args.mVMName.c_str());
  // 2.
  const int engine = m_snapMountCtx.snapEngineId;
  if (m_jobMgr->isSnapBackup() && QuarnUtils::IsVMCentricSnapEngine(engine) && !QuarnUtils::IsVVOLSnapEngine(engine)) {
    m_event.Debug(kSigCollect, "Skipping metadata collection for VMCentric Snap Engine");
    return 0;
  }
  // 3.
  if (m_appMgr->isServerTypeMS() || m_jobMgr->isSnapToTape()) {
    const int result = QuarnWorker::CollectGranularMetadata(args);
    if (result != 0) m_event.Error(kSigCollect, "Metadata Collection failed for VM: [%s]", args.mVMName.c_str());
    return result;
  }
  if (m_mountCtx == nullptr || m_vmInfo == nullptr || m_currentVM == nullptr) return kResultAllVolumesFailed;
  vm_params& vm = *m_currentVM;
  // A failure of the catalogue is the VM's: a result line says what was not collected.
  auto reportFailure = [&](const std::string& text) {
    std::string line;
    QuarnUtils::FormatBackupDotOut(line, vm.vmName, std::string(), text, false, false);
    vm.messages.push_back(line);
    ++vm.errorCount;
    vm.hadFailures = true;
  };
  // 4.
  MountCtx mount = *m_mountCtx;
  mount.mountType = IVMInfo::kMountTypeVolumes;
  mount.isSnapToTape = true;
  if (m_vmInfo->MountVM(mount) == 0) {
    m_event.Error(kSigCollect, "File MountVM failed >>");
    reportFailure("The volumes of the VM could not be mounted for metadata collection");
    return kResultAllVolumesFailed;
  }
  // 5.
  std::unique_ptr<quarnVolumeConfig> volumes(new quarnVolumeConfig());
  LayoutSwap swap(m_config, args.mConfig, volumes.get());
  const int mounted = m_config->getMountInfo(mount, m_vmInfo);
  if (mounted != 0) {
    m_event.Error(kSigCollect, "File MountInfo failed >>");
    m_vmInfo->UnmountVM(mount);
    reportFailure("The volumes of the VM could not be read for metadata collection");
    return mounted;
  }
  // 6. A volume that fails is the run's error, raised as a job event; the first one is the VM's.
  int count = 0, failures = 0;
  doMetadataProcessingArgs run;
  m_config->resetGetNextBkpObj();
  for (m_config->getNextBkpObj(&args); !args.mBackupPath.empty(); m_config->getNextBkpObj(&args)) {
    ++count;
    const int result = ADDVMDiskForMetadataProcessing(&args);
    if (result == 0) continue;
    m_event.Error(kSigCollect, "Error mounting VM [%s] Volume [%s] VolGuid[%s] Err [%d] Continuing ahead...",
                  args.mVMName.c_str(), args.mBackupPath.c_str(), args.mBackupPathCopy.c_str(), result);
    ++failures;
    m_config->ReportLVMProcessingError(&run,
                                       "Error mounting VM [" + args.mVMName + "] Volume [" + args.mBackupPath +
                                           "]. Metadata collection is supported on volume with NTFS file system only",
                                       true);
  }
  // 7.
  for (const std::string& error : run.mErrors) {
    std::string line;
    QuarnUtils::FormatBackupDotOut(line, vm.vmName, std::string(), error, false, true);
    vm.messages.push_back(line);
  }
  // 8.
  if (failures == count) {
    m_event.Error(kSigCollect, "Metadata collection failed on all volumes.Performing Cleanup");
    m_vmInfo->UnmountVM(mount);
    reportFailure("Metadata collection failed on all volumes of the VM");
    return kResultAllVolumesFailed;
  }
  // 9.
  QuarnWorker::CollectGranularMetadata(args);
  if (m_vmInfo->UnmountVM(mount) == 0) {
    m_event.Error(kSigCollect, "Failed to unmount VM");
    return 0;
  }
  m_config->resetGetNextBkpObj();
  for (m_config->getNextBkpObj(&args); !args.mBackupPath.empty(); m_config->getNextBkpObj(&args))
    UpdateFirstRecordInImageTreeTable(args, mount);
  return 1;
}

int QuarnSnapWorker::ADDVMDiskForMetadataProcessing(quarnBackupArgs* args) {
  // 1.
  if (args->mBackupName.empty()) args->mBackupName = args->mVMGuid;
  m_event.DebugLvl(2, kSigAddDisk, "Starting...");
  const ProductType_t productType = ProductType();
  if (productType == kProductUnknown) {
    m_event.Error(kSigAddDisk, "Failed [%d]", kNoProductTypeCode);
    return kResultNoProductType;
  }
  // 2.
  CArchiveVirtualDiskFile disk(productType);
  disk.SetVMInfo(m_vmInfo, args->mVMName, args->mBackupName, m_mountCtx, nullptr);
  disk.SetExtentSize(kVolumeExtentSectors);
  CPxError error = disk.Open(args->mDiskPath, args->mDiskType);
  if (error.IsError()) {
    m_event.Error(kSigAddDisk, "Failed to open disk to archive, error=%s\n", error.AsString().c_str());
    return kResultOpenFailed;
  }
  disk.SetDiskSize(args->mMaxDiskSize, args->mFileSize);
  CAutoMemory<char> buffer;
  CArchiveVirtualDiskFile::Context_t context;
  if (buffer.Allocate(kFirstBlockBytes) == nullptr ||
      (error = disk.GetFirstBlock(buffer, kVolumeExtentSectors, context)).IsError()) {
    m_event.Error(kSigAddDisk, "Failed to get virtual disk first block, error=%s\n", error.AsString().c_str());
    return kResultReadFailed;
  }
  args->mExtentSize = context.sectorsPerExtent;
  // 3.
  using Record = VirtualServer::VMContentRecord;
  Record record;
  record.setstring(Record::F_guid, args->mVMGuid);
  record.setstring(Record::F_indexName, args->mBackupPath);
  record.setstring(Record::F_displayName, args->mDisplayName);
  if (!args->mProxyName.empty()) record.setstring(Record::F_proxyName, args->mProxyName);
  record.setint64(Record::F_flags, record.getint64(Record::F_flags) | 1);
  record.setint64(Record::F_extentSize, static_cast<int64_t>(args->mExtentSize));
  record.setint64(Record::F_fileSize, static_cast<int64_t>(args->mFileSize));
  record.setint64(Record::F_productType, productType);
  record.setint64(Record::F_diskType, m_jobMgr->isSnapBackup() ? 2 : args->mDiskType);
  const int inserted = insertContentMapTable(record);
  if (inserted != 0) {
    m_event.Error(kSigAddDisk, "Failed to insert record in VM to content map table, retcode [%d]", inserted);
    return kResultNoContentRecord;
  }
  // 4. The volume's header, kept in the worker's subclient folder (joined with a separator: the file
  // belongs inside the folder, not beside it).
  const std::string path = GetSubclientDirectory() + "/VolHdr(" + args->mVMGuid + "_" + args->mBackupPath + ").imf";
  const int written = writeMetadataFile(buffer.Ptr(), buffer.SizeInBytes(), path);
  if (written != 0) {
    m_event.Error(kSigAddDisk, "Backup of this volume/disk cannot continue due to the metadata failure");
    return written;
  }
  AddVMMetadataFile(path);
  disk.Close();
  // 5.
  int result = 0;
  if (m_jobMgr->isCollectMetadataEnabled() && m_vmInfo != nullptr && m_mountCtx != nullptr &&
      m_vmInfo->AddDiskForMetadata(*m_mountCtx) != 0) {
    quarnConfig::SetQuitFlagCallback(&QuarnWorker::CallbackStatic, 0, static_cast<QuarnWorker*>(this));
    if (m_config->addVolumeForMetadataCollection(args->mBackupPathCopy, args->mBackupPath,
                                                 static_cast<uint32_t>(args->mExtentSize)) != 0) {
      m_event.Error(kSigAddDisk, "Failed to add volume for metadata collection processing");
      return 1;
    }
    m_event.DebugLvl(2, kSigAddDisk, "Volume added for Metadata collection processing...");
    m_config->addDiskForLVMProcessing(productType, args->mDiskPath, args->mDiskName2, args->mDiskType,
                                      args->mBackupPath.c_str(), args->mExtentSize, args->mSectorSize, false);
  }
  // 6.
  m_event.Debug(kSigAddDisk, "Backup done for volume/disk [%s], number of extents backed up", args->mDisplayName.c_str());
  return result;
}

bool QuarnSnapWorker::UpdateFirstRecordInImageTreeTable(quarnBackupArgs& args, const MountCtx& ctx) {
  const std::string path = GetSubclientDirectory() + "/" + "imageLevelTree(" + ctx.vmGuid + "_" + args.mBackupPath + ")";
  m_event.Debug(kSigImageTree, "Image Tree Path to Open:[%s]", path.c_str());
  CImageTree tree;
  if (tree.init(path) != 0) {
    m_event.Error(kSigImageTree, "Failed to initialize the Image Tree table");
    return false;
  }
  if (tree.open(1) != 0) {
    m_event.Error(kSigImageTree, "Failed to Open the Image Tree table");
    return false;
  }
  TImageTreePathRecord record;
  record.clear();
  if (tree.firstRecord(record) != 0) {
    m_event.Error(kSigImageTree, "Failed to read the first record");
    tree.close();
    return false;
  }
  // The longest path the record keeps, and always its terminator: a longer name is cut, never left
  // running into the bytes after it.
  std::memset(record.path, 0, sizeof(record.path));
  std::strncpy(record.path, args.mBackupPath.c_str(), TImageTreePathRecord::kMaxPath);
  if (tree.modifyRecord(record) != 0) {
    m_event.Error(kSigImageTree, "Failed to modify record");
    tree.close();
    return false;
  }
  if (tree.close() != 0) {
    m_event.Error(kSigImageTree, "Failed to close the table");
    return false;
  }
  m_event.Debug(kSigImageTree, "Successfully updated Image Tree Path to Open:[%s]", path.c_str());
  return true;
}
