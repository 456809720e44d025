#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "records/MountCtx.h"
#include "worker/QuarnWorker.h"

class QuarnSnapController;

// The worker of storage-snapshot jobs. It runs the ordinary road of one VM and replaces the steps
// that differ: in a snapshot backup it records each disk (a numbered file record, a content record
// and the disk's index metadata) and then the VM's own index metadata and file record, moving no
// data; a backup copy backs the VM up from the mounted snapshot like an ordinary job; a catalogue
// mounts the snapshot's volumes at file level and keeps their headers as metadata files.
class QuarnSnapWorker : public QuarnWorker {
 public:
  QuarnSnapWorker(QuarnSnapController* controller, int workerId);
  ~QuarnSnapWorker() override;

  // ---- Overrides (QuarnSnapWorker.cpp) ----
  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) override;
  void Deinitialize() override;
  int BackupVM(quarnBackupArgs& args) override;
  int PostBackupVM(quarnBackupArgs& args) override;
  void InitMountCtxForVM(vsJobMgr* jobMgr, vsAppMgr* appMgr, subclientFiles* files, QuarnRegistry* registry,
                         MountCtx* ctx) override;
  int TrueUpVM(quarnBackupArgs& args) override;
  int SendFailedVM(quarnBackupArgs& args) override;
  int SendVMHeader() override;
  int SendDeletedDisks() override;
  int getPercentageCompletion(QuarnVMProgressPhase phase, uint64_t done, uint64_t total) override;

  // ---- What a snapshot backup records in the index (QuarnSnapWorker_index.cpp) ----
  // One disk or volume: 1 recorded, -1 its index records failed, 43 no content record, 46 no product
  // type; in a catalogue the volume's metadata preparation.
  int BackupSnapFile(quarnBackupArgs* args, bool snapBackup, std::atomic<int>& offsetCounter);
  bool SendArchiveFileInfo(const quarnBackupArgs& args, const std::string& fileName, unsigned int& currentArchiveFileId);
  bool SendArchiveFileInfoForVM(const quarnBackupArgs& args);
  bool SendIndexMetaDataInfo(MountCtx* ctx, std::atomic<int>& offsetCounter);
  bool SendVSDiskIndexMetadata(const quarnBackupArgs* args, ProductType_t productType);

  // ---- A catalogue's volumes (QuarnSnapWorker_catalog.cpp) ----
  int CollectGranularMetadata(quarnBackupArgs& args) override;
  int ADDVMDiskForMetadataProcessing(quarnBackupArgs* args);
  bool UpdateFirstRecordInImageTreeTable(quarnBackupArgs& args, const MountCtx& ctx);

  // The numbers of the file records the snapshot workers of this process send, from 1: each number is
  // taken by one record and never again.
  static int TakeFileRecordNumber(std::atomic<int>& counter) { return counter.fetch_add(1); }
  static std::atomic<int> nOffsetCounter;

  // The copy of the controller's mount context this worker works with for its VM (tests).
  const MountCtx& TEST_SnapMountCtx() const { return m_snapMountCtx; }

 private:
  // The layout object's product type; 0 when it has none.
  ProductType_t ProductType();
  int ErrorNumber() const { return m_errorNumber; }

  QuarnSnapController* const m_snapController;  // not owned
  MountCtx m_snapMountCtx;
  int m_errorNumber = 0;  // why the last archive-file step failed (140, 141, 142)
};
