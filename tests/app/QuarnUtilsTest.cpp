#include <gtest/gtest.h>

#include <cstring>

#include "app/QuarnRegistry.h"
#include "support/TestLab.h"
#include "app/QuarnUtils.h"

namespace {

// VirtualServer::VMSubclientDiskFilterList and its elements.
constexpr uint32_t kListTag = 0x1A254BE7;
constexpr uint32_t kFilterTag = 0x1AFD23A9;

struct FilterSpec {
  int64_t type;  // < 0: left unset
  std::string value, vmGuid, vmName, text;
  int64_t flag;  // < 0: left unset
};

void AddFilter(VirtualServer::VMSubclientDiskFilterList& list, const FilterSpec& spec) {
  std::unique_ptr<CNMessageBase> filter = CNMessageBase::Create(kFilterTag);
  if (spec.type >= 0) filter->setint64(1, 1, spec.type, kFilterTag, 0x6E52D2);
  filter->setstring(2, 2, spec.value, kFilterTag, 0x08CB78);
  filter->setstring(3, 6, spec.vmGuid, kFilterTag, 0x7DE5E0);
  filter->setstring(4, 10, spec.vmName, kFilterTag, 0x80C9E2);
  filter->setstring(5, 14, spec.text, kFilterTag, 0xAC9171);
  if (spec.flag >= 0) filter->setint64(6, 18, spec.flag, kFilterTag, 0x109890);
  list.getlistobject(1, 1, kListTag, 0x10A3FB, true).push_back(CNMessagePtr(std::move(filter)));
}

class QuarnUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.UseJob(1001));
    ASSERT_TRUE(lab_.OpenLog());
    QuarnRegistry::TEST_Unload();
    CNMessageBase::ResetAccessErrorCount();
    job_.setJobId("1001");
    job_.setMediaAgent("ma1");
    job_.setJobMgrToken("tok");
    job_.setBkpLevel(2);
  }
  void TearDown() override {
    QuarnRegistry::TEST_Unload();
    EXPECT_EQ(0u, CNMessageBase::AccessErrorCount()) << CNMessageBase::LastAccessError();
  }
  // The settings of the section "VirtualServer" become the text; the table reloads on next use.
  void Settings(const std::string& text) {
    ASSERT_TRUE(lab_.ReplaceSettings("VirtualServer", text + "\n"));
    QuarnRegistry::TEST_Unload();
  }
  void UseSubclient(const std::string& conf) {
    ASSERT_TRUE(lab_.ReplaceSubclient("1", conf));
    app_.setAppIdStr("1");
    ASSERT_EQ(vsAppMgr::kRetOk, app_.querySettings());
  }
  MountCtx Init() {
    MountCtx ctx;
    ctx.vmName = "kept";
    QuarnUtils::InitMountCtx(&job_, &app_, &files_, &registry_, &ctx);
    return ctx;
  }

  testsupport::TestLab lab_{"proxyA"};
  vsJobMgr job_;
  vsAppMgr app_;
  subclientFiles files_;
  QuarnRegistry registry_;
};

