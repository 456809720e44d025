#include <string>
#include <vector>

#include "host/lab/LabTool.h"

int main(int argc, char** argv) {
  if (argc > 0 && labtool::IsMediTechToolName(argv[0])) return labtool::MediTechTool(argc, argv);
  if (argc < 2) return labtool::UsageError("no command given");
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "create") return labtool::Create(args);
  if (command == "run") return labtool::Run(args);
  if (command == "outcome") return labtool::Outcome(args);
  if (command == "set") return labtool::Set(args);
  if (command == "fault") return labtool::Fault(args);
  if (command == "disk") return labtool::Disk(args);
  if (command == "verify") return labtool::Verify(args);
  if (command == "session") return labtool::Session(args);
  if (command == "meditech") return labtool::MediTech(args);
  if (command == "help" || command == "--help" || command == "-h") {
    labtool::PrintUsage();
    return labtool::kExitOk;
  }
  return labtool::UsageError("unknown command '" + command + "'");
}
