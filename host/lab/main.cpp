#include <cstdio>
#include <string>
#include <vector>

#include "host/lab/LabTool.h"

namespace {

using Handler = int (*)(const std::vector<std::string>&);

Handler HandlerOf(const std::string& command) {
  struct Entry {
    const char* name;
    Handler handler;
  };
  static const Entry kHandlers[] = {{"create", labtool::Create}, {"run", labtool::Run},
                                    {"outcome", labtool::Outcome}, {"set", labtool::Set},
                                    {"fault", labtool::Fault},   {"disk", labtool::Disk},
                                    {"verify", labtool::Verify}, {"session", labtool::Session},
                                    {"vm", labtool::VM},         {"meditech", labtool::MediTech}};
  for (const Entry& entry : kHandlers)
    if (command == entry.name) return entry.handler;
  return nullptr;
}

// "--help" anywhere before a lone "--" asks for the command's help instead of running it.
bool AsksForHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && labtool::IsMediTechToolName(argv[0])) return labtool::MediTechTool(argc, argv);
  if (argc < 2) return labtool::UsageError("no command given");
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--version") {
    std::printf("%s\n", labtool::Version());
    return labtool::kExitOk;
  }
  if (command == "help" || command == "--help" || command == "-h") {
    const labtool::CommandHelp* help = args.empty() ? nullptr : labtool::FindCommand(args[0]);
    if (help != nullptr)
      labtool::PrintCommandHelp(*help, stdout);
    else
      labtool::PrintUsage(stdout);
    return labtool::kExitOk;
  }
  const Handler handler = HandlerOf(command);
  const labtool::CommandHelp* help = labtool::FindCommand(command);
  if (handler == nullptr || help == nullptr) return labtool::UsageError("unknown command '" + command + "'");
  if (AsksForHelp(args)) {
    labtool::PrintCommandHelp(*help, stdout);
    return labtool::kExitOk;
  }
  return handler(args);
}
