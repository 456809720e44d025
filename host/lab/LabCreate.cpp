// quarn-lab create: builds a lab through the lab model (platform/lab/LabCreate.h). Existing files are
// kept as they are, so running create again on a lab (for example with another --job) adds what is
// missing and loses nothing a test or a person has changed; a new job of a lab takes the lab's VMs and
// settings unless the options say otherwise.
#include <strings.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "host/lab/LabTool.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFailback.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobIds.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabTasks.h"

namespace labtool {
namespace {

constexpr int64_t kMiB = 1024 * 1024;

// True when the path is a folder with something in it, or something that is not a folder.
bool OccupiedByOtherThanALab(const std::string& root) {
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(root, error))) return false;
  if (!std::filesystem::is_directory(root, error)) return true;
  return !lab::IsLab(root) && !std::filesystem::is_empty(root, error);
}

bool PlanOptions(const Arguments& parsed, lab::LabPlan& plan, std::string& error) {
  int64_t diskMiB = 0;
  if (!NumberOption(parsed, "vms", 0, lab::kMaxLabVMs, plan.vms, error) ||
      !NumberOption(parsed, "disks", 1, lab::kMaxPlanDisks, plan.disksPerVM, error) ||
      !NumberOption(parsed, "disk-size", 1, static_cast<int64_t>(lab::kMaxPlanDiskBytes / kMiB), diskMiB, error) ||
      !NumberOption(parsed, "job", 1, INT64_MAX, plan.jobId, error) ||
      !NumberOption(parsed, "time-scale", 1, lab::kMaxTimeScale, plan.timeScale, error) ||
      !NumberOption(parsed, "cpus", 1, lab::kMaxMachineCpus, plan.machine.cpus, error) ||
      !NumberOption(parsed, "memory", 1, lab::kMaxMachineMemoryMB, plan.machine.memoryMB, error))
    return false;
  if (diskMiB > 0) plan.diskBytes = static_cast<uint64_t>(diskMiB) * kMiB;
  // --vms asks for vm01 to vmN, so a sample VM deleted among them is made again.
  if (parsed.options.count("vms")) plan.vmNumbers.clear();
  if (parsed.options.count("level") && !ParseLevel(parsed.options.at("level"), plan.level)) {
    error = "--level takes full, incremental or a level number from 1, not '" + parsed.options.at("level") + "'";
    return false;
  }
  auto clients = parsed.options.find("clients");
  if (clients != parsed.options.end()) plan.clients = labkv::SplitList(clients->second);
  auto images = parsed.options.find("disk-images");
  if (images != parsed.options.end()) {
    plan.diskImages.clear();
    for (const std::string& image : labkv::SplitList(images->second)) plan.diskImages.push_back(AbsolutePath(image));
    if (plan.diskImages.empty()) {
      error = "--disk-images names no file";
      return false;
    }
    if (diskMiB > 0) {
      error = "--disk-size and --disk-images both give the disks' sizes: give one of them";
      return false;
    }
    // One file per disk: without --disks the files say how many.
    if (!parsed.options.count("disks")) plan.disksPerVM = static_cast<int64_t>(plan.diskImages.size());
  }
  plan.machine.os = TextOption(parsed, "os", plan.machine.os);
  auto hypervisor = parsed.options.find("hypervisor");
  if (hypervisor != parsed.options.end()) {
    plan.instanceType = lab::HypervisorKindType(hypervisor->second);
    if (plan.instanceType == 0) {
      std::string names;
      for (const auto& kind : lab::HypervisorKinds()) names += (names.empty() ? "" : ", ") + kind.first;
      error = "--hypervisor takes one of " + names + ", not '" + hypervisor->second + "'";
      return false;
    }
  }
  return lab::CheckLabPlan(plan, error);
}

