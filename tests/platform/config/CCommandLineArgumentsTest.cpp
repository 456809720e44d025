#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/config/CCommandLineArguments.h"
#include "support/TestArgv.h"

namespace {

using testsupport::Argv;

struct Lookup {
  const char* key;
  bool valued;
  bool found;
  const char* value;  // expected value when found; the untouched sentinel otherwise
};

void Check(CCommandLineArguments& line, const std::vector<Lookup>& lookups) {
  for (const Lookup& lookup : lookups) {
    if (!lookup.valued) {
      CPxError error = line.Find(lookup.key);
      EXPECT_EQ(lookup.found ? 0 : -1, error.GetErrorCode()) << "flag " << lookup.key;
      continue;
    }
    std::string value = "sentinel";
    CPxError error = line.Find(lookup.key, value);
    EXPECT_EQ(lookup.found ? 0 : -1, error.GetErrorCode()) << "valued " << lookup.key;
    EXPECT_EQ(lookup.found ? std::string(lookup.value) : std::string("sentinel"), value) << lookup.key;
  }
}

TEST(CCommandLineArgumentsTest, KeysMatchExactlyNeverByPrefix) {
  Argv args({"quarn", "-snaptape", "-jt", "77:2:1", "-stubPhase", "-numStreamsX", "4", "-cn", "proxyA"});
  CCommandLineArguments line(args.argc(), args.argv());
  Check(line, {
                  {"snaptape", false, true, ""},
                  {"snap", false, false, ""},
                  {"snapt", false, false, ""},
                  {"jt", true, true, "77:2:1"},
                  {"j", true, false, ""},
                  {"j", false, false, ""},
                  {"stub", false, false, ""},
                  {"stubPhase", false, true, ""},
                  {"stubphase", false, false, ""},
                  {"numStreams", true, false, ""},
                  {"-snaptape", false, false, ""},
                  {"", false, false, ""},
                  {"", true, false, ""},
                  {"quarn", false, false, ""},
              });
}

TEST(CCommandLineArgumentsTest, ValuedKeysTakeTheNextTokenUnlessItIsAnOption) {
  Argv args({"quarn", "-a", "-client", "-t", "2", "-d", "ma1", "-r", "-5", "-numStreams"});
  CCommandLineArguments line(args.argc(), args.argv());
  Check(line, {
                  {"a", true, false, ""},       // followed by an option: no value
                  {"a", false, true, ""},       // but present as a flag
                  {"client", false, true, ""},
                  {"t", true, true, "2"},
                  {"d", true, true, "ma1"},
                  {"r", true, false, ""},       // "-5" begins with "-"
                  {"numStreams", true, false, ""},  // last token, nothing follows
                  {"numStreams", false, true, ""},
                  {"5", false, true, ""},       // "-5" is, literally, the option "5"
              });
}

TEST(CCommandLineArgumentsTest, FirstOccurrenceOfARepeatedKeyWins) {
  Argv args({"quarn", "-t", "1", "-t", "2", "-j", "-x", "-j", "9", "-e", "", "-e", "3"});
  CCommandLineArguments line(args.argc(), args.argv());
  Check(line, {
                  {"t", true, true, "1"},
                  {"j", true, false, ""},  // the first -j has no value; the later one does not count
                  {"e", true, false, ""},  // an empty token is no value
                  {"x", false, true, ""},
              });
}

TEST(CCommandLineArgumentsTest, CommandLineTextAndDegenerateVectors) {
  Argv args({"/usr/bin/quarn", "-j", "12", "-a", "2:3"});
  CCommandLineArguments line(args.argc(), args.argv());
  EXPECT_EQ("/usr/bin/quarn -j 12 -a 2:3", line.GetCommandLineString());
  EXPECT_EQ(5, line.Count());
  EXPECT_EQ("2:3", line.Tokens()[4]);

  CCommandLineArguments empty(0, nullptr);
  EXPECT_EQ(0, empty.Count());
  EXPECT_EQ("", empty.GetCommandLineString());
  EXPECT_TRUE(empty.Find("j").IsError());

  // A vector shorter than its count ends at the first null entry.
  char program[] = "quarn";
  char flag[] = "-j";
  char* shortVector[] = {program, flag, nullptr};
  CCommandLineArguments shortLine(5, shortVector);
  EXPECT_EQ(2, shortLine.Count());
  std::string value = "kept";
  EXPECT_TRUE(shortLine.Find("j", value).IsError());
  EXPECT_EQ("kept", value);
}

// The logged form hides exactly the values Find would take for the secret keys.
TEST(CCommandLineArgumentsTest, SecretValuesAreMaskedAndNothingElse) {
  struct Case {
    std::vector<std::string> tokens;
    const char* logged;
  } cases[] = {
      {{"quarn", "-j", "1", "-jt", "s3cr3t", "-a", "1"}, "quarn -j 1 -jt ******** -a 1"},
      {{"quarn", "-jt", "a", "-jt", "b"}, "quarn -jt ******** -jt ********"},
      {{"quarn", "-jt", "-a", "1"}, "quarn -jt -a 1"},  // no value to hide
      {{"quarn", "-jt"}, "quarn -jt"},
      {{"-jt", "program"}, "-jt program"},  // the program's own name is no option
      {{"quarn", "-jtx", "keep"}, "quarn -jtx keep"},
  };
  for (const Case& c : cases) {
    Argv args(c.tokens);
    CCommandLineArguments line(args.argc(), args.argv());
    EXPECT_EQ(c.logged, line.GetCommandLineString({"jt"}));
  }
}

}  // namespace
