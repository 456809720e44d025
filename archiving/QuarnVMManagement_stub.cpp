// The stub phase: which VMs are archived (criteria and name lists), and their stub or relocation.
#include <algorithm>

#include "app/QuarnUtils.h"
#include "archiving/QuarnVMManagement.h"
#include "controller/QuarnController.h"
#include "platform/appmgr/ClientProperties.h"
#include "platform/os/CPxString.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/messages/IdxMetadataMessages.h"

namespace {

using VMInfoStructs::VMStubState;
using Stub = VirtualServer::VMArchivingData;

constexpr uint64_t kStubPhaseInventory = 0x20000851;
constexpr uint32_t kEventBothCriteria = 0x5B0000B1;
constexpr uint32_t kEventStubbed = 0x5B000053;
constexpr int kCauseNoRelocationTarget = 121;
constexpr int kCauseRelocationFailed = 122;
constexpr const char* kStubOption = "JyStub.ReparseData";

}  // namespace

bool QuarnVMManagement::QueryVM(uint64_t flags, const std::string& host, VMInfoStructs::SVMInfo& info) {
  return m_vmInfo != nullptr && m_vmInfo->GetVMInfoForVM(m_vmName, m_vmGuid, host, flags, false, info) != 0;
}

int QuarnVMManagement::VMArchStubPhase() {
  static const char* const sig = "int QuarnVMManagement::VMArchStubPhase()";
  m_event.Debug(sig, "VM Stub state : [%d]", m_vm->archivingStatus);
  if (m_vm->archivingStatus != VMInfoStructs::STUB_STATE_TO_BE_STUBBED)
    return FailStubPhase(kResultNotToBeArchived, "The VM was not stubbed: the backup phase did not select it.");
  VMInfoStructs::SVMInfo info;
  if (!QueryVM(kStubPhaseInventory, m_vm->host, info)) {
    m_event.Error(sig, "[VMArchiving] Failed to get VM information for VM [%s]", m_vmName.c_str());
    return FailStubPhase(kResultFailed, "The VM was not stubbed: its inventory could not be read from the hypervisor.");
  }
  std::string stubData;
  VMStubState option = VMInfoStructs::STUB_STATE_UNKNOWN;
  if (!VMArchCheckVMArchivingCriteria(info, stubData, option)) {
    m_event.Debug(sig, "[VMArchiving] VM [%s] does not satisfy archiving criteria. Skipping this VM", m_vmName.c_str());
    return FailStubPhase(kResultNotToBeArchived, "The VM was not stubbed: it no longer meets the archiving criteria.");
  }
  switch (option) {
    case VMInfoStructs::STUB_STATE_TO_BE_RELOCATED:
      if (VMArchRelocateVM(info)) return kResultRelocated;
      return FailStubPhase(kResultFailed, m_vm->failureReason.empty() ? "The VM could not be relocated."
                                                                      : m_vm->failureReason);
    case VMInfoStructs::STUB_STATE_TO_BE_STUBBED:
      if (VMArchStubVM(info)) return kResultStubbed;
      return FailStubPhase(kResultFailed, m_vm->failureReason.empty() ? "The VM could not be stubbed."
                                                                      : m_vm->failureReason);
    default:
      m_event.Error(sig, "[VMArchiving] Invalid option [%d] set for VM [%s].", option, m_vmName.c_str());
      return FailStubPhase(kResultFailed, "The VM was not stubbed: no archiving action was chosen for it.");
  }
}

