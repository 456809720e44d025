// The backup phase: the VM's stub record on the hypervisor against the one in the index, the expiry
// of stubs deleted from the hypervisor, and the index update that carries a changed stub record.
#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "app/QuarnUtils.h"
#include "archiving/QuarnVMManagement.h"
#include "controller/QuarnController.h"
#include "platform/appmgr/Subclient.h"
#include "platform/archive/vsArchive.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/messages/IdxMetadataMessages.h"

namespace {

using VMInfoStructs::VMStubState;
using Stub = VirtualServer::VMArchivingData;
using Update = JobManager::VMUpdateInfo;

constexpr uint64_t kBackupPhaseInventory = 0x20000041;
constexpr uint64_t kArchivingRulesInventory = 0x810;
constexpr uint64_t kNonTurboInventory = 0x20000001;
constexpr uint32_t kEventStubDeleted = 0x5B000057;
constexpr const char* kWouldReplaceTheJobsBackup =
    " would replace the job's backup its stub deleted disks on; the next job backs it up";

bool NoDeleteTimestamp(const std::string& text) { return text.empty() || text == "0"; }

// The VM's disks by their names in backups, as a list for a message.
std::string DiskNames(const VMInfoStructs::SVMInfo& info) {
  std::string names;
  for (const VMInfoStructs::SDisk& disk : info.disks) names += (names.empty() ? "" : ", ") + disk.indexName;
  return "[" + names + "]";
}

}  // namespace

int QuarnVMManagement::VMArchDoArchiveManagmentForVM() {
  static const char* const sig = "int QuarnVMManagement::VMArchDoArchiveManagmentForVM()";
  m_event.DebugLvl(2, sig, "VM=[%s]=[%s]", m_vmName.c_str(), m_vmGuid.c_str());
  if (!m_appMgr->isDiskLevelBackup() || m_appMgr->getInstanceType() != kInstanceTypeVMware)
    return LeaveStubOfThisJobOrGoOn();
  if (!m_jobMgr->isTurboEnabled()) {
    m_event.DebugLvl(2, sig, "[VMArchiving] Turbo is not enabled for this subclient.");
    return LeaveStubOfThisJobOrGoOn();
  }
  if (m_jobMgr->isSnapBackup()) {
    m_event.Debug(sig, "[VMArchiving] VM Archiving is not supported for Snap backup.");
    return LeaveStubOfThisJobOrGoOn();
  }
  if (m_vmInfo == nullptr) {
    m_event.Error(sig, "[VMArchiving] Failed!. No VMInfo present for VM=[%s]=[%s]", m_vmName.c_str(), m_vmGuid.c_str());
    return kContinueBackup;
  }
  if (!m_controller->AcquireStream(m_workerId, m_archive, true) || m_archive == nullptr) {
    m_event.Error(sig, "[VMArchiving] [Error] Failed to get a stream to backup VM [%s]", m_vmName.c_str());
    // A stream lent with a failure is the controller's all the same.
    if (m_archive != nullptr) m_controller->RelinquishStream(m_workerId, m_archive);
    m_archive = nullptr;
    return LeaveStubOfThisJobOrGoOn();
  }
  m_event.Debug(sig, "[VMArchiving] Received a stream for VM Archiving.");
  m_args.mArchive = m_archive;

  const int result = VMArchBackupPhase();
  ReportDoneWithoutBackup(result);
  m_controller->RelinquishStream(m_workerId, m_archive);
  m_archive = nullptr;
  m_args.mArchive = nullptr;
  m_event.Debug(sig, "[VMArchiving] Released VMArchiving stream");
  return result;
}

void QuarnVMManagement::ReportDoneWithoutBackup(int result) {
  static const char* const sig = "void QuarnVMManagement::ReportDoneWithoutBackup(int)";
  // A stub being retried is backed up first (108 with its archive action): it is no backup by itself.
  if (result != kResultAlreadyStubbed && result != kResultToBeStubbed) return;
  m_event.Debug(sig, "[VMArchiving] Inserting an entry in indexing to record VM backup complete for stubbed VM [%s]",
                m_vmName.c_str());
  VirtualServer::VMContentRecord content;
  content.setstring(VirtualServer::VMContentRecord::F_guid, "00000-0000");
  content.setstring(VirtualServer::VMContentRecord::F_indexName, "0000-0000");
  content.setstring(VirtualServer::VMContentRecord::F_displayName, "0000");
  content.setstring(VirtualServer::VMContentRecord::F_proxyName, "0000");
  m_vm->contentRecords.push_back(content);
  SetUpdateInfo(Update::F_vmStatus, 0);
  SetUpdateInfo(Update::F_endTime, static_cast<int64_t>(ZtClock::NowSeconds()));
  VMArchUpdateJobManagerStatus(result == kResultAlreadyStubbed ? JobManager::kStubStatusStubbed
                                                               : JobManager::kStubStatusToBeArchived);
}

int QuarnVMManagement::LeaveStubOfThisJobOrGoOn() {
  VMInfoStructs::SVMInfo info;
  Stub onServer;
  if (m_vm == nullptr || !QueryVM(kNonTurboInventory, m_vm->host, info) || info.stubData.empty() ||
      !onServer.deserialize(info.stubData) || !IsStubOfThisJob(onServer))
    return kContinueBackup;
  switch (JudgeStubRecordAndSay(onServer, info)) {
    case StubRecordVerdict::kNoStub:
      return kContinueBackup;
    case StubRecordVerdict::kUndecided:
      return kResultFailed;
    case StubRecordVerdict::kStub:
      break;
  }
  const int result = LeaveStubOfThisJob(onServer);
  ReportDoneWithoutBackup(result);
  return result;
}

