#include "records/MountCtx.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/os/PatternMatch.h"

namespace {

TEST(MountCtxRecord, DefaultsAreDefinedAndCopiesAreDeep) {
  MountCtx ctx;
  EXPECT_EQ(-1, ctx.transportMode);
  EXPECT_EQ(-1, ctx.libraryNumber);
  EXPECT_EQ(1, ctx.hostCredentials.number);
  EXPECT_EQ(0u, ctx.jobId);
  EXPECT_FALSE(ctx.collectDiskBlockInfo);
  EXPECT_TRUE(ctx.diskFilters.empty());
  EXPECT_EQ(0, ctx.tdfs.number1);
  for (bool flag : ctx.tdfs.flags) EXPECT_FALSE(flag);
  for (int64_t number : ctx.tdfs.numbers) EXPECT_EQ(0, number);
  SDiskFilter filter;
  EXPECT_EQ(0, filter.type);
  EXPECT_TRUE(filter.flag);
  SFailure failure;
  EXPECT_FALSE(failure.warning);
  SVolSnap volume;
  EXPECT_EQ(0, volume.number);
  EXPECT_TRUE(volume.datastore.field01);

  ctx.vmInfo.disks.resize(1);
  ctx.vmInfo.disks[0].datastore = "ds1";
  ctx.diskFilters.push_back(filter);
  MountCtx copy = ctx;
  copy.vmInfo.disks[0].datastore = "ds2";
  copy.diskFilters[0].value = "changed";
  EXPECT_EQ("ds1", ctx.vmInfo.disks[0].datastore);
  EXPECT_EQ("", ctx.diskFilters[0].value);
}

TEST(PathPattern, MatchesWithoutRegardToCaseAndTakesBackslashesLiterally) {
  struct Case {
    const char* pattern;
    const char* text;
    bool match;
  } cases[] = {
      {"web*", "WEB-01", true},
      {"web*", "Webserver", true},
      {"web*", "myweb", false},
      {"*", "", true},
      {"", "", true},
      {"", "a", false},
      {"a?c", "ABC", true},
      {"a?c", "ac", false},
      {"*sql*", "prod-SQL-02", true},
      {"db\\*", "DB\\anything", true},  // backslash is a plain character, not an escape
      {"db\\*", "db*", false},
      {"db\\x", "db\\x", true},
      {"[abc]", "[ABC]", true},  // brackets are plain characters too
      {"[abc]", "a", false},
      {"*.vmdk", "disk.VMDK", true},
      {"*.vmdk", "disk.vmdk.bak", false},
      {"a*b*c", "aXbYc", true},
      {"a*b*c", "aXcYb", false},
      {"ä*", "ä-vm", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.match, CPathMatch(c.pattern, 1, 0).Match(c.text)) << c.pattern << " vs " << c.text;
  }
  EXPECT_FALSE(CPathMatch("web*", 0, 0).Match("WEB-01"));
  EXPECT_TRUE(CPathMatch("a*z", 1, 0).Match("a/b\\z"));
  EXPECT_FALSE(CPathMatch("a*z", 1, 1).Match("a/b\\z"));
  EXPECT_FALSE(CPathMatch("a?z", 1, 1).Match("a/z"));
  EXPECT_TRUE(CPathMatch("a*/*z", 1, 1).Match("ab/cz"));
}

TEST(PathPattern, HostilePatternsStayFast) {
  std::string pattern;
  for (int i = 0; i < 200; ++i) pattern += "*a";
  pattern += "b";
  std::string text(5000, 'a');
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CPathMatch(pattern, 1, 0).Match(text));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
