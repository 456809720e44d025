#include "platform/lab/LabMediTech.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "platform/lab/Lab.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabSubclient.h"
#include "platform/msg/ProtectedText.h"
#include "platform/os/CPxSha256.h"
#include "platform/os/ZtTime.h"

namespace lab {
namespace {

constexpr int64_t kMaxSystemVMs = 4096;
constexpr int kExitUsage = 1;
constexpr int kExitNoSystem = 2;
constexpr int kExitAuthentication = 3;
constexpr int kExitState = 4;

using labkv::Take;

std::string EscapeField(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '\t') escaped += "\\t";
    else if (c == '\n') escaped += "\\n";
    else escaped += c;
  }
  return escaped;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      fields.emplace_back();
    } else if (c == '\\' && i + 1 < line.size()) {
      const char next = line[++i];
      fields.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next;
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

bool AppendRecord(const std::string& client, const std::string& verb, int code, const std::vector<std::string>& more) {
  std::string line = std::to_string(static_cast<long long>(ZtClock::NowSeconds())) + "\t" + EscapeField(client) +
                     "\t" + EscapeField(verb) + "\t" + std::to_string(code);
  for (const std::string& field : more) line += "\t" + EscapeField(field);
  const std::string path = MediTechRecordPath();
  return !path.empty() && MakeDirs(path.substr(0, path.rfind('/'))) && AppendLineLocked(path, line);
}

// The disk GUID the system gives disk `number` of a VM: the VM's GUID with its first group replaced.
std::string DiskGuidFor(const std::string& vmGuid, size_t number) {
  char head[16];
  std::snprintf(head, sizeof(head), "6000c2%02zx", number % 256);
  const size_t dash = vmGuid.find('-');
  return std::string(head) + (dash == std::string::npos ? "-" + vmGuid : vmGuid.substr(dash));
}

// The client whose base folder holds the tool at `path`; the focus client when it lies elsewhere.
std::string ClientOfTool(const std::string& path) {
  const std::string clients = ClientsDir() + "/";
  if (!clients.empty() && path.compare(0, clients.size(), clients) == 0) {
    const std::string rest = path.substr(clients.size());
    const size_t slash = rest.find('/');
    if (slash != std::string::npos && IsSafeComponent(rest.substr(0, slash))) return rest.substr(0, slash);
  }
  return FocusClient();
}

bool RenameDisksForSystem(const std::string& server, VMDescription& vm, MediTechVM& member, std::string& error) {
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    const std::string guid = DiskGuidFor(vm.guid, i);
    member.diskGuids.push_back(guid);
    std::string& file = vm.disks[i].file;
    const std::string folder = file.substr(0, file.rfind('/') + 1);
    const std::string renamed = folder + vm.name + "-" + guid;
    if (file == renamed) continue;
    const std::string from = DiskImagePath(server, file);
    const std::string to = DiskImagePath(server, renamed);
    if (rename(from.c_str(), to.c_str()) != 0) {
      error = "cannot rename the disk image " + from;
      return false;
    }
    // A journal goes with its image; there is none before the disk was first written.
    rename(ChangeJournalPath(from).c_str(), ChangeJournalPath(to).c_str());
    file = renamed;
  }
  return WriteVMDescription(server, vm, error);
}

bool InstallTool(const std::string& client, const std::string& baseFolder, const std::string& program,
                 std::string& error) {
  const std::string base = ClientDir(client) + "/" + baseFolder;
  const std::string link = base + "/" + kMediTechToolName;
  if (!MakeDirs(base)) {
    error = "cannot create " + base;
    return false;
  }
  if (!WriteSetting(client, "Base", "dBASEHOME", base, error) ||
      !WriteSetting(client, "VirtualServer", "bCreateSharedShadow", "1", error))
    return false;
  unlink(link.c_str());
  if (symlink(program.c_str(), link.c_str()) != 0) {
    error = "cannot link " + link + " to " + program;
    return false;
  }
  return true;
}

// The clients of the lab, by their folders.
std::vector<std::string> LabClients() {
  std::vector<std::string> clients;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(ClientsDir(), ignored)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory(ignored) && IsSafeComponent(name)) clients.push_back(name);
  }
  return clients;
}

std::string Census(const MediTechSystem& system) {
  std::string text;
  for (const MediTechVM& vm : system.vms) {
    text += vm.name + ":DISKS=";
    for (const std::string& guid : vm.diskGuids) text += EncodeMediTechDiskGuid(guid) + "|";
    text += ",\n";
  }
  return text;
}

}  // namespace