int QuarnVMManagement::VMArchBackupPhase() {
  static const char* const sig = "int QuarnVMManagement::VMArchBackupPhase()";
  const char* name = m_vmName.c_str();
  m_event.Debug(sig, "[VMArchiving] [%s] VM.", name);
  VMArchivingVMState state;
  state.PartOfSubclientContent = m_vm->partOfSubclientContent;
  const bool rules = m_params.archiveRuleEnabled || m_params.relocateRuleEnabled;
  VMInfoStructs::SVMInfo info;
  Stub onServer, inIndex;
  if (QueryVM(kBackupPhaseInventory | (rules ? kArchivingRulesInventory : 0), m_vm->host, info)) {
    state.PresentOnESXServer = true;
    if (info.stubData.empty()) {
      m_event.Debug(sig, "[VMArchiving] VM [%s] does not have stub data.", name);
    } else if (!onServer.deserialize(info.stubData)) {
      m_event.Error(sig, "[VMArchiving] [Error] Failed to unserialize stub data (XML). Code [%d]", 1);
      // Without its stub record nothing tells whether the VM's disks are still there: neither a backup
      // nor a report of one can be trusted, so the VM fails and says why.
      m_vm->failureReason = "The VM's stub record on the hypervisor (option JyStub.ReparseData) cannot be read; the "
                            "VM is neither backed up nor reconciled with the index.";
      return kResultFailed;
    } else {
      m_event.Debug(sig, "[VMArchiving] Stub data on ESX Server:");
      DumpStubInformation(onServer);
      state.PresentOnESXAsStub = true;
    }
  } else if (m_vmInfo->GetErrorCode() != IVMInfo::kErrNotFound) {
    // A VM the hypervisor has but could not describe is no stub gone from it: it fails, and says why.
    m_vm->failureReason = "The hypervisor could not describe the VM: " + m_vmInfo->GetErrorText();
    m_event.Error(sig, "[VMArchiving] [Error] VM [%s]: %s", name, m_vm->failureReason.c_str());
    m_vm->failureEvent.SetMessageID(QuarnUtils::kEventVMNotBackedUpWithReason, true);
    m_vm->failureEvent << m_vmName << m_vm->failureReason;
    m_event.RaiseEvent(m_vm->failureEvent, EvEvent::kMinor);
    return kResultFailed;
  } else {
    m_event.Debug(sig, "[VMArchiving] GetVMInfoForVM for [%s] VM did not return any data.", name);
  }
  // A record of this subclient that no stub stands behind (a disk added to a stub, a record copied with
  // a VM cloned from one) would have the VM reported stubbed with a disk of it in no backup.
  if (state.PresentOnESXAsStub && IsOwnStubRecord(onServer)) {
    switch (JudgeStubRecordAndSay(onServer, info)) {
      case StubRecordVerdict::kNoStub:
        state.PresentOnESXAsStub = false;
        break;
      case StubRecordVerdict::kUndecided:
        return kResultFailed;
      case StubRecordVerdict::kStub:
        if (IsStubOfThisJob(onServer)) return LeaveStubOfThisJob(onServer);
        break;
    }
  }
  if (!m_indexingMetadata->stubData.empty()) {
    if (!inIndex.deserialize(m_indexingMetadata->stubData)) {
      m_event.Error(sig, "[VMArchiving] [Error] Failed to serialize to (XML). Code [%d]", 1);
    } else {
      m_event.Debug(sig, "[VMArchiving] Stub data in Index:");
      DumpStubInformation(inIndex);
      state.StubInIndex = true;
    }
  }
  int result = VMArchHandleStubCases(info, onServer, inIndex, state);
  if (result == kResultRetryStub) result = RetryStubAfterBackup(info);
  // A job that reports a stub backed up holds it: the archive of its stub record is what a restore and a
  // verify of the job read the stub by. Without one, the job's backup of the VM is lost.
  if (result == kResultAlreadyStubbed && state.PresentOnESXAsStub && IsOwnStubRecord(onServer))
    m_indexingMetadata->stubDataChanged = 1;
  if (result == kResultAlreadyStubbed && state.PresentOnESXServer) VMArchSetStubInfoToCustomField("Yes");
  if (result == kResultAlreadyStubbed) {
    SetUpdateInfo(Update::F_vmDataSize, inIndex.getint64(Stub::F_stubVMSize));
    SetUpdateInfo(Update::F_guestSize, inIndex.getint64(Stub::F_stubGuestSize));
  }
  if (m_indexingMetadata->stubDataChanged == 0) return result;
  if (m_archive == nullptr) {
    m_event.Error(sig, "[VMArchiving] [Error] Cannot create archive file to update stub data for VM [%s]. pArchive not "
                       "initialized", name);
    m_vm->failureReason = "The VM's stub record could not be sent to the index: no stream.";
    return kResultNoArchiveFile;
  }
  if (!CreateArchiveFile(m_args, m_archive)) {
    m_event.Error(sig, "[VMArchiving] [Error] Error creating archive file to update stub data for VM [%s]", name);
    m_vm->failureReason = "The VM's stub record could not be sent to the index: no archive file.";
    return kResultNoArchiveFile;
  }
  const int sent = VMArchSendMetadata(*m_indexingMetadata);
  const bool closed = !vsArchive::isError(m_archive->closeArchiveFile());
  if (!closed) m_event.Error(sig, "Failed to close archive file for VM [%s]", name);
  // The index must learn the stub record as it is now, or a later job judges the VM by an old one.
  if (sent != 0 || !closed) {
    m_vm->failureReason = "The VM's stub record could not be sent to the index: " + m_archive->GetLastError();
    return sent != 0 ? kResultIndexUpdateFailed : kResultCloseArchiveFailed;
  }
  // An index that learns a VM from its archive index run learns this update only from one: the VM's
  // road ends here, before the step that would run it.
  if (m_appMgr->isUseIndexingV2Enabled()) {
    using Collect = VirtualServer::VMCollect;
    if (!m_controller->RunArchiveIndexForVM(m_vmGuid, m_vm->collect.getint64(Collect::F_vmJobId),
                                            static_cast<unsigned long>(m_vm->collect.getint64(Collect::F_subclientId)),
                                            m_archive->GetStreamClientId(), 0)) {
      m_event.Error(sig, "[VMArchiving] [Error] Failed to run the archive index of the stub data of VM [%s]", name);
      m_vm->failureReason = "Failed to run Archive Index Operation";
      return kResultArchiveIndexFailed;
    }
  }
  return result;
}

