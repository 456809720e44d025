#include "platform/appmgr/vsAppMgr.h"

#include <gtest/gtest.h>

#include "platform/lab/Lab.h"
#include "support/TestLab.h"

namespace {

const char* const kSubclient =
    "# lab subclient\n"
    "instanceType=101\n"
    "instanceId=11\n"
    "instanceType.12=102\n"
    "keyrealmId=7\n"
    "subclientGUID=guid-1\n"
    "memberServers=coordinator, proxyA ,,proxyB\n"
    "memberServers.12=hv1,hv2\n"
    "fbrMA=fbr1\n"
    "meditech=1\n"
    "indexingV2=1\n"
    "failbackReplicationId=4242\n"
    "failbackSourceInstanceId=11\n"
    "failbackDestinationInstanceId=12\n"
    "failbackSourceName=src\n"
    "failbackDestinationName=dst\n";

class AppMgrTest : public ::testing::Test {
 protected:
  // Plants a subclient record's text as it stands.
  bool AddSubclient(const std::string& appId, const std::string& text) {
    return lab::MakeDirs(lab::SubclientsDir()) && lab::WriteFileAtomic(lab::SubclientConfPath(appId), text);
  }
  testsupport::TestLab lab_;
};

TEST_F(AppMgrTest, QuerySettingsRefusesUnusableInput) {
  ASSERT_TRUE(AddSubclient("1", "instanceType=101\n"));
  ASSERT_TRUE(lab::MakeDirs(lab::SubclientConfPath("dir")));
  struct Case {
    std::string appId;
    std::string conf;  // written first when not empty
    int code;
    int fault = 0;  // a fault rule of querySettings with this code
  } cases[] = {
      {"", "", vsAppMgr::kRetBadAppId},
      {"..", "", vsAppMgr::kRetBadAppId},
      {"../1", "", vsAppMgr::kRetBadAppId},
      {"a/b", "", vsAppMgr::kRetBadAppId},
      {"2", "", vsAppMgr::kRetNoSubclient},
      {"dir", "", vsAppMgr::kRetUnreadable},
      {"3", "no equals here\n", vsAppMgr::kRetBadSettings},
      {"4", "instanceType=vmware\n", vsAppMgr::kRetBadSettings},
      {"5", "meditech=yes\n", vsAppMgr::kRetBadSettings},
      {"6", "instanceType.9=x\n", vsAppMgr::kRetBadSettings},
      {"7", "instanceType=101\n", 42, 42},
      {"8", "instanceType=101\n", vsAppMgr::kRetNoCredentials, vsAppMgr::kRetNoCredentials},
      {"1", "", vsAppMgr::kRetOk},
  };
  for (const Case& c : cases) {
    if (!c.conf.empty()) {
      ASSERT_TRUE(AddSubclient(c.appId, c.conf));
    }
    if (c.fault != 0) {
      ASSERT_TRUE(lab_.Fault("appmgr.querySettings", c.fault, "settings refused"));
    }
    vsAppMgr am;
    am.setAppIdStr(c.appId);
    int code = am.querySettings();
    EXPECT_EQ(c.code, code) << "appId [" << c.appId << "]";
    EXPECT_EQ(c.code != vsAppMgr::kRetOk, vsAppMgr::isRetCodeError(code));
    EXPECT_EQ(c.code != vsAppMgr::kRetOk, !am.getLastError().empty()) << am.getLastError();
  }

  lab::SetRoot(std::string());
  vsAppMgr noLab;
  noLab.setAppIdStr("1");
  EXPECT_EQ(vsAppMgr::kRetNoLab, noLab.querySettings());
}

TEST_F(AppMgrTest, FailedRequeryKeepsTheSettingsAlreadyLoaded) {
  ASSERT_TRUE(AddSubclient("1", kSubclient));
  vsAppMgr am;
  am.setAppIdStr("1");
  ASSERT_EQ(vsAppMgr::kRetOk, am.querySettings());
  ASSERT_TRUE(AddSubclient("1", "instanceType=oops\n"));
  EXPECT_EQ(vsAppMgr::kRetBadSettings, am.querySettings());
  EXPECT_TRUE(am.IsMeditechSubclient());
  EXPECT_EQ(7u, am.getKeyrealmId());
}

TEST_F(AppMgrTest, RetCodeEventNamesTheFailure) {
  vsAppMgr am;
  am.setAppIdStr("2");
  int code = am.querySettings();
  ASSERT_EQ(vsAppMgr::kRetNoSubclient, code);

  EvMessageContainer container;
  ASSERT_TRUE(am.getRetCodeEvent(code, container));
  EXPECT_EQ(vsAppMgr::kRetEventBase + vsAppMgr::kRetNoSubclient, container.GetMessageID());
  ASSERT_EQ(3u, container.Arguments().Size());
  EXPECT_EQ("2", container.Arguments().Arguments()[0].ToText());
  EXPECT_EQ("3", container.Arguments().Arguments()[1].ToText());
  EXPECT_NE(std::string::npos, container.Arguments().Arguments()[2].ToText().find(lab::SubclientConfPath("2")));

  EvMessageContainer other;
  ASSERT_TRUE(am.getRetCodeEvent(42, other));
  EXPECT_EQ(vsAppMgr::kRetEventOther, other.GetMessageID());
  ASSERT_TRUE(am.getRetCodeEvent(-1, other));
  EXPECT_EQ(vsAppMgr::kRetEventOther, other.GetMessageID());

  EvMessageContainer untouched;
  untouched.SetMessageID(5);
  EXPECT_FALSE(am.getRetCodeEvent(vsAppMgr::kRetOk, untouched));
  EXPECT_EQ(5u, untouched.GetMessageID());
}

TEST_F(AppMgrTest, SettingsOfTheSubclient) {
  ASSERT_TRUE(AddSubclient("1", kSubclient));
  vsAppMgr am;
  am.setAppIdStr("1");
  ASSERT_EQ(vsAppMgr::kRetOk, am.querySettings());
  EXPECT_EQ(1u, am.getAppId());
  EXPECT_EQ(101, am.getInstanceType());
  EXPECT_TRUE(am.isServerTypeVMWare());
  EXPECT_FALSE(am.isServerTypeMS());
  EXPECT_EQ("guid-1", am.getSubclientGUID());
  EXPECT_TRUE(am.IsMeditechSubclient());
  EXPECT_TRUE(am.isUseIndexingV2Enabled());
  EXPECT_FALSE(am.IsProxyServerDetailsSet());
  EXPECT_FALSE(am.GetAppAwareEnabled());
  EXPECT_EQ((std::vector<std::string>{"coordinator", "proxyA", "proxyB"}), am.getMemberServers());

  EXPECT_TRUE(am.AddFBRMAInMemberServerList());
  EXPECT_TRUE(am.AddFBRMAInMemberServerList());
  EXPECT_EQ((std::vector<std::string>{"coordinator", "proxyA", "proxyB", "fbr1"}), am.getMemberServers());

  EXPECT_EQ(101, am.getInstanceType(11));
  EXPECT_EQ(102, am.getInstanceType(12));
  EXPECT_EQ(kInstanceTypeUnknown, am.getInstanceType(99));
  EXPECT_EQ(vsAppMgr::kRetOk, am.queryMemberServersForInstance(12));
  EXPECT_EQ((std::vector<std::string>{"hv1", "hv2"}), am.getMemberServers());
  EXPECT_EQ(vsAppMgr::kRetNoMemberServers, am.queryMemberServersForInstance(99));
  EXPECT_EQ((std::vector<std::string>{"hv1", "hv2"}), am.getMemberServers());
}

TEST_F(AppMgrTest, FailbackReplicationQueries) {
  ASSERT_TRUE(AddSubclient("1", kSubclient));
  vsAppMgr am;
  am.setAppIdStr("1");
  ASSERT_EQ(vsAppMgr::kRetOk, am.querySettings());
  std::string text;
  uint64_t instance = 0;
  ASSERT_TRUE(am.queryReplicationSettingsForFailback(4242, 1, text, instance));
  EXPECT_EQ("src", text);
  EXPECT_EQ(11u, instance);
  ASSERT_TRUE(am.queryReplicationSettingsForFailback(4242, 2, text, instance));
  EXPECT_EQ("dst", text);
  EXPECT_EQ(12u, instance);

  text = "kept";
  instance = 5;
  EXPECT_FALSE(am.queryReplicationSettingsForFailback(4243, 1, text, instance)) << "unknown replication";
  EXPECT_FALSE(am.queryReplicationSettingsForFailback(4242, 3, text, instance)) << "neither side";
  EXPECT_EQ("kept", text);
  EXPECT_EQ(5u, instance);

  EXPECT_FALSE(am.getIsCrossVendorFailback());
  am.setIsCrossVendorFailback(true);
  EXPECT_TRUE(am.getIsCrossVendorFailback());
}

TEST_F(AppMgrTest, QueriesNeedTheSettingsFirst) {
  vsAppMgr am;
  am.setAppIdStr("1");
  EXPECT_EQ(vsAppMgr::kRetNotQueried, am.querySnapFailoverESXHostsProperties(false));
  EXPECT_EQ(vsAppMgr::kRetNotQueried, am.queryVMArchivingSettings());

  ASSERT_TRUE(AddSubclient("1", "proxyServerDetails=1\n"));
  ASSERT_EQ(vsAppMgr::kRetOk, am.querySettings());
  EXPECT_EQ(vsAppMgr::kRetOk, am.queryVMArchivingSettings());
  EXPECT_TRUE(am.IsProxyServerDetailsSet());
  EXPECT_EQ(vsAppMgr::kRetOk, am.querySnapFailoverESXHostsProperties(false));
  ASSERT_TRUE(lab_.Fault("appmgr.querySnapFailoverESXHostsProperties", 6, "no credentials"));
  int code = am.querySnapFailoverESXHostsProperties(false);
  EXPECT_EQ(6, code);
  EXPECT_TRUE(vsAppMgr::isRetCodeError(code));
  EXPECT_EQ("no credentials", am.getLastError());
}

TEST(AppMgrServerTypes, EachInstanceTypeHasOneFamily) {
  using Predicate = bool (*)(int);
  const Predicate predicates[] = {
      &vsAppMgr::isServerTypeVMWare,        &vsAppMgr::isServerTypeMS,
      &vsAppMgr::isServerTypeXen,           &vsAppMgr::isServerTypeAmazon,
      &vsAppMgr::isServerTypeAzure,         &vsAppMgr::isServerTypeNutanix,
      &vsAppMgr::isServerTypeRhev,          &vsAppMgr::isServerTypeOpenStack,
      &vsAppMgr::isServerTypeFusionCompute, &vsAppMgr::isServerTypeOracleVM,
      &vsAppMgr::isServerTypeOracleCloud,   &vsAppMgr::isServerTypeOracleCloudInfrastructure,
      &vsAppMgr::isServerTypeGoogleCloud,   &vsAppMgr::isServerTypeAliCloud,
      &vsAppMgr::isServerTypeK8s};
  const int types[] = {100, 101, 102, 201, 301, 401, 402, 403, 501, 601, 701,
                       801, 901, 1101, 1102, 1301, 1401, 1501, 1502};
  for (int type : types) {
    int families = 0;
    for (Predicate predicate : predicates) families += predicate(type) ? 1 : 0;
    EXPECT_EQ(1, families) << "instance type " << type;
  }
  for (Predicate predicate : predicates) EXPECT_FALSE(predicate(kInstanceTypeUnknown));
}

}  // namespace
