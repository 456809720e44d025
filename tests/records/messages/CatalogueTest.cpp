// The declared message tables of the system: identities, numbering, check values, and the field
// addresses that code outside the generated classes passes as plain constants.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "records/messages/AppMessages.h"
#include "records/messages/CommonMessages.h"
#include "records/messages/IdaMessages.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/TMMsgMessages.h"
#include "records/messages/VirtualServerMessages.h"
#include "records/messages/ZtEntitiesMessages.h"
#include "tests/records/messages/CatalogueWalk.h"

namespace {

using catalogue_walk::SystemMessages;

std::string NameOf(const CNMessageDecl& d) { return CNMessageCatalogue::TagName(d); }

TEST(MessageCatalogue, EveryTableRegistersCompletelyInItsGroup) {
  for (const std::string& error : CNMessageCatalogue::Instance().Errors()) ADD_FAILURE() << error;
  std::map<std::string, int> groupOf;
  for (const auto& ns : catalogue_walk::SystemNamespaces()) groupOf[ns.name] = ns.group;
  std::map<std::string, size_t> count;
  for (const CNMessageDecl* d : SystemMessages()) {
    SCOPED_TRACE(NameOf(*d));
    ++count[d->nameSpace];
    EXPECT_EQ(d->group, groupOf[d->nameSpace]);
    EXPECT_EQ(d->tagId >> 24, static_cast<uint32_t>(d->group)) << "the tag's top byte is the group";
    std::unique_ptr<CNMessageBase> made = CNMessageBase::Create(d->tagId);
    EXPECT_EQ(made->getDecl(), d) << "the factory makes another type";
    for (const CNFieldDecl& f : d->fields) {
      const bool nests = f.kind == CNFieldKind::Message || f.kind == CNFieldKind::MessageList;
      if (nests) {
        EXPECT_NE(CNMessageCatalogue::Instance().FindByTag(f.nestedTag), nullptr) << f.name << " nests no declared type";
      }
    }
  }
  // The namespaces with tables of their own (the others are registered but empty).
  for (const char* ns : {"Common", "JobManager", "Ida", "VirtualServer", "App", "TMMsg", "ZtEntities", "IdxMetadata"}) {
    EXPECT_GT(count[ns], 0u) << ns;
  }
  EXPECT_GE(count["VirtualServer"], 27u);
}

TEST(MessageCatalogue, TagIdsPairsAndNamesAreUnique) {
  std::set<uint32_t> tags;
  std::set<std::pair<int, int>> pairs;
  std::set<std::string> names;
  for (const CNMessageDecl* d : SystemMessages()) {
    EXPECT_TRUE(tags.insert(d->tagId).second) << NameOf(*d) << " reuses a tag id";
    EXPECT_TRUE(pairs.insert({d->group, d->type}).second) << NameOf(*d) << " reuses a (group, type) pair";
    EXPECT_TRUE(names.insert(NameOf(*d)).second) << NameOf(*d) << " is declared twice";
    EXPECT_EQ(CNMessageCatalogue::Instance().FindByGroupType(d->group, d->type), d);
    EXPECT_EQ(CNMessageCatalogue::Instance().FindByName(NameOf(*d)), d);
  }
}

// First field number 1; after a text field the next number is 4 higher, after any other field 1.
// The tables leave out fields nobody touches; an undeclared field in between took 1 or 4 numbers.
TEST(MessageCatalogue, FieldNumbersFollowTheNumberingRule) {
  for (const CNMessageDecl* d : SystemMessages()) {
    std::vector<CNFieldDecl> fields = d->fields;
    std::sort(fields.begin(), fields.end(), [](const CNFieldDecl& a, const CNFieldDecl& b) { return a.index < b.index; });
    int prevIndex = 0;
    int next = 1;
    for (const CNFieldDecl& f : fields) {
      if (f.index == 0 && f.number == 0) continue;  // field 0 stands before the numbered ones
      const int skipped = f.index - prevIndex - 1;
      const int extra = f.number - next;
      const bool fits = extra >= skipped && extra <= 4 * skipped && (extra - skipped) % 3 == 0;
      EXPECT_TRUE(fits) << NameOf(*d) << "." << f.name << " " << f.index << "/" << f.number << " (expected "
                        << next << (skipped ? " plus what the skipped fields take" : "") << ")";
      prevIndex = f.index;
      next = f.number + (catalogue_walk::IsTextKind(f.kind) ? 4 : 1);
    }
  }
}

TEST(MessageCatalogue, OneFieldNameOneCheckValue) {
  std::map<std::string, std::pair<uint32_t, std::string>> byName;  // name -> check, first message
  std::map<uint32_t, std::pair<std::string, std::string>> byCheck;  // check -> name, first message
  for (const CNMessageDecl* d : SystemMessages()) {
    for (const CNFieldDecl& f : d->fields) {
      const std::string where = NameOf(*d) + "." + f.name;
      auto n = byName.emplace(f.name, std::make_pair(f.check, where)).first;
      EXPECT_EQ(n->second.first, f.check) << where << " and " << n->second.second << " differ in check value";
      auto c = byCheck.emplace(f.check, std::make_pair(std::string(f.name), where)).first;
      EXPECT_EQ(c->second.first, f.name) << where << " and " << c->second.second << " share a check value";
    }
  }
  // The two check values the protocol names as examples.
  EXPECT_EQ(byName["vmName"].first, 0x80C9E2u);
  EXPECT_EQ(byName["vmClientId"].first, 0xFD021Du);
}

TEST(MessageCatalogue, TagIdsAreTheFixedOnes) {
  namespace vs = VirtualServer;
  const std::vector<std::pair<uint32_t, uint32_t>> fixed = {
      {vs::VMAgentStartup::TAG, 0x1A971C0F},   {vs::VMAgentInit::TAG, 0x1AF444BE},
      {vs::VMAgentStatus::TAG, 0x1A577C20},    {vs::VMBackupGetNextVM::TAG, 0x1A23D487},
      {vs::VMCollectList::TAG, 0x1A4F75B1},    {vs::VMBackupStream::TAG, 0x1A3DDC39},
      {vs::VMBackupStopVM::TAG, 0x1A3CA6F2},   {vs::VMBackupResult::TAG, 0x1AB654D6},
      {vs::VMBackupProgress::TAG, 0x1ACD04A6}, {vs::VMProgressPercent::TAG, 0x1A05E5A1},
      {vs::VMAgentShutdown::TAG, 0x1AB75F04},  {vs::VMAgentQuit::TAG, 0x1AF801FD},
      {vs::VMSharedShadow::TAG, 0x1A08763C},   {vs::VMSnapBackup::TAG, 0x1AE00043},
      {vs::MountSnapInfo::TAG, 0x1A487AB1},    {vs::VMMountSnapInfo::TAG, 0x1AB3D15A},
      {vs::VMCollect::TAG, 0x1A87C273},        {vs::VMContentRecord::TAG, 0x1A0814B3},
      {vs::Backup::TAG, 0x1A2561E2},           {vs::VMDatastoreList::TAG, 0x1A680495},
      {vs::VMAgentAddress::TAG, 0x1A437586},   {vs::VMSubclientDiskFilterList::TAG, 0x1A254BE7},
      {vs::VMSubclientDiskFilter::TAG, 0x1AFD23A9}, {vs::VSAAppAwareSWSnapDeletion::TAG, 0x1ABE2A7D},
      {vs::SSHKeyDetails::TAG, 0x1A69AEEB},    {vs::VSAAppAwareWorkflowGoAhead::TAG, 0x1A5AC068},
      {JobManager::VMUpdateInfo::TAG, 0x15A0B32E}, {JobManager::ArchiveIndexResp::TAG, 0x153D1DCB},
      {Common::EventMessage::TAG, 0x14D9382D}, {Ida::AutoScaleConfigInfoResp::TAG, 0x16BDAC9B},
      {Ida::AutoScaleRegionInfo::TAG, 0x160964DD}, {TMMsg::CreateTaskReq::TAG, 0x0CE5B41D},
      {TMMsg::TaskInfo::TAG, 0x0C6327F3},      {TMMsg::TaskHeader::TAG, 0x0C27A9A5},
      {TMMsg::SubTaskInfo::TAG, 0x0C4C4E13},   {TMMsg::SubTask::TAG, 0x0CD8DFC5},
      {TMMsg::TaskOptions::TAG, 0x0CBCAE72},   {ZtEntities::GenericEntity::TAG, 0x128C0C7A}};
  for (const auto& [declared, expected] : fixed) EXPECT_EQ(declared, expected) << std::hex << expected;

  const std::vector<std::pair<uint32_t, int>> types = {
      {vs::VMAgentStartup::TAG, 46},   {vs::VMAgentInit::TAG, 108},     {vs::VMAgentStatus::TAG, 49},
      {vs::VMBackupGetNextVM::TAG, 40}, {vs::VMCollectList::TAG, 28},   {vs::VMBackupStream::TAG, 43},
      {vs::VMBackupStopVM::TAG, 44},   {vs::VMBackupResult::TAG, 39},   {vs::VMBackupProgress::TAG, 42},
      {vs::VMProgressPercent::TAG, 41}, {vs::VMAgentShutdown::TAG, 47}, {vs::VMAgentQuit::TAG, 48},
      {vs::VMSharedShadow::TAG, 50},   {vs::VMSnapBackup::TAG, 13},     {vs::MountSnapInfo::TAG, 140},
      {vs::VMMountSnapInfo::TAG, 139}, {vs::VMCollect::TAG, 27},        {vs::VMContentRecord::TAG, 38},
      {vs::VMDatastoreList::TAG, 11},  {vs::VMSubclientDiskFilterList::TAG, 56},
      {vs::VSAAppAwareSWSnapDeletion::TAG, 115}, {vs::SSHKeyDetails::TAG, 119},
      {JobManager::VMUpdateInfo::TAG, 27}, {Common::EventMessage::TAG, 36}, {Common::UserPassword::TAG, 0},
      {TMMsg::BackupOption::TAG, 111}, {TMMsg::VirtualServerOption::TAG, 389}, {App::MemberServerList::TAG, 255},
      {IdxMetadata::IdxMetaData::TAG, 93}, {IdxMetadata::IdxCommonMetaData::TAG, 1},
      {IdxMetadata::IdxAuxMetaData::TAG, 33}, {IdxMetadata::VirtualServerIdxMetaData::TAG, 38},
      {IdxMetadata::VMNetwork::TAG, 98}, {IdxMetadata::VMNetworks::TAG, 99}, {vs::VMLoginKeyPair::TAG, 121},
      {vs::VMLoginKeyPairs::TAG, 122}, {vs::VMNetworkSecurityGroup::TAG, 123},
      {vs::VMNetworkSecurityGroups::TAG, 124}};
  for (const auto& [tag, type] : types) {
    const CNMessageDecl* d = CNMessageCatalogue::Instance().FindByTag(tag);
    ASSERT_NE(d, nullptr) << std::hex << tag;
    EXPECT_EQ(d->type, type) << d->className;
  }
}

// Code that is not written against the generated classes (the platform stand-ins, the status
// fillers) addresses fields by (index, number, check) as the tables of the protocol give them. Each
// row here is such an address; it must name a declared field of that kind.
struct Address {
  uint32_t tag;
  int index;  // -1: read by number only
  int number;
  uint32_t check;
  CNFieldKind kind;
};

TEST(MessageCatalogue, FieldAddressesUsedAsPlainConstantsAreDeclared) {
  using K = CNFieldKind;
  const uint32_t info = JobManager::VMUpdateInfo::TAG;
  const uint32_t collect = VirtualServer::VMCollect::TAG;
  const uint32_t filter = VirtualServer::VMSubclientDiskFilter::TAG;
  const std::vector<Address> used = {
      {info, 1, 1, 0x253646, K::Int64},     {info, 2, 2, 0x80C9E2, K::Text},       {info, 3, 6, 0x32BC12, K::Int64},
      {info, 4, 7, 0x25A43C, K::Int64},     {info, 5, 8, 0x75184C, K::Text},       {info, 6, 12, 0xB4CC27, K::Text},
      {info, 7, 16, 0x275421, K::Int64},    {info, 8, 17, 0x200329, K::Int64},     {info, 9, 18, 0x1D91B0, K::Text},
      {info, 10, 22, 0x7036B0, K::Text},    {info, 11, 26, 0xB5468D, K::Int64},    {info, 12, 27, 0x711E06, K::Int64},
      {info, 13, 28, 0xF9104E, K::Text},    {info, 15, 33, 0x218E89, K::Text},     {info, 16, 37, 0xC452E5, K::Text},
      {info, 18, 42, 0x2269C8, K::Text},    {info, 19, 46, 0x7F829D, K::Text},     {info, 20, 50, 0x80F5D9, K::Int64},
      {info, 24, 57, 0xB26880, K::Int64},   {info, 25, 58, 0x73D9C8, K::Message},  {info, 27, 63, 0x6A254D, K::Int64},
      {info, 34, 76, 0x079636, K::Text},    {info, 35, 80, 0xB49210, K::Text},     {info, 36, 84, 0x09A998, K::Int64},
      {info, 39, 87, 0x714377, K::Text},    {info, 42, 93, 0xAB7EE2, K::Int64},    {info, 43, 94, 0x1D9F24, K::Text},
      {info, 49, 106, 0x1E12F6, K::Int64},  {info, 61, 121, 0xA9F214, K::Text},    {info, 62, 125, 0xB5B8C1, K::Int64},
      {info, 63, 126, 0xE85BFA, K::Int64},  {Common::EventMessage::TAG, 1, 1, 0x2B2382, K::Int64},
      {VirtualServer::VMSubclientDiskFilterList::TAG, 1, 1, 0x10A3FB, K::MessageList},
      {filter, -1, 1, 0x6E52D2, K::Int64},  {filter, 2, 2, 0x08CB78, K::Text},     {filter, 3, 6, 0x7DE5E0, K::Text},
      {filter, 4, 10, 0x80C9E2, K::Text},   {filter, 5, 14, 0xAC9171, K::Text},    {filter, 6, 18, 0x109890, K::Int64},
      {collect, 5, 17, 0xC7370D, K::Text},  {collect, -1, 22, 0xAFDBBB, K::Int64}, {collect, -1, 21, 0xFD021D, K::Int64},
      {collect, -1, 27, 0x7E8819, K::Int64}, {collect, 26, 68, 0x7844B4, K::Text}, {collect, 22, 58, 0xBD08E0, K::Text},
      {collect, 21, 54, 0x0EF2B6, K::Text}, {collect, -1, 63, 0xE81AA5, K::Int64}, {collect, 25, 64, 0xDBE7C7, K::Text},
      {collect, 32, 77, 0x7A11BD, K::Text}, {collect, -1, 62, 0x664541, K::Int64}};
  for (const Address& a : used) {
    const CNMessageDecl* d = CNMessageCatalogue::Instance().FindByTag(a.tag);
    ASSERT_NE(d, nullptr) << std::hex << a.tag;
    const CNFieldDecl* found = nullptr;
    for (const CNFieldDecl& f : d->fields) {
      if (f.number == a.number) found = &f;
    }
    ASSERT_NE(found, nullptr) << d->className << " has no field number " << a.number;
    if (a.index >= 0) {
      EXPECT_EQ(found->index, a.index) << d->className << "." << found->name;
    }
    EXPECT_EQ(found->check, a.check) << d->className << "." << found->name;
    EXPECT_EQ(found->kind, a.kind) << d->className << "." << found->name;
  }
}

}  // namespace