bool QuarnVMManagement::IsOwnStubRecord(const Stub& record) const {
  return m_appMgr != nullptr && static_cast<uint64_t>(record.getint64(Stub::F_stubSubclientId)) == m_appMgr->getAppId() &&
         record.getint64(Stub::F_stubKeyrealmNumber) == m_appMgr->getKeyrealmNumber();
}

bool QuarnVMManagement::IsStubOfThisJob(const Stub& onServer) const {
  if (m_jobMgr == nullptr || !IsOwnStubRecord(onServer)) return false;
  const int64_t state = onServer.getint64(Stub::F_stubState);
  return (state == VMInfoStructs::STUB_STATE_IN_PROGRESS || state == VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED) &&
         onServer.getint64(Stub::F_stubJobId) == m_jobMgr->getJobId();
}

QuarnVMManagement::StubRecordVerdict QuarnVMManagement::JudgeStubRecord(const Stub& onServer,
                                                                        const VMInfoStructs::SVMInfo& info,
                                                                        std::string& why) {
  if (IsStubOfThisJob(onServer)) return JudgeStubOfThisJob(onServer, info, why);
  if (onServer.getint64(Stub::F_stubState) == VMInfoStructs::STUB_STATE_IN_PROGRESS || info.disks.empty())
    return StubRecordVerdict::kStub;
  why = "a stub leaves a VM no disk, and it has " + DiskNames(info);
  return StubRecordVerdict::kNoStub;
}

QuarnVMManagement::StubRecordVerdict QuarnVMManagement::JudgeStubOfThisJob(const Stub& onServer,
                                                                           const VMInfoStructs::SVMInfo& info,
                                                                           std::string& why) {
  // No disk is left that a backup by this attempt could hold: the job's backup, on which its stub
  // deleted them, stands whatever the index and the job manager kept of it.
  if (info.disks.empty()) return StubRecordVerdict::kStub;
  IdxMetadataByName items;
  const Answer indexed = IndexHoldsBackupOfThisJob(items);
  if (!StubOfThisJobDeletedADisk(info)) {
    switch (EarlierAttemptBackedUpVM(indexed)) {
      case Answer::kNo:
        why = "no earlier attempt of this job backed it up: neither the index nor the job manager's record of the "
              "job shows one";
        return StubRecordVerdict::kNoStub;
      case Answer::kUnknown:
        why = "the index could not be asked whether an earlier attempt of this job backed it up, and the job "
              "manager's record of the job does not show that its stub phase took it";
        return StubRecordVerdict::kUndecided;
      case Answer::kYes:
        break;
    }
  }
  // Left as it is, the VM is reported as the job's backup holds it: a disk that backup does not hold
  // would be in no backup of the job.
  if (!JobBackupHoldsEveryDisk(info, indexed, items, why)) return StubRecordVerdict::kUndecided;
  if (onServer.getint64(Stub::F_stubState) == VMInfoStructs::STUB_STATE_IN_PROGRESS) return StubRecordVerdict::kStub;
  // A stub made leaves the VM no disk: one that has disks is no stub to report, nor a VM to back up.
  why = "this job's stub phase stubbed it, which leaves a VM no disk, and it has disks " + DiskNames(info) +
        ": it is no stub to report, and a backup by this attempt" + kWouldReplaceTheJobsBackup;
  return StubRecordVerdict::kUndecided;
}

QuarnVMManagement::Answer QuarnVMManagement::IndexHoldsBackupOfThisJob(IdxMetadataByName& items) {
  IdxMetadata::IdxMetaData record;
  bool queryFailed = false;
  items.clear();
  if (m_controller->GetVMJobMetadataFromIndexing(m_vmGuid, m_jobMgr->getJobId(), &record, &items, queryFailed))
    return Answer::kYes;
  items.clear();
  return queryFailed ? Answer::kUnknown : Answer::kNo;
}

QuarnVMManagement::Answer QuarnVMManagement::EarlierAttemptBackedUpVM(Answer indexed) const {
  if (indexed == Answer::kYes) return Answer::kYes;
  // The index may have lost the record of the job's backup: the job manager keeps what its stub phase
  // did to the VM.
  if (JobManagerShowsStubPhaseTookVM()) return Answer::kYes;
  return indexed;
}

bool QuarnVMManagement::StubOfThisJobDeletedADisk(const VMInfoStructs::SVMInfo& info) const {
  const int64_t jobId = m_jobMgr->getJobId();
  return std::any_of(info.stubDeletedDisks.begin(), info.stubDeletedDisks.end(),
                     [jobId](const VMInfoStructs::SStubDeletedDisk& disk) { return disk.stubJob == jobId; });
}

bool QuarnVMManagement::JobBackupHoldsEveryDisk(const VMInfoStructs::SVMInfo& info, Answer indexed,
                                                const IdxMetadataByName& items, std::string& why) const {
  std::string names;
  size_t count = 0;
  for (const VMInfoStructs::SDisk& disk : info.disks) {
    if (indexed == Answer::kYes && items.find(disk.indexName) != items.end()) continue;
    names += (names.empty() ? "" : ", ") + disk.indexName;
    ++count;
  }
  if (count == 0) return true;
  const bool one = count == 1;
  const std::string disks = (one ? "disk [" : "disks [") + names + "]";
  const std::string unknown =
      indexed == Answer::kNo ? "the index has no record of that backup" : "the index could not be asked for it";
  why = (indexed == Answer::kYes ? "it has " + disks + " that the job's backup of it does not hold"
                                 : "it has " + disks + ", and nothing shows that the job's backup of it holds " +
                                       (one ? "it" : "them") + " (" + unknown + ")") +
        ": only a backup by this attempt could hold " + (one ? "it" : "them") + ", and that backup" +
        kWouldReplaceTheJobsBackup;
  return false;
}

