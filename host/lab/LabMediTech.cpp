// quarn-lab meditech: makes the lab's subclient a MEDITECH subclient; and the stand-in of the MEDITECH
// system's tool, which is the lab tool started by the tool's name (platform/lab/LabMediTech.h).
#include <cstdio>
#include <iostream>

#include "host/lab/LabTool.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMediTech.h"
#include "platform/os/ZtProcess.h"

namespace labtool {

bool IsMediTechToolName(const std::string& program) {
  const size_t slash = program.rfind('/');
  return program.substr(slash == std::string::npos ? 0 : slash + 1) == lab::kMediTechToolName;
}

int MediTechTool(int argc, char** argv) {
  std::string output;
  const int code = lab::RunMediTechTool(std::vector<std::string>(argv, argv + argc), output);
  std::fwrite(output.data(), 1, output.size(), stdout);
  return code;
}

int MediTech(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("meditech"), parsed, error)) return UsageError(error, "meditech");
  if (parsed.positional.size() != 1 || !parsed.passThrough.empty())
    return UsageError("meditech takes exactly one lab folder", "meditech");
  if (!SelectLab(AbsolutePath(parsed.positional[0]), error)) return UsageError(error, "meditech");
  lab::MediTechPlan plan;
  plan.vms = labkv::SplitList(TextOption(parsed, "vms", "vm01"));
  for (const std::string& vm : plan.vms) {
    std::string guid;
    if (!VMGuidOf(vm, guid, error)) return UsageError(error, "meditech");
  }
  plan.subclient = TextOption(parsed, "subclient", plan.subclient);
  plan.user = TextOption(parsed, "user", plan.user);
  plan.listeners = TextOption(parsed, "listeners", plan.listeners);
  plan.port = TextOption(parsed, "port", plan.port);
  plan.timeout = TextOption(parsed, "timeout", plan.timeout);
  // The password comes on standard input, so that no command line or shell history holds it.
  if (!std::getline(std::cin, plan.password) || plan.password.empty())
    return UsageError("meditech reads the tool's password from its standard input", "meditech");
  plan.toolProgram = ZtProcess::SelfPath();
  if (!lab::CreateMediTechSystem(plan, error)) return Failure(error);
  std::printf("subclient %s: MEDITECH system of %s\n", plan.subclient.c_str(), Counted(plan.vms.size(), "VM").c_str());
  return kExitOk;
}

}  // namespace labtool