TEST_F(QuarnUtilsTest, MountContextTakesJobSubclientAndSettingValues) {
  UseSubclient(
      "instanceType=101\nkeyrealmId=7\nclientId=11\nsnapEngineId=58\nquiesceFileSystem=1\nindexingV2=1\n"
      "datastoreFreeSpace=15\nguestUserName=admin\nguestPassword=pw\n");
  std::snprintf(files_.subclientDir, sizeof(files_.subclientDir), "%s", "/lab/subclient/1");
  MountCtx ctx = Init();
  EXPECT_EQ("kept", ctx.vmName);  // members the filler does not name are kept
  EXPECT_EQ("/lab/subclient/1", ctx.subclientDir);
  EXPECT_EQ(1001u, ctx.jobId);
  EXPECT_EQ(1001u, ctx.snapBackupJobId);
  EXPECT_EQ(11, ctx.clientId);
  EXPECT_EQ(7, ctx.keyrealmId);
  EXPECT_EQ("ma1", ctx.mediaAgentName);
  EXPECT_TRUE(ctx.quiesceFileSystem);
  EXPECT_EQ(0, ctx.datastoreFreeSpace);  // only with the space check
  EXPECT_EQ("", ctx.guestUserName);      // only with impersonation
  EXPECT_FALSE(ctx.forceSingleProxy);
  EXPECT_TRUE(ctx.collectDiskBlockInfo);
  EXPECT_FALSE(ctx.vmCentricSnapBackup);

  UseSubclient("instanceType=101\ndatastoreSpaceCheck=1\ndatastoreFreeSpace=15\nquiesceImpersonate=1\n"
               "guestUserName=admin\nguestPassword=pw\nsnapEngineId=58\nindexingV2=1\n");
  Settings("bForceSingleProxyBackup=1\nbCollectDiskBlockInfo=0");
  job_.setSnapBackup(true);
  job_.setSnapBkpJobId(900);
  ctx = Init();
  EXPECT_EQ(15, ctx.datastoreFreeSpace);
  EXPECT_EQ("admin", ctx.guestUserName);
  EXPECT_EQ("pw", ctx.guestPassword);
  EXPECT_TRUE(ctx.forceSingleProxy);
  EXPECT_FALSE(ctx.collectDiskBlockInfo);
  EXPECT_EQ(58, ctx.snapEngineId);
  EXPECT_EQ(900u, ctx.snapBackupJobId);
  EXPECT_TRUE(ctx.vmCentricSnapBackup);

  // The subclient directory fills its whole buffer: nothing past the buffer is read.
  std::memset(files_.subclientDir, 'd', sizeof(files_.subclientDir));
  std::snprintf(files_.files[0], sizeof(files_.files[0]), "%s", "results");
  EXPECT_EQ(std::string(sizeof(files_.subclientDir), 'd'), Init().subclientDir);
}

TEST_F(QuarnUtilsTest, SnapshotEngineSurvivesOnlyForSnapshotJobs) {
  UseSubclient("instanceType=101\nsnapEngineId=66\n");
  EXPECT_EQ(0, Init().snapEngineId);
  job_.setSnapToTape(true);
  MountCtx ctx = Init();
  EXPECT_EQ(66, ctx.snapEngineId);
  EXPECT_FALSE(ctx.vmCentricSnapBackup);  // set on a snapshot backup only

  // Never cleared by the filler once set.
  job_.setSnapToTape(false);
  ctx.vmCentricSnapBackup = true;
  QuarnUtils::InitMountCtx(&job_, &app_, &files_, &registry_, &ctx);
  EXPECT_TRUE(ctx.vmCentricSnapBackup);
  EXPECT_EQ(0, ctx.snapEngineId);
}

TEST_F(QuarnUtilsTest, ApplicationAwareBackupForcesQuiesceWhereSupported) {
  struct Row {
    const char* settings;
    const char* subclient;
    bool quiesce;
  } rows[] = {
      {"nEnableHypervisorAppConsistentBackup=0", "instanceType=101\nappAware=1\n", false},
      {"nEnableHypervisorAppConsistentBackup=0", "instanceType=101\nappAware=1\nquiesceFileSystem=1\n", true},
      {"nEnableHypervisorAppConsistentBackup=1", "instanceType=101\nappAware=1\n", true},
      {"nEnableHypervisorAppConsistentBackup=1", "instanceType=601\nappAware=1\n", true},
      {"nEnableHypervisorAppConsistentBackup=1", "instanceType=301\nappAware=1\n", false},
      {"nEnableHypervisorAppConsistentBackup=1", "instanceType=101\nappAware=0\n", false},
      {"", "instanceType=101\nappAware=1\n", false},
  };
  for (const Row& row : rows) {
    Settings(row.settings);
    UseSubclient(row.subclient);
    size_t before = testsupport::CountOf(lab_.Log(), "Forcing Quiesce File system [ON] for application aware backups.");
    bool forced = std::string(row.settings).find("=1") != std::string::npos && row.quiesce;
    EXPECT_EQ(row.quiesce, Init().quiesceFileSystem) << row.settings << " / " << row.subclient;
    EXPECT_EQ(before + (forced ? 1 : 0),
              testsupport::CountOf(lab_.Log(), "Forcing Quiesce File system [ON] for application aware backups."));
  }
}

