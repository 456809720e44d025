// The receiver of a disk's previous extent checksums under indexing V2: every item of a browse
// reply goes into the table the disk's backup compares against, or the reply is refused whole.
#include <gtest/gtest.h>

#include "platform/index/ExtentNameConverter.h"
#include "platform/index/IdxBrowseMessages.h"
#include "platform/index/TVMCRCTable.h"
#include "records/messages/IdxMetadataMessages.h"
#include "support/TestLab.h"
#include "worker/QuarnIdxBrowseClientResp.h"

namespace {

using IdxBrowse::BrowseItem;
using IdxBrowse::BrowseResp;

// A reply of the given extent names, each with checksum 100 + its position.
BrowseResp Reply(const std::vector<std::string>& names) {
  BrowseResp reply;
  CNMessageList& items =
      reply.getObject<IdxBrowse::BrowseResult>(BrowseResp::F_result, true)->getlistobject(IdxBrowse::BrowseResult::F_items, true);
  for (size_t i = 0; i < names.size(); ++i) {
    BrowseItem item;
    item.setstring(BrowseItem::F_extentName, names[i]);
    item.getObject<IdxBrowse::ExtentAttributes>(BrowseItem::F_attributes, true)
        ->setint64(IdxBrowse::ExtentAttributes::F_checksum, static_cast<int64_t>(100 + i));
    items.emplace_back(item);
  }
  return reply;
}

TEST(IdxBrowseClientResp, TheChecksumsOfAReplyGoIntoThePreviousTableOrTheReplyIsRefused) {
  testsupport::TestLab lab;
  const std::string five = ExtentNameConverter::GetFilePath(5), seven = ExtentNameConverter::GetFilePath(7);
  struct Case {
    const char* name;
    bool table;
    std::vector<std::string> names;
    bool accepted;
    size_t loaded;
  } cases[] = {
      {"every extent is loaded", true, {five, seven}, true, 2},
      {"an empty reply loads nothing", true, {}, true, 0},
      {"a name that is no extent name", true, {five, "Extent7"}, false, 1},
      {"no table to load into", false, {five}, false, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TVMCRCTable* table = new TVMCRCTable();
    ASSERT_EQ(0, table->initialize(lab.Path("previous"), false));
    TVMCRCTable* target = test.table ? table : nullptr;
    QuarnIdxBrowseClientResp receiver(target, "vm-guid");
    BrowseResp reply = Reply(test.names);
    EXPECT_EQ(test.accepted, receiver.processResp(&reply));
    EXPECT_EQ(test.table ? test.loaded : 0u, table->size());
    TVMCRCRecord record;
    if (test.loaded == 2) {
      ASSERT_EQ(1, table->lookup(7, record));
      EXPECT_EQ(101u, record.crc);
    }
    delete table;
  }
  // Not a browse reply at all, or none.
  TVMCRCTable* table = nullptr;
  QuarnIdxBrowseClientResp receiver(table, "vm-guid");
  IdxMetadata::IdxMetaData other;
  EXPECT_FALSE(receiver.processResp(&other));
  EXPECT_FALSE(receiver.processResp(nullptr));
}

}  // namespace
