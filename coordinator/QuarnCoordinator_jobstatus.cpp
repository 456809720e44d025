// The job manager's status records of the job's VMs, kept in step with the VM map where the whole
// list matters (fresh job, restart, last attempt, end of job, stub phase), the per-VM job data from
// the job manager, and the job's success and failure counters.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "app/QuarnUtils.h"
#include "coordinator/QuarnCoordinator.h"
#include "platform/config/ZTPI_CommClient.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/os/CPxString.h"
#include "platform/os/FXString.h"
#include "records/VMArchivingStructs.h"

namespace {

const char* const kSigInitial = "bool QuarnCoordinator::UpdateJobManagerVMList_Initial()";
const char* const kSigRestart = "bool QuarnCoordinator::UpdateJobManagerVMList_Restart()";
const char* const kSigLastAttempt = "bool QuarnCoordinator::UpdateJobManagerVMList_LastAttempt()";
const char* const kSigFailPending = "bool QuarnCoordinator::UpdateJobManagerVMList_FailPendingVMs()";
const char* const kSigStubPhase = "bool QuarnCoordinator::UpdateJobManagerVMList_StubPhase()";
const char* const kSigJobIds = "virtual void QuarnCoordinator::UpdateVMJobIds()";
const char* const kSigBackupLevel =
    "virtual void QuarnCoordinator::UpdateVMBackupLevel(std::vector<JobManager::VMUpdateInfo>&)";
const char* const kSigPriorities = "virtual void QuarnCoordinator::UpdateVMPriorities()";
const char* const kSigPriorityFile = "void QuarnCoordinator::UpdateVMPrioritiesFromFile(bool&)";
const char* const kSigDump = "void QuarnCoordinator::DumpJobManagerVMList()";
const char* const kSigUnrecorded = "void QuarnCoordinator::ReportVMsWhoseStatusIsNotRecorded()";
const char* const kSigStubUnrecorded = "void QuarnCoordinator::ReportStubPhaseVMsNotRecorded()";
const char* const kSigLeftUnfinished = "void QuarnCoordinator::NameVMsTheBackupPhaseLeftUnfinished()";

const char* const kPriorityFile = "VMPriorities.csv";
// A line of the priority file is read in pieces of at most this many bytes, terminator included.
constexpr int kPriorityLineBytes = 2047;

// Opens a regular file for reading; null for anything else (a FIFO would hold the coordinator up).
FILE* OpenRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nullptr;
  struct stat st;
  FILE* file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "r") : nullptr;
  if (file == nullptr) close(fd);
  return file;
}

using Info = JobManager::VMUpdateInfo;
using Collect = VirtualServer::VMCollect;

// Job-manager statuses of a VM.
enum : int {
  kBackedUp = 0,
  kFailed = 1,
  kInProgress = 2,
  kBackedUpWithErrors = 3,
  kToBeBackedUp = 4,
  kFailedWithReason = 9,
  kSkipped = 10,
};

// The job manager's stub statuses of a VM the stub phase takes: to be archived by the backup phase, or
// a stub that failed and is retried.
bool StubPhaseTakes(int64_t stubStatus) {
  return stubStatus == JobManager::kStubStatusToBeArchived || stubStatus == JobManager::kStubStatusStubFailed;
}

// The job manager's stub status that records what the stub phase made of a VM, by the VM's archiving
// status its agent reported: a stub or a relocation; 0 when it made neither.
int64_t StubStatusOfWhatItMade(int32_t archivingStatus) {
  switch (archivingStatus) {
    case VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED: return JobManager::kStubStatusStubbed;
    case VMInfoStructs::STUB_STATE_SUCCESSFULLY_RELOCATED: return JobManager::kStubStatusRelocated;
    default: return 0;
  }
}

constexpr uint32_t kNoPriority = 0xFFFFFFFFu;
constexpr int32_t kDefaultPriority = 6;

CNMessageList ToList(const std::vector<Info>& records) {
  CNMessageList list;
  for (const Info& record : records) list.emplace_back(record);
  return list;
}

}  // namespace

bool QuarnCoordinator::GetJobManagerVMList(std::vector<Info>& records, const char* sig, const char* errorText) {
  CNMessageList list;
  int code = m_jobMgr->getVMBkpJobStatus(m_appMgr->getKeyrealmId(), list);
  if (vsJobMgr::isError(code)) {
    m_event.Error(sig, "%s", errorText);
    return false;
  }
  records.clear();
  for (const CNMessagePtr& entry : list)
    if (entry && entry->getTagID() == Info::TAG) records.push_back(static_cast<const Info&>(*entry));
  return true;
}

