#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"

namespace labtool {

void PrintUsage() {
  std::fprintf(stderr,
               "usage:\n"
               "  quarn-lab create <lab> [--vms N] [--disks N] [--clients c1,c2,...] [--subclient ID] [--job ID]\n"
               "                   [--time-scale N] [--cpus N] [--memory MB] [--os windows|linux]\n"
               "                   [--hypervisor KIND] [--disk-images FILE,...]\n"
               "  quarn-lab run <lab> [--job ID] [--subclient ID] [--client NAME] [--program PATH]\n"
               "                [-- job options, which replace the tool's own...]\n"
               "  quarn-lab outcome <lab> [--job ID] [--client NAME]\n"
               "  quarn-lab set <lab> <client> <section> <key> <value>\n"
               "  quarn-lab set <lab> <client> [--cpus N] [--memory MB] [--os windows|linux] [--host-name NAME]\n"
               "                [--addresses IP/MASK,...] [--hypervisor-host HOST] [--vm-guid GUID|none]\n"
               "  quarn-lab set <lab> --job ID --time-scale N\n"
               "  quarn-lab fault <lab> add <operation> --code N [--after N] [--times N|always] [--text TEXT]\n"
               "                [--event ID] [--client NAME] [--vm NAME] [--disk NAME] [--stream NAME]\n"
               "  quarn-lab fault <lab> hold <operation> [--after N] [--times N|always] [--client NAME] [--vm NAME]\n"
               "                [--disk NAME] [--stream NAME]\n"
               "  quarn-lab fault <lab> list\n"
               "  quarn-lab fault <lab> clear\n"
               "  quarn-lab disk <lab> <vm> <disk> write --offset O --bytes N [--seed S]\n"
               "  quarn-lab disk <lab> <vm> <disk> write --percent P [--seed S]\n"
               "  quarn-lab verify <lab> [--job ID] [--vm GUID] [--image DISK=PATH,...]\n"
               "  quarn-lab session <lab> go-ahead --client NAME --service NAME --vm GUID [--vm-client-id N]\n"
               "                [--as CLIENT]\n"
               "  quarn-lab session <lab> listen --client NAME --service NAME [--seconds N]\n"
               "  quarn-lab vm <lab> <vm> power on|off [--hours H]\n"
               "  quarn-lab vm <lab> <vm> delete\n"
               "  quarn-lab vm <lab> <vm> restore [--job ID]\n"
               "  quarn-lab meditech <lab> [--vms vm01,...] [--subclient ID] [--user NAME] [--listeners A;B]\n"
               "                [--port N] [--timeout S]   (the tool's password on standard input)\n");
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quarn-lab: %s\n", message.c_str());
  PrintUsage();
  return kExitUsage;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "quarn-lab: %s\n", message.c_str());
  return kExitFailed;
}

bool ParseArguments(const std::vector<std::string>& args, const std::vector<std::string>& allowed,
                    Arguments& parsed, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      parsed.passThrough.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      return true;
    }
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      std::string name = arg.substr(2);
      if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
        error = "unknown option '" + arg + "'";
        return false;
      }
      if (i + 1 >= args.size()) {
        error = "option '" + arg + "' needs a value";
        return false;
      }
      if (parsed.options.count(name)) {
        error = "option '" + arg + "' given twice";
        return false;
      }
      parsed.options[name] = args[++i];
      continue;
    }
    parsed.positional.push_back(arg);
  }
  return true;
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
  lab::SetRoot(root);
  if (lab::IsDirectory(lab::JobsDir()) && lab::IsDirectory(lab::ClientsDir())) return true;
  lab::SetRoot(std::string());
  error = root + " is not a lab (made by quarn-lab create)";
  return false;
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

}  // namespace labtool