bool QuarnVMManagement::JobManagerShowsStubPhaseTookVM() const {
  constexpr int64_t kBackedUp = 0, kInProgress = 2, kToBeBackedUp = 4;
  Update record;
  if (!vsJobMgr::ReadVMStatus(m_jobMgr->getJobId(), m_vmGuid, record)) return false;
  const int64_t stub = record.getint64(Update::F_stubStatus);
  if (stub == JobManager::kStubStatusStubbed || stub == JobManager::kStubStatusStubFailed) return true;
  // Selected and backed up, taken by the stub phase (to be backed up with no reason: a backup that did
  // not end well always says why), or taken up again by this attempt, which keeps the stub status.
  const int64_t status = record.getint64(Update::F_vmStatus);
  return stub == JobManager::kStubStatusToBeArchived &&
         (status == kBackedUp || status == kInProgress ||
          (status == kToBeBackedUp && record.getstring(Update::F_failureText).empty()));
}

QuarnVMManagement::StubRecordVerdict QuarnVMManagement::JudgeStubRecordAndSay(const Stub& onServer,
                                                                              const VMInfoStructs::SVMInfo& info) {
  static const char* const sig =
      "QuarnVMManagement::StubRecordVerdict QuarnVMManagement::JudgeStubRecordAndSay(const "
      "VirtualServer::VMArchivingData&, const VMInfoStructs::SVMInfo&)";
  std::string why;
  const StubRecordVerdict verdict = JudgeStubRecord(onServer, info, why);
  if (verdict == StubRecordVerdict::kStub) return verdict;
  const std::string record =
      "a stub record of this subclient (" +
      VMArchGetStubStateString(static_cast<int>(onServer.getint64(Stub::F_stubState))) + ", job " +
      std::to_string(onServer.getint64(Stub::F_stubJobId)) + ")";
  if (verdict == StubRecordVerdict::kNoStub) {
    const std::string text = "Not a stub, though it carries " + record + ": " + why + "; it is backed up as a whole VM.";
    m_event.Debug(sig, "[VMArchiving] WARNING: VM [%s]: %s", m_vmName.c_str(), text.c_str());
    // The VM's backup goes on: its status with the job manager carries the text once the backup ends.
    if (m_vm != nullptr) m_vm->messages.push_back(text);
    return verdict;
  }
  const std::string text = "Neither backed up nor reported: it carries " + record + ", and " + why + ".";
  m_event.Error(sig, "[VMArchiving] [Error] VM [%s]: %s", m_vmName.c_str(), text.c_str());
  if (m_vm != nullptr) m_vm->failureReason = text;
  return verdict;
}

int QuarnVMManagement::LeaveStubOfThisJob(const Stub& onServer) {
  static const char* const sig = "int QuarnVMManagement::LeaveStubOfThisJob(const VirtualServer::VMArchivingData&)";
  // A restore reads a job's latest attempt of a VM: a backup (or an index update) made now would stand
  // in for the attempt this job's stub deleted the VM's disks on, without those disks. So the VM is
  // neither backed up nor sent to the index; a stub still under way is left to the stub phase, which
  // takes it again as backed up and to be archived.
  const bool done = onServer.getint64(Stub::F_stubState) == VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED;
  const std::string text =
      std::string("Left as this job's stub phase ") + (done ? "stubbed it" : "began its stub") +
      ": its backup by an earlier attempt of this job, on which the stub deleted its disks, stands; this attempt "
      "neither backs it up nor sends its stub record to the index" +
      (done ? "." : ". The job's stub phase finishes the stub.");
  m_event.Debug(sig, "[VMArchiving] WARNING: VM [%s] (stub record [%s] of this job [%lld]): %s", m_vmName.c_str(),
                VMArchGetStubStateString(static_cast<int>(onServer.getint64(Stub::F_stubState))).c_str(),
                static_cast<long long>(onServer.getint64(Stub::F_stubJobId)), text.c_str());
  if (m_vm != nullptr) m_vm->updateInfo.setstring(Update::F_failureText, text);
  if (done) VMArchSetStubInfoToCustomField("Yes");
  return done ? kResultAlreadyStubbed : kResultToBeStubbed;
}

