#include <gtest/gtest.h>

#include <thread>

#include "support/TestLab.h"
#include "platform/config/ZTPI_Base.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/ev/EvDebug.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/lab/LabSettings.h"

namespace {


// Plants a section's text as it stands.
void WriteSection(const std::string& client, const std::string& section, const std::string& content) {
  ASSERT_TRUE(lab::MakeDirs(lab::ClientRegistryDir(client)));
  ASSERT_TRUE(lab::WriteFileAtomic(lab::SettingsPath(client, section), content));
}

TEST(ZTPlatformInfoTest, ParsesCommentsBlanksTrimmingAndLaterDuplicates) {
  testsupport::TestLab lab("proxyA");
  WriteSection("proxyA", "VirtualServer",
               "# a comment=7\n"
               "\n"
               "   nStreamLimit   =   12  \r\n"
               "no equals sign here\n"
               "dVMSnapMountPath = /mnt/a b \n"
               "nStartAgentThreads=4\n"
               "nStartAgentThreads=9\n"
               "  #nSkipDataBackup=1\n"
               "sEmpty=\n");
  ZTPlatformInfo info;
  unsigned long long number = 0;
  EXPECT_NE(0, info.getNumber("VirtualServer", "nStreamLimit", &number));
  EXPECT_EQ(12u, number);
  EXPECT_NE(0, info.getNumber("VirtualServer", "nStartAgentThreads", &number));
  EXPECT_EQ(9u, number);
  EXPECT_EQ(0, info.getNumber("VirtualServer", "nSkipDataBackup", &number));
  EXPECT_EQ(0, info.getNumber("VirtualServer", "# a comment", &number));
  EXPECT_EQ(0, info.getNumber("VirtualServer", "nstreamlimit", &number));

  std::string text = "unchanged";
  EXPECT_NE(0, info.getString("VirtualServer", "dVMSnapMountPath", &text));
  EXPECT_EQ("/mnt/a b", text);
  EXPECT_NE(0, info.getString("VirtualServer", "sEmpty", &text));
  EXPECT_EQ("", text);
  text = "unchanged";
  EXPECT_EQ(0, info.getString("VirtualServer", "missing", &text));
  EXPECT_EQ("unchanged", text);
  EXPECT_EQ(0, info.getString("OtherSection", "nStreamLimit", &text));
}

TEST(ZTPlatformInfoTest, NumbersReadAsTwosComplementAndNonNumbersAsAbsent) {
  testsupport::TestLab lab("proxyA");
  WriteSection("proxyA", "S",
               "minusOne=-1\n"
               "hex=0x1F\n"
               "plus=+5\n"
               "big=18446744073709551615\n"
               "tooBig=18446744073709551616\n"
               "mostNegative=-9223372036854775808\n"
               "tooNegative=-9223372036854775809\n"
               "trailing=12abc\n"
               "word=yes\n"
               "empty=\n"
               "spaceInside=1 2\n"
               "badHex=0xZZ\n");
  ZTPlatformInfo info;
  struct Row {
    const char* key;
    bool found;
    unsigned long long expected;
  } rows[] = {
      {"minusOne", true, 0xFFFFFFFFFFFFFFFFULL},
      {"hex", true, 31},
      {"plus", true, 5},
      {"big", true, 0xFFFFFFFFFFFFFFFFULL},
      {"tooBig", false, 0},
      {"mostNegative", true, 0x8000000000000000ULL},
      {"tooNegative", false, 0},
      {"trailing", false, 0},
      {"word", false, 0},
      {"empty", false, 0},
      {"spaceInside", false, 0},
      {"badHex", false, 0},
      {"absent", false, 0},
  };
  for (const Row& row : rows) {
    unsigned long long value = 777;
    int result = info.getNumber("S", row.key, &value);
    EXPECT_EQ(row.found, result != 0) << row.key;
    EXPECT_EQ(row.found ? row.expected : 777ULL, value) << row.key;
  }
}

TEST(ZTPlatformInfoTest, UnsignedFormKeepsDefaultUnlessFoundAndTakesLow32Bits) {
  testsupport::TestLab lab("proxyA");
  WriteSection("proxyA", "VirtualServer", "wide=4294967298\nminusOne=-1\nzero=0\nword=abc\n");
  ZTPlatformInfo info;
  unsigned int value = 120;
  EXPECT_EQ(0, info.getNumber("VirtualServer", "nAutoResumeIntervalSeconds", &value));
  EXPECT_EQ(120u, value);
  EXPECT_EQ(0, info.getNumber("VirtualServer", "word", &value));
  EXPECT_EQ(120u, value);
  EXPECT_NE(0, info.getNumber("VirtualServer", "wide", &value));
  EXPECT_EQ(2u, value);
  EXPECT_NE(0, info.getNumber("VirtualServer", "minusOne", &value));
  EXPECT_EQ(0xFFFFFFFFu, value);
  EXPECT_NE(0, info.getNumber("VirtualServer", "zero", &value));
  EXPECT_EQ(0u, value);
  EXPECT_EQ(0, info.getNumber("VirtualServer", "zero", static_cast<unsigned int*>(nullptr)));
}

TEST(ZTPlatformInfoTest, BooleansAndStringLists) {
  testsupport::TestLab lab("proxyA");
  WriteSection("proxyA", "VirtualServer",
               "VerifyAccount=FALSE\nuseLocalHostAsESXProxy=1\nbOn=on\nbTwo=2\nbBad=maybe\n"
               "list= a, b ,,c \n"
               "sInduceMissingBlocks=disk1=10, 20,30; disk2=5 ;\n");
  ZTPlatformInfo info;
  bool flag = true;
  EXPECT_NE(0, info.getBoolean("VirtualServer", "VerifyAccount", &flag));
  EXPECT_FALSE(flag);
  EXPECT_NE(0, info.getBoolean("VirtualServer", "useLocalHostAsESXProxy", &flag));
  EXPECT_TRUE(flag);
  flag = false;
  EXPECT_NE(0, info.getBoolean("VirtualServer", "bOn", &flag));
  EXPECT_TRUE(flag);
  flag = false;
  EXPECT_NE(0, info.getBoolean("VirtualServer", "bTwo", &flag));
  EXPECT_TRUE(flag);
  flag = false;
  EXPECT_EQ(0, info.getBoolean("VirtualServer", "bBad", &flag));
  EXPECT_FALSE(flag);
  EXPECT_EQ(0, info.getBoolean("VirtualServer", "absent", &flag));
  EXPECT_FALSE(flag);

  std::vector<std::string> list{"old"};
  EXPECT_NE(0, info.getStringList("VirtualServer", "list", &list));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), list);
  EXPECT_NE(0, info.getStringList("VirtualServer", "sInduceMissingBlocks", &list, ';'));
  EXPECT_EQ((std::vector<std::string>{"disk1=10, 20,30", "disk2=5"}), list);
  list = {"old"};
  EXPECT_EQ(0, info.getStringList("VirtualServer", "absent", &list));
  EXPECT_EQ(std::vector<std::string>{"old"}, list);
}

