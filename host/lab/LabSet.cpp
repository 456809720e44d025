// quarn-lab set: changes one thing of a lab through its record's writer:
//  - a setting of a client's section (the line that is read gets the new value, earlier duplicates
//    go, a new key is appended; comments and other keys stay);
//  - the machine a client simulates (CPUs, memory, operating system, host name, addresses, the
//    hypervisor host it runs on, its own VM);
//  - the time scale of a job.
#include <strings.h>

#include <cstdio>

#include "app/QuarnRegistry.h"
#include "host/lab/LabTool.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMachine.h"
#include "platform/lab/LabSettings.h"

namespace labtool {
namespace {

// Keys read outside the job process's settings table (app/QuarnRegistry_table.cpp): by the job
// process itself, the stand-ins and the lab's own processes.
struct KnownSetting {
  const char* section;
  const char* key;
};
const KnownSetting kOtherSettings[] = {
    {"Base", "nClientId"},           {"Base", "nQuarnDebugLevel"},         {"Base", "nQuarnLogMaxVersions"},
    {"Base", "sKeymasterClientName"}, {"Base", "sKeymasterHostName"},       {"Base", "dBASEHOME"},
    {"Base", "dVORLAXTEMPDIR"},       {"VirtualServer", "AgentInitSleepTime"}, {"VirtualServer", "AppAwareWorkflowID"},
    {"VirtualServer", "AppAwareWorkflowName"}, {"VirtualServer", "EnableRegionBasedBackups"},
    {"VirtualServer", "ExtraWorkers"}, {"VirtualServer", "MinDatastoreFreespaceMB"},
    {"VirtualServer", "VerifyAccount"}, {"VirtualServer", "bAllowDiskFiltersForAppAware"},
    {"VirtualServer", "bEnableCRCWithCBT"}, {"VirtualServer", "ignoreAppAwareErrors"},
    {"VirtualServer", "nAgentInitTimeout"}, {"VirtualServer", "nAutoScaleAverageVMSizeGB"},
    {"VirtualServer", "nCreateBackupSetOnVMClient"}, {"VirtualServer", "sInduceMissingBlocks"},
    {"VirtualServer", "nStreamLimit"}, {"VirtualServer", "dVMSnapMountPath"}};

bool SameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Empty when a settings table knows the key; else the warning, naming a key it knows that differs only
// in case.
std::string UnknownSettingWarning(const std::string& section, const std::string& key) {
  std::string sameButCase;
  for (const KnownSetting& known : kOtherSettings) {
    if (section != known.section) continue;
    if (key == known.key) return std::string();
    if (SameText(key, known.key)) sameButCase = known.key;
  }
  if (section == "VirtualServer") {
    for (const QuarnRegistry::RegEntry* entry = QuarnRegistry::c_regEntryList; entry->name != nullptr; ++entry) {
      if (key == entry->name) return std::string();
      if (SameText(key, entry->name)) sameButCase = entry->name;
    }
  }
  return "no settings table knows the key '" + key + "' of section '" + section + "'" +
         (sameButCase.empty() ? "" : " (did you mean " + sameButCase + "?)") + "; it is written all the same";
}

int SetSetting(const std::vector<std::string>& positional) {
  const std::string& client = positional[1];
  const std::string& section = positional[2];
  std::string key = labkv::Trim(positional[3]);
  std::string value = labkv::Trim(positional[4]);
  if (!lab::IsSafeComponent(client)) return UsageError("client name '" + client + "' is not usable", "set");
  if (lab::SettingsPath(client, section).empty()) return UsageError("section name '" + section + "' is not usable", "set");
  if (!lab::IsStorableSettingKey(key)) return UsageError("key '" + key + "' is not usable", "set");
  if (!lab::IsStorableSettingValue(value)) return UsageError("a value must be one line", "set");
  if (!lab::IsDirectory(lab::ClientDir(client))) return UsageError("the lab has no client " + client, "set");
  const std::string warning = UnknownSettingWarning(section, key);
  if (!warning.empty()) Warn(warning);
  std::string error;
  if (!lab::WriteSetting(client, section, key, value, error)) return Failure(error);
  std::printf("%s: %s=%s\n", lab::SettingsPath(client, section).c_str(), key.c_str(), value.c_str());
  return kExitOk;
}

// Applies the machine options to the record; false with the reason for a value out of range.
bool ApplyMachineOptions(const Arguments& parsed, lab::MachineRecord& machine, std::string& error) {
  if (!NumberOption(parsed, "cpus", 1, lab::kMaxMachineCpus, machine.cpus, error) ||
      !NumberOption(parsed, "memory", 1, lab::kMaxMachineMemoryMB, machine.memoryMB, error))
    return false;
  machine.os = TextOption(parsed, "os", machine.os);
  machine.hostName = TextOption(parsed, "host-name", machine.hostName);
  machine.hypervisorHost = TextOption(parsed, "hypervisor-host", machine.hypervisorHost);
  machine.vmGuid = TextOption(parsed, "vm-guid", machine.vmGuid);
  if (machine.vmGuid == "none") machine.vmGuid.clear();
  auto addresses = parsed.options.find("addresses");
  if (addresses != parsed.options.end() && !lab::ParseAddressList(addresses->second, machine.addresses, error))
    return false;
  std::string text;
  return labkv::StorableText(machine, lab::FormatMachineRecord, lab::ParseMachineRecord, text, error);
}

int SetMachine(const std::string& client, const Arguments& parsed) {
  if (!lab::IsSafeComponent(client) || !lab::IsDirectory(lab::ClientDir(client)))
    return UsageError("the lab has no client '" + client + "'", "set");
  lab::MachineRecord machine;
  std::string error;
  // Checked once before the record is touched, so bad options are a usage error that changes nothing.
  if (!ApplyMachineOptions(parsed, machine, error)) return UsageError(error, "set");
  bool written = lab::UpdateMachineRecord(
      client, [&parsed](lab::MachineRecord& record, std::string& why) { return ApplyMachineOptions(parsed, record, why); },
      error);
  if (!written) return Failure(error);
  std::printf("machine of %s updated\n", client.c_str());
  return kExitOk;
}

int SetTimeScale(const Arguments& parsed) {
  int64_t jobId = 0;
  int64_t scale = 0;
  std::string error;
  if (!SelectJob(parsed, jobId, error)) return UsageError(error, "set");
  if (!NumberOption(parsed, "time-scale", 1, lab::kMaxTimeScale, scale, error)) return UsageError(error, "set");
  bool written = lab::UpdateJobRecord(
      jobId,
      [scale](lab::JobRecord& record, std::string&) {
        record.timeScale = scale;
        return true;
      },
      error);
  if (!written) return Failure(error);
  std::printf("job %lld: time scale %lld\n", static_cast<long long>(jobId), static_cast<long long>(scale));
  return kExitOk;
}

}  // namespace

int Set(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("set"), parsed, error))
    return UsageError(error, "set");
  if (parsed.positional.empty() || !parsed.passThrough.empty()) return UsageError("set needs a lab folder", "set");
  if (!SelectLab(parsed.positional[0], error)) return UsageError(error, "set");
  const bool jobForm = parsed.options.count("job") || parsed.options.count("time-scale");
  if (parsed.positional.size() == 5 && parsed.options.empty()) return SetSetting(parsed.positional);
  if (parsed.positional.size() == 2 && !parsed.options.empty() && !jobForm)
    return SetMachine(parsed.positional[1], parsed);
  if (parsed.positional.size() == 1 && parsed.options.size() == 2 && parsed.options.count("job") &&
      parsed.options.count("time-scale"))
    return SetTimeScale(parsed);
  return UsageError("set takes <lab> <client> <section> <key> <value>, <lab> <client> with machine options, or "
                    "<lab> --job ID --time-scale N", "set");
}

}  // namespace labtool
