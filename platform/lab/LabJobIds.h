#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// The backup job ids of a lab. A job manager gives each job an id once, for good: a job's restore
// points are found by its id (the media agent's archives, the index, the clients' job results), so an
// id given again would make one job of two, and a later attempt of either would supersede the other's
// backups. The lab knows of a job as long as any of its records names it, whatever became of the job
// manager's folder of it (jobs/<id>/):
//   jobs/<id>/                                  the job manager's records of the job
//   subclients/<appId>.history                  the jobs of the subclient that ended well
//   media/<media agent>/<id>/                   the job's archives
//   index/<subclient GUID>/<id>/                the job's files in the index cache (its VM collect
//                                               file from the start), and jobs/<id>.conf, .log: what
//                                               the job sent to the index
//   clients/<client>/JobResults/<appId>/        the job's files on a client: vmcollect_<id>.ztf (also
//                                               in SNAP/), SharedShadow_<id>_<digits>.xml,
//                                               backup_<id>.xml, VMSnap_<VM GUID>_<id>.snap
// Two kinds of ids are no backup job's: the index's child jobs (one VM's job of its job, kept as
// index/<subclient GUID>/jobs/<child>.parent), which count as their job's, and the management server's
// own jobs (restores, workflows) from kFirstServerJobId on. Neither is a backup job the lab knows of.
namespace lab {

// What the lab's records outside the job's own folder tell of one backup job id.
struct KnownJob {
  bool hasFolder = false;    // the job manager's folder of the job, jobs/<id>/, is there
  // A record only a run of the job leaves names it: its archives on the media, the subclient's history,
  // its index record.
  bool runRecorded = false;
  // The subclients those records name it under (the history's, the index's, the job results' folder).
  std::set<std::string> subclients;
  // The first of its records found (in the order of the list above), by its path in the lab
  // ("media/ma1/1002", "subclients/1.history, line 3"), and how many records name it: what an
  // administrator looks at, or removes, when the id is one no job of the lab ran.
  std::string where;
  int records = 0;
};

struct KnownJobIds {
  std::map<int64_t, KnownJob> jobs;  // every backup job id a record of the lab names
  std::set<int64_t> childJobs;       // the index's child jobs: no backup job's ids
  // Whether a job by that id has run, or has lost its folder (nothing then tells that it has not run).
  // A job with its folder has run when runs.log, a phase result or a VM's record with the job manager
  // says so, or a record outside the folder only a run leaves.
  bool HasRunOrLostItsFolder(int64_t jobId) const;
  // The newest job that HasRunOrLostItsFolder; 0 when there is none.
  int64_t NewestRun() const;
};

// A job id or subclient id as the lab's records name it and the job manager hands it to a job process
// ("-j", "-a"): decimal digits alone, from 1, no sign, blank or leading zero.
bool ReadsAsId(const std::string& text, int64_t& id);

// Every backup job id the lab at Root() knows of, read from the folders above by their names (the
// history of each subclient and the subclients' records for their GUIDs are the only files read):
// cheap on a lab of hundreds of VMs and long job histories.
KnownJobIds FindKnownJobIds();

// Whether the job manager's folder of the job shows that a job process of it ran: runs.log says so or,
// where it was lost, a record only a job process writes (a phase result, a VM's status).
bool JobFolderShowsARun(int64_t jobId);

// The first backup job id of a lab that knows of none.
constexpr int64_t kFirstBackupJobId = 1001;

// The id the lab's next new backup job gets: past every job the lab knows of (whose records may be
// lost: it keeps its id and its restore points), an index child job's id and the management server's
// ids left out. 0 with the reason when no id below the management server's is left: the reason names the
// record of the highest job the lab knows of (its path in the lab) and what to do with it.
int64_t NextBackupJobId(const KnownJobIds& known, std::string& error);

// Whether a job made by hand (the lab tool's create) may take the id, which no job folder of the lab
// has: not in the management server's range, not an index child job's, not a job the lab knows of by
// other records, and past every job that has run. False with the reason, naming the next id it may
// take, otherwise.
bool CheckNewBackupJobId(const KnownJobIds& known, int64_t jobId, std::string& error);

}  // namespace lab