bool QuarnCoordinator::UpdateJobManagerVMList_Initial() {
  unsigned long long createBackupSet = 0;
  ZTPlatformInfo().getNumber("VirtualServer", "nCreateBackupSetOnVMClient", &createBackupSet);
  const bool indexingV2 = m_appMgr->isUseIndexingV2Enabled();
  const bool snapCopy = m_jobMgr->isSnapToTape() || m_jobMgr->isSnapCatalogMode();

  std::vector<Info> records;
  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    const int64_t clientId = vm.collect.getint64(Collect::F_vmClientId);
    if (clientId == 0) {
      m_event.Error(kSigInitial, "VM[%s] Guid[%s] found with vmClientId set to 0", vm.vmName.c_str(),
                    vm.vmGuid.c_str());
      continue;
    }
    Info record;
    record.setstring(Info::F_recordGuid, vm.vmGuid);
    record.setstring(Info::F_vmName, vm.vmName);
    record.setstring(Info::F_hostName, vm.host);
    record.setint64(Info::F_clientId, clientId);
    record.setint64(Info::F_vmStatus, kToBeBackedUp);
    if (indexingV2 || createBackupSet != 0) {
      const int64_t subclientId = vm.collect.getint64(Collect::F_subclientId);
      if (subclientId != 0) {
        record.setint64(Info::F_subclientId, subclientId);
      } else {
        vm.vmPhase = PHASE_FAILED;
        record.setint64(Info::F_vmStatus, kFailed);
        record.setstring(Info::F_failureText, "Failed to create default subclient for VM");
      }
      if (vm.vmPhase == PHASE_SKIPPED) record.setint64(Info::F_vmStatus, kSkipped);
      if (snapCopy) record.setint64(Info::F_snapJobId, vm.collect.getint64(Collect::F_snapJobId));
    }
    records.push_back(record);
  }

  if (vsJobMgr::isError(m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), ToList(records))))
    m_event.Debug(kSigInitial, "WARNING: Failed to update VM status with Job Manager. Treating as soft failure.");

  if (!indexingV2) {
    for (const Info& record : records) {
      const int status = static_cast<int>(record.getint64(Info::F_vmStatus));
      if (status == kToBeBackedUp) continue;
      const std::string guid = record.getstring(Info::F_recordGuid);
      m_event.Debug(kSigInitial, "%s [%s] - %s", record.getstring(Info::F_vmName).c_str(), guid.c_str(),
                    vsJobMgr::convertVMClientBkupStatusToString(status).c_str());
      if (status != kFailed && status != kFailedWithReason) continue;
      vm_params* vm = m_vmMap.Find(guid);
      if (vm != nullptr) {
        vm->vmPhase = PHASE_FAILED;
        vm->failureReason = record.getstring(Info::F_failureText);
      }
      if (status == kFailed) m_completedWithErrors = true;
    }
  }

  UpdateVMJobIds();
  UpdateVMPriorities();
  UpdateVMBackupLevel(records);
  return true;
}

