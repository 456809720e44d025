#include "coordinator/VSALogArchiverBatchCallBack.h"

#include "coordinator/QuarnCoordinator.h"
#include "records/messages/JobManagerMessages.h"

bool VSALogArchiverBatchCallBack::processResp(CNMessageBase* response) {
  static const char* const sig = "virtual bool VSALogArchiverBatchCallBack::processResp(CNMessageBase*)";
  using Answer = JobManager::ArchiveIndexResp;
  if (response == nullptr || response->getTagID() != Answer::TAG || !response->isSet(Answer::F_vmGuid)) {
    m_event.Error(sig, "Null response");
    return false;
  }
  const std::string guid = response->getstring(Answer::F_vmGuid);
  std::string xml;
  response->serialize(xml, true);
  m_event.DebugLvl(3, sig, "Received response for vm [%s][%s]", guid.c_str(), xml.c_str());
  if (m_coordinator != nullptr) m_coordinator->HandleLogArchiverComplete(guid, response->getint64(Answer::F_archiveIndexStatus));
  return true;
}
