// Run: what happens before and after the server loop, the job summary and the job's outcome.
#include "app/QuarnUtils.h"
#include "coordinator/QuarnCoordinator.h"
#include "coordinator/VSALogArchiverBatchCallBack.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "records/VMArchivingStructs.h"

namespace {

const char* const kSigRun = "virtual bool QuarnCoordinator::Run()";
const char* const kSigCheckJobPhase =
    "virtual bool QuarnCoordinator::CheckJobPhaseSuccess(bool&, bool&, bool&, bool&)";
const char* const kSigResume = "bool QuarnCoordinator::ShouldResumeImmediately()";


}  // namespace

bool QuarnCoordinator::Run() {
  if (m_jobMgr->isSnapCatalogMode() && !m_jobMgr->isCollectMetadataEnabled()) {
    m_jobSucceeded = true;
    return true;
  }
  if (IsCopyParentSnapIndexOnlyJob()) {
    if (!FinalizeIndex()) return false;
    m_jobSucceeded = true;
    return true;
  }

  if (m_jobMgr->isSnapBackup()) m_jobMgr->setProgBarModeSnapOnlyBackup();
  m_jobMgr->setNumberOfVMsForProgressBar(static_cast<int>(m_vmMap.size()));
  if (m_vmsAlreadyBackedUp > 0) m_jobMgr->setNumberOfVMsAlreadyBackedUp(m_vmsAlreadyBackedUp);

  if (m_jobMgr->getPrevRefTime() == 0) {
    int code = m_jobMgr->setRefTime(ZtClock::NowSeconds());
    if (vsJobMgr::isError(code)) {
      m_event.Error(kSigRun, "Error: Failed to set the reference time for Job manager, %d", code);
      return false;
    }
    m_event.Debug(kSigRun, "Successfully set job's reference time [%u]",
                  static_cast<unsigned>(m_jobMgr->getRefTime()));
  } else {
    m_event.Debug(kSigRun,
                  "No need to update the job's reference time. It has already been set from a previous run of the "
                  "job [%u]",
                  static_cast<unsigned>(m_jobMgr->getPrevRefTime()));
  }

  PrepareVMInfo();
  m_state = kStarting;

  if (m_jobMgr->isVMContentIndexMode()) {
    ZTRemoteAgentServer::Main();
  } else if (m_jobMgr->isCommitPhase()) {
    m_event.Debug(kSigRun, "Skipping the actual backup as it's the commit phase");
  } else {
    InitializeCluster();
    ZTRemoteAgentServer::Main();
    DeleteSharedShadow();
  }
  return FinishJob();
}

bool QuarnCoordinator::FinishJob() {
  if (m_jobMgr->isSnapBackup() && m_appMgr->isUseIndexingV2Enabled()) {
    std::list<VMArchiveIndexParam> batch;
    {
      ZtCriticalSectionLock lock(&m_logArchiverLock);
      batch = m_logArchiverBatch;
    }
    if (!batch.empty()) {
      VSALogArchiverBatchCallBack callback(this);
      if (m_indexClient->RunArchiveIndexInBatch(batch, &callback) == 1)
        m_event.Debug(kSigRun, "Log Archiver completed successfully");
      else
        m_event.Error(kSigRun, "Failed to run Log Archiver");
      CheckAndHandleLogArchiverFailures(batch);
      m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
    }
    if (!m_metadataFilesToUpload.empty()) UploadMetadataFilesToCache(m_metadataFilesToUpload);
  }

  if (m_jobMgr->isLastAttempt() || m_jobMgr->isJobCommitted()) UpdateJobManagerVMList_LastAttempt();
  ReportVMsWhoseStatusIsNotRecorded();
  ReportStubPhaseVMsNotRecorded();

  PhaseCounts counts = LogJobSummary();
  const bool decided = DecideOutcome(counts);
  const bool kept = decided && (!m_jobMgr->isVMStubPhase() || KeepBackupPhaseOutcome());
  // Before the result file closes, once the stub phase's outcome ends the job (a job that fails names
  // them as it fails).
  if (kept) NameVMsTheBackupPhaseLeftUnfinished();
  if (!decided) {
    if (m_jobMgr->isVMStubPhase())
      KeepBackupResultsOfVMsNotArchived();
    else if (!m_pendingReason.empty())
      RecordWhyUnfinishedVMsWait();
    return false;
  }
  if (!kept) return false;

  if (counts.stopped > 0) {
    m_completedWithErrors = true;
    m_jobMgr->addPendingCauseArgument(counts.stopped);
    m_jobMgr->setPendingCauseAndEvent(0x5B000142, 9);
  }
  if (!FinalizeIndex()) return false;

  int skipCleanup = 0;
  m_registry.GetEntry(REG_nSkipSnapMetadataFileCleanup, skipCleanup, 0);
  // A job that completed with errors keeps them: an agent whose upload of the snapshot's metadata
  // failed left them there as the only record of the snapshot.
  if (m_jobMgr->isSnapBackup() && skipCleanup == 0 && !m_completedWithErrors) {
    char name[64];
    std::snprintf(name, sizeof(name), "backup_%lld.xml", static_cast<long long>(m_jobMgr->getJobId()));
    for (const std::string& dir : {m_subclientDir, CPxPath::Append(m_subclientDir, "CatalogXML", false)}) {
      std::string path = CPxPath::Append(dir, name, false);
      if (!CPxFile::Exists(path)) continue;
      m_event.Debug(kSigRun, "Removing temporary metadata file : [%s]", path.c_str());
      CPxFile::Remove(path);
    }
  }
  m_jobSucceeded = true;
  return true;
}