bool QuarnCoordinator::UpdateJobManagerVMList_Restart() {
  std::vector<Info> records;
  if (!GetJobManagerVMList(records, kSigRestart, "Failed to get VM status from Job Manager.")) return false;
  if (!records.empty())
    m_event.Debug(kSigRestart, "Received status of [%d] Virtual machines from Job Manager",
                  static_cast<int>(records.size()));

  const bool indexingV2 = m_appMgr->isUseIndexingV2Enabled();
  int v2Count = 0;
  for (const Info& record : records) {
    const int status = static_cast<int>(record.getint64(Info::F_vmStatus));
    const std::string guid = record.getstring(Info::F_recordGuid);
    m_event.Debug(kSigRestart, "VM [%s][%s] - [%s]", record.getstring(Info::F_vmName).c_str(), guid.c_str(),
                  vsJobMgr::convertVMClientBkupStatusToString(status).c_str());
    if (indexingV2 && record.getint64(Info::F_childJobId) > 0) ++v2Count;
    if (status < 0 || status > 10) continue;
    vm_params* vm = m_vmMap.Find(guid);
    switch (status) {
      case kBackedUp:
      case kBackedUpWithErrors:
        if (vm != nullptr) {
          vm->vmPhase = PHASE_PREVIOUS_ATTEMPT;
          vm->archivingStatus = record.getint64(Info::F_stubStatus) == JobManager::kStubStatusStubbed
                                    ? VMInfoStructs::STUB_STATE_ALREADY_STUBBED
                                    : VMInfoStructs::STUB_STATE_NOT_TO_BE_STUBBED;
        }
        ++m_vmsAlreadyBackedUp;
        if (status == kBackedUpWithErrors) m_completedWithErrors = true;
        break;
      case kFailed:
        if (vm != nullptr) {
          vm->vmPhase = PHASE_FAILED;
          vm->failureReason = "(Previous Attempt)";
        }
        ++m_vmsAlreadyBackedUp;
        m_completedWithErrors = true;
        break;
      case kFailedWithReason:
        if (vm != nullptr) {
          vm->vmPhase = PHASE_FAILED;
          vm->failureReason = record.getstring(Info::F_failureText);
        }
        ++m_vmsAlreadyBackedUp;
        // A VM that failed is a failure of the job, whether or not it says why.
        m_completedWithErrors = true;
        break;
      case kSkipped:
        if (vm != nullptr) {
          vm->vmPhase = PHASE_SKIPPED;
          vm->failureReason = record.getstring(Info::F_failureText);
        }
        break;
      case kInProgress:
      case kToBeBackedUp:
      case 8:
        m_jobMgr->setVMStatusVMName(guid, record.getstring(Info::F_vmName), record.getstring(Info::F_hostName));
        m_jobMgr->setVMStatusClientId(guid, record.getint64(Info::F_clientId));
        m_jobMgr->setVMStatusState(guid, kToBeBackedUp, std::string());
        if (const CNMessageBase* event = const_cast<Info&>(record).getObjectAccessor(Info::F_statusEvent, false, 20, 36))
          m_jobMgr->setVMStatusEvent(guid, *event);
        if (vm != nullptr) {
          vm->vmPhase = PHASE_NOT_STARTED;
          if (record.isSet(Info::F_proxyClientName)) vm->previousAgent = record.getstring(Info::F_proxyClientName);
        }
        break;
      default:
        break;
    }
  }

  if (m_vmsAlreadyBackedUp != 0 || (v2Count >= 1 && indexingV2)) {
    m_event.Debug(kSigRestart, "%d of %d VMs were processed in previous attempts", m_vmsAlreadyBackedUp,
                  static_cast<int>(m_vmMap.size()));
    m_jobRestarted = true;
    if (records.size() != m_vmMap.size())
      m_event.Error(kSigRestart, "VM Status from Job Manager [%d] does not match the VM Collect [%d].",
                    static_cast<int>(records.size()), static_cast<int>(m_vmMap.size()));
    if (!records.empty()) {
      m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
      UpdateVMJobIds();
      UpdateVMPriorities();
      UpdateVMBackupLevel(records);
    }
  } else {
    m_event.Debug(kSigRestart, "This is a new job");
    m_jobRestarted = false;
  }
  m_restartKnown = true;
  return true;
}

bool QuarnCoordinator::UpdateJobManagerVMList_LastAttempt() {
  std::vector<Info> records;
  if (!GetJobManagerVMList(records, kSigLastAttempt, "Failed to get VM status from Job Manager.")) return false;
  for (const Info& record : records) {
    const int status = static_cast<int>(record.getint64(Info::F_vmStatus));
    if (status != kInProgress && status != kToBeBackedUp) continue;
    const std::string guid = record.getstring(Info::F_recordGuid);
    const std::string name = record.getstring(Info::F_vmName);
    m_event.Debug(kSigLastAttempt, "Changing VM %s status from [%s] to [%s]", name.c_str(),
                  vsJobMgr::convertVMClientBkupStatusToString(status).c_str(),
                  vsJobMgr::convertVMClientBkupStatusToString(kFailed).c_str());
    std::string reason;
    if (m_jobMgr->isLastAttempt())
      reason = "Maximum job attempts exceeded";
    else if (m_jobMgr->isJobCommitted())
      reason = "Job was committed by user";
    m_jobMgr->setVMStatusVMName(guid, name, record.getstring(Info::F_hostName));
    m_jobMgr->setVMStatusClientId(guid, record.getint64(Info::F_clientId));
    m_jobMgr->setVMStatusState(guid, kFailed, reason);
    vm_params* vm = m_vmMap.Find(guid);
    if (vm != nullptr) {
      vm->vmPhase = PHASE_FAILED;
      vm->failureReason = reason;
    }
    AddVMFailures(1);
    WriteBackupDotOut(name, "", reason, true, false);
  }
  m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
  return true;
}