int QuarnVMManagement::VMArchHandleStubCases(VMInfoStructs::SVMInfo& info, const Stub& onServer, const Stub& inIndex,
                                             VMArchivingVMState& state) {
  static const char* const sig =
      "int QuarnVMManagement::VMArchHandleStubCases(VMInfoStructs::SVMInfo&, VirtualServer::VMArchivingData&, "
      "VirtualServer::VMArchivingData&, QuarnVMManagement::VMArchivingVMState&)";
  const char* name = m_vmName.c_str();
  int serverState = VMInfoStructs::STUB_STATE_NON_STUB, indexState = VMInfoStructs::STUB_STATE_NON_STUB;
  if (state.PresentOnESXAsStub) {
    serverState = static_cast<int>(onServer.getint64(Stub::F_stubState));
    m_event.Debug(sig, "[VMArchiving] VM [%s] has [%s] stub state in VCenter stub data", name,
                  VMArchGetStubStateString(serverState).c_str());
  }
  if (state.StubInIndex) {
    indexState = static_cast<int>(inIndex.getint64(Stub::F_stubState));
    m_event.Debug(sig, "[VMArchiving] VM [%s] has [%s] stub state in Indexing", name,
                  VMArchGetStubStateString(indexState).c_str());
  }
  m_event.Debug(sig, "[VMArchiving] VM [%s] PartOfSubclientContent[%d] StubInIndex[%d] PresentOnESXServer[%d] "
                     "PresentOnESXAsStub[%d] ", name, state.PartOfSubclientContent, state.StubInIndex,
                state.PresentOnESXServer, state.PresentOnESXAsStub);
  const int pruned = VMArchHandlePrunedOrDeletedVM(onServer, inIndex, serverState, indexState, state);
  if (pruned != kContinueBackup) {
    m_event.Error(sig, "[VMArchiving] [Error] VM [%s] returning [%d] status", name, pruned);
    return pruned;
  }
  const bool index = state.StubInIndex, server = state.PresentOnESXServer, stub = state.PresentOnESXAsStub;
  if (index && server && stub) return VMArchHandleVMStubbedInVCenterAndIndex(onServer, inIndex, serverState, indexState);
  if (index && !server && !stub) return VMArchHandleDeletedStubVM();
  if (!index && server && !stub) return VMArchHandleNonStubVM(info);
  if (index && server && !stub) return VMArchHandleVMStubbedInIndex(info);
  if (!index && server && stub) return VMArchHandleVMStubbedInVCenter(onServer);
  m_event.Debug(sig, "[VMArchiving] [Unhanded Case] returning [VM_NOT_TO_BE_STUBBED]");
  m_vm->archiveAction = kArchiveActionNone;
  return kContinueBackup;
}

int QuarnVMManagement::VMArchHandlePrunedOrDeletedVM(const Stub& onServer, const Stub& inIndex, int /*serverState*/,
                                                      int indexState, VMArchivingVMState& state) {
  static const char* const sig =
      "int QuarnVMManagement::VMArchHandlePrunedOrDeletedVM(VirtualServer::VMArchivingData&, "
      "VirtualServer::VMArchivingData&, int, int, QuarnVMManagement::VMArchivingVMState&)";
  const char* name = m_vmName.c_str();
  if (!state.StubInIndex || !state.PresentOnESXServer) return kContinueBackup;
  if (NoDeleteTimestamp(m_indexingMetadata->deleteTimestampText)) return kContinueBackup;
  if (state.PresentOnESXAsStub &&
      onServer.getint64(Stub::F_stubSubclientId) != inIndex.getint64(Stub::F_stubSubclientId)) {
    m_event.Error(sig, "[VMArchiving] [Error] VM [%s] is not stubbed from this subclient Can not backup this VM.", name);
    VMArchSetJPR(kResultStubbedElsewhere, static_cast<unsigned long>(onServer.getint64(Stub::F_stubSubclientId)),
                 std::string());
    return kResultStubbedElsewhere;
  }
  if (indexState != VMInfoStructs::STUB_STATE_PRUNED) {
    m_indexingMetadata->deleteTimestamp = 0;
    m_indexingMetadata->deleteTimestampText.clear();
    m_event.Debug(sig, "[VMArchiving] VM [%s] Delete time stamp is set for this VM but now it is accessible. Removing "
                       "delete time stamp", name);
    m_indexingMetadata->stubDataChanged = 1;
    return kContinueBackup;
  }
  if (!state.PresentOnESXAsStub) {
    m_indexingMetadata->deleteTimestamp = 0;
    m_indexingMetadata->deleteTimestampText.clear();
    m_indexingMetadata->stubData.clear();
    m_indexingMetadata->stubDataChanged = 1;
    m_event.Debug(sig, "[VMArchiving] VM [%s] was marked for pruning but now available and not a stub. Removing Archive "
                       "indexing metadata.", name);
    return kContinueBackup;
  }
  m_event.Error(sig, "[VMArchiving] [Error] VM [%s] was marked for pruning and still a stub on ESX server. Can not "
                     "backup this VM.", name);
  m_vm->failureReason = "The VM was pruned from the index and is still a stub on the hypervisor: there is nothing to "
                        "back up.";
  return kResultPruned;
}

