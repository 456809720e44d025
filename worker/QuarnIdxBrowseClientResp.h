#pragma once
#include <string>

#include "platform/ev/EvEvent.h"
#include "platform/index/IdxBrowseClientResp.h"

class TVMCRCTable;

// Receives the previous job's extent checksums of a disk from the index (indexing V2) into the
// table the disk's backup compares against.
class QuarnIdxBrowseClientResp : public IdxBrowseClientResp {
 public:
  // table: the table to fill (not owned); null makes every answer refused.
  QuarnIdxBrowseClientResp(TVMCRCTable*& table, const std::string& vmGuid) : m_table(table), m_vmGuid(vmGuid) {}
  // True when every record of the answer went into the table.
  bool processResp(CNMessageBase* response) override;

 private:
  EvEvent m_event;
  TVMCRCTable* const m_table;
  const std::string m_vmGuid;
};
