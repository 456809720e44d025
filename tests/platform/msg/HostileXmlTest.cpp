#include <gtest/gtest.h>

#include "platform/msg/MsgTestSupport.h"
#include "platform/msg/QTestMessages.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

using QTest::AllKinds;
using VirtualServer::VMCollectList;

const char kListOpen[] = "<VirtualServer_VMCollectList tag=\"0x1A4F75B1\">";
const char kListClose[] = "</VirtualServer_VMCollectList>";

std::string List(const std::string& body) { return kListOpen + body + kListClose; }
std::string Kinds(const std::string& body) { return "<QTest_AllKinds tag=\"0xC800ABCD\">" + body + "</QTest_AllKinds>"; }

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Each bad document is refused with a reason and leaves the target exactly as it was.
template <class M>
void ExpectRefused(const std::string& xml, const char* what) {
  M target;
  msgtest::FillAll(target, 9, 2);
  std::string before;
  ASSERT_TRUE(target.serialize(before, true));
  std::string error;
  EXPECT_FALSE(target.deserialize(xml, &error)) << what;
  EXPECT_FALSE(error.empty()) << what;
  std::string after;
  ASSERT_TRUE(target.serialize(after, true));
  EXPECT_EQ(after, before) << what;
}

TEST(HostileXml, DocumentTypesAndEntitiesAreRefused) {
  const std::string bomb =
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
      "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
      "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
      "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
      "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
      "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">]>" +
      Kinds("<text>&lol9;</text>");
  ExpectRefused<AllKinds>(bomb, "entity expansion bomb");
  ExpectRefused<AllKinds>("<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>" + Kinds("<text>&e;</text>"),
                          "external entity");
  ExpectRefused<AllKinds>("<!DOCTYPE QTest_AllKinds SYSTEM \"http://127.0.0.1:9/x.dtd\">" + Kinds(""),
                          "external document type");
  ExpectRefused<AllKinds>(Kinds("<text>&undeclared;</text>"), "undeclared entity");
  // Character references and the predefined entities are ordinary text.
  AllKinds ok;
  ASSERT_TRUE(ok.deserialize(Kinds("<text>&lt;&#x41;&amp;&#233;</text>")));
  EXPECT_EQ(ok.getstring(AllKinds::F_text), "<A&\xC3\xA9");
}

TEST(HostileXml, WrongRootsAndTagsAreRefused) {
  ExpectRefused<VMCollectList>("<VirtualServer_VMCollect tag=\"0x1A87C273\"/>", "another known root");
  ExpectRefused<VMCollectList>("<Nobody_Knows tag=\"0x1A4F75B1\"/>", "unknown root with our tag");
  ExpectRefused<VMCollectList>("<VirtualServer_VMCollectList tag=\"0x1A4F75B2\"/>", "wrong tag attribute");
  ExpectRefused<VMCollectList>("<VirtualServer_VMCollectList/>", "no tag attribute");
  ExpectRefused<VMCollectList>("<VirtualServer_VMCollectList tag=\"1A4F75B1\"/>", "tag without 0x");
  ExpectRefused<VMCollectList>("<VirtualServer_VMCollectList tag=\"0x1A4F75BZ\"/>", "tag with junk");
  // Eight hex digits at most: a ninth is refused even when the value would come out right.
  ExpectRefused<VMCollectList>("<VirtualServer_VMCollectList tag=\"0x01A4F75B1\"/>", "tag of nine digits");
  ExpectRefused<VMCollectList>("<VirtualServer_VMCollectList tag=\"0x\"/>", "tag without digits");
  ExpectRefused<VMCollectList>(
      List("<vms><VirtualServer_VMAgentStatus tag=\"0x1A577C20\"/></vms>"), "list element of another type");
  ExpectRefused<VMCollectList>(List("<vms><VirtualServer_VMCollect tag=\"0x1A4F75B1\"/></vms>"),
                               "list element with the list's tag");
  ExpectRefused<AllKinds>(Kinds("<leaf/>"), "nested field without its message");
  ExpectRefused<AllKinds>(Kinds("<leaf><QTest_Leaf tag=\"0xC8800001\"/><QTest_Leaf tag=\"0xC8800001\"/></leaf>"),
                          "two messages in one nested field");
  ExpectRefused<AllKinds>(Kinds("<anyList><Some_Thing tag=\"0x1A87C273\"/></anyList>"),
                          "unknown name with a known tag");

  // Unknown roots with a good tag attribute make plain messages; anything else makes nothing.
  std::string error;
  std::unique_ptr<CNMessageBase> plain = CNMessageBase::CreateFromXml("<Far_Away tag=\"0x1A00BEEF\"><x>1</x></Far_Away>",
                                                                      &error);
  ASSERT_NE(plain, nullptr) << error;
  EXPECT_EQ(plain->getTagID(), 0x1A00BEEFu);
  EXPECT_EQ(plain->getDecl(), nullptr);
  EXPECT_EQ(plain->getTagName(), "Far_Away");
  EXPECT_EQ(CNMessageBase::CreateFromXml("<Far_Away tag=\"zz\"/>", &error), nullptr);
  EXPECT_EQ(CNMessageBase::CreateFromXml("", &error), nullptr);
  EXPECT_EQ(CNMessageBase::CreateFromXml("not xml at all", &error), nullptr);
}

