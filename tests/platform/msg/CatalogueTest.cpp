#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/msg/CNMessageCatalogue.h"
#include "platform/msg/QTestMessages.h"
#include "records/messages/AppMessages.h"
#include "records/messages/EVGuiMessages.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/IndexingMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/TMMsgMessages.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

CNMessageCatalogue& Catalogue() { return CNMessageCatalogue::Instance(); }

// The field numbering of the catalogue: the first field has number 1, a text field takes four
// numbers and any other field one. Declarations may leave out fields, so between two declared
// fields every undeclared one may have taken one or four numbers.
std::string NumberingProblem(const CNMessageDecl& decl) {
  std::vector<CNFieldDecl> fields = decl.fields;
  std::sort(fields.begin(), fields.end(), [](const CNFieldDecl& a, const CNFieldDecl& b) { return a.index < b.index; });
  int prevIndex = 0, nextNumber = 1;  // number the field after the previous declared one gets
  for (const CNFieldDecl& f : fields) {
    if (f.index == 0 && f.number == 0) continue;  // a record's own field 0 stands before the numbered ones
    const int unknown = f.index - prevIndex - 1;  // undeclared fields in between
    const int extra = f.number - nextNumber;
    if (extra < unknown || extra > 4 * unknown || (extra - unknown) % 3 != 0) {
      return std::string(decl.className) + "." + f.name + " (" + std::to_string(f.index) + "/" +
             std::to_string(f.number) + ")";
    }
    const bool text = f.kind == CNFieldKind::Text || f.kind == CNFieldKind::ProtectedText;
    prevIndex = f.index;
    nextNumber = f.number + (text ? 4 : 1);
  }
  return "";
}

TEST(CNMessageCatalogue, DeclaredTablesAreConsistent) {
  EXPECT_TRUE(Catalogue().Errors().empty()) << Catalogue().Errors().front();
  const auto all = Catalogue().All();
  ASSERT_GE(all.size(), 10u);
  for (const CNMessageDecl* d : all) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*d));
    EXPECT_EQ(NumberingProblem(*d), "");
    EXPECT_EQ(d->tagId >> 24, static_cast<uint32_t>(d->group));
    EXPECT_EQ(Catalogue().FindByTag(d->tagId), d);
    EXPECT_EQ(Catalogue().FindByGroupType(d->group, d->type), d);
    EXPECT_EQ(Catalogue().FindByName(CNMessageCatalogue::TagName(*d)), d);
    for (const CNFieldDecl& f : d->fields) {
      if (f.nestedTag != 0) {
        EXPECT_NE(Catalogue().FindByTag(f.nestedTag), nullptr) << f.name;
      }
    }
    std::unique_ptr<CNMessageBase> made = CNMessageBase::Create(d->tagId);
    EXPECT_EQ(made->getDecl(), d);
  }
}

TEST(CNMessageCatalogue, FieldsOfOneNameShareTheirCheckValue) {
  // Same-named fields of the agent protocol carry one check value; the table rows must agree.
  const std::map<std::string, uint32_t> known = {{"vmName", 0x80C9E2}, {"vmClientId", 0xFD021D}};
  for (const CNMessageDecl* d : Catalogue().All()) {
    if (std::string(d->nameSpace) != "VirtualServer") continue;
    for (const CNFieldDecl& f : d->fields) {
      auto k = known.find(f.name);
      if (k != known.end()) {
        EXPECT_EQ(f.check, k->second) << d->className << "." << f.name;
      }
    }
  }
}

TEST(CNMessageCatalogue, TagIdsOfTheAgentProtocol) {
  EXPECT_EQ(VirtualServer::VMAgentStartup::TAG, 0x1A971C0Fu);
  EXPECT_EQ(VirtualServer::VMAgentInit::TAG, 0x1AF444BEu);
  EXPECT_EQ(VirtualServer::VMAgentStatus::TAG, 0x1A577C20u);
  EXPECT_EQ(VirtualServer::VMAgentQuit::TAG, 0x1AF801FDu);
  EXPECT_EQ(VirtualServer::VMCollectList::TAG, 0x1A4F75B1u);
  EXPECT_EQ(VirtualServer::VMCollect::TAG, 0x1A87C273u);
  EXPECT_EQ(VirtualServer::VMAgentAddress::TAG, 0x1A437586u);
  EXPECT_EQ(VirtualServer::SSHKeyDetails::TAG, 0x1A69AEEBu);
  EXPECT_EQ(VirtualServer::VMCollect::TYPE, 27);
  EXPECT_EQ(VirtualServer::VMCollectList::GROUP, 26);
  // Types without a constant of their own: group, the 0x800000 mark, the type.
  EXPECT_EQ(Common::UserPassword::TAG, 0x14800000u);
  EXPECT_EQ(QTest::Tree::TAG, 0xC8800003u);

  VirtualServer::VMAgentStartup startup;
  EXPECT_EQ(startup.getTagID(), 0x1A971C0Fu);
  EXPECT_EQ(startup.getTagName(), "VirtualServer_VMAgentStartup");
  EXPECT_EQ(startup.getGroup(), 26);
  EXPECT_EQ(startup.getType(), 46);
}