// "--failback REPLICA": the job backs up the replica as the VM it replicates. Every VM of a job of
// the lab goes through the one replication record, so the job must be of that VM alone.
bool FailbackOptions(const Arguments& parsed, const std::string& root, const lab::LabPlan& plan,
                     lab::FailbackPlan& failback, std::string& error) {
  auto kind = parsed.options.find("failback-kind");
  if (!parsed.options.count("failback")) {
    if (kind == parsed.options.end()) return true;
    error = "--failback-kind goes with --failback";
    return false;
  }
  if (kind != parsed.options.end() && kind->second != "plain" && kind->second != "cross-vendor") {
    error = "--failback-kind takes plain or cross-vendor, not '" + kind->second + "'";
    return false;
  }
  if (!lab::IsLab(root)) {
    error = "--failback makes a job of a lab that has the replica: " + root + " is no lab yet";
    return false;
  }
  // A job that exists may have run as a plain backup of the VM: the failback is a job of its own.
  if (!parsed.options.count("job") || lab::JobRecordExists(plan.jobId)) {
    error = "--failback makes a new job: give its id with --job (job " + std::to_string(plan.jobId) +
            (lab::JobRecordExists(plan.jobId) ? " exists)" : " is the lab's first)");
    return false;
  }
  std::string server, sourceGuid;
  if (!lab::ReplicaSourceOf(parsed.options.at("failback"), server, sourceGuid, error)) return false;
  const std::vector<int64_t> vms = lab::PlannedVMNumbers(plan);
  if (vms != std::vector<int64_t>{1} || strcasecmp(sourceGuid.c_str(), lab::SampleVMGuid(1).c_str()) != 0) {
    error = "a failback job backs up only the VM its replica replicates (" + sourceGuid + "), and the lab's jobs back up " +
            Counted(vms.size(), "VM") + ": make the failback in a lab of that one VM";
    return false;
  }
  failback.jobId = plan.jobId;
  failback.appId = plan.subclient;
  failback.source = sourceGuid;
  failback.replica = parsed.options.at("failback");
  failback.crossVendor = kind != parsed.options.end() && kind->second == "cross-vendor";
  return true;
}

// The subclient's newest job, else its first job with a new id (past every job the lab knows of).
bool JobOfTheSubclient(const lab::KnownJobIds& known, lab::LabPlan& plan, std::string& error) {
  plan.jobId = lab::NewestJob(plan.subclient);
  if (plan.jobId == 0) plan.jobId = lab::NextBackupJobId(known, error);
  return plan.jobId > 0;
}

// The subclients a job of the lab is of: its record's, or, its record lost from its folder, those its
// other records name (none: it cannot be told). False with the reason when its record does not read.
bool SubclientsOfJob(const lab::KnownJobIds& known, int64_t jobId, std::set<std::string>& subclients,
                     std::string& error) {
  lab::JobRecord record;
  if (lab::ReadJobRecord(jobId, record, error)) {
    subclients = {lab::SubclientOfRecord(record)};
    return true;
  }
  if (lab::JobRecordExists(jobId)) {
    error = "job " + std::to_string(jobId) + "'s record does not read (" + error + "): whose job it is cannot be told";
    return false;
  }
  const auto job = known.jobs.find(jobId);
  if (job != known.jobs.end()) subclients = job->second.subclients;
  return true;
}

