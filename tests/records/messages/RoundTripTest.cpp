// Every declared message of the system survives its wire text and its file form unchanged, with
// every field filled, nested messages and list elements included.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/msg/vsXMLFile.h"
#include "records/messages/VirtualServerMessages.h"
#include "tests/records/messages/CatalogueWalk.h"

namespace {

using catalogue_walk::Diff;
using catalogue_walk::Fill;
using catalogue_walk::SystemMessages;
using catalogue_walk::Values;

class CatalogueRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    CNMessageBase::ResetAccessErrorCount();
    dir_ = catalogue_walk::TempDir();
  }
  void TearDown() override {
    EXPECT_EQ(CNMessageBase::AccessErrorCount(), 0u) << CNMessageBase::LastAccessError();
    std::filesystem::remove_all(dir_);
  }

  // A message of the declared type with every field filled, nested types down to their leaves.
  static std::unique_ptr<CNMessageBase> Filled(const CNMessageDecl& d, const Values& values) {
    std::unique_ptr<CNMessageBase> m = CNMessageBase::Create(d.tagId);
    Fill(*m, values, catalogue_walk::NestingDepth(d.tagId));
    return m;
  }

  // Wire text and file form of one message, each parsed back into a fresh object and compared.
  void ExpectRoundTrips(CNMessageBase& original, const std::string& secret) {
    const CNMessageDecl* d = original.getDecl();
    for (bool compact : {true, false}) {
      SCOPED_TRACE(compact ? "wire text" : "file text");
      std::string xml;
      ASSERT_TRUE(original.serialize(xml, compact));
      if (!secret.empty()) {
        EXPECT_EQ(xml.find(secret), std::string::npos) << "password in clear:\n" << xml;
      }
      std::unique_ptr<CNMessageBase> back = CNMessageBase::Create(d->tagId);
      std::string error;
      ASSERT_TRUE(back->deserialize(xml, &error)) << error << "\n" << xml;
      EXPECT_EQ(Diff(original, *back), "") << xml;
      std::string again;
      ASSERT_TRUE(back->serialize(again, compact));
      EXPECT_EQ(again, xml) << "a second trip changes the text";
    }
    vsXMLFile file(dir_ + "/" + CNMessageCatalogue::TagName(*d) + ".xml");
    ASSERT_TRUE(file.Save(original)) << file.LastError();
    std::unique_ptr<CNMessageBase> loaded = CNMessageBase::Create(d->tagId);
    ASSERT_TRUE(file.Load(*loaded)) << file.LastError();
    EXPECT_EQ(Diff(original, *loaded), "") << "through the file";
  }

  std::string dir_;
};

TEST_F(CatalogueRoundTrip, EveryMessageFullyFilledWithHardTexts) {
  const Values values = catalogue_walk::RichValues();
  for (const CNMessageDecl* d : SystemMessages()) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*d));
    std::unique_ptr<CNMessageBase> m = Filled(*d, values);
    // The fill reaches every field of every nested type, so the trip below covers all of them.
    for (const std::string& unset : catalogue_walk::UnsetFields(*m)) ADD_FAILURE() << unset << " was not filled";
    ExpectRoundTrips(*m, "secret");
  }
}

TEST_F(CatalogueRoundTrip, EveryMessageWithEmptyTextsControlCharactersAndLimits) {
  const Values values = catalogue_walk::ExtremeValues();
  for (const CNMessageDecl* d : SystemMessages()) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*d));
    std::unique_ptr<CNMessageBase> m = Filled(*d, values);
    ExpectRoundTrips(*m, "");
  }
}

TEST_F(CatalogueRoundTrip, UnsetFieldsStayAbsent) {
  for (const CNMessageDecl* d : SystemMessages()) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*d));
    std::unique_ptr<CNMessageBase> m = CNMessageBase::Create(d->tagId);
    std::string xml;
    ASSERT_TRUE(m->serialize(xml, true));
    std::unique_ptr<CNMessageBase> back = CNMessageBase::Create(d->tagId);
    ASSERT_TRUE(back->deserialize(xml));
    EXPECT_EQ(catalogue_walk::UnsetFields(*back).size(), d->fields.size()) << xml;
  }
}

