// The job's index tables of a snapshot backup, kept byte for byte and across a restart, and the
// log-archiver answers that end a snapshot backup with the second indexing generation.
#include <cstring>

#include "coordinator/CoordinatorTestSupport.h"
#include "coordinator/VSALogArchiverBatchCallBack.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabIndex.h"

namespace coordtest {
namespace {

using Content = VirtualServer::VMContentRecord;
using Info = JobManager::VMUpdateInfo;

class IndexTablesTest : public CoordinatorTest {
 protected:
  std::string SnapDir() const { return SubclientDir() + "/SNAP"; }
  std::string Table(const char* name, const char* extension) const { return SnapDir() + "/" + name + extension; }

  // A snapshot backup of the sample job, the collect file where such a job reads it.
  bool InitializeSnapshotBackup(bool indexingV2) {
    Subclient(indexingV2 ? "indexingV2=1" : "indexingV2=0");
    const std::string name = indexingV2 ? "vmcollect_1001.ztf" : "vmcollect.ztf";
    std::string collect;
    if (!lab::ReadFile(CollectPath(), collect) || !lab::MakeDirs(SnapDir()) ||
        !lab::WriteFileAtomic(SnapDir() + "/" + name, collect) || !StartManagers())
      return false;
    job_->setSnapBackup(true);
    return coordinator_->Initialize(job_.get(), app_.get(), nullptr);
  }

  // Reports the VM backed up (with errors when `errors`), carrying the content records.
  void Backed(int vm, int errors, const std::vector<Content>& records = {}) {
    coordinator_->m_vmMap.Find(VMGuid(vm))->vmPhase = PHASE_STARTED;
    coordinator_->m_agents["proxyA"].assignedVMs.insert(VMGuid(vm));  // the agent that was given it
    auto result = Result(VMGuid(vm), 1);
    result.setint64(VirtualServer::VMBackupResult::F_errorCount, errors);
    CNMessageList& list = result.getlistobject(VirtualServer::VMBackupResult::F_contentRecords, true);
    for (const Content& record : records) list.emplace_back(record);
    ASSERT_TRUE(coordinator_->OnMsgVMBackupResult("proxyA", &result));
  }

  static Content Record(const std::string& guid, const std::string& indexName) {
    Content record;
    record.setstring(Content::F_guid, guid);
    record.setstring(Content::F_indexName, indexName);
    return record;
  }

  static uint32_t Word(const std::string& record, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
  }
  static std::string Text(const std::string& record, size_t offset) { return std::string(record.c_str() + offset); }

