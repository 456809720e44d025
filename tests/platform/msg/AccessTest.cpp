#include <gtest/gtest.h>

#include "platform/msg/MsgTestSupport.h"
#include "platform/msg/QTestMessages.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

using QTest::AllKinds;
using QTest::Leaf;
using VirtualServer::VMAgentStartup;
using VirtualServer::VMCollect;

// Every case: the access is refused, counted once, and the message is exactly as before.
class FieldAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    msgtest::FillAll(startup_, 1, 2);
    ASSERT_TRUE(startup_.serialize(before_, true));
    CNMessageBase::ResetAccessErrorCount();
  }
  void ExpectRefusedOnce(const char* what) {
    EXPECT_EQ(CNMessageBase::AccessErrorCount(), 1u) << what;
    std::string after;
    ASSERT_TRUE(startup_.serialize(after, true));
    EXPECT_EQ(after, before_) << what;
    CNMessageBase::ResetAccessErrorCount();
  }
  VMAgentStartup startup_;
  std::string before_;
};

TEST_F(FieldAccess, MismatchedAddressesAreCountedAndWriteNothing) {
  const uint32_t tag = VMAgentStartup::TAG;
  // The VM name descriptor belongs to VMCollect: same numbers would otherwise hit hypervisorHost.
  EXPECT_FALSE(startup_.setstring(VMCollect::F_vmName, "x"));
  ExpectRefusedOnce("another message's descriptor");
  EXPECT_FALSE(startup_.setstring(2, 2, "x", VMCollect::TAG, 0x6CD670));
  ExpectRefusedOnce("another message's tag");
  EXPECT_FALSE(startup_.setstring(2, 2, "x", tag, 0x6CD671));
  ExpectRefusedOnce("wrong check value");
  EXPECT_FALSE(startup_.setstring(3, 2, "x", tag, 0x6CD670));
  ExpectRefusedOnce("wrong index");
  EXPECT_FALSE(startup_.setstring(19, 31, "x", tag, 0x6CD670));
  ExpectRefusedOnce("no such number");
  EXPECT_FALSE(startup_.setint64(2, 2, 5, tag, 0x6CD670));
  ExpectRefusedOnce("number into a text field");
  EXPECT_FALSE(startup_.setstring(1, 1, "5", tag, 0xF51CD8));
  ExpectRefusedOnce("text into a number field");
  EXPECT_FALSE(startup_.setpstring(2, 2, "pw", tag, 0x6CD670));
  ExpectRefusedOnce("protected text into a plain text field");
  EXPECT_FALSE(startup_.setliststring(3, 6, {"a"}, tag, 0x207BA2));
  ExpectRefusedOnce("texts into a message list");
  EXPECT_EQ(startup_.getObjectAccessor(false, true, 9, 12, tag, 0xCDCFF2, 26, 27), nullptr);
  ExpectRefusedOnce("nested message of the wrong type");
  CNMessageList wrong;
  wrong.emplace_back(VMCollect());
  EXPECT_FALSE(startup_.setlistobject(VMAgentStartup::F_addresses, wrong));
  ExpectRefusedOnce("list element of the wrong type");
  CNMessageList withNull(1);
  EXPECT_FALSE(startup_.setlistobject(VMAgentStartup::F_addresses, withNull));
  ExpectRefusedOnce("null list element");
}