TEST(HostileXml, BadValuesAreRefused) {
  const char* numbers[] = {"", "1x", " 1", "1 ", "+1", "0x10", "1.5", "9223372036854775808",
                           "-9223372036854775809", "--1", "-"};
  for (const char* n : numbers) {
    ExpectRefused<AllKinds>(Kinds(std::string("<number>") + n + "</number>"), n);
    ExpectRefused<AllKinds>(Kinds(std::string("<numbers><i>1</i><i>") + n + "</i></numbers>"), n);
  }
  ExpectRefused<AllKinds>(Kinds("<number><b>1</b></number>"), "element inside a number");
  ExpectRefused<AllKinds>(Kinds("<texts><i>a</i><x>b</x></texts>"), "foreign element in a text list");
  ExpectRefused<AllKinds>(Kinds("<texts>loose<i>a</i></texts>"), "loose text in a list");
  ExpectRefused<AllKinds>(Kinds("<text>a</text><text>b</text>"), "a field twice");
  ExpectRefused<AllKinds>(Kinds("<text b64=\"1\">@@@@</text>"), "bad base64");
  ExpectRefused<AllKinds>(Kinds("<text b64=\"1\">QQ=</text>"), "base64 of bad length");
  ExpectRefused<AllKinds>(Kinds("<text b64=\"2\">QQ==</text>"), "unknown text encoding");
  ExpectRefused<AllKinds>(Kinds("<secret>clear</secret>"), "protected text in clear");
  ExpectRefused<AllKinds>(Kinds("<secret enc=\"1\">!!</secret>"), "malformed protected text");

  // Unknown fields are ignored; the known ones are read.
  AllKinds ok;
  ASSERT_TRUE(ok.deserialize(Kinds("<future>whatever<deep/></future><number>-9223372036854775808</number>")));
  EXPECT_EQ(ok.getint64(AllKinds::F_number), INT64_MIN);
}

TEST(HostileXml, TruncatedOversizedAndDeepDocumentsAreRefused) {
  VMCollectList full;
  msgtest::FillAll(full, 2, 3);
  std::string xml;
  ASSERT_TRUE(full.serialize(xml, true));
  for (size_t cut : {size_t{0}, size_t{1}, xml.size() / 3, xml.size() / 2, xml.size() - 1}) {
    ExpectRefused<VMCollectList>(xml.substr(0, cut), "truncated");
  }
  ExpectRefused<VMCollectList>(xml + "<extra/>", "two roots");
  ExpectRefused<VMCollectList>(std::string(kListOpen) + "\xff\xfe" + kListClose, "not UTF-8");

  std::string huge = List("<jobId>1</jobId>");
  huge.insert(huge.size() - sizeof(kListClose) + 1, std::string((64u << 20) + 1, ' '));
  ExpectRefused<VMCollectList>(huge, "larger than the limit");

  // Deeper than any declared message needs: refused, without exhausting the stack.
  const std::string open = "<children><QTest_Tree tag=\"0xC8800003\">";
  const std::string close = "</QTest_Tree></children>";
  const std::string deep = "<QTest_Tree tag=\"0xC8800003\">" + Repeat(open, 20000) + Repeat(close, 20000) +
                           "</QTest_Tree>";
  ExpectRefused<QTest::Tree>(deep, "deep nesting");
  QTest::Tree fine;
  ASSERT_TRUE(fine.deserialize("<QTest_Tree tag=\"0xC8800003\">" + Repeat(open, 30) + Repeat(close, 30) +
                               "</QTest_Tree>"));

  // A message built deeper than the limit is not written either.
  QTest::Tree root;
  CNMessageBase* node = &root;
  for (int i = 0; i < 100; ++i) {
    CNMessageList& children = node->getlistobject(QTest::Tree::F_children, true);
    children.emplace_back(QTest::Tree());
    node = children.back().get();
  }
  std::string out = "unchanged";
  EXPECT_FALSE(root.serialize(out, true));
  EXPECT_EQ(out, "unchanged");
}

TEST(HostileXml, MisfitListElementsAreNotWritten) {
  VMCollectList list;
  list.getlistobject(VMCollectList::F_vms, true).emplace_back(VirtualServer::VMAgentStatus());
  std::string out;
  EXPECT_FALSE(list.serialize(out, true));
  VMCollectList withNull;
  withNull.getlistobject(VMCollectList::F_vms, true).emplace_back();
  EXPECT_FALSE(withNull.serialize(out, true));
}

}  // namespace
