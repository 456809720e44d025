#include "app/QuarnRegistry.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/TestLab.h"
#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"

namespace {

class QuarnRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.Create());
    QuarnRegistry::TEST_Unload();
  }
  void TearDown() override { QuarnRegistry::TEST_Unload(); }
  // Sets each "key=value" line of the text in the section "VirtualServer".
  void Settings(const std::string& text) {
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      size_t equals = line.find('=');
      ASSERT_TRUE(lab_.Setting("VirtualServer", line.substr(0, equals), line.substr(equals + 1))) << line;
    }
  }
  testsupport::TestLab lab_{"coordinator"};
};

TEST_F(QuarnRegistryTest, PresentValuesWinOverDefaultsEvenWhenZero) {
  Settings("bEnableDatastoreMonitor=0\nnStreamsPerCPU=12\nsMediTechConfiguration=cfg-1\nnStreamLimit=-1");
  QuarnRegistry registry;
  EXPECT_FALSE(registry.CheckEntry(REG_bEnableDatastoreMonitor, true));
  int streams = 0;
  EXPECT_TRUE(registry.GetEntry(REG_nStreamsPerCPU, streams, 10));
  EXPECT_EQ(12, streams);
  std::string text;
  EXPECT_TRUE(registry.GetEntry(REG_sMediTechConfiguration, text, ""));
  EXPECT_EQ("cfg-1", text);
  // Callers rely on -1 reading back as -1 (all bits set), not as absent.
  int limit = 0;
  EXPECT_TRUE(registry.GetEntry(REG_nStreamLimit, limit, 0));
  EXPECT_EQ(-1, limit);
  unsigned int unsignedLimit = 0;
  registry.GetEntry(REG_nStreamLimit, unsignedLimit, 0u);
  EXPECT_EQ(0xFFFFFFFFu, unsignedLimit);
}

TEST_F(QuarnRegistryTest, WideNumbersTruncateForIntButNotForBool) {
  Settings("nExtentSize=4294967296");  // 2^32: low 32 bits are zero
  QuarnRegistry registry;
  int number = 7;
  registry.GetEntry(REG_nExtentSize, number, 7);
  EXPECT_EQ(0, number);
  EXPECT_TRUE(registry.CheckEntry(REG_nExtentSize, false));
}

TEST_F(QuarnRegistryTest, AbsentKeysGiveEachCallersDefault) {
  QuarnRegistry first, second;
  int a = 0, b = 0;
  EXPECT_FALSE(first.GetEntry(REG_nRebalanceInterval, a, 60));
  EXPECT_FALSE(second.GetEntry(REG_nRebalanceInterval, b, 90));
  EXPECT_EQ(60, a);
  EXPECT_EQ(90, b);
  std::string text = "keep";
  second.GetEntry(REG_dVMSnapMountPath, text, "/default");
  EXPECT_EQ("/default", text);
  // A text key read through a number getter reads as 0 rather than garbage.
  Settings("dVMSnapMountPath=/mnt");
  QuarnRegistry::TEST_Unload();
  int fromText = 5;
  EXPECT_TRUE(first.GetEntry(REG_dVMSnapMountPath, fromText, 5));
  EXPECT_EQ(0, fromText);
}

TEST_F(QuarnRegistryTest, LoadsOncePerProcess) {
  Settings("nStopWorkerTimeoutMinutes=9");
  QuarnRegistry::Startup();
  Settings("nStopWorkerTimeoutMinutes=11");
  QuarnRegistry::Startup();  // a second start reads nothing
  QuarnRegistry registry;
  int minutes = 0;
  registry.GetEntry(REG_nStopWorkerTimeoutMinutes, minutes, 5);
  EXPECT_EQ(9, minutes);
}

TEST(QuarnRegistryTable, HasNinetySevenKeysWithTheirIds) {
  int rows = 0;
  int lastId = -1;
  for (const QuarnRegistry::RegEntry* row = QuarnRegistry::c_regEntryList; row->name; ++row, ++rows) {
    EXPECT_GT(row->id, lastId) << row->name;
    lastId = static_cast<int>(row->id);
    EXPECT_EQ(row->name[0] == 'd' || row->name[0] == 's' ? 2u : 1u, row->type) << row->name;
  }
  EXPECT_EQ(97, rows);
  EXPECT_EQ(100, lastId);
  EXPECT_EQ(83, REG_nAutoResumeIntervalSeconds);
}

}  // namespace
