// The MEDITECH tool's census as the job reads it, the census disk set of a VM, and where the tool's
// configuration comes from.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/QuarnRegistry.h"
#include "meditech/MediTechVMDisks.h"
#include "meditech/QuarnMediTech.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabMediTech.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabSubclient.h"
#include "platform/msg/ProtectedText.h"
#include "support/MediTechTestSupport.h"
#include "support/TestLab.h"

namespace {

using testsupport::CountOf;

const std::string kBanner = "MEDITECH Backup Facilitator 6.1\nCopyright Medical Information Technology, Inc\n\n";
// 36 characters, and its census form ('-' written as 5F).
const std::string kGuid = "6000c200-0000-4000-8000-000000000001";

class MediTechCensus : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.Create());
    lab_.UseJob(1001);
    ASSERT_TRUE(lab_.OpenLog());
  }
  // The job's managers as the job process starts them, anew at each call.
  void StartManagers() {
    jobMgr_ = std::make_unique<vsJobMgr>();
    jobMgr_->setJobId("1001");
    jobMgr_->initBackup();
    appMgr_ = std::make_unique<vsAppMgr>();
    appMgr_->setAppIdStr("1");
    ASSERT_EQ(0, appMgr_->querySettings());
  }
  testsupport::TestLab lab_{"coordinator"};
  std::unique_ptr<vsJobMgr> jobMgr_;
  std::unique_ptr<vsAppMgr> appMgr_;
};