bool ParseMediTechSystem(const std::string& text, MediTechSystem& system, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  MediTechSystem parsed;
  parsed.user = Take(values, "user");
  parsed.passwordSha256 = Take(values, "passwordSha256");
  parsed.quiesced = Take(values, "quiesced") == "1";
  parsed.echoArguments = Take(values, "echoArguments") == "1";
  int64_t count = 0;
  if (!labkv::TakeNumber(values, "vmCount", 0, kMaxSystemVMs, count, error)) return false;
  for (int64_t i = 0; i < count; ++i) {
    const std::string prefix = "vm" + std::to_string(i) + ".";
    MediTechVM vm;
    vm.name = Take(values, prefix + "name");
    vm.diskGuids = labkv::SplitList(Take(values, prefix + "disks"));
    parsed.vms.push_back(vm);
  }
  system = parsed;
  return true;
}

std::string FormatMediTechSystem(const MediTechSystem& system) {
  std::map<std::string, std::string> values;
  values["user"] = system.user;
  values["passwordSha256"] = system.passwordSha256;
  values["quiesced"] = system.quiesced ? "1" : "0";
  values["echoArguments"] = system.echoArguments ? "1" : "0";
  values["vmCount"] = std::to_string(system.vms.size());
  for (size_t i = 0; i < system.vms.size(); ++i) {
    const std::string prefix = "vm" + std::to_string(i) + ".";
    values[prefix + "name"] = system.vms[i].name;
    std::string disks;
    for (const std::string& guid : system.vms[i].diskGuids) disks += (disks.empty() ? "" : ",") + guid;
    values[prefix + "disks"] = disks;
  }
  return labkv::Format(values);
}

std::string MediTechSystemPath() { return Root().empty() ? std::string() : Root() + "/meditech/system.conf"; }
std::string MediTechRecordPath() { return Root().empty() ? std::string() : Root() + "/meditech/record.log"; }

RecordRead ReadMediTechSystem(MediTechSystem& system, std::string& error) {
  const std::string path = MediTechSystemPath();
  if (path.empty()) return RecordRead::kMissing;
  return ReadRecordFile(path, system, error, ParseMediTechSystem);
}

bool WriteMediTechSystem(const MediTechSystem& system, std::string& error) {
  return labkv::WriteRecordFile(MediTechSystemPath(), system, FormatMediTechSystem, ParseMediTechSystem, error);
}

std::string MediTechPasswordDigest(const std::string& password) {
  CPxSha256 sha;
  sha.Update(password.data(), password.size());
  return sha.FinalHex();
}

std::vector<std::vector<std::string>> ReadMediTechRecord() {
  std::vector<std::vector<std::string>> lines;
  for (const std::string& line : ReadLines(MediTechRecordPath())) lines.push_back(SplitFields(line));
  return lines;
}

bool RecordMediTechSnapshot(const std::string& client, const std::string& shadow) {
  MediTechSystem system;
  std::string error;
  if (ReadMediTechSystem(system, error) != RecordRead::kRead) return true;
  return AppendRecord(client, "snapshot", 0, {shadow, system.quiesced ? "quiesced=1" : "quiesced=0"});
}

std::string EncodeMediTechDiskGuid(const std::string& guid) {
  std::string encoded;
  char pair[4];
  for (unsigned char c : guid) {
    std::snprintf(pair, sizeof(pair), "%02X", c == '-' ? '_' : c);
    encoded += pair;
  }
  return encoded;
}