TEST_F(CatalogueRoundTrip, ReceivedTextGivesTheDeclaredTypeWithTypedElements) {
  const Values values = catalogue_walk::RichValues();
  for (const CNMessageDecl* d : SystemMessages()) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*d));
    std::unique_ptr<CNMessageBase> m = Filled(*d, values);
    std::string xml;
    ASSERT_TRUE(m->serialize(xml, true));
    std::string error;
    std::unique_ptr<CNMessageBase> received = CNMessageBase::CreateFromXml(xml, &error);
    ASSERT_NE(received, nullptr) << error;
    EXPECT_EQ(received->getDecl(), d);
    EXPECT_EQ(Diff(*m, *received), "");  // compares element tags as well
  }
}

// The credentials of a VM in the collect file: every password of the nesting stays protected and
// comes back exactly, with the characters XML treats specially and non-ASCII ones.
TEST_F(CatalogueRoundTrip, CollectFileKeepsEveryCredentialOfAVM) {
  using Common::UserPassword;
  using VirtualServer::SSHKeyDetails;
  using VirtualServer::VMCollect;
  using VirtualServer::VMCollectList;
  const std::string password = "&<>\"' pässwörd €";
  VMCollect vm;
  vm.setstring(VMCollect::F_vmName, "vm<1>");
  auto* guest = vm.getObject<UserPassword>(VMCollect::F_guestCredentials, true);
  auto* app = vm.getObject<UserPassword>(VMCollect::F_appCredentials, true);
  auto* key = vm.getObject<SSHKeyDetails>(VMCollect::F_sshKey, true);
  ASSERT_TRUE(guest && app && key);
  guest->setstring(UserPassword::F_userName, "DOMAIN\\guest");
  guest->setpstring(UserPassword::F_password, password + "1");
  app->setpstring(UserPassword::F_password, password + "2");
  key->setstring(SSHKeyDetails::F_keyFilePath, "/keys/id & co");
  key->getObject<UserPassword>(SSHKeyDetails::F_credentials, true)->setpstring(UserPassword::F_password, password + "3");
  VMCollectList list;
  list.setint64(VMCollectList::F_jobId, 42);
  list.getlistobject(VMCollectList::F_vms, true).emplace_back(vm);

  vsXMLFile file(dir_ + "/vmcollect_42.ztf");
  ASSERT_TRUE(file.Save(list)) << file.LastError();
  std::string text;
  ASSERT_TRUE(list.serialize(text, false));
  EXPECT_EQ(text.find("pässwörd"), std::string::npos);

  VMCollectList loaded;
  ASSERT_TRUE(file.Load(loaded)) << file.LastError();
  CNMessageList& vms = loaded.getlistobject(VMCollectList::F_vms, false);
  ASSERT_EQ(vms.size(), 1u);
  auto* back = dynamic_cast<VMCollect*>(vms[0].get());
  ASSERT_NE(back, nullptr);
  EXPECT_FALSE(back->isSet(VMCollect::F_guestOsCode));
  EXPECT_EQ(back->getObject<UserPassword>(VMCollect::F_guestCredentials, false)->getpstring(UserPassword::F_password),
            password + "1");
  EXPECT_EQ(back->getObject<UserPassword>(VMCollect::F_appCredentials, false)->getstring(UserPassword::F_password),
            password + "2");
  auto* keyBack = back->getObject<SSHKeyDetails>(VMCollect::F_sshKey, false);
  ASSERT_NE(keyBack, nullptr);
  EXPECT_EQ(keyBack->getObject<UserPassword>(SSHKeyDetails::F_credentials, false)->getpstring(UserPassword::F_password),
            password + "3");
  EXPECT_EQ(Diff(list, loaded), "");
}

}  // namespace