TEST(ZTPlatformInfoTest, FocusSelectsTheClientAndUnsafeNamesReadNothing) {
  testsupport::TestLab lab("proxyA");
  WriteSection("proxyA", "VirtualServer", "n=1\n");
  WriteSection("proxyB", "VirtualServer", "n=2\n");
  ZTPlatformInfo info;
  EXPECT_EQ("proxyA", info.getFocus());
  unsigned long long value = 0;
  EXPECT_NE(0, info.getNumber("VirtualServer", "n", &value));
  EXPECT_EQ(1u, value);
  EXPECT_TRUE(info.setFocus("proxyB"));
  EXPECT_NE(0, info.getNumber("VirtualServer", "n", &value));
  EXPECT_EQ(2u, value);
  EXPECT_FALSE(info.setFocus("../proxyA"));
  EXPECT_FALSE(info.setFocus(""));
  EXPECT_EQ("proxyB", info.getFocus());
  EXPECT_EQ(0, info.getNumber("../registry/VirtualServer", "n", &value));
  EXPECT_FALSE(info.setNumber("../x", "n", 1));

  lab.RemoveLab();
  ZTPlatformInfo noLab;
  EXPECT_EQ(0, noLab.getNumber("VirtualServer", "n", &value));
  EXPECT_FALSE(noLab.setNumber("VirtualServer", "n", 3));
  EXPECT_EQ("", noLab.sectionPath("VirtualServer"));
}