void QuarnCoordinator::FailVMWithReason(vm_params& vm, const std::string& reason) {
  vm.vmPhase = PHASE_FAILED;
  vm.failureReason = reason;
  m_jobMgr->setVMStatusVMName(vm.vmGuid, vm.vmName, vm.host);
  const int64_t clientId = vm.collect.getint64(Collect::F_vmClientId);
  if (clientId != 0) m_jobMgr->setVMStatusClientId(vm.vmGuid, clientId);
  m_jobMgr->setVMStatusState(vm.vmGuid, kFailed, QuarnUtils::TruncateStatusText(reason));
  AddVMFailures(1);
}

bool QuarnCoordinator::UpdateJobManagerVMList_FailPendingVMs() {
  int count = 0;
  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    if (vm.vmPhase != PHASE_NOT_STARTED && vm.vmPhase != PHASE_STARTED && vm.vmPhase != PHASE_PENDING) continue;
    if (vm.collect.getint64(Collect::F_vmClientId) == 0) continue;
    // The VM failed for the reason it reported (else the job's): its record keeps it. A VM failed here
    // says why, even when nothing of its own backup did.
    std::string reason = vm.failureReason;
    if (reason.empty()) reason = m_unfinishedVMReason;
    if (reason.empty()) reason = "The job ended before the VM was backed up";
    m_jobMgr->resetVMStatus(vm.vmGuid);
    FailVMWithReason(vm, reason);
    ++count;
  }
  if (count >= 1) {
    m_event.Error(kSigFailPending, "Marking [%d] VM as failed", count);
    m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
  }
  return true;
}

void QuarnCoordinator::ReportVMsWhoseStatusIsNotRecorded() {
  // The stub phase's records are the backup phase's, which it changes one by one as it goes.
  if (m_jobMgr->isVMStubPhase() || m_jobMgr->isVMContentIndexMode()) return;
  std::vector<Info> records;
  if (!GetJobManagerVMList(records, kSigUnrecorded, "Failed to get VM status from Job Manager.")) return;
  std::map<std::string, int64_t> held;  // lower-case GUID -> status
  for (const Info& record : records)
    held[FXString::ToLower(record.getstring(Info::F_recordGuid))] = record.getint64(Info::F_vmStatus);
  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    const bool backedUp = vm.vmPhase == PHASE_DONE || vm.vmPhase == PHASE_DONE_WITH_ERRORS;
    if ((!backedUp && vm.vmPhase != PHASE_FAILED && vm.vmPhase != PHASE_SKIPPED) ||
        vm.collect.getint64(Collect::F_vmClientId) == 0)
      continue;
    const auto record = held.find(FXString::ToLower(vm.vmGuid));
    if (record != held.end() && (!backedUp || record->second == kBackedUp || record->second == kBackedUpWithErrors))
      continue;
    // The job manager's record is what a later attempt of the job and its outcome go by: a VM it does
    // not hold backed up is backed up again by the next attempt, and the job must not read as
    // completed without it.
    const std::string what =
        record == held.end() ? "The job manager holds no record of the VM in this job"
                             : "The job manager's record of the VM says [" +
                                   vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(record->second)) + "]";
    const int status = vm.vmPhase == PHASE_DONE               ? kBackedUp
                       : vm.vmPhase == PHASE_DONE_WITH_ERRORS ? kBackedUpWithErrors
                       : vm.vmPhase == PHASE_FAILED           ? kFailed
                                                              : kSkipped;
    const std::string reason = what + ": its status [" + vsJobMgr::convertVMClientBkupStatusToString(status) +
                               "] could not be recorded" +
                               (backedUp ? "; a later attempt of the job, run before the subclient's next job starts, "
                                           "backs the VM up again"
                                         : "");
    NameVMWhoseStatusIsNotRecorded(kSigUnrecorded, vm, reason, backedUp);
  }
}