int QuarnVMManagement::VMArchHandleVMStubbedInVCenterAndIndex(const Stub& onServer, const Stub& inIndex,
                                                               int serverState, int indexState) {
  static const char* const sig =
      "int QuarnVMManagement::VMArchHandleVMStubbedInVCenterAndIndex(VirtualServer::VMArchivingData&, "
      "VirtualServer::VMArchivingData&, int, int)";
  const char* name = m_vmName.c_str();
  const unsigned long keyrealmId = static_cast<unsigned long>(onServer.getint64(Stub::F_stubKeyrealmId));
  const int jobId = static_cast<int>(onServer.getint64(Stub::F_stubJobId));
  if (onServer.getint64(Stub::F_stubSubclientId) != inIndex.getint64(Stub::F_stubSubclientId) ||
      onServer.getint64(Stub::F_stubKeyrealmNumber) != inIndex.getint64(Stub::F_stubKeyrealmNumber)) {
    m_event.Error(sig, "[VMArchiving][Error] VM[%s] has subclient ID [%lu] in Vcenter stub data and subclient ID [%lu] in "
                       "Indexing stub dataKeyrealm number in Vcenter stub data [%ld] and Keyrealm number in indexing "
                       "Stub data [%lu]", name, static_cast<unsigned long>(onServer.getint64(Stub::F_stubSubclientId)),
                  static_cast<unsigned long>(inIndex.getint64(Stub::F_stubSubclientId)),
                  static_cast<long>(onServer.getint64(Stub::F_stubKeyrealmNumber)),
                  static_cast<unsigned long>(inIndex.getint64(Stub::F_stubKeyrealmNumber)));
    m_event.Debug(sig, "[VMArchiving] returning [QUARN_VM_ALREADY_STUBBED] VM was stubbed by Keyrealm ID [%lu] Job ID [%u]",
                  keyrealmId, static_cast<unsigned>(jobId));
    return kResultAlreadyStubbed;
  }
  auto updateIndex = [&](VMStubState newState) {
    if (VMArchUpdateIndexingStubState(newState) == 0) {
      m_event.Debug(sig, "[VMArchiving] VM [%s] Updated VM stub state in Indexing", name);
    } else {
      m_event.Error(sig, "[VMArchiving] [Error] VM [%s] failed to update stub state in Indexing.", name);
    }
  };
  if (serverState == VMInfoStructs::STUB_STATE_IN_PROGRESS) {
    m_event.Error(sig, "[VMArchiving] [Error] Stubbing for VM [%s] could not be completed in Last Job [%u], re-try "
                       "stubbing in this Job.", name, static_cast<unsigned>(jobId));
    updateIndex(VMInfoStructs::STUB_STATE_IN_PROGRESS);
    return kResultRetryStub;
  }
  const bool stubbedOnServer = serverState == VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED;
  if (stubbedOnServer && (indexState == VMInfoStructs::STUB_STATE_TO_BE_STUBBED ||
                          indexState == VMInfoStructs::STUB_STATE_IN_PROGRESS)) {
    updateIndex(VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED);
  } else if (stubbedOnServer && indexState == VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED) {
    m_event.Debug(sig, "[VMArchiving] VM [%s] VM state already stubbed in Indexing/VCenter. Returning "
                       "[QUARN_VM_ALREADY_STUBBED] VM was stubbed by Keyrealm ID [%lu] Job ID [%d]", name, keyrealmId,
                  jobId);
    return kResultAlreadyStubbed;
  } else {
    m_event.Error(sig, "[VMArchiving] [Error] VM [%s] has wrong stub state in VCenter/Indexing.", name);
  }
  m_event.Debug(sig, "[VMArchiving] returning [QUARN_VM_ALREADY_STUBBED] VM was stubbed by Keyrealm ID [%lu] Job ID [%d]",
                keyrealmId, jobId);
  return kResultAlreadyStubbed;
}

bool QuarnVMManagement::ServerTime(int64_t& now) {
  static const char* const sig = "bool QuarnVMManagement::ServerTime(int64_t&)";
  now = m_vmInfo != nullptr ? m_vmInfo->GetServerCurrentTime() : 0;
  if (now != 0) return true;
  m_event.Error(sig, "[VMArchiving] [Error] Failed to get current time from Server. ");
  return false;
}

void QuarnVMManagement::LogTime(const char* sig, const char* format, int64_t seconds) {
  const time_t when = static_cast<time_t>(seconds);
  struct tm local;
  if (localtime_r(&when, &local) == nullptr) {
    m_event.Error(sig, "[VMArchiving] [ERROR] localtime conversion failed");
    return;
  }
  m_event.Debug(sig, format, local.tm_mon + 1, local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min,
                local.tm_sec);
}

int QuarnVMManagement::VMArchHandleDeletedStubVM() {
  static const char* const sig = "int QuarnVMManagement::VMArchHandleDeletedStubVM()";
  const char* name = m_vmName.c_str();
  if (NoDeleteTimestamp(m_indexingMetadata->deleteTimestampText)) {
    // The first job that misses the stub starts its time to expiry.
    m_event << m_vmName << m_vm->host;
    m_event.InfoEvent(kEventStubDeleted);
    int64_t now = 0;
    if (!ServerTime(now)) return kResultAlreadyStubbed;
    m_event.Debug(sig, "[VMArchiving] VM [%s] Adding Current time [%u] to Indexing metadata", name,
                  static_cast<unsigned>(now));
    LogTime(sig, "[VMArchiving] [%d:%d:%d:%d:%d:%d]", now);
    m_indexingMetadata->deleteTimestamp = now;
    m_indexingMetadata->deleteTimestampText = std::to_string(now);
    m_indexingMetadata->stubDataChanged = 1;
  } else {
    m_event.Debug(sig, "[VMArchiving] strDeleteTimeStamp [%s]", m_indexingMetadata->deleteTimestampText.c_str());
    const int64_t deleted = std::atoll(m_indexingMetadata->deleteTimestampText.c_str());
    if (deleted == 0) {
      m_event.Error(sig, "[VMArchiving] [Error] VM [%s] failed to convert time [%s].", name,
                    m_indexingMetadata->deleteTimestampText.c_str());
    } else {
      int64_t expiry = m_params.expiryOverrideHours;
      int64_t unitHours = 1;
      if (expiry == -1) {
        unitHours = 24;
        int32_t days = -1;
        // A retention that cannot be read keeps the stub: expiry removes it from the index for good.
        if (!Subclient(m_appMgr->getAppId()).getItemPastExpiryDays(days)) {
          m_event.Error(sig, "[VMArchiving] Failed to get the archived expiration days of the subclient. VM [%s] is "
                             "kept as if its expiration were never.", name);
          days = -1;
        }
        expiry = days;
      }
      m_event.Debug(sig, "[VMArchiving] Archived Expiration Days : [%d]", static_cast<int>(expiry));
      m_indexingMetadata->deleteTimestamp = deleted;
      LogTime(sig, "[VMArchiving] Delete time [%d:%d:%d][%d:%d:%d]", deleted);
      const int64_t expirySeconds = expiry * unitHours * 3600;
      int64_t now = 0;
      if (!ServerTime(now)) return kResultAlreadyStubbed;
      LogTime(sig, "[VMArchiving] Current time [%d:%d:%d][%d:%d:%d]", now);
      const int64_t elapsed = now - deleted;
      m_event.Debug(sig, "[VMArchiving] VM [%s] deleted from [%d] days", name,
                    static_cast<int>(elapsed / (unitHours * 3600)));
      bool keep = false;
      if (!Subclient(m_appMgr->getAppId()).getIsKeepItemPastExpiryTime(keep)) {
        m_event.Error(sig, "[VMArchiving] Failed to get value for KeepItemPastExpiryTime. We will consider this failure "
                           "as Keep item past Expiry for VM [%s]", name);
        return kResultAlreadyStubbed;
      }
      if (keep) return kResultAlreadyStubbed;
      if (expirySeconds < 0) {
        m_event.Debug(sig, "[VMArchiving] VM [%s] is deleted from VCenter and archive expiration criteria is set to "
                           "never. returning [QUARN_VM_ALREADY_STUBBED]", name);
        return kResultAlreadyStubbed;
      }
      if (elapsed > expirySeconds) {
        if (VMArchUpdateIndexingStubState(VMInfoStructs::STUB_STATE_PRUNED) == 0) {
          m_event.Debug(sig, "[VMArchiving] VM [%s] Updated VM stub state in Indexing", name);
        } else {
          m_event.Error(sig, "[VMArchiving] [Error] VM [%s] failed to update stub state in Indexing.", name);
        }
        VMArchSetJPR(kResultPruned, 0, std::string());
      }
    }
  }
  m_event.Debug(sig, "[VMArchiving] VM [%s] is deleted from VCenter returning [QUARN_VM_ALREADY_STUBBED]", name);
  return kResultAlreadyStubbed;
}

