#pragma once
#include "platform/ev/EvEvent.h"
#include "platform/index/IdxBrowseClientResp.h"

class QuarnCoordinator;

// Receives the per-VM answers of the log-archiver batch that ends a snapshot backup with the second
// indexing generation, and hands each to its coordinator. Lives on the stack of the batch's caller.
class VSALogArchiverBatchCallBack : public IdxBrowseClientResp {
 public:
  explicit VSALogArchiverBatchCallBack(QuarnCoordinator* coordinator) : m_coordinator(coordinator) {}
  ~VSALogArchiverBatchCallBack() override = default;

  // False ("Null response") for anything but an archive-index answer that names its VM.
  bool processResp(CNMessageBase* response) override;

 private:
  EvEvent m_event;
  QuarnCoordinator* const m_coordinator;  // not owned
};