  static uint64_t Records(TCtreeTable& table, const std::string& path) {
    uint64_t records = 0;
    EXPECT_EQ(0, table.initialize(path, true));
    EXPECT_EQ(0, table.count(records));
    table.close();
    return records;
  }
};

TEST_F(IndexTablesTest, ContentRecordsAreKeptByteForByteAndOnlyOnce) {
  ASSERT_TRUE(InitializeSnapshotBackup(false));
  Content full = Record("G1", std::string(1024, 'i'));  // the longest key that fits
  full.setint64(Content::F_productType, 1);
  full.setint64(Content::F_diskType, 2);
  full.setint64(Content::F_flags, 3);
  full.setint64(Content::F_extentSize, 0x0000000100000002LL);
  full.setint64(Content::F_allocatedSize, 5);
  full.setint64(Content::F_fileSize, 0x0000000300000004LL);
  full.setstring(Content::F_displayName, std::string(1025, 'd'));  // one past: cut
  full.setstring(Content::F_proxyName, "proxyA");
  Backed(1, 0, {full, full, Record("G1", "scsi0-1")});

  std::string bytes;
  ASSERT_TRUE(lab::ReadFile(Table("VMtoContentMap", ".dat"), bytes));
  ASSERT_EQ(32u + 2 * 4197u, bytes.size()) << "a record whose keys are there is not inserted again";
  const std::string record = bytes.substr(32, 4197);
  const uint32_t words[] = {1, 2, 3, 1, 2, 5, 3, 4};
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(words[i], Word(record, 4 * i)) << "word at " << 4 * i;
  EXPECT_EQ("G1", Text(record, 32));
  EXPECT_EQ(std::string(1024, 'i'), Text(record, 97));
  EXPECT_EQ(std::string(1024, 'd'), Text(record, 1122));
  EXPECT_EQ("proxyA", Text(record, 2147));
  EXPECT_EQ(std::string(1025, '\0'), record.substr(3172)) << "the last text is left empty";
  EXPECT_EQ("scsi0-1", Text(bytes.substr(32 + 4197), 97));
}

TEST_F(IndexTablesTest, AFreshJobRecreatesItsTablesARestartedOneKeepsThem) {
  ASSERT_TRUE(InitializeSnapshotBackup(false));
  Backed(1, 0, {Record(VMGuid(1), "scsi0-0")});
  Backed(2, 1);
  coordinator_->m_vmMap.Find(VMGuid(3))->vmPhase = PHASE_FAILED;
  ASSERT_TRUE(coordinator_->FinalizeIndex());
  TVMGUIDTable guids;
  EXPECT_EQ(2u, Records(guids, SnapDir() + "/VMtoGUID")) << "the VMs backed up, with or without errors";
  lab::IndexJobRecord index;
  bool exists = false;
  std::string error;
  ASSERT_TRUE(lab::ReadIndexJobRecord(app_->getSubclientGUID(), kJobId, index, exists, error));
  EXPECT_TRUE(index.finalized);
  EXPECT_EQ(3u, index.vms.size());

  // A new attempt that counts as fresh starts its tables afresh.
  const std::string saved = lab_->Path("saved");
  ASSERT_TRUE(lab::MakeDirs(saved));
  for (const char* name : {"VMtoGUID.dat", "VMtoGUID.idx", "VMtoContentMap.dat", "VMtoContentMap.idx"})
    ASSERT_TRUE(lab::CopyFileAtomic(SnapDir() + "/" + name, saved + "/" + name, error));
  coordinator_.reset();
  ASSERT_TRUE(InitializeSnapshotBackup(false));
  EXPECT_EQ(0u, Records(guids, SnapDir() + "/VMtoGUID"));

  // A restarted one keeps them: VMs already in the table stay as they are.
  for (const char* name : {"VMtoGUID.dat", "VMtoGUID.idx", "VMtoContentMap.dat", "VMtoContentMap.idx"})
    ASSERT_TRUE(lab::CopyFileAtomic(saved + "/" + name, SnapDir() + "/" + name, error));
  TestCoordinator& c = *coordinator_;
  c.m_restartKnown = true;
  c.m_jobRestarted = true;
  ASSERT_EQ(0, c.initBkpIndexingTables());
  EXPECT_TRUE(Logged("tables [" + SnapDir() + "/VMtoGUID] will not be deleted because the job has been restarted"));
  EXPECT_EQ(0, c.addVMGuidToTable("vm001", VMGuid(1)));
  EXPECT_TRUE(Logged("vmName [vm001] is already present in the VMToGuidTbl from a previous run of this job. It is OK"));
  EXPECT_EQ(0, c.addVMGuidToTable("vm003", VMGuid(3)));
  EXPECT_TRUE(Logged("vmName [vm003] is not present in the VMToGuidTbl from a previous run of this job."));
  EXPECT_EQ(3u, Records(guids, SnapDir() + "/VMtoGUID"));
  EXPECT_FALSE(c.m_setupFailed);

  // A restarted job whose tables are gone cannot go on: it ends as a set-up failure.
  std::remove(Table("VMtoContentMap", ".idx").c_str());
  EXPECT_EQ(0, c.initBkpIndexingTables());
  EXPECT_TRUE(c.m_setupFailed);
  EXPECT_TRUE(Logged("The VMtoContentMap / VMtoGuid files are not present."));
  ASSERT_FALSE(Pending().empty());
  EXPECT_EQ("0x5B000083", Pending().back());
}

TEST_F(IndexTablesTest, LogArchiverAnswersAreTheVMsFinalStatus) {
  ASSERT_TRUE(InitializeSnapshotBackup(true));
  Backed(1, 0);
  Backed(2, 1);
  Backed(3, 0);
  for (int vm = 1; vm <= 3; ++vm) EXPECT_EQ(2, coordinator_->m_vmMap.Find(VMGuid(vm))->updateInfo.getint64(Info::F_vmStatus));
  EXPECT_EQ(0, coordinator_->m_vmSuccesses) << "a VM counts once its logs are archived";

  lab::FaultRule failed;  // VM 1's logs cannot be archived
  failed.op = "index.RunArchiveIndexForVM";
  failed.vm = VMGuid(1);
  failed.code = 7;
  ASSERT_TRUE(lab_->Fault(failed));
  lab::FaultRule stop = failed;  // the batch stops before VM 3: no answer for it
  stop.op = "index.RunArchiveIndexInBatch";
  stop.vm = VMGuid(3);
  ASSERT_TRUE(lab_->Fault(stop));
  coordinator_->FinishJob();
  EXPECT_TRUE(Logged("Failed to run Log Archiver"));

  struct Expected {
    int vm;
    int64_t status;
    std::string reason;
    phase vmPhase;
  } expected[] = {{1, 1, "Failed to Archive Index logs", PHASE_FAILED},
                  {2, 3, "", PHASE_DONE_WITH_ERRORS},
                  {3, 1, "Failed to Archive Index logs", PHASE_FAILED}};
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.vm);
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(e.vm), record));
    EXPECT_EQ(e.status, record.getint64(Info::F_vmStatus));
    EXPECT_EQ(e.reason, record.getstring(Info::F_failureText));
    EXPECT_EQ(100, record.getint64(Info::F_progressPercent));
    EXPECT_EQ(coordinator_->m_vmMap.Find(VMGuid(e.vm))->collect.getint64(VirtualServer::VMCollect::F_vmClientId),
              record.getint64(Info::F_clientId));
    EXPECT_EQ(e.vmPhase, PhaseOf(e.vm));
  }
  EXPECT_EQ(2, coordinator_->m_vmFailures);
  EXPECT_EQ(1, coordinator_->m_vmSuccesses);

  // Answers for a VM not in the job, or one already answered, change nothing.
  VSALogArchiverBatchCallBack callback(coordinator_.get());
  JobManager::ArchiveIndexResp answer;
  answer.setstring(JobManager::ArchiveIndexResp::F_vmGuid, "5029ffff-0000-4000-8000-000000000000");
  EXPECT_TRUE(callback.processResp(&answer));
  answer.setstring(JobManager::ArchiveIndexResp::F_vmGuid, VMGuid(2));
  EXPECT_TRUE(callback.processResp(&answer));
  EXPECT_EQ(1, coordinator_->m_vmSuccesses);
  EXPECT_EQ(2u, CountOf(Log(), "Ignoring the log archiver's answer for VM"));
  Info other;
  EXPECT_FALSE(callback.processResp(&other));
  EXPECT_FALSE(callback.processResp(nullptr));
  EXPECT_EQ(2u, CountOf(Log(), "Null response"));
}

}  // namespace
}  // namespace coordtest