bool QuarnVMManagement::IndexHoldsBackupOfVM(const VMInfoStructs::SVMInfo& info, std::vector<StubVMDisk>& disks,
                                             std::string& reason) {
  static const char* const sig =
      "bool QuarnVMManagement::IndexHoldsBackupOfVM(const VMInfoStructs::SVMInfo&, std::vector<StubVMDisk>&, "
      "std::string&)";
  using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
  disks.clear();
  IdxMetadata::IdxMetaData record;
  IdxMetadataByName indexed;
  bool queryFailed = false;
  const int64_t jobId = m_jobMgr != nullptr ? m_jobMgr->getJobId() : 0;
  const uint64_t subclientId = m_appMgr != nullptr ? m_appMgr->getAppId() : 0;
  // Only this job's backup: an earlier one may hold bytes the VM has changed since.
  if (!m_controller->GetVMJobMetadataFromIndexing(m_vmGuid, jobId, &record, &indexed, queryFailed)) {
    reason = queryFailed ? "the index could not be asked for this job's backup of it"
                         : "the index holds no backup of it from this job";
    return false;
  }
  // The backup that selected the VM carries its stub record (to be stubbed, or a stub cut off and
  // retried); its archive is indexed only when the backup ended well.
  const auto* aux = record.getObject<IdxMetadata::IdxAuxMetaData>(IdxMetadata::IdxMetaData::F_aux, false);
  Stub stub;
  const bool parsed = aux != nullptr && stub.deserialize(aux->getstring(IdxMetadata::IdxAuxMetaData::F_auxText));
  const int64_t state = parsed ? stub.getint64(Stub::F_stubState) : 0;
  if (!parsed || (state != VMInfoStructs::STUB_STATE_TO_BE_STUBBED && state != VMInfoStructs::STUB_STATE_IN_PROGRESS) ||
      static_cast<uint64_t>(stub.getint64(Stub::F_stubSubclientId)) != subclientId) {
    reason = "the index holds no backup of it from this job that selected it for stubbing";
    return false;
  }
  // Every disk the VM has now, at the bytes it has now: a disk added or written since the backup would
  // lose data no backup holds.
  for (const VMInfoStructs::SDisk& disk : info.disks) {
    const auto entry = indexed.find(disk.indexName);
    const VSMeta* part =
        entry != indexed.end() ? entry->second.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false)
                               : nullptr;
    if (part == nullptr) {
      reason = "its disk [" + disk.indexName + "] is not in this job's backup of it (added since)";
      return false;
    }
    const std::string backedUp = part->getstring(VSMeta::F_changeId);
    if (backedUp.empty() || disk.fileName.empty()) {
      reason = "the change id of its disk [" + disk.indexName + "] is not known, so it cannot be shown unchanged since "
               "this job's backup of it";
      return false;
    }
    if (backedUp != disk.fileName) {
      reason = "its disk [" + disk.indexName + "] was written since this job's backup of it (change id [" +
               disk.fileName + "], the backup read [" + backedUp + "])";
      return false;
    }
    disks.push_back(StubVMDisk{disk.indexName, backedUp});
  }
  for (auto& entry : indexed) {
    const VSMeta* part = entry.second.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
    const bool disk = part != nullptr && part->isSet(VSMeta::F_sectorSize);
    const bool kept = std::any_of(info.disks.begin(), info.disks.end(),
                                  [&](const VMInfoStructs::SDisk& now) { return now.indexName == entry.first; });
    if (disk && !kept)
      m_event.Debug(sig, "[VMArchiving] VM [%s] no longer has disk [%s] of this job's backup", m_vmName.c_str(),
                    entry.first.c_str());
  }
  m_event.Debug(sig, "[VMArchiving] VM [%s] is in the index as [%s] by job [%lld] with its [%zu] disks unchanged",
                m_vmName.c_str(), VMArchGetStubStateString(static_cast<int>(state)).c_str(),
                static_cast<long long>(jobId), disks.size());
  return true;
}

int32_t QuarnVMManagement::PoweredOffUnits(const VMInfoStructs::SVMInfo& info) const {
  return m_params.compareHours ? info.poweredOffHours : info.poweredOffHours / 24;
}

