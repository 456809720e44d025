#pragma once
// Driving whole jobs through the lab tool, as the job manager and an administrator would.
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabMedia.h"
#include "platform/os/CPxSha256.h"
#include "support/ArchiveTestSupport.h"
#include "support/LabWait.h"
#include "support/TestLab.h"

namespace labrun {

// Starts the lab tool; its output goes to outPath.
inline pid_t StartTool(const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<std::string> argv = {QUARN_LAB_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::StartProgram(argv, outPath);
}

inline int RunTool(const std::vector<std::string>& args, const std::string& outPath) {
  return testsupport::WaitProgram(StartTool(args, outPath));
}

inline std::string ReadText(const std::string& path) {
  std::string text, error;
  lab::ReadRegularFile(path, 64 << 20, text, error);
  return text;
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every entry under the lab folder by its path: a folder as such, a link as where it leads, a file as its
// size and SHA-256. A command that changes nothing leaves each as it was.
inline std::map<std::string, std::string> LabTree(const std::string& labDir) {
  std::map<std::string, std::string> tree;
  std::error_code failed;
  for (std::filesystem::recursive_directory_iterator it(labDir, failed), end; !failed && it != end;
       it.increment(failed)) {
    const std::string path = it->path().string();
    std::string& what = tree[path.substr(labDir.size())];
    std::error_code ignored;
    if (it->is_symlink(ignored)) {
      what = "link to " + std::filesystem::read_symlink(it->path(), ignored).string();
    } else if (it->is_directory(ignored)) {
      what = "folder";
    } else {
      std::string hex, error;
      what = CPxSha256::OfFile(path, hex, error) ? std::to_string(it->file_size(ignored)) + " bytes " + hex
                                                 : "unreadable: " + error;
    }
  }
  if (failed) tree["(not listed whole)"] = failed.message();
  return tree;
}

// The entries of two listings of a lab (LabTree) that differ, named; empty when none does.
inline std::string LabTreeChanges(const std::map<std::string, std::string>& before,
                                  const std::map<std::string, std::string>& after) {
  std::string changes;
  for (const auto& entry : before) {
    const auto now = after.find(entry.first);
    if (now == after.end())
      changes += " gone: " + entry.first + ";";
    else if (now->second != entry.second)
      changes += " changed: " + entry.first + ";";
  }
  for (const auto& entry : after)
    if (!before.count(entry.first)) changes += " new: " + entry.first + ";";
  return changes;
}

// Blocks until `reached` holds or nothing changes in the folders for a minute.
using testsupport::WaitForLab;

// REQUIRES: the lab's root. Blocks until the fault table has holding rules and each of them holds a
// call: the job is caught where they stop it. False when nothing changes in the folders for a minute
// before that.
inline bool WaitForHeldCalls(const std::vector<std::string>& folders) {
  return WaitForLab(folders, [] {
    lab::FaultTable table;
    std::string error;
    if (!lab::ReadFaultTable(table, error)) return false;
    bool holds = false;
    for (const lab::FaultRule& rule : table.rules) {
      if (!rule.hold) continue;
      if (rule.fired == 0) return false;
      holds = true;
    }
    return holds;
  });
}

// A run of a job through the lab tool with some VMs' disk 1 each in an archive of its own.
struct Disk1AloneRun {
  int status = -1;      // the lab tool's exit status
  std::string output;   // what it printed
  std::string failure;  // why a VM's disk 1 has no archive of its own; empty when each has one
};

// The VMs (of `vms`) whose disk 1 has no committed archive of its own in the job, named; empty when
// none.
inline std::string WithoutDisk1Alone(int64_t job, const std::vector<std::string>& vms) {
  std::string without;
  for (const std::string& vm : vms)
    if (archivetest::ArchiveOfDisk1Alone(job, vm).path.empty()) without += (without.empty() ? "" : ", ") + vm;
  return without;
}

// Runs the lab tool with `args`, a run of the job of the lab in labDir, with disk 1 of each VM of `vms`
// in an archive of its own however the streams come: with more than one stream, disk 1 goes to a
// stream of its own unless disk 0 has ended first and left it its stream and archive. Each VM's first
// read of disk 0 is held until all those archives are committed, so that no disk 0 can end first. The
// tool's output goes to outPath.
inline Disk1AloneRun RunWithDisk1InAnArchiveOfItsOwn(const std::string& labDir, int64_t job,
                                                     const std::vector<std::string>& vms,
                                                     const std::vector<std::string>& args, const std::string& outPath) {
  Disk1AloneRun run;
  for (const std::string& vm : vms) {
    if (RunTool({"fault", labDir, "hold", "disk.Read", "--disk", "0", "--vm", vm}, outPath) != 0) {
      run.failure = "disk 0 of " + vm + " cannot be held: " + ReadText(outPath);
      return run;
    }
  }
  testsupport::LabRootScope scope(labDir);
  const pid_t tool = StartTool(args, outPath);
  if (tool <= 0) {
    run.failure = "the lab tool does not start";
    return run;
  }
  const bool held = WaitForHeldCalls({labDir});
  // The job's media folder is there once a VM's first archive is begun, before any disk of it is read.
  std::string without;
  const bool alone = held && WaitForLab({lab::MediaJobDir(lab::SampleMediaAgent(), job)}, [&] {
    without = WithoutDisk1Alone(job, vms);
    return without.empty();
  });
  std::string error;
  const bool released = lab::ReleaseHeldCalls(error);
  run.status = testsupport::WaitProgram(tool);
  run.output = ReadText(outPath);
  if (!held)
    run.failure = "the run never reached the first read of disk 0 of each VM, where it was to be held";
  else if (!alone)
    run.failure = "disk 1 of " + without + " has no archive of its own in job " + std::to_string(job);
  else if (!released)
    run.failure = "the held reads were not let go: " + error;
  return run;
}

}  // namespace labrun
