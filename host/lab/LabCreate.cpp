// quarn-lab create: builds a lab through the lab model (platform/lab/LabCreate.h). Existing files are
// kept as they are, so running create again on a lab (for example with another --job) adds what is
// missing and loses nothing a test or a person has changed.
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"

namespace labtool {

int Create(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, {"vms", "disks", "clients", "subclient", "job", "time-scale", "cpus", "memory", "os",
                                  "hypervisor", "disk-images"},
                      parsed, error))
    return UsageError(error);
  if (parsed.positional.size() != 1 || !parsed.passThrough.empty())
    return UsageError("create takes exactly one lab folder");

  lab::LabPlan plan;
  if (!NumberOption(parsed, "vms", 0, lab::kMaxLabVMs, plan.vms, error) ||
      !NumberOption(parsed, "disks", 1, lab::kMaxPlanDisks, plan.disksPerVM, error) ||
      !NumberOption(parsed, "job", 1, INT64_MAX, plan.jobId, error) ||
      !NumberOption(parsed, "time-scale", 1, lab::kMaxTimeScale, plan.timeScale, error) ||
      !NumberOption(parsed, "cpus", 1, lab::kMaxMachineCpus, plan.machine.cpus, error) ||
      !NumberOption(parsed, "memory", 1, lab::kMaxMachineMemoryMB, plan.machine.memoryMB, error))
    return UsageError(error);
  if (parsed.options.count("clients")) plan.clients = labkv::SplitList(parsed.options["clients"]);
  if (parsed.options.count("disk-images")) {
    for (const std::string& image : labkv::SplitList(parsed.options["disk-images"]))
      plan.diskImages.push_back(AbsolutePath(image));
    if (plan.diskImages.empty()) return UsageError("--disk-images names no file");
  }
  plan.subclient = TextOption(parsed, "subclient", plan.subclient);
  plan.machine.os = TextOption(parsed, "os", plan.machine.os);
  if (parsed.options.count("hypervisor")) {
    plan.instanceType = lab::HypervisorKindType(parsed.options["hypervisor"]);
    if (plan.instanceType == 0) {
      std::string names;
      for (const auto& kind : lab::HypervisorKinds()) names += (names.empty() ? "" : ", ") + kind.first;
      return UsageError("--hypervisor takes one of " + names + ", not '" + parsed.options["hypervisor"] + "'");
    }
  }
  if (!lab::CheckLabPlan(plan, error)) return UsageError(error);

  std::string root = AbsolutePath(parsed.positional[0]);
  int kept = 0;
  if (!lab::CreateLab(root, plan, kept, error)) return Failure(error);
  std::printf("lab %s: %zu clients, subclient %s, job %lld, %lld VMs on %s", root.c_str(), plan.clients.size(),
              plan.subclient.c_str(), static_cast<long long>(plan.jobId), static_cast<long long>(plan.vms),
              lab::SampleServer());
  if (kept > 0) std::printf(" (%d existing files kept)", kept);
  std::printf("\n");
  return kExitOk;
}

}  // namespace labtool