TEST_F(QuarnUtilsTest, DiskFiltersApplyByGuidOrNamePattern) {
  VirtualServer::VMSubclientDiskFilterList list;
  AddFilter(list, {9, "v-guid", "5029-ABCD", "", "t1", -1});
  AddFilter(list, {1, "v-other-guid", "5029-FFFF", "", "", -1});
  AddFilter(list, {2, "disk.vhdx", "", "web*", "t3", 0});
  AddFilter(list, {3, "v-other-name", "", "db*", "", -1});
  AddFilter(list, {7, "v-star", "*", "zzz*", "", 1});
  AddFilter(list, {6, "v-all", "", "", "", -1});
  AddFilter(list, {-1, "v-untyped", "", "", "", -1});
  AddFilter(list, {8, "v-eight", "", "", "", -1});
  MountCtx ctx;
  ctx.vmGuid = "5029-abcd";
  ctx.vmName = "WEB-01";
  ctx.instanceType = kInstanceTypeVMware;
  ctx.diskFilters.resize(1);
  ctx.diskFilters[0].value = "existing";
  EXPECT_TRUE(QuarnUtils::AddDiskFilterToMountCtx(list, &ctx));

  struct Expect {
    int32_t type;
    const char* value;
    const char* vmGuid;
    const char* vmNamePattern;
    const char* text;
    bool flag;
  } expected[] = {
      {0, "existing", "", "", "", true},
      {8, "v-guid", "5029-ABCD", "", "t1", true},
      {2, "disk.vhdx", "", "web*", "t3", false},  // not normalised outside Hyper-V
      {0, "v-star", "*", "zzz*", "", true},
      {6, "v-all", "", "", "", true},
      {0, "v-untyped", "", "", "", true},
      {0, "v-eight", "", "", "", true},
  };
  ASSERT_EQ(sizeof(expected) / sizeof(expected[0]), ctx.diskFilters.size());
  for (size_t i = 0; i < ctx.diskFilters.size(); ++i) {
    const SDiskFilter& f = ctx.diskFilters[i];
    SCOPED_TRACE(expected[i].value);
    EXPECT_EQ(expected[i].type, f.type);
    EXPECT_EQ(expected[i].value, f.value);
    EXPECT_EQ(expected[i].vmGuid, f.vmGuid);
    EXPECT_EQ(expected[i].vmNamePattern, f.vmNamePattern);
    EXPECT_EQ(expected[i].text, f.text);
    EXPECT_EQ(expected[i].flag, f.flag);
  }

  MountCtx hyperV;
  hyperV.vmName = "web-02";
  hyperV.instanceType = kInstanceTypeHyperV;
  EXPECT_TRUE(QuarnUtils::AddDiskFilterToMountCtx(list, &hyperV));
  ASSERT_GE(hyperV.diskFilters.size(), 1u);
  EXPECT_EQ("*\\**\\disk.vhdx", hyperV.diskFilters[0].value);
  EXPECT_EQ("v-star", hyperV.diskFilters[1].value);

  VirtualServer::VMSubclientDiskFilterList empty;
  MountCtx untouched;
  EXPECT_TRUE(QuarnUtils::AddDiskFilterToMountCtx(empty, &untouched));
  EXPECT_TRUE(untouched.diskFilters.empty());
}

