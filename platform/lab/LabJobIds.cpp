#include "platform/lab/LabJobIds.h"

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabHistory.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabSubclient.h"
#include "platform/lab/LabTasks.h"

namespace lab {
namespace {

// The entries of a folder by name, folders or files; none when it cannot be listed. The names come
// with their kinds from the listing itself: no entry is looked at on its own.
std::vector<std::string> Names(const std::string& folder, bool folders) {
  std::vector<std::string> names;
  if (folder.empty()) return names;
  std::error_code failed;
  for (std::filesystem::directory_iterator it(folder, failed), end; !failed && it != end; it.increment(failed)) {
    std::error_code ignored;
    if (it->is_directory(ignored) == folders) names.push_back(it->path().filename().string());
  }
  return names;
}

bool StripAround(const std::string& name, const std::string& prefix, const std::string& suffix, std::string& middle) {
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  return true;
}

// The job a file of a client's job results is of, and whether only a job process makes such a file (the
// VM collect file is discovery's, which the lab tool's create plays).
bool JobOfResultFile(const std::string& name, int64_t& id, bool& madeByARun) {
  std::string middle;
  madeByARun = true;
  if (StripAround(name, "vmcollect_", ".ztf", middle)) {
    madeByARun = false;
    return ReadsAsId(middle, id);
  }
  if (StripAround(name, "backup_", ".xml", middle)) return ReadsAsId(middle, id);
  if (StripAround(name, "SharedShadow_", ".xml", middle)) return ReadsAsId(middle.substr(0, middle.find('_')), id);
  if (StripAround(name, "VMSnap_", ".snap", middle))
    return middle.find('_') != std::string::npos && ReadsAsId(middle.substr(middle.rfind('_') + 1), id);
  return false;
}

// The subclients the lab has a record of (subclients/<appId>.conf), in order.
std::vector<std::string> ListSubclients() {
  std::vector<std::string> subclients;
  std::string appId;
  for (const std::string& name : Names(SubclientsDir(), false))
    if (name[0] != '.' && StripAround(name, "", ".conf", appId)) subclients.push_back(appId);
  std::sort(subclients.begin(), subclients.end());
  return subclients;
}

class Finder {
 public:
  explicit Finder(KnownJobIds& known) : known_(known) {}

  // `where()` gives the record's path in the lab; it is asked only for an id not noted before.
  template <typename Where>
  void Note(int64_t id, const std::string& subclient, bool runRecorded, const Where& where) {
    if (id >= kFirstServerJobId) return;
    KnownJob& job = known_.jobs[id];
    job.runRecorded = job.runRecorded || runRecorded;
    if (!subclient.empty()) job.subclients.insert(subclient);
    if (job.records++ == 0) job.where = where();
  }

  void JobFolders() {
    for (int64_t id : ListJobs()) {
      if (id >= kFirstServerJobId) continue;
      KnownJob& job = known_.jobs[id];
      job.hasFolder = true;
      if (job.records++ == 0) job.where = "jobs/" + std::to_string(id);
    }
  }

  void Histories(const std::vector<std::string>& subclients) {
    for (const std::string& appId : subclients) {
      std::vector<HistoryJob> history;
      std::string error;
      if (!ReadHistory(appId, history, error)) continue;
      for (const HistoryJob& job : history)
        Note(job.jobId, appId, true,
             [&] { return "subclients/" + appId + ".history, line " + std::to_string(job.line); });
    }
  }

  void Media() {
    for (const std::string& agent : Names(MediaDir(), true)) {
      if (!IsSafeComponent(agent)) continue;
      for (const std::string& name : Names(MediaAgentDir(agent), true)) {
        int64_t id = 0;
        if (ReadsAsId(name, id)) Note(id, std::string(), true, [&] { return "media/" + agent + "/" + name; });
      }
    }
  }

  void Index(const std::vector<std::string>& subclients) {
    std::map<std::string, std::string> byGuid;
    for (const std::string& appId : subclients) {
      SubclientRecord record;
      std::string error;
      if (ReadSubclientRecord(appId, record, error) == RecordRead::kRead)
        byGuid[record.settings["subclientGUID"]] = appId;
    }
    for (const std::string& guid : Names(IndexDir(), true)) {
      std::string error;
      const std::string folder = IndexSubclientDir(guid, error);
      if (folder.empty()) continue;
      const auto owner = byGuid.find(guid);
      const std::string subclient = owner == byGuid.end() ? std::string() : owner->second;
      // id -> whether only a run leaves the record, and the first record's name under the folder
      std::map<int64_t, std::pair<bool, std::string>> ids;
      for (const std::string& name : Names(folder, true)) {
        int64_t id = 0;
        if (ReadsAsId(name, id)) ids.emplace(id, std::make_pair(false, name));
      }
      for (const std::string& name : Names(folder + "/jobs", false)) {
        const size_t dot = name.rfind('.');
        int64_t id = 0;
        if (dot == std::string::npos || !ReadsAsId(name.substr(0, dot), id)) continue;
        const std::string suffix = name.substr(dot);
        if (suffix == ".parent") {
          known_.childJobs.insert(id);
        } else if (suffix == ".conf" || suffix == ".log") {
          auto& noted = ids.emplace(id, std::make_pair(true, "jobs/" + name)).first->second;
          noted.first = true;
        }
      }
      for (const auto& id : ids)
        if (!known_.childJobs.count(id.first))
          Note(id.first, subclient, id.second.first, [&] { return "index/" + guid + "/" + id.second.second; });
    }
  }