TEST_F(MediTechCensus, LinesOfTheCensus) {
  const std::string g1 = lab::EncodeMediTechDiskGuid(kGuid);
  const std::string g2 = lab::EncodeMediTechDiskGuid("6000c201-0000-4000-8000-000000000001");
  const std::string g25 = lab::EncodeMediTechDiskGuid("abcdefghijklmnopqrstuvwxy");   // 25 characters
  const std::string g24 = lab::EncodeMediTechDiskGuid("abcdefghijklmnopqrstuvwx");    // 24 characters
  struct Case {
    const char* name;
    std::string census;
    const char* vm;
    bool listed;                      // GetVMDisks succeeds
    std::vector<std::string> guids;   // the VM's disks that match these GUIDs, in any order
    size_t size;
  } cases[] = {
      {"banners and a trailing ',' and '|'", kBanner + "vm01:DISKS=" + g1 + "|" + g2 + "|,\n", "vm01", true,
       {kGuid, "6000c201-0000-4000-8000-000000000001"}, 2},
      {"an empty disk text", kBanner + "vm01:DISKS=\n", "vm01", true, {}, 0},
      {"only a comma", "vm01:DISKS=,\n", "vm01", true, {}, 0},
      {"no '=' on the line", "vm01:DISKS " + g1 + "\n", "vm01", true, {}, 0},
      {"a line without ':' is skipped", "garbage " + g1 + "\nvm01:D=" + g1 + "\n", "vm01", true, {kGuid}, 1},
      {"lines of one VM add up", "vm01:a=" + g1 + "\nvm01:b=" + g2 + ",\n", "vm01", true,
       {kGuid, "6000c201-0000-4000-8000-000000000001"}, 2},
      {"names differing in case are other VMs", "VM01:D=" + g1 + "\n", "vm01", true, {}, 0},
      {"a VM the census does not list", "vm02:D=" + g1 + "\n", "vm01", true, {}, 0},
      {"24 characters are refused, 25 taken", "vm01:D=" + g24 + "|" + g25 + "\n", "vm01", true,
       {"abcdefghijklmnopqrstuvwxy"}, 1},
      {"lines ending \\r\\n", "vm01:D=" + g1 + ",\r\n", "vm01", true, {kGuid}, 1},
      {"an item that is not hexadecimal", "vm01:D=" + g1 + "|6000ZZ\n", "vm01", false, {}, 0},
      {"an item of odd length", "vm01:D=" + g1 + "|600\n", "vm01", false, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QuarnMediTech tool;
    tool.TEST_SetCensusOutput(c.census);
    MediTechVMDisks disks;
    EXPECT_EQ(c.listed, tool.GetVMDisks(c.vm, disks));
    if (!c.listed) continue;
    EXPECT_EQ(c.size, disks.Size());
    for (const std::string& guid : c.guids) disks.AddedToBackup(guid);
    EXPECT_TRUE(disks.AllDisksInBackupList()) << "every expected GUID is a disk of the VM";
  }
  EXPECT_EQ(1u, CountOf(lab_.Log(), "invalid disk guid abcdefghijklmnopqrstuvwx\n"));
  EXPECT_EQ(1u, CountOf(lab_.Log(), "Invalid mbf census output: garbage"));

  QuarnMediTech tool;
  tool.TEST_SetCensusOutput(kBanner + "vm01:x=\nVM01:x=\nbad line\nvm02:x=\nvm01:y=\n");
  std::vector<std::string> names = {"earlier"};
  EXPECT_TRUE(tool.GetVMList(names));
  EXPECT_EQ((std::vector<std::string>{"earlier", "vm01", "VM01", "vm02"}), names);
}

TEST_F(MediTechCensus, GuidDecoding) {
  struct Case {
    const char* hex;
    bool decoded;
    const char* guid;
  } cases[] = {{"41425F43", true, "AB-C"},  // "5F" is '_', read as '-'
               {"2d2D", true, "--"},
               {"", true, ""},
               {"4", false, ""},
               {"4G", false, ""},
               {"-1", false, ""}};
  for (const Case& c : cases) {
    std::string guid = "untouched";
    EXPECT_EQ(c.decoded, QuarnMediTech::DecodeMBFDiskGUID(c.hex, guid)) << c.hex;
    EXPECT_EQ(c.decoded ? std::string(c.guid) : std::string("untouched"), guid) << c.hex;
  }
}

TEST_F(MediTechCensus, DiskNamesMatchTheCensusGuidTheyEndWith) {
  struct Case {
    const char* name;
    std::string diskName;
    bool matches;
  } cases[] = {
      {"the GUID itself", kGuid, true},
      {"an index name ending with it", "scsi0-0-vm01-" + kGuid, true},
      {"a datastore path ending with it", "[ds1] vm01/" + kGuid, true},
      {"its last 24 characters", kGuid.substr(kGuid.size() - 24), true},
      {"its last 23 characters match nothing", kGuid.substr(kGuid.size() - 23), false},
      {"another letter case", "6000C200-0000-4000-8000-000000000001", false},
      {"a GUID that is one character longer at its end", kGuid + "0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediTechVMDisks disks;
    disks.Reset("vm01");
    disks.Insert(kGuid);
    disks.Insert("[ds2] vm01/" + kGuid);  // equal to the first: kept once
    ASSERT_EQ(1u, disks.Size());
    disks.AddedToBackup(c.diskName);
    EXPECT_EQ(c.matches, disks.AllDisksInBackupList());
    disks.SetBackupStatus(c.diskName, 0);
    EXPECT_EQ(!c.matches, disks.AnyDiskBackupFailed()) << "a disk never reported counts as failed";
  }
  const std::vector<std::string> events = lab_.Events();
  EXPECT_EQ(3, std::count(events.begin(), events.end(), "MINOR 0x5B000192 vm01|" + kGuid));

  MediTechVMDisks failed;
  failed.Reset("vm02");
  failed.Insert(kGuid);
  failed.SetBackupStatus(kGuid, 54);
  EXPECT_TRUE(failed.AnyDiskBackupFailed());
  EXPECT_EQ("MINOR 0x5B000191 vm02|" + kGuid, lab_.Events().back());
  EXPECT_EQ(1u, CountOf(lab_.Log(), "MediTech VM[vm02] Disk[" + kGuid + "] backup failed."));

  MediTechVMDisks none;
  none.Reset("vm03");
  EXPECT_TRUE(none.AllDisksInBackupList());
  EXPECT_FALSE(none.AnyDiskBackupFailed());
}

// The application manager's configuration, and the setting that overrides it item by item.
TEST_F(MediTechCensus, ConfigurationFromTheSubclientAndTheSetting) {
  std::string error;
  ASSERT_TRUE(testsupport::MakeMediTechSystem({"vm01"}, error, "pw-1", "mbfadmin")) << error;
  struct Case {
    const char* name;
    std::string setting;          // sMediTechConfiguration, stored protected
    bool subclientPassword;       // the subclient keeps the password
    bool initialized;
    std::vector<std::string> listeners;  // the I= arguments the tool got
    const char* timeout;
    const char* logged;
  } cases[] = {
      {"the subclient alone", "", true, true, {"I=mtlsn1:7010"}, "T=90", nullptr},
      {"listeners and port from the setting", "Listeners=a;;b|Port=9", true, true, {"I=a:9", "I=b:9"}, "T=90",
       "Using Meditech Configuration from registry: [a;;b][9][mbfadmin][90]"},
      {"a key anywhere in an item, its value after the first '='", "Timeout=30|xListeners=l9", true, true,
       {"I=l9:7010"}, "T=30", nullptr},
      {"the password from the setting only", "Password=pw-1", false, true, {"I=mtlsn1:7010"}, "T=90", nullptr},
      {"no password from either", "Port=1", false, false, {}, nullptr,
       "Either Listeners, Username or Password is not set in regkey"},
      {"a user the tool does not know", "Username=intruder", true, false, {}, nullptr, "Meditech Census failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(lab::WriteProtectedSetting("coordinator", "VirtualServer", "sMediTechConfiguration", c.setting,
                                           error));
    ASSERT_TRUE(lab::SetSubclientValue("1", "meditech.password", c.subclientPassword ? ProtectText("pw-1") : "",
                                       error));
    QuarnRegistry::TEST_Unload();
    StartManagers();
    const size_t runs = lab::ReadMediTechRecord().size();
    QuarnMediTech tool;
    EXPECT_EQ(c.initialized, tool.Initialize(jobMgr_.get(), appMgr_.get()));
    const std::vector<std::vector<std::string>> record = lab::ReadMediTechRecord();
    if (c.timeout != nullptr) {
      ASSERT_EQ(runs + 1, record.size());
      const std::vector<std::string>& run = record.back();
      EXPECT_EQ(c.listeners, std::vector<std::string>(run.begin() + 7, run.end() - 1));
      EXPECT_EQ(c.timeout, run.back());
    }
    if (c.logged != nullptr) {
      EXPECT_NE(std::string::npos, lab_.Log().find(c.logged));
    }
  }
  EXPECT_EQ("0x5B000193 census", lab_.Pending().back());
  EXPECT_EQ(std::string::npos, lab_.Log().find("pw-1")) << "the password reaches no log";
  QuarnRegistry::TEST_Unload();
}


// Every text of the tool that the job logs or keeps shows the password masked: a line naming no VM, a
// census line with a disk that is not hexadecimal, a disk GUID in the events, a VM name the job shows.
// A line whose first ':' lies inside the password names no VM at all: its name would hold a piece of
// the password.
TEST_F(MediTechCensus, TheToolsWordsAreShownMasked) {
  struct Case {
    const char* password;
    std::string census;
    std::vector<std::string> names;  // GetVMList: the tool's own, to compare with the job's
    size_t vm01Disks;
  } cases[] = {
      {"secret9",
       "secret9 echoed\nvm01:DISKS=" + lab::EncodeMediTechDiskGuid("6000c200-secret9-4000-8000-000000000001") +
           "|,\nvm02:DISKS=4Gsecret9\nxsecret9y:DISKS=,\n",
       {"vm01", "vm02", "xsecret9y"}, 1},
      {"se:cret9", "P=se:cret9 I=mtlsn1\nvm01:DISKS=,\n", {"vm01"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    std::string error;
    ASSERT_TRUE(testsupport::MakeMediTechSystem({"vm01"}, error, c.password)) << error;
    StartManagers();
    QuarnMediTech tool;
    ASSERT_TRUE(tool.Initialize(jobMgr_.get(), appMgr_.get()));
    tool.TEST_SetCensusOutput(c.census);

    std::vector<std::string> names;
    EXPECT_TRUE(tool.GetVMList(names));
    EXPECT_EQ(c.names, names);
    const std::string pieceOfIt = std::string(c.password).substr(3);
    for (const std::string& name : names) EXPECT_EQ(std::string::npos, tool.Masked(name).find(pieceOfIt));
    MediTechVMDisks disks;
    ASSERT_TRUE(tool.GetVMDisks("vm01", disks));
    EXPECT_EQ(c.vm01Disks, disks.Size());
    EXPECT_EQ(c.vm01Disks == 0, disks.AllDisksInBackupList());
    EXPECT_EQ(c.names.size() == 1, tool.GetVMDisks("vm02", disks)) << "a disk that is not hexadecimal";
    EXPECT_EQ(std::string::npos, lab_.Log().find(pieceOfIt)) << lab_.Log();
    for (const std::string& event : lab_.Events()) EXPECT_EQ(std::string::npos, event.find(pieceOfIt)) << event;
  }
  // Once for each of the three reads of the census.
  EXPECT_EQ(3u, CountOf(lab_.Log(), "Invalid mbf census output: ***** echoed"));
  EXPECT_EQ(3u, CountOf(lab_.Log(), "Invalid mbf census output: P=***** I=mtlsn1"));
  EXPECT_EQ(1u, CountOf(lab_.Log(), "is not a hexadecimal disk GUID: vm02:DISKS=4G*****"));
  const std::vector<std::string> events = lab_.Events();
  EXPECT_EQ(1, std::count(events.begin(), events.end(), "MINOR 0x5B000192 vm01|6000c200-*****-4000-8000-000000000001"));
}

}  // namespace
