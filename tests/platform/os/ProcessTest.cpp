#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "platform/os/OsTestDir.h"
#include "platform/os/ZtProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(ProcessSystemTest, CapturesLargeOutputAndErrorSeparately) {
  std::string out, err;
  int exitCode = -5;
  // 2 MB on each pipe, written alternately: a reader draining one pipe only would deadlock.
  const std::string command =
      "i=0; while [ $i -lt 32 ]; do head -c 65536 /dev/zero | tr '\\0' o; "
      "head -c 65536 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done; exit 3";
  int rc = ZtProcess::system(command, out, err, exitCode, 20000);
  EXPECT_EQ(rc, 3);
  EXPECT_EQ(exitCode, 3);
  EXPECT_EQ(out.size(), 32u * 65536u);
  EXPECT_EQ(err.size(), 32u * 65536u);
  EXPECT_EQ(out.find_first_not_of('o'), std::string::npos);
  EXPECT_EQ(err.find_first_not_of('e'), std::string::npos);

  EXPECT_EQ(ZtProcess::system("printf 'line\\n'", out, err, exitCode), 0);
  EXPECT_EQ(out, "line\n");
  EXPECT_EQ(err, "");
}

TEST(ProcessSystemTest, TimeOutKillsTheWholeCommand) {
  OsTestDir dir;
  const std::string marker = dir.file("late");
  std::string out, err;
  int exitCode = 0;
  auto start = Clock::now();
  // The background sleep is a grandchild: it must die with the shell, or it writes the marker.
  int rc = ZtProcess::system("(sleep 0.4; touch " + ZtProcess::QuoteArg(marker) + ") & sleep 5", out, err,
                             exitCode, 100);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(exitCode, -1);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 2000);
  usleep(600 * 1000);
  EXPECT_FALSE(std::ifstream(marker).good());
}

TEST(ProcessSystemTest, QuotedTextStaysOneLiteralWord) {
  std::string out, err;
  int exitCode;
  for (const std::string hostile : {"plain", "it's", "$(touch /tmp/quarn-pwned) `id` $HOME", "a b\tc\nd", "'", ""}) {
    ASSERT_EQ(ZtProcess::system("printf %s " + ZtProcess::QuoteArg(hostile), out, err, exitCode), 0);
    EXPECT_EQ(out, hostile);
  }
}

TEST(ProcessSpawnTest, RunsArgvDirectlyWithExtraEnvironment) {
  OsTestDir dir;
  const std::string result = dir.file("result");
  pid_t pid = 0;
  // No shell: the argument with spaces and "$" arrives as one literal argument.
  ASSERT_TRUE(ZtProcess::Spawn({"sh", "-c", "printf '%s|%s' \"$1\" \"$QUARN_TEST_VAR\" > \"$2\"", "sh",
                                "a b $HOME", result},
                               {{"QUARN_TEST_VAR", "from-parent"}}, pid));
  int exitCode = -1;
  ASSERT_TRUE(ZtProcess::Wait(pid, 5000, exitCode));
  EXPECT_EQ(exitCode, 0);
  std::ifstream in(result);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "a b $HOME|from-parent");

  EXPECT_FALSE(ZtProcess::Spawn({"/nonexistent/quarn-program"}, {}, pid));
  EXPECT_FALSE(ZtProcess::Spawn({"quarn-no-such-program-anywhere"}, {}, pid));
  EXPECT_FALSE(ZtProcess::Spawn({}, {}, pid));
  EXPECT_FALSE(ZtProcess::Spawn({"sh"}, {{"BAD=NAME", "x"}}, pid));
}

TEST(ProcessSpawnTest, WaitKillAndLiveness) {
  pid_t pid = 0;
  ASSERT_TRUE(ZtProcess::Spawn({"sleep", "5"}, {}, pid));
  EXPECT_TRUE(ZtProcess::IsRunning(pid));
  std::string name;
  EXPECT_TRUE(GetProcessName(std::to_string(pid), name));
  EXPECT_EQ(name, "sleep");
  int exitCode = 0;
  EXPECT_FALSE(ZtProcess::Wait(pid, 0, exitCode));
  ASSERT_TRUE(ZtProcess::Kill(pid, SIGKILL));
  // Killed but not reaped: a zombie is not a running process.
  for (int i = 0; i < 200 && ZtProcess::IsRunning(pid); ++i) usleep(5000);
  EXPECT_FALSE(ZtProcess::IsRunning(pid));
  ASSERT_TRUE(ZtProcess::Wait(pid, 2000, exitCode));
  EXPECT_EQ(exitCode, 128 + SIGKILL);
  EXPECT_FALSE(ZtProcess::IsRunning(pid));

  // Group and "every process" signals are never sent.
  EXPECT_FALSE(ZtProcess::Kill(0, 0));
  EXPECT_FALSE(ZtProcess::Kill(-1, 0));
  EXPECT_FALSE(ZtProcess::Wait(-1, 0, exitCode));
  for (const char* bad : {"", "-1", "12abc", "0x10", "99999999999"}) {
    EXPECT_FALSE(GetProcessName(bad, name)) << bad;
  }
  EXPECT_TRUE(GetProcessName(std::to_string(getpid()), name));
}

}  // namespace