TEST(ZTPlatformInfoTest, SettersRewriteOneLineKeepTheRestAndRefuseUnreadableValues) {
  testsupport::TestLab lab("proxyA");
  WriteSection("proxyA", "VirtualServer", "# keep me\nnA=1\nnB=2\nnA=3\n");
  ZTPlatformInfo info;
  ASSERT_TRUE(info.setNumber("VirtualServer", "nA", 42));
  ASSERT_TRUE(info.setString("VirtualServer", "sNew", "x y"));
  std::string content;
  ASSERT_TRUE(lab::ReadFile(info.sectionPath("VirtualServer"), content));
  EXPECT_EQ("# keep me\nnB=2\nnA=42\nsNew=x y\n", content);

  EXPECT_FALSE(info.setString("VirtualServer", "k", "two\nlines"));
  EXPECT_FALSE(info.setString("VirtualServer", "k", " padded"));
  EXPECT_FALSE(info.setString("VirtualServer", "k=v", "1"));
  EXPECT_FALSE(info.setString("VirtualServer", "#k", "1"));
  EXPECT_FALSE(info.setString("VirtualServer", "", "1"));
  ASSERT_TRUE(lab::ReadFile(info.sectionPath("VirtualServer"), content));
  EXPECT_EQ("# keep me\nnB=2\nnA=42\nsNew=x y\n", content);

  // A section that does not exist yet is created with its folders.
  ASSERT_TRUE(info.setNumber("Fresh", "n", 0xFFFFFFFFFFFFFFFFULL));
  unsigned long long value = 0;
  EXPECT_NE(0, info.getNumber("Fresh", "n", &value));
  EXPECT_EQ(0xFFFFFFFFFFFFFFFFULL, value);
}

TEST(ZTPlatformInfoTest, ConcurrentSettersLoseNoUpdate) {
  testsupport::TestLab lab("proxyA");
  const int kThreads = 6;
  const int kKeysPerThread = 15;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t]() {
      ZTPlatformInfo info;
      for (int k = 0; k < kKeysPerThread; ++k)
        info.setNumber("VirtualServer", "k" + std::to_string(t) + "_" + std::to_string(k), t * 100 + k);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ZTPlatformInfo info;
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeysPerThread; ++k) {
      unsigned long long value = 0;
      EXPECT_NE(0, info.getNumber("VirtualServer", "k" + std::to_string(t) + "_" + std::to_string(k), &value));
      EXPECT_EQ(static_cast<unsigned long long>(t * 100 + k), value);
    }
  }
}

// A secret setting is read in clear and kept only in its stored form; a value that claims the stored
// form but is not one reads as absent rather than as the wrong secret.
TEST(ZTPlatformInfoTest, ProtectedValuesReadInClearAndAreNeverStoredSo) {
  testsupport::TestLab lab("proxyA");
  std::string error;
  const std::string secret = "Listeners=a|Password=p=w d|Port=1";
  ASSERT_TRUE(lab::WriteProtectedSetting("proxyA", "VirtualServer", "sMediTechConfiguration", secret, error)) << error;
  WriteSection("proxyA", "Base", std::string("sBroken=") + lab::kProtectedSettingPrefix + "not base64!\n");
  ZTPlatformInfo info;
  std::string value;
  EXPECT_NE(0, info.getString("VirtualServer", "sMediTechConfiguration", &value));
  EXPECT_EQ(secret, value);
  std::string stored;
  ASSERT_TRUE(lab::ReadFile(lab::SettingsPath("proxyA", "VirtualServer"), stored));
  EXPECT_EQ(std::string::npos, stored.find("p=w d"));
  EXPECT_EQ(0, info.getString("Base", "sBroken", &value));

  // A plain value in the stored form of a secret would read back as something else: refused, file kept.
  const std::string before = stored;
  EXPECT_FALSE(info.setString("VirtualServer", "sPlain", std::string(lab::kProtectedSettingPrefix) + "c2VjcmV0"));
  ASSERT_TRUE(lab::ReadFile(lab::SettingsPath("proxyA", "VirtualServer"), stored));
  EXPECT_EQ(before, stored);
  const std::string inside = std::string("a") + lab::kProtectedSettingPrefix;
  EXPECT_TRUE(info.setString("VirtualServer", "sPlain", inside));
  EXPECT_NE(0, info.getString("VirtualServer", "sPlain", &value));
  EXPECT_EQ(inside, value);
}