int QuarnVMManagement::VMArchHandleNonStubVM(VMInfoStructs::SVMInfo& info) {
  static const char* const sig = "int QuarnVMManagement::VMArchHandleNonStubVM(VMInfoStructs::SVMInfo&)";
  if (!m_params.archiveRuleEnabled && !m_params.relocateRuleEnabled) {
    m_event.Debug(sig, "[VMArchiving] VM Archiving rules are not enabled for this subclient. Do not verify VM Archiving "
                       "criteria for this VM..");
    m_vm->archiveAction = kArchiveActionNone;
    return kContinueBackup;
  }
  m_event.Debug(sig, "[VMArchiving] VM [%s] is not marked as Archived in Indexing/VCenter. We will consider this VM for "
                     "archiving rules.", m_vmName.c_str());
  return JudgeWholeVM(info, false);
}

int QuarnVMManagement::VMArchHandleVMStubbedInIndex(VMInfoStructs::SVMInfo& info) {
  static const char* const sig = "int QuarnVMManagement::VMArchHandleVMStubbedInIndex(VMInfoStructs::SVMInfo&)";
  m_event.Debug(sig, "[VMArchiving] Archived VM [%s] has been restored back", m_vmName.c_str());
  return JudgeWholeVM(info, true);
}

int QuarnVMManagement::JudgeWholeVM(VMInfoStructs::SVMInfo& info, bool dropIndexStubWhenNot) {
  static const char* const sig = "int QuarnVMManagement::JudgeWholeVM(VMInfoStructs::SVMInfo&, bool)";
  std::string stubData;
  VMStubState option = VMInfoStructs::STUB_STATE_UNKNOWN;
  if (!VMArchCheckVMArchivingCriteria(info, stubData, option)) {
    if (dropIndexStubWhenNot) m_indexingMetadata->stubData.clear();
    m_vm->archiveAction = kArchiveActionNone;
    return kContinueBackup;
  }
  // The new record goes to the index with the VM's backup (its header), not by an update of its own.
  if (option == VMInfoStructs::STUB_STATE_TO_BE_STUBBED) {
    m_indexingMetadata->stubData = stubData;
  } else {
    m_event.Debug(sig, "[VMArchiving] Not setting stub data in Indexing as Relocate VM action is selected.");
  }
  m_vm->archiveAction = kArchiveActionToBeStubbed;
  return kContinueBackup;
}

int QuarnVMManagement::RetryStubAfterBackup(VMInfoStructs::SVMInfo& info) {
  static const char* const sig = "int QuarnVMManagement::RetryStubAfterBackup(VMInfoStructs::SVMInfo&)";
  // The stub that was cut off deleted some disks or none; the others may have been written since any
  // backup. Backed up now, the VM's stub is retried in this job's stub phase when the criteria still
  // select it (its job-manager stub status then says so), and in a later job otherwise.
  std::string stubData;
  VMStubState option = VMInfoStructs::STUB_STATE_UNKNOWN;
  const bool selected = VMArchCheckVMArchivingCriteria(info, stubData, option);
  m_event.Debug(sig, "[VMArchiving] VM [%s] is backed up before its stub is retried%s", m_vmName.c_str(),
                selected ? " in this job" : "; it no longer meets the archiving criteria");
  m_vm->archiveAction = kArchiveActionRetryStub;
  return kContinueBackup;
}

int QuarnVMManagement::VMArchHandleVMStubbedInVCenter(const Stub& onServer) {
  static const char* const sig = "int QuarnVMManagement::VMArchHandleVMStubbedInVCenter(VirtualServer::VMArchivingData&)";
  const uint64_t subclientId = static_cast<uint64_t>(onServer.getint64(Stub::F_stubSubclientId));
  if (IsOwnStubRecord(onServer)) {
    m_event.Error(sig, "[VMArchiving][Error] VM[%s] was stubbed in this subclient [%lu] but Indexing does not have stub "
                       "data.", m_vmName.c_str(), static_cast<unsigned long>(subclientId));
    // A job run without archiving backs a stub up without its stub record, and the index forgets it:
    // the hypervisor's record is the stub's, so the index takes it again and the stub is handled as
    // though the index had kept it (a stub cut off is retried, a stub made is backed up as one).
    std::string text;
    if (onServer.serialize(text, true)) {
      m_indexingMetadata->stubData = text;
      m_indexingMetadata->stubDataChanged = 1;
      m_event.Debug(sig, "[VMArchiving] VM [%s] Stub data on ESX Server taken into Indexing", m_vmName.c_str());
      const int state = static_cast<int>(onServer.getint64(Stub::F_stubState));
      return VMArchHandleVMStubbedInVCenterAndIndex(onServer, onServer, state, state);
    }
    m_event.Error(sig, "[VMArchiving] Failed to serialize to (XML). Code [%d]", 65);
    m_vm->failureReason = "The VM's stub record on the hypervisor could not be taken into the index.";
    return kResultFailed;
  }
  VMArchSetJPR(kResultStubbedElsewhere, static_cast<unsigned long>(subclientId), std::string());
  return kResultStubbedElsewhere;
}