void QuarnCoordinator::RecordWhyUnfinishedVMsWait() {
  int count = 0;
  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    if (vm.vmPhase != PHASE_NOT_STARTED && vm.vmPhase != PHASE_STARTED && vm.vmPhase != PHASE_PENDING) continue;
    if (vm.collect.getint64(Collect::F_vmClientId) == 0) continue;
    // A record that says why (its agent's result) is left as it is; the others get the coordinator's
    // reason for the VM (an agent that stopped with it), else the job's.
    Info record;
    const bool stored = vsJobMgr::ReadVMStatus(m_jobMgr->getJobId(), vm.vmGuid, record);
    if (stored && !record.getstring(Info::F_failureText).empty()) continue;
    if (vm.failureReason.empty()) vm.failureReason = "Not backed up by this attempt of the job: " + m_pendingReason;
    m_jobMgr->setVMStatusVMName(vm.vmGuid, vm.vmName, vm.host);
    m_jobMgr->setVMStatusState(vm.vmGuid, stored ? static_cast<int>(record.getint64(Info::F_vmStatus)) : kToBeBackedUp,
                               vm.failureReason);
    ++count;
  }
  if (count > 0) m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
}

void QuarnCoordinator::KeepBackupResultsOfVMsNotArchived() {
  int count = 0;
  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    if (vm.vmPhase != PHASE_NOT_STARTED && vm.vmPhase != PHASE_STARTED && vm.vmPhase != PHASE_PENDING) continue;
    // A VM whose stub or relocation said how it went keeps what it said.
    Info record;
    if (!vsJobMgr::ReadVMStatus(m_jobMgr->getJobId(), vm.vmGuid, record)) continue;
    const int64_t stub = record.getint64(Info::F_stubStatus);
    if (!StubPhaseTakes(stub)) continue;
    std::string why = vm.failureReason;
    if (why.empty())
      why = "Not archived by this attempt of the job's stub phase" +
            (m_pendingReason.empty() ? std::string() : ": " + m_pendingReason);
    m_jobMgr->setVMStatusState(vm.vmGuid, kBackedUp, QuarnUtils::TruncateStatusText(why));
    ++count;
  }
  if (count > 0) m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
}

void QuarnCoordinator::CountBackupPhaseResult(int status, bool takenByStubPhase) {
  switch (status) {
    case kBackedUp: ++m_backupPhase.backedUp; break;
    case kBackedUpWithErrors: ++m_backupPhase.backedUp; ++m_backupPhase.withErrors; break;
    case kFailed:
    case kFailedWithReason: ++m_backupPhase.failed; break;
    case kInProgress: ++m_backupPhase.unfinished; break;
    case kToBeBackedUp: ++(takenByStubPhase ? m_backupPhase.backedUp : m_backupPhase.unfinished); break;
    default: break;
  }
}

bool QuarnCoordinator::UpdateJobManagerVMList_StubPhase() {
  std::vector<Info> records;
  if (!GetJobManagerVMList(records, kSigStubPhase, "[VMArchiving] Failed to get VM status from Job Manager."))
    return false;
  m_event.Debug(kSigStubPhase, "[VMArchiving] VM Status from Job Manager.");
  SVMParamsMap eligible;
  for (const Info& record : records) {
    const int status = static_cast<int>(record.getint64(Info::F_vmStatus));
    const int stub = static_cast<int>(record.getint64(Info::F_stubStatus));
    const std::string guid = record.getstring(Info::F_recordGuid);
    const std::string name = record.getstring(Info::F_vmName);
    m_event.Debug(kSigStubPhase,
                  "[VMArchiving] VM Name : [%s] VM GUID : [%s] VM Backup Status : [%s] Archiving Status : [%s]",
                  name.c_str(), guid.c_str(), vsJobMgr::convertVMClientBkupStatusToString(status).c_str(),
                  vsJobMgr::convertVMStubStatusToString(stub).c_str());
    // Taking a VM sets it to be backed up with no reason (below): a VM found so was taken by an
    // attempt of this stub phase that was killed before it finished it (one that ended otherwise gave
    // it back as backed up), and its stub goes on. A backup that did not end well always says why,
    // unless its job process died: a VM it left so has no stub status.
    const bool takenBefore = status == kToBeBackedUp && record.getstring(Info::F_failureText).empty();
    CountBackupPhaseResult(status, takenBefore && stub != 0);
    if (LeftUnfinishedWithoutAWord(record)) m_vmsLeftUnfinished.push_back(record);
    if ((status != kBackedUp && !takenBefore) || !StubPhaseTakes(stub)) continue;
    vm_params* vm = m_vmMap.Find(guid);
    if (vm == nullptr) {
      m_event.Error(kSigStubPhase, "[VMArchiving] ERROR: VM [%s][%s] is in to be stub state but not found in Collect file",
                    name.c_str(), guid.c_str());
      continue;
    }
    m_event.Debug(kSigStubPhase, "[VMArchiving] VM [%s] is eligible for stubbing", vm->vmName.c_str());
    vm->collect.setint64(Collect::F_archivingStatus, VMInfoStructs::STUB_STATE_TO_BE_STUBBED);
    m_jobMgr->setVMStatusState(guid, kToBeBackedUp, std::string());
    eligible.Add(*vm);
  }
  m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
  NoteVMsWithoutRecord(records);
  m_vmMap = eligible;
  if (m_vmMap.empty()) m_event.Error(kSigStubPhase, "[VMArchiving] There are no VMs to stub in this Job");
  return true;
}