TEST(ZTPIBaseTest, FoldersDefaultToTheClientsLabFoldersUnlessSettingsNameThem) {
  testsupport::TestLab lab("proxyA");
  EXPECT_EQ(lab::ClientDir("proxyA"), ZTPI_Base::getBaseDir());
  EXPECT_EQ(lab::ClientTempDir("proxyA"), ZTPI_Base::getTempDir());
  EXPECT_EQ(lab::ClientTempDir("proxyA"), ZTPI_Base::getVorlaxTempDirectory());
  EXPECT_EQ(lab::ClientJobResultsDir("proxyA"), ZTPI_Base::getJobResultsDir());
  EXPECT_EQ(lab::ClientJobResultsDir("proxyB"), ZTPI_Base::getJobResultsDir("proxyB"));
  EXPECT_EQ("", ZTPI_Base::getJobResultsDir(".."));

  WriteSection("proxyA", "Base", "dBASEHOME=/opt/base\ndVORLAXTEMPDIR=/var/tmp/q\n");
  EXPECT_EQ("/opt/base", ZTPI_Base::getBaseDir());
  EXPECT_EQ("/var/tmp/q", ZTPI_Base::getTempDir());

  lab.RemoveLab();
  EXPECT_EQ("", ZTPI_Base::getTempDir());
  EXPECT_EQ("", ZTPI_Base::getJobResultsDir());
}

TEST(ZTPIFocusTest, TakesTheClientFromTheCommandLine) {
  testsupport::TestLab lab("localhost");
  const char* args[] = {"quarn", "-j", "5", "-cn", "proxyB", "-client"};
  EXPECT_TRUE(ZTPI_Focus::setFocusClientNameFromArgs(6, const_cast<char**>(args)));
  EXPECT_EQ("proxyB", ZTPI_Focus::getFocus());
  EXPECT_EQ("proxyB", ZTPI_Focus::getFocusClientName(true));
  ZTPlatformInfo info;
  EXPECT_EQ("proxyB", info.getFocus());
  EXPECT_TRUE(ZTPI_Focus::setFocusClientNameFromArgs(0, nullptr));
  EXPECT_EQ("proxyB", ZTPI_Focus::getFocus());
  const char* without[] = {"quarn", "-j", "5"};
  EXPECT_TRUE(ZTPI_Focus::setFocusClientNameFromArgs(3, const_cast<char**>(without)));
  EXPECT_EQ("proxyB", ZTPI_Focus::getFocus());
}

// A "-cn" that names no usable client is refused: the process is left without a client, so it opens
// no log and writes nothing under another client's name (it used to fall back to "localhost").
TEST(ZTPIFocusTest, AnUnusableClientNameIsRefused) {
  const std::string longest(lab::kMaxComponentBytes, 'c');
  struct Case {
    std::vector<std::string> args;
    bool accepted;
  } cases[] = {
      {{"quarn", "-cn", "../x"}, false},
      {{"quarn", "-cn", "a/b"}, false},
      {{"quarn", "-cn", ".."}, false},
      {{"quarn", "-cn", "-client"}, false},
      {{"quarn", "-j", "1", "-cn"}, false},
      {{"quarn", "-cn", longest + "c"}, false},
      {{"quarn", "-cn", longest}, true},
  };
  for (const Case& c : cases) {
    testsupport::TestLab lab("proxyA");
    std::vector<char*> argv;
    for (const std::string& arg : c.args) argv.push_back(const_cast<char*>(arg.c_str()));
    SCOPED_TRACE(c.args.back().substr(0, 20));
    EXPECT_EQ(c.accepted, ZTPI_Focus::setFocusClientNameFromArgs(static_cast<int>(argv.size()), argv.data()));
    if (c.accepted) {
      EXPECT_EQ(longest, ZTPI_Focus::getFocus());
      continue;
    }
    EXPECT_EQ("", ZTPI_Focus::getFocus());
    EXPECT_EQ("", ZTPI_Base::getTempDir());
    EXPECT_FALSE(EvDebug::initializeLog(1, "quarn"));
    EXPECT_FALSE(testsupport::Exists(lab::ClientDir("localhost")));
  }
}

}  // namespace
