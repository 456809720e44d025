// quarn-lab create: builds a lab through the lab model (platform/lab/LabCreate.h). Existing files are
// kept as they are, so running create again on a lab (for example with another --job) adds what is
// missing and loses nothing a test or a person has changed; a new job of a lab takes the lab's VMs and
// settings unless the options say otherwise.
#include <cstdio>
#include <filesystem>

#include "host/lab/LabTool.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"

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
  // Another job of a lab covers the lab's VMs with its settings, as the subclient's next job would.
  if (lab::IsLab(root)) {
    lab::SetRoot(root);
    if (!lab::ReadLabPlan(plan, error)) return Failure(error);
    plan.jobId = kDefaultJob;
  }
  if (!PlanOptions(parsed, plan, error)) return UsageError(error, "create");

  int kept = 0;
  if (!lab::CreateLab(root, plan, kept, error)) return Failure(error);
  const size_t vms = lab::PlannedVMNumbers(plan).size();
  // A job that was there keeps its record, and its level with it.
  lab::JobRecord record;
  if (lab::ReadJobRecord(plan.jobId, record, error)) plan.level = record.bkpLevel;
  std::printf("lab %s: %s, subclient %s, job %lld (%s), %s on %s", root.c_str(),
              Counted(plan.clients.size(), "client").c_str(), plan.subclient.c_str(),
              static_cast<long long>(plan.jobId), LevelName(plan.level).c_str(), Counted(vms, "VM").c_str(),
              lab::SampleServer());
  if (plan.timeScale > 1) std::printf(", time scale %lld", static_cast<long long>(plan.timeScale));
  if (kept > 0) std::printf(" (%d existing files kept)", kept);
  std::printf("\n");
  return kExitOk;
}

}  // namespace labtool
