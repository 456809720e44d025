#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/msg/MsgTestSupport.h"
#include "platform/msg/QTestMessages.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

using msgtest::Diff;
using msgtest::FillAll;

class MessageRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override { CNMessageBase::ResetAccessErrorCount(); }
  void TearDown() override {
    EXPECT_EQ(CNMessageBase::AccessErrorCount(), 0u) << CNMessageBase::LastAccessError();
  }
};

TEST_F(MessageRoundTrip, EveryDeclaredMessageSurvivesTextAndFile) {
  const std::string dir = msgtest::TempDir();
  for (const CNMessageDecl* decl : CNMessageCatalogue::Instance().All()) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*decl));
    for (int seed : {1, 2, 3, 4}) {  // each seed puts another kind of text in each field
      std::unique_ptr<CNMessageBase> original = CNMessageBase::Create(decl->tagId);
      FillAll(*original, seed, 3);
      for (bool compact : {true, false}) {
        std::string xml;
        ASSERT_TRUE(original->serialize(xml, compact));
        EXPECT_EQ(xml.find("PlainPw"), std::string::npos) << "protected text in clear";
        if (compact) {
          EXPECT_EQ(xml.find("\n  <"), std::string::npos);
        }
        std::unique_ptr<CNMessageBase> back = CNMessageBase::Create(decl->tagId);
        std::string error;
        ASSERT_TRUE(back->deserialize(xml, &error)) << error << "\n" << xml;
        EXPECT_EQ(Diff(*original, *back), "") << xml;
        std::string again;
        ASSERT_TRUE(back->serialize(again, compact));
        EXPECT_EQ(again, xml);
      }
      vsXMLFile file(dir + "/" + CNMessageCatalogue::TagName(*decl) + ".xml");
      ASSERT_TRUE(file.Save(*original)) << file.LastError();
      std::unique_ptr<CNMessageBase> loaded = CNMessageBase::Create(decl->tagId);
      ASSERT_TRUE(file.Load(*loaded)) << file.LastError();
      EXPECT_EQ(Diff(*original, *loaded), "");
    }
  }
  std::filesystem::remove_all(dir);
}

TEST_F(MessageRoundTrip, CollectListKeepsTypedElementsAndAbsentFields) {
  using VirtualServer::VMCollect;
  using VirtualServer::VMCollectList;
  VMCollectList list;
  list.setint64(VMCollectList::F_jobId, 9007199254740993LL);  // beyond a double's exact range
  VMCollect vm;
  vm.setstring(VMCollect::F_vmName, "vm1");
  vm.setint64(VMCollect::F_vmClientId, 0);  // a set zero stays set
  list.getlistobject(VMCollectList::F_vms, true).emplace_back(vm);

  std::string xml;
  ASSERT_TRUE(list.serialize(xml, true));
  std::unique_ptr<CNMessageBase> any = CNMessageBase::CreateFromXml(xml, nullptr);
  auto* back = dynamic_cast<VMCollectList*>(any.get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->getint64(VMCollectList::F_jobId), 9007199254740993LL);
  CNMessageList& vms = back->getlistobject(VMCollectList::F_vms, false);
  ASSERT_EQ(vms.size(), 1u);
  auto* first = static_cast<VMCollect*>(vms[0].get());
  ASSERT_NE(dynamic_cast<VMCollect*>(vms[0].get()), nullptr);
  EXPECT_EQ(first->getstring(VMCollect::F_vmName), "vm1");
  EXPECT_TRUE(first->isSet(VMCollect::F_vmClientId));
  EXPECT_FALSE(first->isSet(VMCollect::F_guestCredentials));
  EXPECT_FALSE(first->isSet(VMCollect::F_guestOsCode));
  EXPECT_EQ(first->getint64(VMCollect::F_guestOsCode), 0);
  EXPECT_EQ(first->getstring(VMCollect::F_datastore), "");
  EXPECT_EQ(first->getObject<Common::UserPassword>(VMCollect::F_guestCredentials, false), nullptr);
}

