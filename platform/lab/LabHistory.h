#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The job manager's history of a subclient's backups: subclients/<appId>.history, one line per job
// that ended successfully (completed, or completed with errors):
//   "<jobId> <backup level> <copy>"      copy 1: a backup copy of a snapshot to media, else 0.
// The line is added under the record's lock when the job's coordinator reports its phase result. A
// failed or killed job adds nothing; a restarted job adds its line once, when it finally ends well.
// The lines say which earlier job an incremental job builds on: the last full job of the subclient
// and the incremental jobs after it (its cycle).
namespace lab {

struct HistoryJob {
  int64_t jobId = 0;
  int64_t level = 1;  // 1 full; any other level builds on the jobs before it
  bool copy = false;
  int line = 0;  // its line in the record, from 1 (ReadHistory); 0 for one not read from it
};

// The jobs an incremental job of the subclient may build on.
struct BackupCycle {
  int64_t lastFull = 0;         // 0: the subclient has no successful full job
  int64_t lastIncremental = 0;  // the newest non-full job after lastFull; 0 when there is none
  std::vector<int64_t> jobs;    // lastFull and the jobs after it, newest first; empty without a full
};

// The record's path; empty without a lab or when the id cannot name a file.
std::string HistoryPath(const std::string& appId);
// Adds the job (once); false with the reason when it cannot be recorded.
bool RecordSuccessfulJob(const std::string& appId, const HistoryJob& job, std::string& error);
// The subclient's jobs in the order they ended. A missing record is an empty history; a malformed
// one is an error (false with the reason) rather than a guess.
bool ReadHistory(const std::string& appId, std::vector<HistoryJob>& jobs, std::string& error);
// The cycle of the jobs of one kind (backup copies, or the others).
BackupCycle CurrentCycle(const std::vector<HistoryJob>& jobs, bool copy);

}  // namespace lab
