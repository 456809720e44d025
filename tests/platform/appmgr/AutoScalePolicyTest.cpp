// The subclient's auto-scale policy: every field it holds, and a malformed one that leaves the message
// untouched.
#include <gtest/gtest.h>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/IdaMessages.h"
#include "records/messages/VirtualServerMessages.h"
#include "support/TestLab.h"

namespace {

using Config = Ida::AutoScaleConfigInfoResp;
using Region = Ida::AutoScaleRegionInfo;

bool Read(testsupport::TestLab& lab, const std::string& text, Config& config) {
  EXPECT_TRUE(lab.ReplaceSubclient("1", text));
  vsAppMgr app;
  app.setAppIdStr("1");
  EXPECT_EQ(vsAppMgr::kRetOk, app.querySettings());
  return app.GetAutoScaleConfigInfo(config);
}

TEST(AutoScalePolicy, RegionsAndTheirRunningCreationsOrNothingAtAll) {
  testsupport::TestLab lab;
  Config config;
  ASSERT_TRUE(Read(lab,
                   "autoScale=1\nautoScale.rpoMinutes=60\nautoScale.throughputGBPerHour=80\nautoScale.maxAgents=3\n"
                   "autoScale.regions=east,west\nautoScale.region.east.existingAgents=2\n"
                   "autoScale.region.east.creationJobs=7,8\n",
                   config));
  EXPECT_EQ(60, config.getint64(Config::F_rpoMinutes));
  EXPECT_EQ(80, config.getint64(Config::F_agentThroughputGBPerHour));
  EXPECT_FALSE(config.isSet(Config::F_averageVMSizeGB));
  const CNMessageList& regions = config.getlistobject(Config::F_regions, false);
  ASSERT_EQ(2u, regions.size());
  EXPECT_EQ(2, regions[0]->getint64(Region::F_existingAgents));
  EXPECT_EQ((std::vector<int64_t>{7, 8}), regions[0]->getlistint(Region::F_creationJobIds, false));
  EXPECT_FALSE(regions[1]->isSet(Region::F_existingAgents));

  for (const char* bad : {"autoScale.rpoMinutes=1h\n", "autoScale.regions=east\nautoScale.region.east.creationJobs=7,x\n"}) {
    Config untouched;
    EXPECT_FALSE(Read(lab, bad, untouched)) << bad;
    EXPECT_FALSE(untouched.isSet(Config::F_rpoMinutes)) << bad;
    EXPECT_TRUE(untouched.getlistobject(Config::F_regions, false).empty()) << bad;
  }
  Config none;
  EXPECT_FALSE(Read(lab, "autoScale=1\n", none)) << "an instance without a policy";
  VirtualServer::VMCollect other;
  vsAppMgr app;
  app.setAppIdStr("1");
  app.querySettings();
  EXPECT_FALSE(app.GetAutoScaleConfigInfo(other));
}

}  // namespace
