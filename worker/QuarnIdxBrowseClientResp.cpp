#include "worker/QuarnIdxBrowseClientResp.h"

#include "platform/msg/CNMessageBase.h"

bool QuarnIdxBrowseClientResp::processResp(CNMessageBase* response) {
  static const char* const sig = "virtual bool QuarnIdxBrowseClientResp::processResp(CNMessageBase*)";
  if (response == nullptr) {
    m_event.Error(sig, "Null browse response");
    return false;
  }
  if (response->getTagID() != kResponseTag) {
    m_event.Error(sig, "Invalid browse response [%lu][%s]", static_cast<unsigned long>(response->getTagID()),
                  response->getTagName().c_str());
    return false;
  }
  std::string xml;
  response->serialize(xml, true);
  m_event.DebugLvl(5, sig, "%s", xml.c_str());
  if (m_table == nullptr) {
    m_event.Error(sig, "No memory to hold the check sums, so this job and the next one will run as full");
    return false;
  }
  // No message of the catalogue carries this tag yet: the lab's index answers no checksum browse, so
  // an answer that claims to be one cannot be read and is refused.
  m_event.Error(sig, "Failed to insert previous check sum record into the table, VM Guid [%s]", m_vmGuid.c_str());
  return false;
}