  void JobResults() {
    for (const std::string& client : Names(ClientsDir(), true)) {
      if (!IsSafeComponent(client)) continue;
      for (const std::string& appId : Names(ClientJobResultsDir(client), true)) {
        const std::string folder = SubclientJobResultsDir(client, appId);
        if (folder.empty()) continue;
        for (const char* inner : {"", "/SNAP"}) {
          for (const std::string& name : Names(folder + inner, false)) {
            int64_t id = 0;
            bool madeByARun = false;
            if (JobOfResultFile(name, id, madeByARun))
              Note(id, appId, madeByARun,
                   [&] { return "clients/" + client + "/JobResults/" + appId + inner + "/" + name; });
          }
        }
      }
    }
  }

 private:
  KnownJobIds& known_;
};

}  // namespace

bool ReadsAsId(const std::string& text, int64_t& id) {
  return labkv::ParseInt64InRange(text, 1, INT64_MAX, id) && std::to_string(id) == text;
}

bool JobFolderShowsARun(int64_t jobId) {
  return !ReadRunEvents(jobId).empty() || !ReadPhaseLines(jobId).empty() || !VMStatusGuids(jobId).empty();
}

bool KnownJobIds::HasRunOrLostItsFolder(int64_t jobId) const {
  const auto job = jobs.find(jobId);
  if (job == jobs.end()) return false;
  return !job->second.hasFolder || job->second.runRecorded || JobFolderShowsARun(jobId);
}

int64_t KnownJobIds::NewestRun() const {
  for (auto job = jobs.rbegin(); job != jobs.rend(); ++job)
    if (HasRunOrLostItsFolder(job->first)) return job->first;
  return 0;
}

KnownJobIds FindKnownJobIds() {
  KnownJobIds known;
  if (Root().empty()) return known;
  const std::vector<std::string> subclients = ListSubclients();
  Finder finder(known);
  finder.JobFolders();
  finder.Histories(subclients);
  finder.Media();
  // The index's child jobs are found before any id is taken from it: one is never a backup job.
  finder.Index(subclients);
  finder.JobResults();
  for (int64_t child : known.childJobs) {
    auto job = known.jobs.find(child);
    if (job != known.jobs.end() && !job->second.hasFolder) known.jobs.erase(job);
  }
  return known;
}

namespace {

// The first id after `after` that neither a job the lab knows of nor an index child job has.
int64_t FreeIdAfter(const KnownJobIds& known, int64_t after) {
  int64_t next = after + 1;
  while (known.childJobs.count(next) || known.jobs.count(next)) ++next;
  return next;
}

}  // namespace

int64_t NextBackupJobId(const KnownJobIds& known, std::string& error) {
  if (known.jobs.empty()) return FreeIdAfter(known, kFirstBackupJobId - 1);
  const auto highest = known.jobs.rbegin();
  const int64_t next = FreeIdAfter(known, highest->first);
  if (next < kFirstServerJobId) return next;
  // The highest job's records hold every id after it: named, with what to do when they are stray.
  const std::string job = std::to_string(highest->first);
  const KnownJob& records = highest->second;
  error = "every backup job id below " + std::to_string(kFirstServerJobId) + " after job " + job +
          ", the newest the lab knows of, is taken (the management server's jobs have those from there on); the lab "
          "knows of job " + job + " by " + records.where;
  if (records.records > 1)
    error += " (and " + std::to_string(records.records - 1) + " other record" + (records.records > 2 ? "s" : "") +
             " of it)";
  std::string instead;
  if (known.jobs.size() > 1) {
    const int64_t free = FreeIdAfter(known, std::next(highest)->first);
    if (free < kFirstServerJobId) instead = ", and the next new job is " + std::to_string(free);
  }
  error += ": if no job " + job + " ran in this lab, remove " + (records.records > 1 ? "each record of it" : "it") +
           " as stray" + instead + "; else the lab has used every backup job id (a new lab starts again at " +
           std::to_string(kFirstBackupJobId) + ")";
  return 0;
}

bool CheckNewBackupJobId(const KnownJobIds& known, int64_t jobId, std::string& error) {
  const int64_t newestRun = known.NewestRun();
  if (jobId >= kFirstServerJobId) {
    error = "job ids from " + std::to_string(kFirstServerJobId) +
            " on are the management server's (restores, workflows), never a backup job's";
  } else if (known.childJobs.count(jobId)) {
    error = "the index holds job " + std::to_string(jobId) + " as one VM's job of another job";
  } else if (known.jobs.count(jobId)) {
    error = "the lab still knows of job " + std::to_string(jobId) +
            " (its archives, index or job results), though the job manager's records of it are gone: a job id "
            "names one job for good";
  } else if (jobId <= newestRun) {
    error = "job " + std::to_string(newestRun) + " has run, and a new job's id comes after every job that has run";
  } else {
    return true;
  }
  std::string none;
  const int64_t next = NextBackupJobId(known, none);
  error += next > 0 ? " (the next new job is " + std::to_string(next) + ")" : "; " + none;
  return false;
}

}  // namespace lab
