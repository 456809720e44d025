// quarn-lab vm: what happens to a VM on the hypervisor outside any job: it is powered on or off (off
// for some hours already), deleted, restored from its backups after a stub deleted its disks
// (platform/lab/LabArchiving.h), or replicated to a disaster-recovery copy (platform/lab/LabFailback.h).
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFailback.h"

namespace labtool {

int VM(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("vm"), parsed, error)) return UsageError(error, "vm");
  const std::vector<std::string>& words = parsed.positional;
  if (words.size() < 3 || !parsed.passThrough.empty()) return UsageError("vm takes <lab> <vm> power|delete|restore|replica", "vm");
  if (!SelectLab(words[0], error)) return UsageError(error, "vm");
  const std::string& name = words[1];
  const std::string& action = words[2];
  std::string server;
  lab::UnreadableVM unreadable;
  // A VM whose description does not read is the hypervisor's still: it is named, and nothing of it changes.
  if (!lab::FindVMServer(name, server) && lab::FindUnreadableLabVM(name, server, unreadable))
    return Failure(unreadable.Text() + "; nothing was changed");
  if (server.empty()) return UsageError("the lab has no VM '" + name + "' (give its name or GUID)", "vm");

  if (action == "power") {
    if (words.size() != 4 || (words[3] != "on" && words[3] != "off"))
      return UsageError("vm <lab> <vm> power takes on or off", "vm");
    const bool on = words[3] == "on";
    int64_t hours = 0;
    if (!NumberOption(parsed, "hours", 0, 24 * 365 * 100, hours, error)) return UsageError(error, "vm");
    if (on && parsed.options.count("hours")) return UsageError("--hours goes with power off", "vm");
    if (parsed.options.count("job")) return UsageError("--job goes with restore", "vm");
    const int64_t offAt = lab::ServerClockSeconds(server) - hours * 3600;
    if (!lab::SetVMPower(server, name, on, offAt, error)) return Failure(error);
    std::printf("VM %s powered %s%s\n", name.c_str(), on ? "on" : "off",
                on ? "" : (" " + std::to_string(hours) + " hours ago").c_str());
    return kExitOk;
  }
  if (action == "replica") {
    if (words.size() != 4) return UsageError("vm <lab> <vm> replica takes the replica's name", "vm");
    if (!parsed.options.empty()) return UsageError("replica takes no options", "vm");
    if (!lab::MakeReplicaVM(server, name, words[3], error)) return Failure(error);
    std::printf("VM %s made on server %s, a replica of %s\n", words[3].c_str(), server.c_str(), name.c_str());
    return kExitOk;
  }
  if (words.size() != 3) return UsageError("vm <lab> <vm> " + action + " takes no further words", "vm");
  if (parsed.options.count("hours")) return UsageError("--hours goes with power off", "vm");
  if (action == "delete") {
    if (parsed.options.count("job")) return UsageError("--job goes with restore", "vm");
    if (!lab::RemoveVM(server, name, error)) return Failure(error);
    std::printf("VM %s deleted from server %s\n", name.c_str(), server.c_str());
    return kExitOk;
  }
  if (action == "restore") {
    int64_t job = 0;
    if (!NumberOption(parsed, "job", 1, INT64_MAX, job, error)) return UsageError(error, "vm");
    std::vector<std::string> restored, left;
    if (!lab::RestoreVMDisks(server, name, job, restored, left, error)) return Failure(error);
    std::printf("VM %s: %s restored\n", name.c_str(), Counted(restored.size(), "disk").c_str());
    for (const std::string& disk : restored) std::printf("  %s\n", disk.c_str());
    for (const std::string& disk : left) std::printf("  %s\n", disk.c_str());
    return kExitOk;
  }
  return UsageError("vm takes power, delete, restore or replica, not '" + action + "'", "vm");
}

}  // namespace labtool