QuarnCoordinator::PhaseCounts QuarnCoordinator::LogJobSummary() {
  PhaseCounts counts;
  for (const auto& entry : m_vmMap) {
    const vm_params& vm = entry.second;
    std::string remark;
    switch (vm.vmPhase) {
      case PHASE_NOT_STARTED:
      case PHASE_STARTED:
        ++counts.notProcessed;
        break;
      case PHASE_DONE:
      case PHASE_DONE_WITH_ERRORS:
        ++counts.succeeded;
        break;
      case PHASE_PREVIOUS_ATTEMPT:
        ++counts.succeededPrevious;
        break;
      case PHASE_FAILED:
        ++counts.failed;
        remark = vm.failureReason;
        break;
      case PHASE_PENDING:
        ++counts.pending;
        remark = vm.failureReason;
        break;
      case PHASE_STOPPED:
        ++counts.stopped;
        break;
      case PHASE_SKIPPED:
        ++counts.skipped;
        remark = vm.failureReason;
        break;
      default:
        break;
    }
    if (remark.empty()) {
      switch (vm.archivingStatus) {
        case VMInfoStructs::STUB_STATE_ALREADY_STUBBED:
        case VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED: remark = "Archived"; break;
        case VMInfoStructs::STUB_STATE_ALREADY_RELOCATED:
        case VMInfoStructs::STUB_STATE_SUCCESSFULLY_RELOCATED: remark = "Relocated"; break;
        default: break;
      }
    }
    m_event.Debug(kSigRun, "VM %-25s --> %-25s   %s", vm.vmName.c_str(), GetVMPhaseString(vm.vmPhase),
                  remark.c_str());
  }

  const int total = static_cast<int>(m_vmMap.size());
  if (m_jobMgr->isVMStubPhase()) {
    m_event.Debug(kSigRun, "===== JOB SUMMARY REPORT STUB PHASE   =====");
    m_event.Debug(kSigRun, "Total VMs to Archive/Relocate [%d]", total);
  } else if (m_jobMgr->isVMContentIndexMode()) {
    m_event.Debug(kSigRun, "===== JOB SUMMARY REPORT CONTENT INDEX PHASE =====");
    m_event.Debug(kSigRun, "Total VMs to file index       [%d]", total);
  } else {
    m_event.Debug(kSigRun, "===== JOB SUMMARY REPORT BACKUP PHASE =====");
    m_event.Debug(kSigRun, "Total VMs to backup           [%d]", total);
  }
  const struct {
    const char* format;
    int count;
  } lines[] = {{"      VMs succeeded           [%d]", counts.succeeded},
               {"      VMs succeeded previous  [%d]", counts.succeededPrevious},
               {"      VMs failed              [%d]", counts.failed},
               {"      VMs pending             [%d]", counts.pending},
               {"      VMs stopped             [%d]", counts.stopped},
               {"      VMs skipped             [%d]", counts.skipped},
               {"      VMs not processed       [%d]", counts.notProcessed}};
  for (const auto& line : lines)
    if (line.count > 0) m_event.Debug(kSigRun, line.format, line.count);
  m_event.Debug(kSigRun, "===========================================");
  return counts;
}

