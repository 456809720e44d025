// The keyed record tables of the index: records kept across processes, damaged files refused, a
// stale index rebuilt, one table shared by several threads.
#include <gtest/gtest.h>

#include <thread>

#include "platform/index/TVMContentTable.h"
#include "platform/index/TVMGUIDTable.h"
#include "platform/lab/LabFiles.h"
#include "support/TestLab.h"

namespace {

TVMGUIDRecord2 Guid(const std::string& guid, const std::string& name = std::string()) {
  TVMGUIDRecord2 record;
  record.clear();
  SetRecordText(record.vmGuid, sizeof(record.vmGuid), guid);
  SetRecordText(record.vmName, sizeof(record.vmName), name);
  return record;
}

class TCtreeTableTest : public ::testing::Test {
 protected:
  std::string Path() const { return lab_.Path("VMtoGUID"); }
  // A table of three VMs, closed.
  void MakeTable() {
    TVMGUIDTable table;
    ASSERT_EQ(0, table.initialize(Path(), false));
    for (int i = 1; i <= 3; ++i) ASSERT_EQ(0, table.insert(Guid("g" + std::to_string(i), "vm" + std::to_string(i))));
    ASSERT_EQ(0, table.close());
  }
  static std::string Bytes(const std::string& path) {
    std::string text;
    lab::ReadFile(path, text);
    return text;
  }

  testsupport::TestLab lab_;
};

TEST_F(TCtreeTableTest, RecordsOutliveTheirProcessAndAreFoundByTheirKey) {
  MakeTable();
  TVMGUIDTable table;
  ASSERT_EQ(0, table.initialize(Path(), false)) << "an existing table is kept";
  TVMGUIDRecord2 found = Guid("g2");
  ASSERT_EQ(0, table.lookup(found));
  EXPECT_STREQ("vm2", found.vmName);
  TVMGUIDRecord2 missing = Guid("g4");
  EXPECT_EQ(TCtreeTable::kNotFound, table.lookup(missing));
  EXPECT_EQ(TCtreeTable::kDuplicateKey, table.insert(Guid("g1", "again")));
  // A key counts up to its end: what follows it in the field is not part of it.
  TVMGUIDRecord2 trailing = Guid("g3");
  trailing.vmGuid[10] = 'x';
  EXPECT_EQ(0, table.lookup(trailing));
  uint64_t records = 0;
  ASSERT_EQ(0, table.count(records));
  EXPECT_EQ(3u, records);
}

TEST_F(TCtreeTableTest, DamagedFilesAreRefusedAndAStaleIndexIsRebuilt) {
  struct Case {
    const char* what;
    std::function<void(const std::string& dat, const std::string& idx)> damage;
    int open;
  } cases[] = {
      {"a torn record", [](const std::string& dat, const std::string&) {
         lab::WriteFileAtomic(dat, Bytes(dat) + std::string(10, 'x'));
       }, TCtreeTable::kCorrupt},
      {"no index file", [](const std::string&, const std::string& idx) { std::remove(idx.c_str()); },
       TCtreeTable::kMissing},
      {"a foreign header", [](const std::string& dat, const std::string&) {
         std::string text = Bytes(dat);
         text[0] = 'X';
         lab::WriteFileAtomic(dat, text);
       }, TCtreeTable::kCorrupt},
      {"an index of fewer records", [](const std::string& dat, const std::string& idx) {
         std::string text = Bytes(idx);
         lab::WriteFileAtomic(idx, text.substr(0, text.size() - 8));
       }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakeTable();
    const std::string before = Bytes(TCtreeTable::IndexFile(Path()));
    c.damage(TCtreeTable::DataFile(Path()), TCtreeTable::IndexFile(Path()));
    TVMGUIDTable table;
    int rc = table.initialize(Path(), true);
    if (rc == 0) rc = table.open(1);
    EXPECT_EQ(c.open, rc);
    if (c.open == 0) {
      TVMGUIDTable writer;
      ASSERT_EQ(0, writer.initialize(Path(), false));
      ASSERT_EQ(0, writer.open(1));
      ASSERT_EQ(0, writer.close());
      EXPECT_EQ(before, Bytes(TCtreeTable::IndexFile(Path()))) << "the index is written afresh";
    }
    table.close();
    std::remove(TCtreeTable::DataFile(Path()).c_str());
    std::remove(TCtreeTable::IndexFile(Path()).c_str());
  }

  // A table of another kind is not read as this one, and a read-only table must exist.
  TVMContentTable content;
  ASSERT_EQ(0, content.initialize(Path(), false));
  ASSERT_EQ(0, content.close());
  TVMGUIDTable guids;
  ASSERT_EQ(0, guids.initialize(Path(), false));
  EXPECT_EQ(TCtreeTable::kCorrupt, guids.open(1));
  EXPECT_EQ(TCtreeTable::kMissing, guids.initialize(lab_.Path("none"), true));
}

TEST_F(TCtreeTableTest, SeveralThreadsShareOneTable) {
  TVMGUIDTable table;
  ASSERT_EQ(0, table.initialize(Path(), false));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&table, t] {
      for (int i = 0; i < 50; ++i) {
        const std::string guid = std::to_string(t) + "-" + std::to_string(i);
        EXPECT_EQ(0, table.insert(Guid(guid, guid)));
        TVMGUIDRecord2 found = Guid(guid);
        EXPECT_EQ(0, table.lookup(found));
        EXPECT_EQ(guid, found.vmName);
        if (i % 10 == 0) table.close();  // a close between others' inserts loses nothing
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(0, table.close());
  TVMGUIDTable reread;
  ASSERT_EQ(0, reread.initialize(Path(), true));
  uint64_t records = 0;
  ASSERT_EQ(0, reread.count(records));
  EXPECT_EQ(200u, records);
}

}  // namespace