TEST_F(QuarnUtilsTest, SubclientFiltersComeBeforeDoNotBackUpFilters) {
  UseSubclient(
      "instanceType=101\n"
      "diskFilter.1.type=1\ndiskFilter.1.value=first\n"
      "diskFilter.2.type=abc\ndiskFilter.2.value=bad-type\n"
      "diskFilter.3.type=2\ndiskFilter.3.value=third\ndiskFilter.3.vmGuid=other-vm\n"
      "diskFilter.4.type=3\ndiskFilter.4.value=fourth\ndiskFilter.4.flag=0\n"
      "diskFilter.6.type=3\ndiskFilter.6.value=after-a-gap\n"
      "doNotBackupDiskFilter.1.type=9\ndoNotBackupDiskFilter.1.value=never\n");
  MountCtx ctx;
  ctx.vmGuid = "vm-guid";
  ctx.vmName = "vm01";
  EXPECT_TRUE(QuarnUtils::AddDiskFilterToMountCtx(&app_, &ctx));
  std::vector<std::string> values;
  for (const SDiskFilter& f : ctx.diskFilters) values.push_back(f.value);
  EXPECT_EQ((std::vector<std::string>{"first", "bad-type", "fourth", "never"}), values);
  ASSERT_EQ(4u, ctx.diskFilters.size());
  EXPECT_EQ(1, ctx.diskFilters[0].type);
  EXPECT_EQ(0, ctx.diskFilters[1].type);
  EXPECT_FALSE(ctx.diskFilters[2].flag);
  EXPECT_EQ(8, ctx.diskFilters[3].type);
  EXPECT_NE(std::string::npos, lab_.Log().find("type [abc] is not a number"));
}