bool CreateMediTechSystem(const MediTechPlan& plan, std::string& error) {
  if (Root().empty()) {
    error = "no lab";
    return false;
  }
  if (plan.toolProgram.empty() || plan.toolProgram[0] != '/') {
    error = "the tool's program must be an absolute path";
    return false;
  }
  if (!IsSafeComponent(plan.baseFolder)) {
    error = "the tool's folder [" + plan.baseFolder + "] is not one file name";
    return false;
  }
  MediTechSystem system;
  system.user = plan.user;
  system.passwordSha256 = MediTechPasswordDigest(plan.password);
  for (const std::string& name : plan.vms) {
    bool found = false;
    for (const std::string& server : ListServers()) {
      VMDescription vm;
      if (!FindVM(server, name, vm)) continue;
      MediTechVM member;
      member.name = vm.name;
      if (!RenameDisksForSystem(server, vm, member, error)) return false;
      system.vms.push_back(member);
      found = true;
      break;
    }
    if (!found) {
      error = "the lab has no VM [" + name + "]";
      return false;
    }
  }
  if (!WriteMediTechSystem(system, error)) return false;
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"meditech", "1"},
      {"meditech.listeners", plan.listeners},
      {"meditech.port", plan.port},
      {"meditech.user", plan.user},
      {"meditech.password", ProtectText(plan.password)},
      {"meditech.timeout", plan.timeout}};
  for (const auto& key : keys) {
    if (!SetSubclientValue(plan.subclient, key.first, key.second, error)) return false;
  }
  for (const std::string& client : LabClients()) {
    if (!InstallTool(client, plan.baseFolder, plan.toolProgram, error)) return false;
  }
  return true;
}

int RunMediTechTool(const std::vector<std::string>& args, std::string& output) {
  output = "MEDITECH Backup Facilitator (lab)\nMedical Information Technology, Inc\n\n";
  const std::string client = ClientOfTool(args.empty() ? std::string() : args[0]);
  std::string verb, user, password, timeout;
  std::vector<std::string> shown;  // the arguments as the record keeps them
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string key = arg.substr(0, 2);
    const std::string value = arg.size() > 2 ? arg.substr(2) : std::string();
    if (key == "C=") verb = value;
    else if (key == "U=") user = value;
    else if (key == "P=") password = value;
    else if (key == "T=") timeout = value;
    else if (key != "I=") {
      output += "Unexpected argument " + std::to_string(i) + "\n";
      AppendRecord(client, verb, kExitUsage, shown);
      return kExitUsage;
    }
    shown.push_back(key == "P=" ? "P=*****" : arg);
  }
  int64_t seconds = 0;
  if (verb.empty() || !labkv::ParseInt64InRange(timeout, 1, 86400, seconds)) {
    output += "Usage: C=<census|quiesce|unquiesce> U=<user> P=<password> I=<listener:port> T=<seconds>\n";
    AppendRecord(client, verb, kExitUsage, shown);
    return kExitUsage;
  }
  FaultCall call;
  call.op = "meditech." + verb;
  call.client = client;
  Fault fault;
  if (CheckFault(call, fault)) {
    output += fault.text + "\n";
    for (size_t i = 1; i < args.size(); ++i) output += (i > 1 ? " " : "Arguments: ") + args[i];
    output += "\n";
    const int code = fault.code < 1 || fault.code > 255 ? 1 : fault.code;
    AppendRecord(client, verb, code, shown);
    return code;
  }
  MediTechSystem system;
  std::string error;
  if (ReadMediTechSystem(system, error) != RecordRead::kRead) {
    output += "No MEDITECH system answers\n";
    AppendRecord(client, verb, kExitNoSystem, shown);
    return kExitNoSystem;
  }
  if (system.echoArguments) {
    for (size_t i = 0; i < args.size(); ++i) output += (i > 0 ? " " : "") + args[i];
    output += "\n";
  }
  if (user != system.user || MediTechPasswordDigest(password) != system.passwordSha256) {
    output += "Authentication failed for user [" + user + "]\n";
    AppendRecord(client, verb, kExitAuthentication, shown);
    return kExitAuthentication;
  }
  int code = 0;
  if (verb == "census") {
    output += Census(system);
  } else if (verb == "quiesce" || verb == "unquiesce") {
    const bool quiesce = verb == "quiesce";
    // The state changes under the record's lock: two runs never both find it unchanged.
    const bool changed = UpdateFileLocked(
        MediTechSystemPath(),
        [&](std::string& text, bool, std::string& why) {
          MediTechSystem current;
          if (!ParseMediTechSystem(text, current, why)) return false;
          if (current.quiesced == quiesce) {
            why = quiesce ? "The system is already quiesced" : "The system is not quiesced";
            return false;
          }
          current.quiesced = quiesce;
          text = FormatMediTechSystem(current);
          return true;
        },
        error);
    if (changed) {
      output += quiesce ? "The system is quiesced\n" : "The system is running\n";
    } else {
      output += error + "\n";
      code = kExitState;
    }
  } else {
    output += "Unknown command " + verb + "\n";
    code = kExitUsage;
  }
  AppendRecord(client, verb, code, shown);
  return code;
}

}  // namespace lab