TEST_F(MessageRoundTrip, ListsSetEmptyOrFilledForReadingStillTravel) {
  using QTest::AllKinds;
  AllKinds m;
  m.getliststring(AllKinds::F_texts, true);                    // set, empty
  m.getlistint(AllKinds::F_numbers, false).push_back(5);       // appended through a reading handle
  std::string xml;
  ASSERT_TRUE(m.serialize(xml, true));
  AllKinds back;
  ASSERT_TRUE(back.deserialize(xml));
  EXPECT_TRUE(back.isSet(AllKinds::F_texts));
  EXPECT_TRUE(back.getliststring(AllKinds::F_texts, false).empty());
  EXPECT_EQ(back.getlistint(AllKinds::F_numbers, false), std::vector<int64_t>{5});
  EXPECT_FALSE(back.isSet(AllKinds::F_leaves));
}

TEST_F(MessageRoundTrip, UntypedFieldsCarryAnyMessageIncludingUnknownOnes) {
  using QTest::AllKinds;
  AllKinds m;
  CNMessageList mixed;
  VirtualServer::VMAgentStatus status;
  status.setint64(VirtualServer::VMAgentStatus::F_hostStreams, 4);
  mixed.emplace_back(status);
  mixed.emplace_back(CNMessageBase::Create(0x1A7E57ED));  // a type this process does not know
  ASSERT_TRUE(m.setlistobject(AllKinds::F_anyList, mixed));
  auto* any = m.getObject<VirtualServer::VMAgentInit>(AllKinds::F_any, true);
  ASSERT_NE(any, nullptr);
  any->setint64(VirtualServer::VMAgentInit::F_masterIndexFileId, 77);

  std::string xml;
  ASSERT_TRUE(m.serialize(xml, false));
  AllKinds back;
  std::string error;
  ASSERT_TRUE(back.deserialize(xml, &error)) << error;
  CNMessageList& list = back.getlistobject(AllKinds::F_anyList, false);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->getTagID(), VirtualServer::VMAgentStatus::TAG);
  EXPECT_EQ(list[0]->getint64(VirtualServer::VMAgentStatus::F_hostStreams), 4);
  EXPECT_EQ(list[1]->getTagID(), 0x1A7E57EDu);
  auto* init = back.getObject<VirtualServer::VMAgentInit>(AllKinds::F_any, false);
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(init->getint64(VirtualServer::VMAgentInit::F_masterIndexFileId), 77);
}

TEST_F(MessageRoundTrip, PasswordNeverAppearsInClear) {
  Common::UserPassword up;
  up.setstring(Common::UserPassword::F_userName, "admin");
  up.setpstring(Common::UserPassword::F_password, "Sup3rSecret!");
  for (bool compact : {true, false}) {
    std::string xml;
    ASSERT_TRUE(up.serialize(xml, compact));
    EXPECT_EQ(xml.find("Sup3rSecret"), std::string::npos) << xml;
    EXPECT_NE(xml.find("enc=\"1\""), std::string::npos) << xml;
  }
  // Read as plain text through the runtime as well.
  EXPECT_EQ(up.getstring(Common::UserPassword::F_password), "Sup3rSecret!");
  const bstring* holder = up.getpstringobject(Common::UserPassword::F_password, false);
  ASSERT_NE(holder, nullptr);
  EXPECT_STREQ(holder->c_str(), "Sup3rSecret!");
}

TEST_F(MessageRoundTrip, ManyThreadsSerialiseAndParseAtOnce) {
  VirtualServer::VMCollectList list;
  FillAll(list, 5, 3);
  std::string expected;
  ASSERT_TRUE(list.serialize(expected, true));
  // Now and then a document large enough that the thread's parser is let go and made anew.
  VirtualServer::VMCollectList large(list);
  CNMessageList& vms = large.getlistobject(VirtualServer::VMCollectList::F_vms, false);
  while (vms.size() < 400) vms.push_back(vms.front());
  std::string expectedLarge;
  ASSERT_TRUE(large.serialize(expectedLarge, false));
  ASSERT_GT(expectedLarge.size(), 256u << 10);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        const bool big = (i + t) % 13 == 0;
        VirtualServer::VMCollectList back;
        std::string xml;
        if (!back.deserialize(big ? expectedLarge : expected) || !back.serialize(xml, !big) ||
            xml != (big ? expectedLarge : expected)) {
          ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