bool QuarnVMManagement::VMArchCheckVMArchivingCriteria(VMInfoStructs::SVMInfo& info, std::string& stubData,
                                                       VMStubState& option) {
  static const char* const sig =
      "bool QuarnVMManagement::VMArchCheckVMArchivingCriteria(VMInfoStructs::SVMInfo&, std::string&, "
      "VMInfoStructs::VMStubState&)";
  const char* name = m_vmName.c_str();
  if (!m_params.archiveRuleEnabled && !m_params.relocateRuleEnabled) {
    m_event.Debug(sig, "[VMArchiving] VM Archiving rules are not enabled for this subclient. Do not verify VM Archiving "
                       "criteria for this VM.");
    return false;
  }
  if (info.isTemplate) {
    m_event.Debug(sig, "[VMArchiving] VM [%s] is a template VM. Archiving for template VMs is not supported.", name);
    return false;
  }
  if (VMArchCheckIfVMHasIndependentDisk(info)) {
    m_event.Debug(sig, "[VMArchiving] VM [%s] has Independent/RDM disks for which VM Archiving is not supported.", name);
    return false;
  }
  if (info.powerState != 0) {
    m_event.Debug(sig, "[VMArchiving] VM [%s] does not satisfy Archiving Criteria as it is not in powered Off state.",
                  name);
    return false;
  }
  const int32_t days = PoweredOffUnits(info);
  bool toArchive = false, toRelocate = false;
  VMArchCheckRegistryForArchivingCriteria(toArchive, toRelocate);
  if (m_params.archiveImmediately) {
    m_event.Debug(sig, "[VMArchiving] Archive Immediately is set for this Job. This VM will be archived without "
                       "checking power off criteria.");
    toArchive = true;
  }
  if (m_params.relocateImmediately) {
    m_event.Debug(sig, "[VMArchiving] Relocate Immediately is set for this Job. This VM will be relocated without "
                       "checking power off criteria.");
    toRelocate = true;
  }
  m_event.Debug(sig, "[VMArchiving] VM [%s] is powered off since [%d] days.", name, days);
  // A rule without its days never selects by days (the subclient's record refuses one, but a rule
  // read as on with -1 days must not select every VM).
  if (m_params.archiveRuleEnabled) {
    m_event.Debug(sig, "[VMArchiving] Power off criteria for archiving is [%d] days.", m_params.archivePowerOffDays);
    if ((m_params.archivePowerOffDays >= 0 && days >= m_params.archivePowerOffDays) || toArchive) {
      m_event.Debug(sig, "[VMArchiving] VM [%s] satisfies the VM archiving criteria. Adding it to to_be_stubbed list.",
                    name);
      toArchive = true;
    }
  }
  if (m_params.relocateRuleEnabled)
    m_event.Debug(sig, "[VMArchiving] Power off criteria for relocation is [%d] days.", m_params.relocatePowerOffDays);
  if ((m_params.relocateRuleEnabled && m_params.relocatePowerOffDays >= 0 && days >= m_params.relocatePowerOffDays) ||
      toRelocate) {
    m_event.Debug(sig, "[VMArchiving] VM [%s] satisfies the VM relocation criteria. Adding it to to_be_relocate list.",
                  name);
    toRelocate = true;
    if (VMArchIsVMAlreadyRelocated(info)) {
      if (toArchive) {
        m_event.Debug(sig, "[VMArchiving] VM [%s] is already relocated to specified [Location/Type]. In this job "
                           "archiving will be performed on this VM.", name);
      } else {
        m_event.Debug(sig, "[VMArchiving] VM [%s] is already relocated to specified [Location/Type]. No need to re-run "
                           "the re-location job. ", name);
      }
      toRelocate = false;
    }
  }
  VMStubState chosen;
  if (toArchive && toRelocate) {
    if (m_params.precedenceToArchiving) {
      m_event.Debug(sig, "[VMArchiving] VM [%s] satisfies both VM (Archiving & Relocation) criterias. Administrator has "
                         "set precedence to Archiving so only Archiving will be performed in this Job.", name);
      chosen = VMInfoStructs::STUB_STATE_TO_BE_STUBBED;
    } else {
      m_event.Debug(sig, "[VMArchiving] VM [%s] satisfies both VM (Archiving & Relocation) criterias. Relocation will be "
                         "given precedence in this case and archiving will be performed in next job.", name);
      if (!IsStubPhase()) {
        m_event << m_vmName;
        m_event.InfoEvent(kEventBothCriteria);
      }
      chosen = VMInfoStructs::STUB_STATE_TO_BE_RELOCATED;
    }
  } else if (toArchive) {
    chosen = VMInfoStructs::STUB_STATE_TO_BE_STUBBED;
  } else if (toRelocate) {
    chosen = VMInfoStructs::STUB_STATE_TO_BE_RELOCATED;
  } else {
    return false;
  }
  if (VMArchGenerateVMStubData(stubData, chosen, 0) != 0) {
    m_event.Error(sig, "[VMArchiving] VM [%s] Failed to generate stub data.", name);
    return false;
  }
  m_event.Debug(sig, "[VMArchiving] VM [%s] Stub data generated successfully. Stub Data [%s]", name, stubData.c_str());
  if (!IsStubPhase()) VMArchUpdateJobManagerStatus(JobManager::kStubStatusToBeArchived);
  option = chosen;
  return true;
}