bool QuarnVMManagement::CreateArchiveFile(quarnBackupArgs& args, vsArchive* archive) {
  using Collect = VirtualServer::VMCollect;
  const Collect& collect = m_vm->collect;
  return !vsArchive::isError(archive->createArchiveFile(m_vmGuid, collect.getint64(Collect::F_vmJobId),
                                                         collect.getint64(Collect::F_vmClientId),
                                                         collect.getint64(Collect::F_subclientId),
                                                         collect.getstring(Collect::F_text64), args.mBackupLevel));
}

int QuarnVMManagement::VMArchSendMetadata(VSAIndexingMetadata& metadata) {
  static const char* const sig = "int QuarnVMManagement::VMArchSendMetadata(VSAIndexingMetadata&)";
  // Every record of the update counts: an update the index half received is no update. An item that
  // was opened is ended failed when the rest did not land, so the archive stays well formed and the
  // index takes nothing of it; with none open (the closing item refused after the first ended well),
  // a closing item is begun only to end failed, or the index would take the first.
  int code = m_archive->sendFileHeader("\\" + metadata.vmGuid, 0, 0, true, false, false, 1, 0, 0, 0, false, true, false);
  m_event.Debug(sig, "[VMArchiving] sending  VSA metadata for updating Index. VM [%s] ESX Server [%s] Datastore [%s] "
                     "Resource pool [%s]", metadata.vmName.c_str(), metadata.host.c_str(), metadata.datastore.c_str(),
                metadata.resourcePool.c_str());
  m_event.Debug(sig, "[VMArchiving] stub data [%s], delete  timestamp [%lld]", metadata.stubData.c_str(),
                static_cast<long long>(metadata.deleteTimestamp));
  bool itemOpen = vsArchive::isOK(code);
  if (itemOpen) code = VMArchSendVSIdxMetadata(metadata);
  if (vsArchive::isOK(code)) code = m_archive->sendEOF(true, 0);
  if (vsArchive::isOK(code)) {
    code = SendClosingItemHeader();
    itemOpen = vsArchive::isOK(code);
  }
  if (vsArchive::isOK(code)) code = m_archive->sendEOF(true, 0);
  if (vsArchive::isOK(code)) return 0;
  m_event.Error(sig, "[VMArchiving] [Error] Failed to send the stub data of VM [%s] for the index: %s",
                metadata.vmName.c_str(), m_archive->GetLastError().c_str());
  if (!itemOpen) itemOpen = vsArchive::isOK(SendClosingItemHeader());
  if (itemOpen) m_archive->sendEOF(false, kResultIndexUpdateFailed);
  return 1;
}

int QuarnVMManagement::SendClosingItemHeader() {
  return m_archive->sendFileHeader("\\", 0, 0, true, false, false, -1, 1, 0, 0, false, true, false);
}

int QuarnVMManagement::VMArchSendVSIdxMetadata(const VSAIndexingMetadata& metadata) {
  using Idx = IdxMetadata::IdxMetaData;
  using Common = IdxMetadata::IdxCommonMetaData;
  using VS = IdxMetadata::VirtualServerIdxMetaData;
  using Aux = IdxMetadata::IdxAuxMetaData;
  Idx message;
  message.getObject<Common>(Idx::F_common, true)->setstring(Common::F_itemName, metadata.vmName);
  VS& part = *message.getObject<VS>(Idx::F_virtualServer, true);
  part.setstring(VS::F_esxHost, metadata.host);
  part.setstring(VS::F_datastore, metadata.datastore);
  part.setstring(VS::F_resourcePoolPath, metadata.resourcePool);
  // The index keeps the delete timestamp of a stub in this field.
  part.setint64(VS::F_stubSize, metadata.deleteTimestamp);
  part.setint64(VS::F_guestOsId, 0);
  message.getObject<Aux>(Idx::F_aux, true)->setstring(Aux::F_auxText, metadata.stubData);
  return m_archive->sendVSIdxMetadata(message);
}

int QuarnVMManagement::VMArchHandleNonTurboEnbaledSubclientVM() {
  static const char* const sig = "int QuarnVMManagement::VMArchHandleNonTurboEnbaledSubclientVM()";
  VMInfoStructs::SVMInfo info;
  if (!QueryVM(kNonTurboInventory, m_vm != nullptr ? m_vm->host : std::string(), info)) {
    m_event.Error(sig, "[VMArchiving] Failed to get VM information for VM [%s]", m_vmName.c_str());
    return kContinueBackup;
  }
  if (info.stubData.empty()) {
    m_event.DebugLvl(2, sig, "[VMArchiving] Turbo is not enabled for this subclient.");
    return kContinueBackup;
  }
  Stub record;
  if (!record.deserialize(info.stubData)) {
    m_event.Error(sig, "[VMArchiving] VM [%s] is an archived VM. Failed to unserialize stub data (XML). Code [%d]",
                  m_vmName.c_str(), 1);
    return kResultStubbedElsewhere;
  }
  VMArchSetJPR(kResultStubbedElsewhere, static_cast<unsigned long>(record.getint64(Stub::F_stubSubclientId)),
               std::string());
  return kResultStubbedElsewhere;
}