TEST_F(QuarnUtilsTest, PatternsWithoutAPathGetTheWildcardPrefix) {
  struct Row {
    const char* pattern;
    const char* normalized;
  } rows[] = {
      {"C:\\disks\\a.vhdx", "C:\\disks\\a.vhdx"}, {"d:", "d:"},          {"\\\\?\\Volume{1}", "\\\\?\\Volume{1}"},
      {"\\ab", "\\ab"},                           {"\\a", "*\\**\\\\a"}, {"disk.vhdx", "*\\**\\disk.vhdx"},
      {"x", "*\\**\\x"},                          {"", "*\\**\\"},       {"a/b.vhdx", "*\\**\\a/b.vhdx"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.normalized, QuarnUtils::NormalizeDiskPatternFilter(row.pattern)) << row.pattern;
  EXPECT_NE(std::string::npos,
            lab_.Log().find("No delimiter found in disk pattern filter [disk.vhdx], changing it to [*\\**\\disk.vhdx] "
                            "with delimiter [/]"));
}

TEST_F(QuarnUtilsTest, ResultLines) {
  struct Row {
    const char* item;
    bool skipped, warning;
    const char* line;
  } rows[] = {
      {"", false, false, "vm01 Failed disk gone"},
      {"", false, true, "vm01 Warning disk gone"},
      {"", true, false, "vm01 Skipped disk gone"},
      {"", true, true, "vm01 Skipped disk gone"},
      {"disk1.vmdk", true, false, "vm01\\disk1.vmdk Skipped disk gone"},
      {"C:", false, true, "vm01\\C: Warning disk gone"},
  };
  for (const Row& row : rows) {
    std::string line = "previous content";
    QuarnUtils::FormatBackupDotOut(line, "vm01", row.item, "disk gone", row.skipped, row.warning);
    EXPECT_EQ(row.line, line);
  }
  std::string line;
  QuarnUtils::FormatBackupDotOut(line, "vm01", "", "", false, false);
  EXPECT_EQ("vm01 Failed ", line);
}

TEST_F(QuarnUtilsTest, PredicatesAtTheirEdges) {
  auto centric = [](int type, unsigned long engine, bool flag) {
    return QuarnUtils::IsVMCentricSnapBackupSupported(static_cast<VirtualServerInstanceType>(type), engine, flag);
  };
  EXPECT_TRUE(centric(101, 66, false));
  EXPECT_FALSE(centric(100, 66, true));
  EXPECT_TRUE(centric(102, 59, false));
  EXPECT_FALSE(centric(102, 66, true));
  EXPECT_FALSE(centric(101, (1UL << 32) + 58, true));  // no wrap-around into a valid engine id
  for (int type : {301, 402, 403, 1301, 1501}) {
    EXPECT_TRUE(centric(type, 0, true)) << type;
    EXPECT_FALSE(centric(type, 58, false)) << type;
  }
  for (int type : {401, 501, 1502}) EXPECT_FALSE(centric(type, 58, true)) << type;

  struct Extent {
    unsigned size;
    DiskType_t type;
    bool valid;
  } extents[] = {{0, 13, false}, {3, 13, true}, {3, 14, true}, {3, 1, false}, {0, 1, false},
                 {1, 1, true},   {0x80000000u, 2, true}, {0xFFFFFFFFu, 2, false}};
  for (const Extent& e : extents) EXPECT_EQ(e.valid, QuarnUtils::IsExtentSizeValid(e.size, e.type)) << e.size << "/" << e.type;

  EXPECT_EQ(5, QuarnUtils::GetSnapBackupWorkerCount(kInstanceTypeVMware, &registry_));
  Settings("nSnapBackupWorkerCount=9");
  EXPECT_EQ(9, QuarnUtils::GetSnapBackupWorkerCount(kInstanceTypeAmazon, &registry_));

  EXPECT_FALSE(QuarnUtils::IsOSWindows2016OrHigher());
  EXPECT_NE(std::string::npos, lab_.Log().find("Could not get operating system version. Err ["));
}

TEST_F(QuarnUtilsTest, CommandRunnerKeepsTheSecretOutOfTheLog) {
  std::string output;
  ASSERT_TRUE(QuarnUtils::ExecuteCommand("echo token=s3cr3t; sh -c 'echo warn s3cr3t >&2'", output, "s3cr3t"));
  EXPECT_EQ("token=s3cr3t\nwarn s3cr3t\n", output);  // the caller gets what the command printed
  ASSERT_FALSE(QuarnUtils::ExecuteCommand("echo denied for s3cr3t; exit 3", output, "s3cr3t"));
  EXPECT_EQ("denied for s3cr3t\n", output);
  // Text on standard error of a failing command is masked too.
  ASSERT_FALSE(QuarnUtils::ExecuteCommand("sh -c 'echo bad s3cr3t >&2; exit 4' 2>/dev/null; sh -c 'echo e=s3cr3t >&2; exit 5' >&2",
                                          output, "s3cr3t"));
  std::string log = lab_.Log();
  EXPECT_EQ(std::string::npos, log.find("s3cr3t"));
  EXPECT_NE(std::string::npos, log.find("Executing command echo token=*****; sh -c 'echo warn ***** >&2'"));
  EXPECT_NE(std::string::npos, log.find("Cmd Output: token=*****"));
  EXPECT_NE(std::string::npos, log.find("Command failed echo denied for *****; exit 3 denied for *****"));

  // A secret with a blank must not be put together from the end of the command and the output.
  ASSERT_FALSE(QuarnUtils::ExecuteCommand("printf 'word'; exit 1; : pass", output, "pass word"));
  EXPECT_EQ("word", output);
  EXPECT_EQ(std::string::npos, lab_.Log().find("pass word"));
  EXPECT_NE(std::string::npos, lab_.Log().find("Command failed printf 'word'; exit 1; : *****"));

  ASSERT_TRUE(QuarnUtils::ExecuteCommand("printf plain", output, ""));
  EXPECT_EQ("plain", output);
  EXPECT_NE(std::string::npos, lab_.Log().find("Executing command printf plain"));
}

// A program run with argv: no shell sees its arguments, its error output joins its output, and the
// secret stays out of the log.
TEST_F(QuarnUtilsTest, ProgramRunnerPassesEachArgumentWholeAndKeepsTheSecretOutOfTheLog) {
  const std::string marker = lab_.Path("shell-ran");
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    bool ok;
    std::string output;
  } cases[] = {
      {"metacharacters are plain text", {"/bin/echo", "U=a b'; touch " + marker + "; $(touch " + marker + ")", "P=s3cr3t"},
       true, "U=a b'; touch " + marker + "; $(touch " + marker + ") P=s3cr3t\n"},
      {"error output joins the output", {"/bin/sh", "-c", "echo out; echo err s3cr3t >&2; exit 3", "P=s3cr3t"}, false,
       "out\nerr s3cr3t\n"},
      {"a program that does not exist", {"/nonexistent/mbf64.exe", "P=s3cr3t"}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string output = "stale";
    EXPECT_EQ(c.ok, QuarnUtils::ExecuteProgram(c.argv, "tool P=s3cr3t", output, "s3cr3t", 60000));
    EXPECT_EQ(c.output, output);
  }
  EXPECT_FALSE(testsupport::Exists(marker));
  const std::string log = lab_.Log();
  EXPECT_EQ(std::string::npos, log.find("s3cr3t"));
  EXPECT_EQ(3u, testsupport::CountOf(log, "Executing command tool P=*****"));
  // The log keeps a line per entry: line ends become blanks.
  EXPECT_NE(std::string::npos, log.find("Command failed tool P=***** out err *****  exit code 3"));
  EXPECT_NE(std::string::npos, log.find("Command failed tool P=*****  the program could not be run"));
}

TEST_F(QuarnUtilsTest, DatastorePathsAndDiskDisplayNames) {
  struct Path {
    const char* text;
    bool ok;
    const char *datastore, *folder, *file;
  } paths[] = {
      {"[ds1] vm01/vm01.vmx", true, "ds1", "vm01", "vm01.vmx"},
      {"[my ds] a/b/c.vmdk", true, "my ds", "a/b", "c.vmdk"},
      {"[ds1] /top.vmx", true, "ds1", "", "top.vmx"},
      {"", false, "", "", ""},
      {"ds1 vm01/vm01.vmx", false, "", "", ""},
      {"[ds1] vm01.vmx", false, "", "", ""},
      {"[ds1]/x", false, "", "", ""},
      {"[ds/1]", false, "", "", ""},
  };
  for (const Path& p : paths) {
    CPxString datastore("-"), folder("-"), file("-");
    EXPECT_EQ(p.ok, QuarnUtils::ParseVMFileName(p.text, datastore, folder, file)) << p.text;
    if (!p.ok) continue;
    EXPECT_EQ(p.datastore, datastore.str());
    EXPECT_EQ(p.folder, folder.str());
    EXPECT_EQ(p.file, file.str());
  }
  CPxString a, b, c;
  EXPECT_FALSE(QuarnUtils::ParseVMFileName(nullptr, a, b, c));

  struct Name {
    int type;
    const char* index;
    bool ok;
    const char* display;
  } names[] = {
      {101, "scsi-0-disk1.vmdk", true, "disk1.vmdk"}, {102, "ide-1-a-b.vhdx", true, "a-b.vhdx"},
      {100, "a-b-", true, ""},                        {101, "only-one", false, "untouched"},
      {301, "vol-0abc", true, "vol-0abc"},            {402, "osdisk", true, "osdisk"},
      {701, "x", true, "x"},                          {1301, "pd-1", true, "pd-1"},
      {501, "a-b-c", false, "untouched"},             {0, "a-b-c", false, "untouched"},
  };
  for (const Name& n : names) {
    std::string display = "untouched";
    EXPECT_EQ(n.ok, QuarnUtils::ExtractDiskDisplayNameFromIndexName(
                        n.index, static_cast<VirtualServerInstanceType>(n.type), display))
        << n.index;
    EXPECT_EQ(n.display, display) << n.index;
  }
}

}  // namespace