std::vector<std::string> QuarnVMManagement::SplitVMNameList(const std::string& list) {
  std::vector<std::string> names;
  if (!list.empty()) CPxString::Tokenize(list, names, '"', '"', '\\', ';', 0);
  return names;
}

void QuarnVMManagement::VMArchCheckRegistryForArchivingCriteria(bool& toArchive, bool& toRelocate) {
  static const char* const sig = "void QuarnVMManagement::VMArchCheckRegistryForArchivingCriteria(bool&, bool&)";
  for (const std::string& name : SplitVMNameList(m_params.archiveVMList)) {
    if (name != m_vmName) continue;
    m_event.Debug(sig, "[VMArchiving] VM [%s] needs to be archived as it is present in the registry.", m_vmName.c_str());
    toArchive = true;
    break;
  }
  for (const std::string& name : SplitVMNameList(m_params.relocateVMList)) {
    if (name != m_vmName) continue;
    m_event.Debug(sig, "[VMArchiving] VM [%s] needs to be relocated as it is present in the registry.",
                  m_vmName.c_str());
    toRelocate = true;
    break;
  }
}

bool QuarnVMManagement::VMArchCheckIfVMHasIndependentDisk(VMInfoStructs::SVMInfo& info) {
  static const char* const sig = "bool QuarnVMManagement::VMArchCheckIfVMHasIndependentDisk(VMInfoStructs::SVMInfo&)";
  for (const VMInfoStructs::SDisk& disk : info.disks) {
    if (!disk.independent && !disk.rawDeviceMapping) continue;
    m_event.Debug(sig, "[VMArchiving] Independent/RDM disk [%s] ", disk.path.c_str());
    return true;
  }
  return false;
}

bool QuarnVMManagement::VMArchIsVMAlreadyRelocated(const VMInfoStructs::SVMInfo& info) {
  static const char* const sig = "bool QuarnVMManagement::VMArchIsVMAlreadyRelocated(const VMInfoStructs::SVMInfo&)";
  const char* name = m_vmName.c_str();
  bool sameHost = true, sameDatastore = true, samePool = true;
  const std::string& pool = info.field24;
  m_event.Debug(sig, "[VMArchiving] VM : [%s] Resource pool : [%s]", name, pool.c_str());
  m_event.Debug(sig, "[VMArchiving] VM : [%s] Host Name : [%s]", name, info.host.c_str());
  if (!m_params.DestinationHost.empty() && m_params.DestinationHost != info.host) {
    m_event.Debug(sig, "[VMArchiving] Dest host [%s] and Current host [%s] are different.",
                  m_params.DestinationHost.c_str(), info.host.c_str());
    sameHost = false;
  }
  if (!m_params.DestinationResourcepool.empty() && m_params.DestinationResourcepool != pool) {
    m_event.Debug(sig, "[VMArchiving] Dest resource pool [%s] and Current resource pool [%s] are different.",
                  m_params.DestinationResourcepool.c_str(), pool.c_str());
    samePool = false;
  }
  if (!m_params.DestinationDatastore.empty()) {
    const std::string& destination = m_params.DestinationDatastore;
    for (const VMInfoStructs::SDisk& disk : info.disks) {
      const std::string& path = disk.diskName2.empty() ? disk.path : disk.diskName2;
      CPxString datastore, folder, file;
      if (!QuarnUtils::ParseVMFileName(path.c_str(), datastore, folder, file)) {
        m_event.Debug(sig, "[VMArchiving] Failed to parse disk name: %s", path.c_str());
        break;
      }
      m_event.Debug(sig, "[VMArchiving] VM : [%s] Disk : [%s] Datastore : [%s]", name, path.c_str(), datastore.c_str());
      if (datastore.str() != destination) {
        m_event.Debug(sig, "[VMArchiving] VM : [%s] Current Datastore [%s] Destination datastore [%s] are different",
                      name, datastore.c_str(), destination.c_str());
        sameDatastore = false;
        break;
      }
    }
    for (const VMInfoStructs::SVMFile& vmFile : info.fileLayout.files) {
      CPxString datastore, folder, file;
      if (!QuarnUtils::ParseVMFileName(vmFile.field1.c_str(), datastore, folder, file)) break;
      m_event.Debug(sig, "[VMArchiving] VM : [%s] File : [%s] Datastore : [%s]", name, vmFile.field1.c_str(),
                    datastore.c_str());
      if (datastore.str() != destination) {
        m_event.Debug(sig, "[VMArchiving] VM : [%s] Current Datastore [%s] Destination datastore [%s]", name,
                      datastore.c_str(), destination.c_str());
        sameDatastore = false;
        break;
      }
    }
  }
  m_event.Debug(sig, "[VMArchiving] Destination disk provisioning type [%d]",
                static_cast<int>(m_params.destinationProvisioning));
  // A rule with nowhere to move to has moved nothing: the relocation itself says what is missing.
  if (!(sameHost && sameDatastore && samePool) || !HasRelocationDestination()) return false;
  m_event.Debug(sig, "[VMArchiving] VM : [%s] currently has the same configuration [Location/Type] as specified for "
                     "relocation. Not performing relocation for this VM.", name);
  return true;
}

