#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/jobmgr/LabKeyValue.h"
#include "platform/lab/Lab.h"

namespace labtool {

void PrintUsage() {
  std::fprintf(stderr,
               "usage:\n"
               "  quarn-lab create <labdir> [--vms N] [--clients c1,c2,...] [--subclient ID] [--job ID]\n"
               "  quarn-lab run <labdir> [--job ID] [--subclient ID] [--client NAME] [--program PATH]\n"
               "                [-- extra options for the program...]\n"
               "  quarn-lab outcome <labdir> [--job ID] [--client NAME]\n"
               "  quarn-lab set <labdir> <client> <section> <key> <value>\n");
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quarn-lab: %s\n", message.c_str());
  PrintUsage();
  return kExitUsage;
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

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool SelectLabJob(Arguments& parsed, int64_t& jobId, std::string& error) {
  std::string root = AbsolutePath(parsed.positional[0]);
  if (!IsDirectory(root + "/jobs")) {
    error = root + " is not a lab (no jobs folder)";
    return false;
  }
  lab::SetRoot(root);
  jobId = 1001;
  if (parsed.options.count("job") && (!labkv::ParseInt64(parsed.options["job"], jobId) || jobId <= 0)) {
    error = "--job must be a positive number";
    return false;
  }
  if (!IsDirectory(lab::JobDir(jobId))) {
    error = "the lab has no job " + std::to_string(jobId);
    return false;
  }
  return true;
}

}  // namespace labtool
