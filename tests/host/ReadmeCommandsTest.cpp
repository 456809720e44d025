// The README's commands, run as a new user runs them: every block of lab commands in order on a new
// lab (made by the block's own "create LAB", or before it), each exiting 0 and running the job its
// comment names, and logging no error line the README does not explain; and the demo, whose VMs back
// up without an error line and restore.
#include <stdlib.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "support/LabRunSupport.h"
#include "support/TestLab.h"

namespace {

using labrun::Has;
using labrun::ReadText;

std::string BuildFolder() {
  const std::string tool = QUARN_LAB_BINARY;
  return tool.substr(0, tool.rfind('/'));
}

// One command of a code block: the command line and its comment.
struct Command {
  std::string line;
  std::string comment;
};

// The commands of each indented code block of the README that a user can run as they stand: lines
// of the lab tool or the scripts, and lines that append a setting to a file of the lab, without
// placeholders (options in brackets, alternatives, "...", or a capitalised word other than LAB).
std::vector<std::vector<Command>> ReadmeBlocks() {
  std::istringstream readme(ReadText(std::string(QUARN_SOURCE_DIR) + "/README.md"));
  const std::regex placeholder("\\b(?!LAB\\b)[A-Z][A-Z_]*\\b");
  std::vector<std::vector<Command>> blocks;
  bool inBlock = false;
  for (std::string line; std::getline(readme, line);) {
    const bool code = line.compare(0, 4, "    ") == 0;
    if (!code && !line.empty()) inBlock = false;
    if (!code) continue;
    std::string text = line.substr(4);
    const bool setting = text.rfind("echo ", 0) == 0 && Has(text, " >> LAB/");
    if (text.rfind("build/quarn-lab ", 0) != 0 && text.rfind("bash scripts/", 0) != 0 && !setting) continue;
    if (!inBlock) blocks.emplace_back();
    inBlock = true;
    Command command;
    const size_t hash = text.find(" #");
    if (hash != std::string::npos) {
      command.comment = text.substr(text.find_first_not_of(" #", hash));
      text.resize(hash);
    }
    command.line = text.substr(0, text.find_last_not_of(' ') + 1);
    if (command.line.find_first_of("[|") != std::string::npos || Has(command.line, "...") ||
        std::regex_search(command.line, placeholder))
      continue;
    blocks.back().push_back(command);
  }
  return blocks;
}

// An error line the README quotes to explain it ("ERROR ... <message>", "[...]" standing for any
// bracketed value), as a pattern of the line's message.
struct ExplainedError {
  std::string quoted;
  std::regex pattern;
  bool logged = false;
};

std::vector<ExplainedError> ExplainedErrors() {
  // A quotation may be wrapped across lines of the README.
  const std::string text =
      std::regex_replace(ReadText(std::string(QUARN_SOURCE_DIR) + "/README.md"), std::regex("\n *"), " ");
  const std::regex quotation("\"ERROR \\.\\.\\. ([^\"]+)\"");
  std::vector<ExplainedError> explained;
  for (std::sregex_iterator it(text.begin(), text.end(), quotation), end; it != end; ++it) {
    const std::string message = (*it)[1];
    std::string pattern;
    for (size_t i = 0; i < message.size();) {
      if (message.compare(i, 5, "[...]") == 0) {
        pattern += "\\[[^\\]]*\\]";
        i += 5;
        continue;
      }
      if (std::strchr("\\^$.|?*+()[]{}", message[i]) != nullptr) pattern += '\\';
      pattern += message[i++];
    }
    explained.push_back(ExplainedError{message, std::regex(pattern)});
  }
  return explained;
}

// The error lines of every process log of the lab's clients, rotated files too.
std::vector<std::string> ErrorLines(const std::string& lab) {
  testsupport::LabRootScope in(lab);
  std::vector<std::string> errors;
  for (const std::string& client : lab::LabPlan().clients) {
    std::vector<std::string> logs = lab::RotatedClientLogPaths(client, "quarn");
    logs.push_back(lab::ClientLogPath(client, "quarn"));
    for (const std::string& path : logs) {
      std::istringstream log(ReadText(path));
      for (std::string line; std::getline(log, line);)
        if (Has(line, " ERROR ")) errors.push_back(line);
    }
  }
  return errors;
}

class ReadmeCommands : public testing::Test {
 protected:
  // Runs a shell line with the README's paths made this build's and this source's; its exit status.
  int Run(std::string line, const std::string& lab, const std::string& outName) {
    line = std::regex_replace(line, std::regex("^build/"), BuildFolder() + "/");
    line = std::regex_replace(line, std::regex("^bash scripts/"), "bash " + std::string(QUARN_SOURCE_DIR) + "/scripts/");
    line = std::regex_replace(line, std::regex("\\bLAB\\b"), lab);
    return testsupport::WaitProgram(testsupport::StartProgram({"/bin/bash", "-c", line}, dir.Path(outName)));
  }
  testsupport::TestLab dir;
};

TEST_F(ReadmeCommands, EachBlockOfLabCommandsRunsInOrderOnANewLab) {
  const std::regex jobOfComment("^(.*?) ?\\(job (\\d+)\\)$");
  std::vector<ExplainedError> explained = ExplainedErrors();
  size_t ran = 0, labs = 0;
  for (const std::vector<Command>& block : ReadmeBlocks()) {
    const std::string lab = dir.Path("lab" + std::to_string(++labs));
    // A block that does not make its lab (the list of commands) runs on a new one.
    if (!block.empty() && block.front().line.rfind("build/quarn-lab create LAB", 0) != 0 &&
        block.front().line.rfind("bash ", 0) != 0) {
      ASSERT_EQ(0, Run("build/quarn-lab create LAB", lab, "create.txt"));
    }
    for (const Command& command : block) {
      if (command.line.rfind("bash scripts/", 0) == 0) continue;  // the scripts: the case below, and CI itself
      SCOPED_TRACE(command.line);
      const std::string out = "out" + std::to_string(++ran) + ".txt";
      EXPECT_EQ(0, Run(command.line, lab, out)) << ReadText(dir.Path(out));
      if (command.line.find(" run ") == std::string::npos || command.comment.empty()) continue;
      // A run's comment says what it runs: "full backup (job 1001)".
      std::smatch parts;
      std::string kind = command.comment, job;
      if (std::regex_match(command.comment, parts, jobOfComment)) kind = parts[1], job = parts[2];
      const std::string text = ReadText(dir.Path(out));
      const size_t running = text.find("running job " + job);
      ASSERT_NE(std::string::npos, running) << text;
      EXPECT_TRUE(Has(text.substr(running, text.find('\n', running) - running), kind)) << text;
    }
    // Every job of the block completed (its run exited 0): an error line it logged reads as a fault
    // to a new user unless the README says why it is there.
    for (const std::string& line : ErrorLines(lab)) {
      bool known = false;
      for (ExplainedError& error : explained) {
        if (!std::regex_search(line.substr(line.find(" ERROR ")), error.pattern)) continue;
        known = error.logged = true;
      }
      EXPECT_TRUE(known) << "an error line the README does not explain, of a job that completed: " << line;
    }
  }
  // The first session and the storage-snapshot jobs at least.
  EXPECT_GE(ran, 13u);
  EXPECT_FALSE(explained.empty()) << "the README explains the error lines of its first session";
  for (const ExplainedError& error : explained)
    EXPECT_TRUE(error.logged) << "the README explains an error line none of its commands logs: " << error.quoted;
}

TEST_F(ReadmeCommands, TheDemoBacksUpItsVMsWithoutAnErrorAndTheyRestore) {
  bool listed = false;
  for (const auto& block : ReadmeBlocks())
    for (const Command& command : block) listed = listed || command.line == "bash scripts/demo.sh";
  ASSERT_TRUE(listed) << "the README's first command";
  // The demo uses this build as it is, and makes its lab in the test's folder.
  const std::string lab = dir.Path("demo-lab");
  ASSERT_EQ(0, setenv("QUARN_DEMO_BUILD", BuildFolder().c_str(), 1));
  const int exitCode = Run("bash scripts/demo.sh LAB", lab, "demo.txt");
  unsetenv("QUARN_DEMO_BUILD");
  EXPECT_EQ(0, exitCode);
  const std::string out = ReadText(dir.Path("demo.txt"));
  EXPECT_TRUE(Has(out, "job 1001: completed\n")) << out;
  EXPECT_TRUE(Has(out, "  VMs: 3 Backed up (of 3)\n")) << out;
  EXPECT_TRUE(Has(out, "verified 3 archives and 3 VMs: 0 problems\n")) << out;
  EXPECT_FALSE(Has(out, "ERROR")) << out;
  EXPECT_TRUE(Has(out, lab + "/clients/proxyA/Log_Files/quarn.log")) << out;
}

}  // namespace