bool QuarnVMManagement::HasRelocationDestination() const {
  return !m_params.DestinationHost.empty() || !m_params.DestinationDatastore.empty() ||
         !m_params.DestinationResourcepool.empty() || m_params.destinationProvisioning != 0;
}

bool QuarnVMManagement::VMArchRelocateVM(VMInfoStructs::SVMInfo& info) {
  static const char* const sig = "bool QuarnVMManagement::VMArchRelocateVM(VMInfoStructs::SVMInfo&)";
  if (!HasRelocationDestination()) {
    m_event.Error(sig, "[VMArchiving] One of the option [DestinationHost|DestinationDatastore|DestinationResourcepool] "
                       "needs to be specified.");
    VMArchSetJPR(kCauseNoRelocationTarget, 0, std::string());
    m_vm->failureReason = "The VM was not relocated: no destination host, datastore or resource pool is set.";
    return false;
  }
  if (VMArchIsVMAlreadyRelocated(info)) return true;
  VMRelocateCtx ctx;
  ctx.vmName = m_vmName;
  ctx.vmGuid = m_vmGuid;
  ctx.destinationHost = m_params.DestinationHost;
  ctx.sourceHost = info.host;
  ctx.destinationResourcePool = m_params.DestinationResourcepool;
  ctx.sourceResourcePool = info.field24;
  ctx.destinationDatastore = m_params.DestinationDatastore;
  ctx.sourceDatastore = info.datastore;
  ctx.destinationProvisioning = m_params.destinationProvisioning;
  ctx.vmInfo = info;
  if (ctx.sourceHost.empty() || ctx.sourceDatastore.empty()) {
    m_event.Error(sig, "[VMArchiving] Source Host\\Datastore is empty for VM Relocation.");
    m_vm->failureReason = "The VM was not relocated: the hypervisor did not say where it is.";
    return false;
  }
  if (m_vmInfo->RelocateVM(ctx) != 0) {
    m_event.Debug(sig, "[VMArchiving] Successfully relocated VM [%s]", m_vmName.c_str());
    VMArchUpdateJobManagerStatus(JobManager::kStubStatusRelocated);
    return true;
  }
  m_event.Error(sig, "[VMArchiving] Failed to relocate VM [%s] with [%s] error", m_vmName.c_str(), ctx.errorText.c_str());
  VMArchSetJPR(kCauseRelocationFailed, 0, ctx.errorText);
  VMArchUpdateJobManagerStatus(JobManager::kStubStatusRelocateFailed);
  m_vm->failureReason = "The VM could not be relocated: " + ctx.errorText;
  return false;
}

