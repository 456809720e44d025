#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>

#include "host/lab/LabTool.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobIds.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabTasks.h"

namespace labtool {

int UsageError(const std::string& message, const char* command) {
  std::fprintf(stderr, "quarn-lab: %s\n", message.c_str());
  const CommandHelp* help = command != nullptr ? FindCommand(command) : nullptr;
  if (help != nullptr) {
    for (const char* form : help->forms) std::fprintf(stderr, "usage: quarn-lab %s %s\n", help->name, form);
    std::fprintf(stderr, "(quarn-lab %s --help explains each option)\n", help->name);
  } else {
    PrintUsage(stderr);
  }
  return kExitUsage;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "quarn-lab: %s\n", message.c_str());
  return kExitFailed;
}

void Warn(const std::string& message) { std::fprintf(stderr, "quarn-lab: warning: %s\n", message.c_str()); }

bool ParseArguments(const std::vector<std::string>& args, const CommandHelp& command, Arguments& parsed,
                    std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      parsed.passThrough.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      return true;
    }
    if (arg == "--help") {
      parsed.help = true;
      continue;
    }
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      std::string name = arg.substr(2);
      const size_t equals = name.find('=');
      const bool joined = equals != std::string::npos;
      std::string value = joined ? name.substr(equals + 1) : std::string();
      if (joined) name.resize(equals);
      bool known = false;
      for (const OptionHelp& option : command.options) known = known || name == option.name;
      if (!known) {
        error = "unknown option '--" + name + "' for " + command.name;
        return false;
      }
      if (!joined && i + 1 >= args.size()) {
        error = "option '" + arg + "' needs a value";
        return false;
      }
      if (parsed.options.count(name)) {
        error = "option '--" + name + "' given twice";
        return false;
      }
      parsed.options[name] = joined ? value : args[++i];
      continue;
    }
    parsed.positional.push_back(arg);
  }
  return true;
}

