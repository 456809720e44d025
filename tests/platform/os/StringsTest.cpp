#include <gtest/gtest.h>

#include <climits>

#include "platform/os/CPxCRC32.h"
#include "platform/os/CPxString.h"
#include "platform/os/FXString.h"

namespace {

TEST(CPxStringTest, NeverHandsOutNullAndTrimsOneBackslash) {
  CPxString empty;
  EXPECT_STREQ(empty.c_str(), "");
  EXPECT_STREQ(static_cast<const char*>(CPxString(nullptr)), "");
  CPxString path("C:\\dir\\\\");
  EXPECT_TRUE(path.RTrimBackwardSlash());
  EXPECT_EQ(path.str(), "C:\\dir\\");
  CPxString plain("abc");
  EXPECT_FALSE(plain.RTrimBackwardSlash());
  EXPECT_EQ((plain + nullptr).str(), "abc");
  EXPECT_EQ((plain + "def").str(), "abcdef");
  EXPECT_EQ(plain.str(), "abc");

  CPxString big;
  std::string long_text(5000, 'q');
  EXPECT_EQ(big.Format("[%s]-%d", long_text.c_str(), 42), 5005);
  EXPECT_EQ(big.str(), "[" + long_text + "]-42");
}

TEST(CPxStringTest, CommaGroupsAtEveryWidth) {
  const std::pair<long long, const char*> cases[] = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {-1000, "-1,000"}, {2147483647, "2,147,483,647"},
      {LLONG_MAX, "9,223,372,036,854,775,807"}, {LLONG_MIN, "-9,223,372,036,854,775,808"}};
  for (const auto& test : cases) EXPECT_EQ(test.second, IntToCommaString(test.first)) << test.first;
}

TEST(FXStringTest, TrimFindSplitAndCompare) {
  EXPECT_EQ(FXString::TrimWhiteSpace(" \t value \t"), "value");
  EXPECT_EQ(FXString::TrimWhiteSpace("\n value "), "\n value");
  EXPECT_EQ(FXString::TrimWhiteSpace(" \t "), "");
  EXPECT_EQ(FXString::Trim("xxaxx", "x"), "a");

  EXPECT_EQ(FXString::CompareNoCase("VirtualServer", "virtualserver"), 0);
  EXPECT_LT(FXString::CompareNoCase("a", "B"), 0);
  EXPECT_EQ(FXString::CompareNoCase(nullptr, ""), 0);

  EXPECT_EQ(FXString::FindString("TYPE=ext4 NTFS", "ntfs", true), 10u);
  EXPECT_EQ(FXString::FindString("TYPE=ext4 NTFS", "ntfs", false), std::string::npos);
  EXPECT_EQ(FXString::FindString("xfs", "ext4", true), std::string::npos);

  std::vector<std::string> parts;
  EXPECT_EQ(FXString::Split("a,,b,", ",", parts), 4u);
  EXPECT_EQ(parts, (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(FXString::Split("one", "::", parts), 1u);
  EXPECT_EQ(FXString::Split("", ",", parts), 0u);
  EXPECT_EQ(FXString::ToUpper("MiXed1"), "MIXED1");
  EXPECT_EQ(FXString::Format("%s_%lld.ztf", "vmcollect", 12LL), "vmcollect_12.ztf");
}

TEST(CRC32Test, StandardCheckValueResetAndPieces) {
  CPxCRC32 crc;
  EXPECT_EQ(crc.GetCRC32(), 0u);
  crc.UpdateCRC32("123456789", 9);
  EXPECT_EQ(crc.GetCRC32(), 0xCBF43926u);
  crc.Reset();
  EXPECT_EQ(crc.GetCRC32(), 0u);
  crc.UpdateCRC32("1234", 4);
  crc.UpdateCRC32("56789", 5);
  EXPECT_EQ(crc.GetCRC32(), 0xCBF43926u) << "pieces give the same value as the whole";
}

}  // namespace