bool QuarnVMManagement::VMArchStubVM(VMInfoStructs::SVMInfo& info) {
  static const char* const sig = "bool QuarnVMManagement::VMArchStubVM(VMInfoStructs::SVMInfo&)";
  const char* name = m_vmName.c_str();
  m_event.Debug(sig, "[VMArchiving] Archiving action [Stub VM]");
  StubVMCtx ctx;
  // A stub deletes the VM's disks: only those this job's backup holds as they are now.
  std::string reason;
  if (!IndexHoldsBackupOfVM(info, ctx.disks, reason)) {
    m_vm->failureReason = "The VM was not stubbed: " + reason + ". Its next backup takes it as it is now.";
    return false;
  }
  ctx.vmName = m_vmName;
  ctx.vmGuid = m_vmGuid;
  ctx.jobId = m_jobMgr != nullptr ? m_jobMgr->getJobId() : 0;
  ctx.host = m_vm->host;
  ctx.datastore = info.datastore;
  ctx.vmVersion = info.version;
  unsigned long retryCount = 1;
  if (!info.stubData.empty()) {
    Stub earlier;
    if (!earlier.deserialize(info.stubData)) {
      m_event.Error(sig, "[VMArchiving] Failed to unserialize stub data (XML). Code [%d]", 1);
      m_vm->failureReason = "The VM was not stubbed: its stub record on the hypervisor cannot be read.";
      return false;
    }
    const unsigned long count = static_cast<unsigned long>(earlier.getint64(Stub::F_stubRetryCount));
    m_event.Debug(sig, "[VMArchiving] Current Stub retry count in VMX file is [%lu]", count);
    retryCount = count + 1;
  }
  m_vmInfo->PrepareStubVM(ctx);
  std::string stubData;
  if (VMArchGenerateVMStubData(stubData, VMInfoStructs::STUB_STATE_IN_PROGRESS, retryCount) != 0) {
    m_event.Error(sig, "[VMArchiving] [Error] Failed to generate stub data for [%s] VM", name);
    m_vm->failureReason = "The VM was not stubbed: its stub record could not be made.";
    return false;
  }
  // Written before any disk goes, so that a stub cut off is known as one and retried.
  if (!VMArchAddStubDataToVMXFile(kStubOption, stubData)) {
    m_event.Error(sig, "[VMArchiving] [Error] Failed to set initial stub data for [%s] VM", name);
    m_vm->failureReason = "The VM was not stubbed: its stub record could not be written to the VM.";
    return false;
  }
  if (m_vmInfo->StubVM(ctx) == 0 || ctx.failed) {
    VMArchUpdateJobManagerStatus(JobManager::kStubStatusStubFailed);
    m_event.Error(sig, "[VMArchiving] Failed! to stub VM=[%s]=[%s]", name, m_vmGuid.c_str());
    m_vm->failureReason = "The stub of the VM did not complete (" + std::to_string(ctx.disksDeleted) + " of " +
                          std::to_string(ctx.totalDisks) + " disks deleted): " + m_vmInfo->GetErrorText() +
                          ". The next backup retries it.";
    return false;
  }
  m_event.Debug(sig, "[VMArchiving] VM: [%s]=[%s] is stubbed. No. of disks deleted=[%d] Total number of disks [%d]", name,
                m_vmGuid.c_str(), ctx.disksDeleted, ctx.totalDisks);
  if (VMArchUpdateVMStubData(stubData, VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED, retryCount, 0, 0) != 0) {
    m_event.Error(sig, "[VMArchiving] [Error] Failed to generate stub data on success for [%s] VM", name);
  } else if (!VMArchAddStubDataToVMXFile(kStubOption, stubData)) {
    m_event.Error(sig, "[VMArchiving] [Error] Failed to set final stub data for [%s] VM", name);
  }
  VMArchSetStubInfoToCustomField("Yes");
  m_event << m_vmName << static_cast<long long>(m_jobMgr != nullptr ? m_jobMgr->getJobId() : 0);
  m_event.InfoEvent(kEventStubbed);
  ClientProperties(VMClientId()).setClientArchived(true);
  SetUpdateInfo(JobManager::VMUpdateInfo::F_stubbedFlag, 1);
  VMArchUpdateJobManagerStatus(JobManager::kStubStatusStubbed);
  m_vmInfo->CompleteStubVM(ctx);
  return true;
}