bool QuarnCoordinator::LeftUnfinishedWithoutAWord(const Info& record) {
  const int64_t status = record.getint64(Info::F_vmStatus);
  return status == kInProgress || (status == kToBeBackedUp && record.getstring(Info::F_failureText).empty() &&
                                   record.getint64(Info::F_stubStatus) == 0);
}

void QuarnCoordinator::NameVMsTheBackupPhaseLeftUnfinished() {
  if (!m_jobMgr->isVMStubPhase() || m_vmsLeftUnfinished.empty()) return;
  for (const Info& found : m_vmsLeftUnfinished) {
    const std::string guid = found.getstring(Info::F_recordGuid);
    const std::string name = found.getstring(Info::F_vmName);
    // Nothing of the stub phase touches it; a record changed since is someone else's word.
    Info record;
    if (vsJobMgr::ReadVMStatus(m_jobMgr->getJobId(), guid, record) && !LeftUnfinishedWithoutAWord(record)) continue;
    const std::string reason =
        "Not backed up by this job: its backup phase did not finish the VM (its record said [" +
        vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(found.getint64(Info::F_vmStatus))) +
        "]: the job process of that phase ended before it did), and the stub phase, which ended the job, archives "
        "nothing of it; a later attempt of the job, run before the subclient's next job starts, backs the VM up";
    m_event.Error(kSigLeftUnfinished, "VM [%s] [%s]: %s", name.c_str(), guid.c_str(), reason.c_str());
    m_jobMgr->setVMStatusVMName(guid, name, found.getstring(Info::F_hostName));
    m_jobMgr->setVMStatusClientId(guid, found.getint64(Info::F_clientId));
    m_jobMgr->setVMStatusState(guid, kToBeBackedUp, QuarnUtils::TruncateStatusText(reason));
    ReportVMNotBackedUp(name, reason, false);
  }
  m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
  m_vmsLeftUnfinished.clear();
}

void QuarnCoordinator::NoteVMsWithoutRecord(const std::vector<Info>& records) {
  std::set<std::string> held;  // lower-case GUIDs
  for (const Info& record : records) held.insert(FXString::ToLower(record.getstring(Info::F_recordGuid)));
  m_vmsWithoutRecord = SVMParamsMap();
  for (const auto& entry : m_vmMap) {
    const vm_params& vm = entry.second;
    // A VM without a client id is one the job never gave the job manager.
    if (vm.collect.getint64(Collect::F_vmClientId) == 0 || held.count(FXString::ToLower(vm.vmGuid)) != 0) continue;
    m_event.Error(kSigStubPhase, "[VMArchiving] ERROR: VM [%s][%s] of the job has no status with the Job Manager",
                  vm.vmName.c_str(), vm.vmGuid.c_str());
    m_vmsWithoutRecord.Add(vm);
  }
}