TEST(CNMessageCatalogue, RefusesDuplicatesAndInconsistentDeclarations) {
  const size_t before = Catalogue().All().size();
  const size_t errorsBefore = Catalogue().Errors().size();
  const CNMessageDecl* original = Catalogue().FindByTag(VirtualServer::VMCollect::TAG);
  auto create = []() -> CNMessageBase* { return new CNMessageBase(200, 77); };

  CNMessageDecl sameTag{"QTest", "Other", 26, 9001, VirtualServer::VMCollect::TAG, {}, create};
  CNMessageDecl samePair{"QTest", "Other", 26, 27, CNMakeTag(26, 0x123456), {}, create};
  CNMessageDecl sameName{"VirtualServer", "VMCollect", 26, 9002, CNMakeTag(26, 0x123457), {}, create};
  CNMessageDecl wrongGroup{"QTest", "WrongGroup", 200, 90, CNMakeTag(201, 0x123458), {}, create};
  CNMessageDecl dupNumber{"QTest", "DupNumber", 200, 91, CNMakeTag(200, 0x123459),
                          {{1, 1, 1, CNFieldKind::Int64, "a", 0}, {2, 1, 2, CNFieldKind::Int64, "b", 0}}, create};
  CNMessageDecl dupName{"QTest", "DupName", 200, 92, CNMakeTag(200, 0x12345A),
                        {{1, 1, 1, CNFieldKind::Int64, "a", 0}, {2, 2, 2, CNFieldKind::Text, "a", 0}}, create};
  CNMessageDecl badName{"QTest", "BadName", 200, 93, CNMakeTag(200, 0x12345B),
                        {{1, 1, 1, CNFieldKind::Int64, "a b", 0}}, create};
  CNMessageDecl wideCheck{"QTest", "WideCheck", 200, 94, CNMakeTag(200, 0x12345C),
                          {{1, 1, 0x1000000, CNFieldKind::Int64, "a", 0}}, create};
  for (const CNMessageDecl* d : {&sameTag, &samePair, &sameName, &wrongGroup, &dupNumber, &dupName, &badName,
                                 &wideCheck}) {
    EXPECT_FALSE(Catalogue().Register(*d)) << d->className;
  }
  EXPECT_EQ(Catalogue().All().size(), before);
  EXPECT_EQ(Catalogue().Errors().size(), errorsBefore + 8);
  EXPECT_EQ(Catalogue().FindByTag(VirtualServer::VMCollect::TAG), original);
  EXPECT_EQ(Catalogue().FindByGroupType(26, 27), original);
}

TEST(CNMessageCatalogue, SubsystemRegistrationIsRecordedOnly) {
  EXPECT_FALSE(Catalogue().IsSubsystemRegistered("NoSuchNamespace"));
  EXPECT_TRUE(IdxMetadata::RegisterSubsystem());
  EXPECT_TRUE(App::RegisterSubsystem());
  EXPECT_TRUE(VirtualServer::RegisterSubsystem());
  EXPECT_TRUE(JobManager::RegisterSubsystem());
  EXPECT_TRUE(Indexing::RegisterSubsystem());
  EXPECT_TRUE(EVGui::RegisterSubsystem());
  EXPECT_TRUE(TMMsg::RegisterSubsystem());
  for (const char* ns : {"IdxMetadata", "App", "VirtualServer", "JobManager", "Indexing", "EVGui", "TMMsg"}) {
    EXPECT_TRUE(Catalogue().IsSubsystemRegistered(ns)) << ns;
  }
  // Messages of a namespace nobody registered work all the same.
  EXPECT_FALSE(Catalogue().IsSubsystemRegistered("QTest"));
  QTest::Leaf leaf;
  EXPECT_TRUE(leaf.setint64(QTest::Leaf::F_count, 3));
}

TEST(CNMessageCatalogue, FactoryMakesTheGeneratedClass) {
  std::unique_ptr<CNMessageBase> m = CNMessageBase::Create(VirtualServer::VMCollect::TAG);
  ASSERT_NE(dynamic_cast<VirtualServer::VMCollect*>(m.get()), nullptr);
  EXPECT_EQ(m->getGroup(), 26);
  EXPECT_EQ(m->getType(), 27);

  std::unique_ptr<CNMessageBase> unknown = CNMessageBase::Create(0x1A000001);
  EXPECT_EQ(unknown->getTagID(), 0x1A000001u);
  EXPECT_EQ(unknown->getDecl(), nullptr);
  EXPECT_EQ(unknown->getGroup(), 26);

  CNMessageBase plain(26, 4242);
  EXPECT_EQ(plain.getDecl(), nullptr);
  EXPECT_EQ(plain.getTagID(), CNMakeTag(26, 0x800000 | 4242));

  // Deep copies of list elements keep their generated class.
  CNMessagePtr p{VirtualServer::VMAgentAddress()};
  CNMessagePtr q = p;
  EXPECT_NE(dynamic_cast<VirtualServer::VMAgentAddress*>(q.get()), nullptr);
  EXPECT_NE(p.get(), q.get());
}

}  // namespace
