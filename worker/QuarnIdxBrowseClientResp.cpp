#include "worker/QuarnIdxBrowseClientResp.h"

#include "platform/index/ExtentNameConverter.h"
#include "platform/index/IdxBrowseMessages.h"
#include "platform/index/TVMCRCTable.h"
#include "platform/msg/CNMessageBase.h"

bool QuarnIdxBrowseClientResp::processResp(CNMessageBase* response) {
  static const char* const sig = "virtual bool QuarnIdxBrowseClientResp::processResp(CNMessageBase*)";
  if (response == nullptr) {
    m_event.Error(sig, "Null browse response");
    return false;
  }
  if (response->getTagID() != IdxBrowse::BrowseResp::TAG) {
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
  IdxBrowse::BrowseResult* result =
      response->getObject<IdxBrowse::BrowseResult>(IdxBrowse::BrowseResp::F_result, false);
  if (result == nullptr) return true;
  for (const CNMessagePtr& entry : result->getlistobject(IdxBrowse::BrowseResult::F_items, false)) {
    const std::string name = entry ? entry->getstring(IdxBrowse::BrowseItem::F_extentName) : std::string();
    uint64_t extent = 0;
    const auto* attributes =
        entry ? entry->getObject<IdxBrowse::ExtentAttributes>(IdxBrowse::BrowseItem::F_attributes, false) : nullptr;
    // An item whose name is no extent name is not a checksum of this disk: the table would be wrong.
    const bool named = ExtentNameConverter::Extent_base32_to_dec(name, extent);
    const uint32_t crc = attributes != nullptr
                             ? static_cast<uint32_t>(attributes->getint64(IdxBrowse::ExtentAttributes::F_checksum))
                             : 0;
    m_event.DebugLvl(5, sig, "Inserting record for extent [%s]", name.c_str());
    if (!named || m_table->insert(MakeCRCRecord(extent, crc)) != 0) {
      m_event.Error(sig, "Failed to insert previous check sum record into the table, VM Guid [%s]", m_vmGuid.c_str());
      return false;
    }
  }
  return true;
}
