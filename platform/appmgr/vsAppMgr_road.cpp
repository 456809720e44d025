// What the road of one VM asks of the application manager: the replication record of a failback
// VM, the transport mode.
#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabAgent.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/vsXMLFile.h"

bool vsAppMgr::getVSAReplicationInfo(uint64_t replicationId, CNMessageBase& record) {
  const std::string path = lab::ReplicationRecordPath(getAppIdStr());
  if (path.empty()) return false;
  vsXMLFile file(path);
  return file.Load(record);
}

void vsAppMgr::SetTransportMode(int mode) {
  ZtMutexLock l(mutex_);
  transportModeOverride_ = mode;
}