bool QuarnCoordinator::DecideOutcome(const PhaseCounts& counts) {
  const bool anySucceeded = counts.succeeded > 0 || counts.succeededPrevious > 0;
  bool pendingAllowed = !m_jobMgr->isLastAttempt() && !m_jobMgr->isJobCommitted();
  if (m_jobMgr->isSnapBackup() && m_appMgr->isUseIndexingV2Enabled() && anySucceeded) pendingAllowed = false;
  const bool contentIndex = m_jobMgr->isVMContentIndexMode();

  if (!pendingAllowed) {
    if (!anySucceeded) {
      m_event.Error(kSigRun, "all VMs reported an error, failing the job.");
      if (FailureEndsTheJob()) NameVMsTheBackupPhaseLeftUnfinished();
      m_jobMgr->setPendingCause(contentIndex ? 0x5B000160 : 0x5B000081);
      m_failJob = true;
      return false;
    }
    if (counts.notProcessed > 0) {
      m_completedWithErrors = true;
      m_jobMgr->addPendingCauseArgument(counts.notProcessed);
      m_jobMgr->setPendingCauseAndEvent(0x5B00008C, 9);
    }
    return true;
  }

  if (m_jobMgr->checkQuitFlag()) return GoPending("Job is suspended or killed");
  if (CheckServiceShutdown()) return GoPending("Service shutdown detected");
  if (m_streamErrors > 0)
    return GoPending(std::to_string(m_streamErrors) + " stream errors were detected, job will go to pending.");
  if (m_fatalVMError) return GoPending("Fatal VM error detected, job will go to pending.");
  if (m_vmsNotDispatched > 0)
    return GoPending(std::to_string(m_vmsNotDispatched) +
                     " VMs were not sent to a proxy because their dispatch could not be recorded, job will go to pending.");
  if (!anySucceeded && !m_vmMap.empty()) {
    if (m_streamLimitReached) return GoPending("The stream limit was reached, job will go to pending.");
    if (contentIndex && !JobRestarted()) {
      int dropped = 0;
      for (const auto& agent : m_agents)
        if (agent.second.dropped) ++dropped;
      if (dropped > 0) return GoPending(std::to_string(dropped) + " agents dropped, job will go to pending.");
    }
    if (counts.failed + counts.pending + counts.skipped == static_cast<int>(m_vmMap.size())) {
      if (ShouldResumeImmediately()) {
        m_event.Error(kSigRun,
                      "No VMs were processed successfully , job will go to pending and resume immediately.");
        return false;
      }
      if (!contentIndex) return FailJobAsEveryVMFailed();
      m_event.Error(kSigRun, "all VMs reported an error, failing the job.");
      m_jobMgr->setPendingCause(0x5B000160);
      m_failJob = true;
      return false;
    }
    return GoPending("no VMs were processed successfully, job will go to pending.");
  }
  if (counts.notProcessed > 0)
    return GoPending(std::to_string(counts.notProcessed) + " VMs were not processed, job will go to pending.");
  if (counts.pending > 0 &&
      (counts.succeeded > 0 || m_jobMgr->isSnapToTape() || m_appMgr->isUseIndexingV2Enabled()))
    return GoPending(std::to_string(counts.pending) + " VMs are pending, job will go to pending.");
  return true;
}

bool QuarnCoordinator::KeepBackupPhaseOutcome() {
  const BackupPhaseResults& backup = m_backupPhase;
  const int notBackedUp = backup.failed + backup.unfinished;
  m_event.Debug(kSigRun, "The backup phase of the job backed up [%d] VMs ([%d] with errors), failed [%d] and left [%d] "
                         "unfinished", backup.backedUp, backup.withErrors, backup.failed, backup.unfinished);
  if (backup.backedUp == 0 && notBackedUp > 0) return FailJobAsEveryVMFailed();
  if (notBackedUp > 0 || backup.withErrors > 0) m_completedWithErrors = true;
  return true;
}

bool QuarnCoordinator::FailJobAsEveryVMFailed() {
  m_event.Error(kSigRun, "all VMs reported an error, failing the job.");
  // Before the cause of the failure, which stays the job's last.
  if (FailureEndsTheJob()) NameVMsTheBackupPhaseLeftUnfinished();
  m_jobMgr->addPendingCauseArgument(static_cast<unsigned long>(m_terminologyEventId));
  m_jobMgr->setPendingCause(0x5B0001D9);
  m_failJob = true;
  return false;
}

bool QuarnCoordinator::GoPending(const std::string& why) {
  m_event.Error(kSigRun, "%s", why.c_str());
  m_pendingReason = why;
  return false;
}

bool QuarnCoordinator::CheckJobPhaseSuccess(bool& partial, bool& failJob, bool& setupFailed, bool& resumeNow) {
  partial = false;
  failJob = false;
  setupFailed = false;
  resumeNow = false;
  if (m_setupFailed || m_failJob) m_jobSucceeded = false;
  if (m_jobMgr != nullptr && m_jobMgr->isSnapToTape() && m_parentIndexCopiedToTape) m_jobSucceeded = true;

  if (m_jobSucceeded) {
    UpdateJobManagerVMList_FailPendingVMs();
    partial = m_completedWithErrors || m_fileFailures != 0 || m_vmFailures != 0;
    DeleteVMCollectFile();
    return true;
  }
  if (m_failJob) {
    if (FailureEndsTheJob()) {
      UpdateJobManagerVMList_FailPendingVMs();
      failJob = true;
      DeleteVMCollectFile();
    } else {
      m_event.Debug(kSigCheckJobPhase, "Option to always take job to pending is enabled");
    }
  }
  setupFailed = m_setupFailed;
  if (!m_failJob && !m_setupFailed) resumeNow = ShouldResumeImmediately();
  return false;
}

bool QuarnCoordinator::FailureEndsTheJob() {
  bool pendingOnAllFailures = false;
  m_registry.GetEntry(REG_bPendingOnAllFailures, pendingOnAllFailures, false);
  return !pendingOnAllFailures;
}

bool QuarnCoordinator::ShouldResumeImmediately() {
  if (m_jobMgr == nullptr || m_appMgr == nullptr) return false;
  if (!IsPreferProxylessApplicable() || JobRestarted()) return false;
  std::vector<JobManager::VMUpdateInfo> records;
  if (!GetJobManagerVMList(records, kSigResume, "Failed to get VM status from Job Manager.")) return false;
  return QuarnUtils::ShouldTryDifferentMountMethod(records);
}
