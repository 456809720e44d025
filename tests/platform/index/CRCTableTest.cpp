// The checksum table of a disk: written once at close as a ".dat" and ".idx" pair, read back whole,
// and refused when the pair is torn, corrupted or of another version.
#include <gtest/gtest.h>

#include "platform/index/TVMCRCTable.h"
#include "platform/lab/LabFiles.h"
#include "platform/os/CPxCRC32.h"
#include "support/TestLab.h"

namespace {

class CRCTableTest : public ::testing::Test {
 protected:
  std::string Name(const std::string& n) const { return lab_.Path(n); }
  // A table of extents 2, 0 and 2^32 + 7 (out of order), extent 0 written twice.
  void Write(const std::string& name, uint32_t seed) {
    TVMCRCTable table;
    ASSERT_EQ(0, table.initialize(name, false));
    ASSERT_EQ(0, table.insert(MakeCRCRecord(2, seed + 2)));
    ASSERT_EQ(0, table.insert(MakeCRCRecord(0, 1)));
    ASSERT_EQ(0, table.insert(MakeCRCRecord((1ull << 32) + 7, seed + 40)));
    ASSERT_EQ(0, table.insert(MakeCRCRecord(0, seed)));
    EXPECT_FALSE(testsupport::Exists(TVMCRCTable::DataPath(name))) << "nothing is written before close";
    ASSERT_EQ(0, table.close()) << table.GetLastError();
  }
  static std::string Read(const std::string& path) {
    std::string text;
    lab::ReadFile(path, text);
    return text;
  }

  testsupport::TestLab lab_;
};

TEST_F(CRCTableTest, ClosedTableReadsBackByExtent) {
  Write(Name("t"), 100);
  EXPECT_TRUE(testsupport::Exists(Name("t.dat")));
  EXPECT_TRUE(testsupport::Exists(Name("t.idx")));
  TVMCRCTable table;
  ASSERT_EQ(0, table.initialize(Name("t"), true)) << table.GetLastError();
  EXPECT_EQ(3u, table.size());
  TVMCRCRecord record;
  ASSERT_EQ(1, table.lookup(0, record));
  EXPECT_EQ(100u, record.crc) << "the last insert of an extent wins";
  ASSERT_EQ(1, table.lookup((1ull << 32) + 7, record));
  EXPECT_EQ(1u, record.extentHigh);
  EXPECT_EQ(7u, record.extentLow);
  EXPECT_EQ(140u, record.crc);
  EXPECT_EQ(0, table.lookup(1, record));
  EXPECT_EQ(-1, table.insert(MakeCRCRecord(5, 5))) << "a table read is not written";
  EXPECT_EQ(0, table.close());
  EXPECT_EQ(-1, table.lookup(0, record));
}

TEST_F(CRCTableTest, TableNotClosedLeavesNoFileAndAnEmptyTableIsAPair) {
  {
    TVMCRCTable table;
    ASSERT_EQ(0, table.initialize(Name("crash"), false));
    table.insert(MakeCRCRecord(1, 1));
  }  // a job that dies mid-disk
  EXPECT_FALSE(testsupport::Exists(Name("crash.dat")));
  EXPECT_FALSE(testsupport::Exists(Name("crash.idx")));
  TVMCRCTable empty;
  ASSERT_EQ(0, empty.initialize(Name("empty"), false));
  ASSERT_EQ(0, empty.close());
  TVMCRCTable read;
  ASSERT_EQ(0, read.initialize(Name("empty"), true)) << read.GetLastError();
  EXPECT_EQ(0u, read.size());
}

TEST_F(CRCTableTest, TornCorruptOrForeignFilesAreRefused) {
  Write(Name("a"), 1);
  Write(Name("b"), 2);
  const std::string data = Read(Name("a.dat")), index = Read(Name("a.idx"));
  auto flip = [](std::string text, size_t at) {
    text[at] = static_cast<char>(text[at] ^ 0x01);
    return text;
  };
  TVMCRCTable empty;
  ASSERT_EQ(0, empty.initialize(Name("e"), false));
  ASSERT_EQ(0, empty.close());
  // The .idx of the empty table with its last extent other than 0, its own checksum made good again.
  std::string emptyRange = Read(Name("e.idx"));
  emptyRange[45] = static_cast<char>(0xF9);
  CPxCRC32 crc;
  crc.UpdateCRC32(emptyRange.data(), 48);
  for (int i = 0; i < 4; ++i) emptyRange[48 + i] = static_cast<char>((crc.GetCRC32() >> (8 * i)) & 0xFF);
  struct Case {
    const char* what;
    std::string dat, idx;
  } cases[] = {
      {"a .dat of one write with the .idx of another", data, Read(Name("b.idx"))},
      {"a flipped record byte", flip(data, data.size() - 1), index},
      {"a flipped header byte", flip(data, 16), index},
      {"a flipped .idx byte", data, flip(index, 20)},
      {"a truncated .dat", data.substr(0, data.size() - 4), index},
      {"an empty .idx", data, ""},
      {"an empty table whose .idx names an extent range", Read(Name("e.dat")), emptyRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(lab::WriteFileAtomic(Name("x.dat"), c.dat));
    ASSERT_TRUE(lab::WriteFileAtomic(Name("x.idx"), c.idx));
    TVMCRCTable table;
    EXPECT_NE(0, table.initialize(Name("x"), true));
    EXPECT_FALSE(table.GetLastError().empty());
    TVMCRCRecord record;
    EXPECT_EQ(-1, table.lookup(0, record)) << "a refused table answers no lookup";
  }
  TVMCRCTable missing;
  EXPECT_NE(0, missing.initialize(Name("none"), true));
}

TEST_F(CRCTableTest, FaultsFailTheOpenAndTheWriteAndLeaveNoHalfPair) {
  ASSERT_TRUE(lab_.Fault("crctable.close", 5, "media full"));
  TVMCRCTable table;
  ASSERT_EQ(0, table.initialize(Name("f"), false));
  table.insert(MakeCRCRecord(1, 1));
  EXPECT_NE(0, table.close());
  EXPECT_EQ("media full", table.GetLastError());
  EXPECT_FALSE(testsupport::Exists(Name("f.dat")));
  EXPECT_FALSE(testsupport::Exists(Name("f.idx")));

  ASSERT_TRUE(lab_.Fault("crctable.initialize", 5, "no memory"));
  EXPECT_NE(0, table.initialize(Name("f"), false));
  EXPECT_FALSE(table.isOpen());
  EXPECT_EQ(0, table.initialize(Name("f"), false)) << "the rule fired once";
}

}  // namespace
