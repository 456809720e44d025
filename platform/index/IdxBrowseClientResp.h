#pragma once

class CNMessageBase;

// The receiver of an indexing request's answers: the indexing client calls processResp once per
// answer (per VM of a log-archiver batch, per browse reply), on the thread that made the request.
// The message belongs to the client and lives only for the call.
class IdxBrowseClientResp {
 public:
  IdxBrowseClientResp() = default;
  virtual ~IdxBrowseClientResp() = default;
  IdxBrowseClientResp(const IdxBrowseClientResp&) = delete;
  IdxBrowseClientResp& operator=(const IdxBrowseClientResp&) = delete;

  // False when the answer could not be taken; the client then stops the request.
  virtual bool processResp(CNMessageBase* response) = 0;
};