void QuarnCoordinator::ReportStubPhaseVMsNotRecorded() {
  if (!m_jobMgr->isVMStubPhase()) return;
  std::vector<Info> records;
  if (!GetJobManagerVMList(records, kSigStubUnrecorded, "[VMArchiving] Failed to get VM status from Job Manager."))
    return;
  std::map<std::string, const Info*> held;  // lower-case GUID -> record
  for (const Info& record : records) held[FXString::ToLower(record.getstring(Info::F_recordGuid))] = &record;
  for (const auto& entry : m_vmsWithoutRecord) {
    const vm_params& vm = entry.second;
    if (held.count(FXString::ToLower(vm.vmGuid)) != 0) continue;
    NameVMWhoseStatusIsNotRecorded(kSigStubUnrecorded, vm,
                                   "The job manager holds no record of the VM in this job: the stub phase found none, "
                                   "and archives nothing of the VM",
                                   true);
  }
  // A stub deletes the VM's disks: a job manager's record that does not say so leaves the VM reported as
  // backed up and still to be archived, and the job must not read as completed.
  for (const auto& entry : m_vmMap) {
    const vm_params& vm = entry.second;
    const bool done = vm.vmPhase == PHASE_DONE || vm.vmPhase == PHASE_DONE_WITH_ERRORS;
    const int64_t made = done ? StubStatusOfWhatItMade(vm.archivingStatus) : 0;
    const auto found = held.find(FXString::ToLower(vm.vmGuid));
    const Info* record = found == held.end() ? nullptr : found->second;
    const int64_t stub = record != nullptr ? record->getint64(Info::F_stubStatus) : 0;
    if (record != nullptr && (made == 0 || stub == made)) continue;
    std::string reason = "The job manager holds no record of the VM in this job";
    if (record != nullptr) {
      reason = "The job manager's record of the VM says [" +
               vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(record->getint64(Info::F_vmStatus))) + "]";
      if (stub != 0) reason += ", stub status [" + vsJobMgr::convertVMStubStatusToString(static_cast<int>(stub)) + "]";
    }
    if (made == 0)
      reason += ": its result in the stub phase could not be recorded";
    else
      reason += std::string(": the stub phase ") +
                (made == JobManager::kStubStatusStubbed ? "stubbed" : "relocated") +
                " the VM, and its stub status [" + vsJobMgr::convertVMStubStatusToString(static_cast<int>(made)) +
                "] could not be recorded";
    NameVMWhoseStatusIsNotRecorded(kSigStubUnrecorded, vm, reason, done);
  }
}

void QuarnCoordinator::NameVMWhoseStatusIsNotRecorded(const char* signature, const vm_params& vm,
                                                       const std::string& reason, bool warning) {
  m_event.Error(signature, "Failed to update VM status with Job Manager. VM [%s] [%s]: %s", vm.vmName.c_str(),
                vm.vmGuid.c_str(), reason.c_str());
  ReportVMNotBackedUp(vm.vmName, reason, warning);
}

void QuarnCoordinator::ReportVMNotBackedUp(const std::string& name, const std::string& reason, bool warning) {
  m_completedWithErrors = true;
  WriteBackupDotOut(name, "", reason, false, warning);
  m_jobMgr->addPendingCauseArgument(name);
  m_jobMgr->addPendingCauseArgument(reason);
  m_jobMgr->setPendingCauseAndEvent(QuarnUtils::kEventVMNotBackedUpWithReason, QuarnUtils::kVMNotBackedUpSeverity);
}

void QuarnCoordinator::UpdateVMJobIds() {
  const bool indexingV2 = m_appMgr->isUseIndexingV2Enabled();
  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    const int64_t clientId = vm.collect.getint64(Collect::F_vmClientId);
    const int64_t jobId = m_jobMgr->GetVMJobId(clientId);
    if (indexingV2 && jobId == 0 && vm.vmPhase == PHASE_NOT_STARTED) {
      m_event.Debug(kSigJobIds, "Failed to create VM Pseudo Job for [%s] [%s]", vm.vmName.c_str(), vm.vmGuid.c_str());
      vm.vmPhase = PHASE_FAILED;
      vm.failureReason = m_jobMgr->GetVMFailureReason(clientId);
      m_completedWithErrors = true;
      continue;
    }
    vm.collect.setint64(Collect::F_vmJobId, jobId);
  }
  FillVMSnapJobIds();
}