TEST_F(FieldAccess, MismatchedReadsGiveEmptyValues) {
  const uint32_t tag = VMAgentStartup::TAG;
  EXPECT_NE(startup_.getint64(VMAgentStartup::F_cpuCount), 0);
  EXPECT_EQ(startup_.getint64(8, tag, 0x586443), 0);
  ExpectRefusedOnce("getint64 wrong check");
  EXPECT_EQ(startup_.getstring(VMCollect::F_vmName), "");
  ExpectRefusedOnce("getstring other tag");
  EXPECT_EQ(startup_.getstringByRef(1, 1, tag, 0xF51CD8), "");
  ExpectRefusedOnce("getstringByRef on a number");
  EXPECT_FALSE(startup_.isSet(2, tag, 0x123456));
  ExpectRefusedOnce("isSet wrong check");
  EXPECT_EQ(startup_.getObjectAccessor(false, false, 9, 12, VMCollect::TAG, 0xCDCFF2, 26, 49), nullptr);
  ExpectRefusedOnce("nested read other tag");

  // The empty object handed out on a mismatch never carries what a caller wrote into it.
  std::vector<std::string>& junk = startup_.getliststring(8, 11, tag, 0x000000, true);
  junk.push_back("leak");
  ExpectRefusedOnce("list with wrong check");
  EXPECT_TRUE(startup_.getliststring(8, 11, VMCollect::TAG, 0xF96BDC, false).empty());
  ExpectRefusedOnce("list with wrong tag");
  CNMessageList& objects = startup_.getlistobject(2, 2, tag, 0x6CD670, true);
  EXPECT_TRUE(objects.empty());
  ExpectRefusedOnce("message list of a text field");
}

TEST(CNMessageBaseAccess, PlainMessagesHaveNoFields) {
  CNMessageBase::ResetAccessErrorCount();
  CNMessageBase plain(26, 4242);
  EXPECT_FALSE(plain.setint64(1, 1, 3, plain.getTagID(), 0));
  EXPECT_EQ(plain.getint64(1, plain.getTagID(), 0), 0);
  EXPECT_EQ(CNMessageBase::AccessErrorCount(), 2u);
  std::string xml;
  ASSERT_TRUE(plain.serialize(xml, true));
  EXPECT_NE(xml.find("tag=\"0x1A801092\""), std::string::npos) << xml;
  CNMessageBase::ResetAccessErrorCount();
}

class CorrectAccess : public ::testing::Test {
 protected:
  void SetUp() override { CNMessageBase::ResetAccessErrorCount(); }
  void TearDown() override {
    EXPECT_EQ(CNMessageBase::AccessErrorCount(), 0u) << CNMessageBase::LastAccessError();
  }
};

TEST_F(CorrectAccess, UnsetFieldsReadEmptyAndPresenceFollowsWrites) {
  VMCollect vm;
  EXPECT_EQ(vm.getint64(21, VMCollect::TAG, 0xFD021D), 0);  // by number alone
  EXPECT_EQ(vm.getstring(VMCollect::F_vmName), "");
  EXPECT_FALSE(vm.isSet(VMCollect::F_guestCredentials));
  EXPECT_FALSE(vm.isSet(VMCollect::F_vmName));
  EXPECT_TRUE(vm.setstring(VMCollect::F_vmName, ""));
  EXPECT_TRUE(vm.isSet(1, VMCollect::TAG, 0x80C9E2));

  Common::UserPassword up;
  EXPECT_EQ(up.getpstringobject(Common::UserPassword::F_password, false), nullptr);
  EXPECT_FALSE(up.isSet(Common::UserPassword::F_password));
  const bstring* holder = up.getpstringobject(Common::UserPassword::F_password, true);
  ASSERT_NE(holder, nullptr);
  EXPECT_STREQ(holder->c_str(), "");
  EXPECT_TRUE(up.isSet(Common::UserPassword::F_password));
  // A protected text written as a plain text is still protected.
  EXPECT_TRUE(up.setstring(Common::UserPassword::F_password, "pw1"));
  EXPECT_EQ(up.getpstring(Common::UserPassword::F_password), "pw1");
}

TEST_F(CorrectAccess, ListFillFlagMarksPresence) {
  AllKinds m;
  EXPECT_TRUE(m.getliststring(AllKinds::F_texts, false).empty());
  EXPECT_FALSE(m.isSet(AllKinds::F_texts));
  m.getliststring(AllKinds::F_texts, true);
  EXPECT_TRUE(m.isSet(AllKinds::F_texts));
  m.getlistobject(AllKinds::F_leaves, false).emplace_back(Leaf());
  EXPECT_TRUE(m.isSet(AllKinds::F_leaves));  // holds an element, however it got there
}