std::string Counted(uint64_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string LevelName(int64_t level) {
  if (level == 1) return "full";
  if (level == 2) return "incremental";
  return "level " + std::to_string(level);
}

bool ParseLevel(const std::string& text, int64_t& level) {
  if (text == "full") {
    level = 1;
  } else if (text == "incremental") {
    level = 2;
  } else if (!labkv::ParseInt64InRange(text, 1, INT32_MAX, level)) {
    return false;
  }
  return true;
}

std::string TimeText(int64_t seconds) {
  const time_t when = static_cast<time_t>(seconds);
  struct tm parts;
  char text[64];
  if (gmtime_r(&when, &parts) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
    return std::to_string(seconds);
  return text;
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  if (getcwd(buffer, sizeof(buffer)) == nullptr) return path;
  std::string cwd = buffer;
  return path == "." ? cwd : cwd + "/" + path;
}

bool SelectLab(const std::string& folder, std::string& error) {
  std::string root = AbsolutePath(folder);
  if (lab::IsLab(root)) {
    lab::SetRoot(root);
    return true;
  }
  error = root + " is not a lab (made by quarn-lab create)";
  return false;
}

bool CheckClient(const std::string& client, std::string& error) {
  if (lab::IsSafeComponent(client) && lab::IsDirectory(lab::ClientDir(client))) return true;
  error = "the lab has no client '" + client + "'";
  return false;
}

bool VMGuidOf(const std::string& vm, std::string& guid, std::string& error) {
  std::string server;
  lab::VMDescription description;
  lab::UnreadableVM unreadable;
  if (!lab::FindLabVM(vm, server, description)) {
    error = lab::FindUnreadableLabVM(vm, server, unreadable) ? unreadable.Text()
                                                             : "the lab has no VM '" + vm + "' (give its name or GUID)";
    return false;
  }
  guid = description.guid;
  return true;
}

bool SelectJob(const Arguments& parsed, int64_t& jobId, std::string& error) {
  jobId = kDefaultJob;
  auto it = parsed.options.find("job");
  if (it != parsed.options.end() && (!labkv::ParseInt64(it->second, jobId) || jobId <= 0)) {
    error = "--job must be a positive number";
    return false;
  }
  if (!lab::JobExists(jobId)) {
    error = "the lab has no job " + std::to_string(jobId);
    return false;
  }
  return true;
}

std::vector<int64_t> LaterJobsThatHaveRun(int64_t jobId, const std::string& subclient) {
  // The management server's jobs (restores, workflows) are no backups of a subclient: the known ids leave
  // them out, as they leave out the index's child jobs.
  return LaterJobsThatHaveRun(lab::FindKnownJobIds(), jobId, subclient);
}

std::vector<int64_t> LaterJobsThatHaveRun(const lab::KnownJobIds& known, int64_t jobId, const std::string& subclient) {
  std::vector<int64_t> later;
  for (auto job = known.jobs.upper_bound(jobId); job != known.jobs.end(); ++job) {
    if (job->second.hasFolder) {
      if (!lab::JobFolderShowsARun(job->first)) continue;
      lab::JobRecord record;
      std::string error;
      if (lab::ReadJobRecord(job->first, record, error) && lab::SubclientOfRecord(record) != subclient) continue;
    } else {
      // A job whose folder is lost is known by what only its run left (archives, index, history); it is
      // the subclient's unless those records name it another's alone.
      const std::set<std::string>& of = job->second.subclients;
      if (!job->second.runRecorded || (!of.empty() && !of.count(subclient))) continue;
    }
    later.push_back(job->first);
  }
  return later;
}

std::string SubclientOfJob(int64_t jobId) {
  lab::JobRecord record;
  std::string error;
  return lab::ReadJobRecord(jobId, record, error) ? lab::SubclientOfRecord(record) : "1";
}

bool SelectJobOrNewest(const Arguments& parsed, int64_t& jobId, std::string& error) {
  if (parsed.options.count("job")) return SelectJob(parsed, jobId, error);
  // The job that runs now, else the newest that has run, else the newest made.
  lab::RunHolder holder;
  if (lab::CurrentRun(holder) && lab::JobExists(holder.jobId)) {
    jobId = holder.jobId;
    return true;
  }
  const std::vector<int64_t> jobs = lab::ListJobs();
  for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) {
    if (!lab::JobFolderShowsARun(*job)) continue;
    jobId = *job;
    return true;
  }
  jobId = lab::NewestJob(std::string());
  if (jobId > 0) return true;
  error = "the lab has no job (quarn-lab create makes one)";
  return false;
}

bool NumberOption(const Arguments& parsed, const std::string& name, int64_t min, int64_t max, int64_t& value,
                  std::string& error) {
  auto it = parsed.options.find(name);
  if (it == parsed.options.end() || labkv::ParseInt64InRange(it->second, min, max, value)) return true;
  error = "--" + name + " must be a number from " + std::to_string(min) + " to " + std::to_string(max);
  return false;
}

std::string TextOption(const Arguments& parsed, const std::string& name, const std::string& fallback) {
  auto it = parsed.options.find(name);
  return it == parsed.options.end() ? fallback : it->second;
}

namespace {

// A disk of the lab as a DISK argument names it: its VM's GUID, its position and image file, and
// whether it was named by its volume.
struct NamedDisk {
  std::string vmGuid;
  size_t position = 0;
  std::string file;
  bool byVolume = false;
};

bool FindNamedDisk(const std::string& vm, const std::string& disk, NamedDisk& named, std::string& error) {
  if (!vm.empty()) {
    lab::VMDiskRef ref;
    if (!lab::FindVMDisk(vm, disk, ref, error)) return false;
    named = {ref.vm.guid, ref.position, ref.vm.disks[ref.position].file,
             ref.indexName != lab::LabDiskIndexName(ref.position, ref.vm.disks[ref.position].file)};
    return true;
  }
  // Without a VM the disk's image file or index name says which VM it belongs to.
  for (const std::string& server : lab::ListServers()) {
    for (const lab::VMDescription& description : lab::ListVMs(server)) {
      for (size_t i = 0; i < description.disks.size(); ++i) {
        const std::string& file = description.disks[i].file;
        const std::string name = lab::LabDiskIndexName(i, file);
        const bool byFile = name == disk || file.substr(file.rfind('/') + 1) == disk;
        if (byFile || lab::IsLabDiskNamed(description.guid, i, file, disk)) {
          named = {description.guid, i, file, !byFile};
          return true;
        }
      }
    }
  }
  error = "no VM of the lab has a disk '" + disk + "' (give --vm with a disk number, or its image file, index name or volume's name)";
  return false;
}

}  // namespace

bool DiskIndexName(const std::string& vm, const std::string& disk, std::string& indexName, std::string& error) {
  NamedDisk named;
  if (!FindNamedDisk(vm, disk, named, error)) return false;
  indexName = named.byVolume ? lab::LabVolumeBackupName(named.vmGuid, named.position)
                             : lab::LabDiskIndexName(named.position, named.file);
  return true;
}

bool DiskBackupNames(const std::string& vm, const std::string& disk, std::vector<std::string>& names,
                     std::string& error) {
  NamedDisk named;
  if (!FindNamedDisk(vm, disk, named, error)) return false;
  names = {lab::LabDiskIndexName(named.position, named.file), lab::LabVolumeBackupName(named.vmGuid, named.position)};
  return true;
}

}  // namespace labtool