// The job create makes or adds to on a lab, and the subclient it is of. A job id names one job of one
// subclient for the lab's life, as a job manager's ids do. A job of the lab named (--job) is kept as it
// is when it is the subclient's (without --subclient, the job's own subclient is taken); a new id must
// be one no job of the lab had, past every job that has run. Without --job it is job 1001 while that
// is the subclient's or free, else the subclient's newest job, else its first job with a new id. False
// with the reason when the job named cannot be the subclient's.
bool JobOfTheLab(bool subclientNamed, int64_t named, lab::LabPlan& plan, std::string& error) {
  const lab::KnownJobIds known = lab::FindKnownJobIds();
  const int64_t asked = named > 0 ? named : kDefaultJob;
  if (!lab::JobExists(asked)) {
    if (lab::CheckNewBackupJobId(known, asked, error)) {
      plan.jobId = asked;
      return true;
    }
    if (named == 0) return JobOfTheSubclient(known, plan, error);
    error = "job " + std::to_string(named) + " cannot be made: " + error;
    return false;
  }
  std::set<std::string> subclients;
  if (!SubclientsOfJob(known, asked, subclients, error))
    return named == 0 ? JobOfTheSubclient(known, plan, error) : false;
  if (!subclientNamed && subclients.size() == 1) plan.subclient = *subclients.begin();
  if (subclients.empty() || subclients == std::set<std::string>{plan.subclient}) {
    plan.jobId = asked;
    return true;
  }
  if (named == 0) return JobOfTheSubclient(known, plan, error);
  std::string names;
  for (const std::string& subclient : subclients) names += (names.empty() ? "" : ", ") + subclient;
  error = "job " + std::to_string(named) + " is of subclient " + names + ", not of subclient " + plan.subclient +
          ": a job id names one job of one subclient (create --subclient " + plan.subclient +
          " without --job adds to its newest job, or makes its first)";
  return false;
}

}  // namespace

int Create(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("create"), parsed, error)) return UsageError(error, "create");
  if (parsed.positional.size() != 1 || !parsed.passThrough.empty())
    return UsageError("create takes exactly one lab folder", "create");

  const std::string root = AbsolutePath(parsed.positional[0]);
  if (OccupiedByOtherThanALab(root))
    return Failure(root + " is not empty and not a lab: create makes a lab in a new or empty folder, or adds to a lab");
  lab::LabPlan plan;
  plan.subclient = TextOption(parsed, "subclient", plan.subclient);
  int64_t named = 0;
  if (!NumberOption(parsed, "job", 1, INT64_MAX, named, error)) return UsageError(error, "create");
  if (named >= lab::kFirstServerJobId)
    return UsageError("job " + std::to_string(named) + " cannot be made: job ids from " +
                          std::to_string(lab::kFirstServerJobId) +
                          " on are the management server's (restores, workflows), never a backup job's",
                      "create");
  // Another job of a lab covers the lab's VMs with its settings, as the subclient's next job would.
  if (lab::IsLab(root)) {
    lab::SetRoot(root);
    if (!JobOfTheLab(parsed.options.count("subclient") > 0, named, plan, error)) return UsageError(error, "create");
    if (!lab::ReadLabPlan(plan, error)) return Failure(error);
  }
  if (!PlanOptions(parsed, plan, error)) return UsageError(error, "create");
  lab::FailbackPlan failback;
  if (!FailbackOptions(parsed, root, plan, failback, error)) return UsageError(error, "create");

  int kept = 0;
  if (!lab::CreateLab(root, plan, kept, error)) return Failure(error);
  const size_t vms = lab::PlannedVMNumbers(plan).size();
  // A job that was there keeps its record, and its level with it.
  lab::JobRecord record;
  if (lab::ReadJobRecord(plan.jobId, record, error)) plan.level = record.bkpLevel;
  if (!failback.replica.empty() && !lab::MakeFailbackJob(failback, error)) return Failure(error);
  std::printf("lab %s: %s, subclient %s, job %lld (%s), %s on %s", root.c_str(),
              Counted(plan.clients.size(), "client").c_str(), plan.subclient.c_str(),
              static_cast<long long>(plan.jobId), LevelName(plan.level).c_str(), Counted(vms, "VM").c_str(),
              lab::SampleServer());
  if (plan.timeScale > 1) std::printf(", time scale %lld", static_cast<long long>(plan.timeScale));
  if (kept > 0) std::printf(" (%d existing files kept)", kept);
  std::printf("\n");
  if (!failback.replica.empty())
    std::printf("job %lld: a %sfailback backup of %s from its replica %s\n", static_cast<long long>(plan.jobId),
                failback.crossVendor ? "cross-vendor " : "", failback.source.c_str(), failback.replica.c_str());
  return kExitOk;
}

}  // namespace labtool