void QuarnCoordinator::UpdateVMBackupLevel(std::vector<Info>& records) {
  if (!m_appMgr->isUseIndexingV2Enabled()) return;
  for (const Info& record : records) {
    vm_params* vm = m_vmMap.Find(record.getstring(Info::F_recordGuid));
    if (vm == nullptr) continue;
    vm->backupLevel = static_cast<int32_t>(record.getint64(Info::F_backupLevel));
    if (vm->backupLevel == 1) {
      m_event.Debug(kSigBackupLevel, "VM Name:[%s] VM GUID:[%s] VM Backup Level:[%d] ", vm->vmName.c_str(),
                    vm->vmGuid.c_str(), vm->backupLevel);
      vm->collect.setint64(Collect::F_fullBackupRequest, 1);
    } else {
      vm->collect.setint64(Collect::F_fullBackupRequest, 0);
    }
  }
}

// The priorities the job manager keeps per VM, replaced by those of the optional priority file.
void QuarnCoordinator::UpdateVMPriorities() {
  bool differ = false;
  bool first = true;
  int32_t reference = 0;
  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    const int64_t clientId = vm.collect.getint64(Collect::F_vmClientId);
    const uint32_t priority = m_jobMgr->GetVMJobPriority(clientId);
    vm.priority = priority == kNoPriority ? kDefaultPriority : static_cast<int32_t>(priority);
    vm.lastBackupTime = m_jobMgr->GetVMJobLastSuccessTime(clientId);
    if (first) {
      reference = vm.priority;
      first = false;
    } else if (vm.priority != reference) {
      differ = true;
    }
  }
  UpdateVMPrioritiesFromFile(differ);
  if (!m_staticVMAssignment || !differ) return;
  if (m_dynamicVMAssignment) {
    m_event.Debug(kSigPriorities, "Disabling static dispatching because VM priorities are defined");
    m_staticVMAssignment = false;
  } else {
    m_event.Debug(kSigPriorities,
                  "Not disabling static dispatching because dynamic dispatching is not enabled, VM priorities will "
                  "not be honored");
  }
}

void QuarnCoordinator::UpdateVMPrioritiesFromFile(bool& changed) {
  const std::string path = ZTPI_CommClient().getJobResultsDirectory(ZTPI_Focus::getFocusClientName(true)) + "/" +
                           kPriorityFile;
  FILE* file = OpenRegularFile(path);
  if (file == nullptr) return;
  std::map<std::string, int32_t> priorities;
  char piece[kPriorityLineBytes];
  std::vector<std::string> fields;
  while (std::fgets(piece, sizeof(piece), file) != nullptr) {
    if (piece[0] == '\0') continue;
    std::string record(piece);
    while (!record.empty() && (record.back() == '\n' || record.back() == '\r')) record.pop_back();
    if (CPxString::Tokenize(record, fields, '"', '"', '\\', ',', 0) < 2) continue;
    priorities[fields[0]] = std::atoi(fields[1].c_str());
  }
  std::fclose(file);

  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    if (vm.vmPhase != PHASE_NOT_STARTED) continue;
    auto it = priorities.find(vm.vmGuid);
    if (it == priorities.end()) it = priorities.find(vm.vmName);
    if (it == priorities.end() || it->second == 0) continue;
    m_event.Debug(kSigPriorityFile, "Updated priority for VM [%s] from %d to %d", vm.vmName.c_str(), vm.priority,
                  it->second);
    vm.priority = it->second;
    changed = true;
  }
}

void QuarnCoordinator::DumpJobManagerVMList() {
  std::vector<Info> records;
  if (!GetJobManagerVMList(records, kSigDump, "Failed to get VM status from Job Manager.")) return;
  m_event.Debug(kSigDump, "VM Status from Job Manager.");
  for (const Info& record : records)
    m_event.Debug(kSigDump, "%s [%s] - %s", record.getstring(Info::F_vmName).c_str(),
                  record.getstring(Info::F_recordGuid).c_str(),
                  vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(record.getint64(Info::F_vmStatus))).c_str());
}

// ---- Counters ----

void QuarnCoordinator::AddVMFileFailures(int count) {
  if (count <= 0) return;
  m_fileFailures += count;
  if (m_jobMgr != nullptr) m_jobMgr->addBackupFileFailures(count);
}

void QuarnCoordinator::AddVMFailures(int count) {
  if (count <= 0) return;
  m_vmFailures += count;
  if (m_jobMgr != nullptr) m_jobMgr->addBackupFolderFailures(count);
}

void QuarnCoordinator::AddVMSuccesses(int count) {
  if (count <= 0) return;
  m_vmSuccesses += count;
  if (m_jobMgr != nullptr) m_jobMgr->addBackupFolderSuccesses(count);
}
