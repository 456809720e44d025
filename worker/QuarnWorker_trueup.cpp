// True-up of extents the index lacks.
//
// This build finds out whether a VM needs a true-up but cannot do one yet: a VM with extents to true
// up fails and says so, rather than be reported whole.
#include "controller/QuarnController.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "worker/QuarnWorker.h"

int QuarnWorker::TrueUpVM(quarnBackupArgs& args) {
  static const char* const sig = "virtual int QuarnWorker::TrueUpVM(quarnBackupArgs&)";
  if (!m_registry.CheckEntry(REG_bEnableTrueUp, true)) {
    m_event.Debug(sig, "True-Up is not enabled");
    return 0;
  }
  if (m_appMgr != nullptr && m_appMgr->isUseIndexingV2Enabled()) {
    m_event.Debug(sig, "True-Up is not supported for IndexingV2");
    return 0;
  }
  const std::string name = "corruptExtents_" + args.mVMGuid + ".xml";
  const std::string path = CPxPath::Append(GetSubclientDirectory(), name, false);
  if (CPxFile::Exists(path)) CPxFile::Remove(path);
  if (m_controller == nullptr || !m_controller->GetMetadataFile(name, GetSubclientDirectory()) ||
      !CPxFile::Exists(path)) {
    m_event.Debug(sig, "True-Up is not required");
    return 0;
  }
  if (m_currentVM != nullptr)
    m_currentVM->failureReason = "Extents the index lacks were not backed up again: true-up is not available yet.";
  m_event.Error(sig, "VM [%s] needs a true-up of missing extents, which this agent cannot do yet", args.mVMName.c_str());
  return 1;
}