TEST_F(CorrectAccess, HandedOutListsStayValidWhileOtherFieldsAreWritten) {
  // Fields written last to first, so that every write lands before those already held.
  AllKinds m;
  auto& anyList = m.getlistobject(AllKinds::F_anyList, true);
  auto& leaves = m.getlistobject(AllKinds::F_leaves, true);
  auto& numbers = m.getlistint(AllKinds::F_numbers, true);
  auto& texts = m.getliststring(AllKinds::F_texts, true);
  bstring* secret = m.getpstringobject(AllKinds::F_secret, true);
  m.setstring(AllKinds::F_text, "t");
  m.setint64(AllKinds::F_number, 1);
  anyList.emplace_back(Leaf());
  leaves.emplace_back(Leaf());
  numbers.push_back(7);
  texts.push_back("x");
  ASSERT_NE(secret, nullptr);
  EXPECT_STREQ(secret->c_str(), "");
  EXPECT_EQ(m.getlistobject(AllKinds::F_anyList, false).size(), 1u);
  EXPECT_EQ(m.getlistobject(AllKinds::F_leaves, false).size(), 1u);
  EXPECT_EQ(m.getlistint(AllKinds::F_numbers, false), std::vector<int64_t>{7});
  EXPECT_EQ(m.getliststring(AllKinds::F_texts, false), std::vector<std::string>{"x"});
}

TEST_F(CorrectAccess, NestedMessagesAreCreatedOnFirstWriteOnly) {
  VMAgentStartup s;
  EXPECT_EQ(s.getObject<VirtualServer::VMAgentStatus>(VMAgentStartup::F_agentStatus, false), nullptr);
  EXPECT_FALSE(s.isSet(VMAgentStartup::F_agentStatus));
  auto* status = s.getObject<VirtualServer::VMAgentStatus>(VMAgentStartup::F_agentStatus, true);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->getTagID(), VirtualServer::VMAgentStatus::TAG);
  status->setint64(VirtualServer::VMAgentStatus::F_hostStreams, 3);
  EXPECT_EQ(s.getObject<VirtualServer::VMAgentStatus>(VMAgentStartup::F_agentStatus, true), status);
  CNMessageBase* raw = s.getObjectAccessor(true, false, 9, 12, VMAgentStartup::TAG, 0xCDCFF2, 26, 49);
  EXPECT_EQ(raw, status);
  EXPECT_TRUE(s.isSet(VMAgentStartup::F_agentStatus));
}

TEST_F(CorrectAccess, CopiesAreDeepAndSelfAssignmentIsHarmless) {
  AllKinds a;
  msgtest::FillAll(a, 4, 2);
  AllKinds b(a);
  EXPECT_EQ(msgtest::Diff(a, b), "");
  b.getObject<Leaf>(AllKinds::F_leaf, false)->setstring(Leaf::F_label, "changed");
  static_cast<Leaf*>(b.getlistobject(AllKinds::F_leaves, false)[0].get())->setint64(Leaf::F_count, 99);
  EXPECT_NE(a.getObject<Leaf>(AllKinds::F_leaf, false)->getstring(Leaf::F_label), "changed");
  EXPECT_NE(a.getlistobject(AllKinds::F_leaves, false)[0]->getint64(Leaf::F_count), 99);

  AllKinds c;
  c = a;
  c = static_cast<AllKinds&>(c);
  EXPECT_EQ(msgtest::Diff(a, c), "");
  // A list set from itself, and a message assigned from a part of itself.
  CNMessageList& own = c.getlistobject(AllKinds::F_leaves, false);
  EXPECT_TRUE(c.setlistobject(AllKinds::F_leaves, own));
  EXPECT_EQ(c.getlistobject(AllKinds::F_leaves, false).size(), 2u);
  QTest::Tree tree;
  QTest::Tree child;
  child.setstring(QTest::Tree::F_name, "child");
  tree.getlistobject(QTest::Tree::F_children, true).emplace_back(child);
  CNMessageBase& inner = *tree.getlistobject(QTest::Tree::F_children, false)[0];
  tree = static_cast<QTest::Tree&>(inner);
  EXPECT_EQ(tree.getstring(QTest::Tree::F_name), "child");
}

}  // namespace
