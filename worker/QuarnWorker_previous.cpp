// What an incremental backup of a VM rests on: the index's record of the VM's last successful
// backup, the check that the last backup was of the same kind, and the test list of missing blocks.
#include "controller/QuarnController.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/ZtTime.h"
#include "worker/QuarnWorker.h"

namespace {

using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

constexpr int kFetched = 0;
constexpr int kInterrupted = 11;
constexpr int kNotFetched = 141;
constexpr long long kRetrySleepSeconds = 60;
constexpr int64_t kOpStreamingBackup = 4;
constexpr int64_t kOpSnapBackup = 59;
constexpr int64_t kOpSnapBackupOther = 60;

}  // namespace

int QuarnWorker::GetVMIdxMetadata(const std::string& vmGuid, unsigned long subclientId, quarnBackupArgs& args,
                                  bool& queryFailed) {
  static const char* const sig =
      "int QuarnWorker::GetVMIdxMetadata(const std::string&, unsigned long, quarnBackupArgs&, bool&)";
  int attempts = 1;
  m_registry.GetEntry(REG_nMaxBrowseRetryAttempts, attempts, 1);
  if (attempts != 1) m_event.Debug(sig, "nMaxBrowseRetryAttempts is set to = [%d]", attempts);
  // The request names the VM in hand (the GUID argument is the same VM's at the only caller).
  const std::string name = m_currentVM != nullptr ? m_currentVM->vmName : std::string();
  const std::string guid = m_currentVM != nullptr ? m_currentVM->vmGuid : vmGuid;
  for (;;) {
    if (CheckQuitFlag(&args)) return kInterrupted;
    --attempts;
    bool retryable = false;
    queryFailed = false;
    if (m_controller != nullptr &&
        m_controller->GetVMMetadataFromIndexing(name, guid, subclientId, &m_vmIdxMetadata, &m_prevIdxMetadata, retryable,
                                                queryFailed))
      return kFetched;
    if (!retryable || attempts < 1) return kNotFetched;
    m_event.Debug(sig, "Retrying GetVMMetadata for VM [%s] after sleeping 60 seconds", name.c_str());
    ZtClock::Sleep(CTimeInterval::FromSeconds(kRetrySleepSeconds));
  }
}

void QuarnWorker::CheckAndConvertJobToFull(const std::string& vmName, const std::string& vmGuid,
                                           IdxMetadata::IdxMetaData* vmMetadata, bool& convertToFull) {
  static const char* const sig =
      "void QuarnWorker::CheckAndConvertJobToFull(const std::string&, const std::string&, IdxMetadata::IdxMetaData*, "
      "bool&)";
  if (m_appMgr == nullptr || m_jobMgr == nullptr || vmMetadata == nullptr || !m_appMgr->isUseIndexingV2Enabled())
    return;
  const VSMeta* part = vmMetadata->getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
  if (part == nullptr || !part->isSet(VSMeta::F_opType)) return;
  const int64_t type = part->getint64(VSMeta::F_opType);
  const std::string typeName = m_jobMgr->getOpTypeStr(static_cast<int>(type));
  m_event.Debug(sig, "Previous backup job for VM [%s] Guid [%s] was [%s]", vmName.c_str(), vmGuid.c_str(),
                typeName.c_str());
  if (m_jobMgr->isSnapBackup()) {
    if (type != kOpStreamingBackup) return;
    m_event.Debug(sig,
                  "This is an incremental snap backup and last job for VM [%s] Guid [%s] is streaming. Converting VM "
                  "job to Full",
                  vmName.c_str(), vmGuid.c_str());
  } else if (!m_jobMgr->isSnapToTape()) {
    if (type != kOpSnapBackup && type != kOpSnapBackupOther) return;
    m_event.Debug(sig,
                  "This is an incremental streaming backup and last available job for VM [%s] Guid [%s] is [%s]. "
                  "Converting VM job to Full",
                  vmName.c_str(), vmGuid.c_str(), typeName.c_str());
  } else {
    if (type != kOpStreamingBackup) return;
    m_event.Debug(sig,
                  "This is an incremental backup copy and last available job for VM[%s] Guid [%s] is streaming. "
                  "Converting VM job to Full",
                  vmName.c_str(), vmGuid.c_str());
  }
  convertToFull = true;
}

bool QuarnWorker::FetchMissingBlocksForVM() {
  static const char* const sig = "virtual bool QuarnWorker::FetchMissingBlocksForVM()";
  m_missingBlocks.clear();
  std::vector<std::string> entries;
  ZTPlatformInfo().getStringList("VirtualServer", "sInduceMissingBlocks", &entries, ';');
  for (const std::string& entry : entries) {
    const size_t equals = entry.find('=');
    const std::string disk = equals == std::string::npos ? std::string() : labkv::Trim(entry.substr(0, equals));
    std::set<uint64_t> blocks;
    bool valid = !disk.empty();
    if (valid) {
      const std::string list = entry.substr(equals + 1);
      size_t start = 0;
      while (valid) {
        const size_t comma = list.find(',', start);
        uint64_t block = 0;
        valid = labkv::ParseUInt64(labkv::Trim(list.substr(start, comma - start)), block);
        blocks.insert(block);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    }
    if (!valid) {
      // A test setting that does not parse is left out whole rather than half read.
      m_event.Error(sig, "Ignoring sInduceMissingBlocks entry [%s]: expected disk=block,block,...", entry.c_str());
      continue;
    }
    m_missingBlocks[disk] = blocks;
  }
  if (!m_missingBlocks.empty()) {
    m_event.Debug(sig, "Missing blocks are found for the following disks on VM: [%s]",
                  m_currentVM != nullptr ? m_currentVM->vmName.c_str() : "");
    for (const auto& entry : m_missingBlocks)
      m_event.Debug(sig, "Disk [%s] is missing [%d] blocks", entry.first.c_str(), static_cast<int>(entry.second.size()));
  }
  return true;
}
