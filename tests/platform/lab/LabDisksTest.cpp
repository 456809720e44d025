// Lab disks and their change journals: what a write records is what changed, a point-in-time copy and
// its change id always agree, ids outside a disk's tracked history are refused, and a journal stays
// bounded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/lab/LabDisks.h"
#include "support/TestLab.h"

namespace {

using lab::ByteRange;

class LabDisksTest : public ::testing::Test {
 protected:
  std::string MakeImage(const std::string& name, uint64_t size) {
    const std::string path = lab.Path(name);
    std::string error;
    EXPECT_TRUE(lab::WriteImageAtomic(path, std::string(), size, error)) << error;
    return path;
  }
  static std::string Bytes(const std::string& path, uint64_t offset, size_t size) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(size, '\0');
    in.read(&bytes[0], static_cast<std::streamsize>(size));
    return bytes;
  }
  static std::string Seeded(uint64_t seed, uint64_t offset, size_t size) {
    std::string bytes(size, '\0');
    lab::FillSeeded(&bytes[0], size, seed, offset);
    return bytes;
  }
  testsupport::TestLab lab;
};

TEST_F(LabDisksTest, SeededBytesDoNotDependOnHowTheyAreAskedFor) {
  const std::string whole = Seeded(7, 3, 1000);
  std::string pieces;
  for (uint64_t at = 3; at < 1003;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(1003 - at, 1 + at % 13));
    pieces += Seeded(7, at, piece);
    at += piece;
  }
  EXPECT_EQ(whole, pieces);
  EXPECT_NE(whole, Seeded(8, 3, 1000));
}

TEST_F(LabDisksTest, AWriteRecordsItsRangesAndEveryIdSinceSeesThem) {
  const std::string image = MakeImage("d.img", 1 << 20);
  std::string first, second, error;
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{4096, 100}, {8192, 4096}, {8196, 10}}, true, 5, first, error)) << error;
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, 1}}, false, 0, second, error)) << error;
  EXPECT_EQ(Seeded(5, 4096, 100), Bytes(image, 4096, 100));
  EXPECT_EQ(Seeded(2, 0, 1), Bytes(image, 0, 1)) << "an unseeded write is seeded with its generation";

  lab::ChangeJournal journal;
  ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(image, journal, error));
  EXPECT_EQ(second, lab::CurrentChangeId(journal));
  struct Case {
    std::string id;
    bool valid;
    std::vector<ByteRange> ranges;
  };
  const Case cases[] = {
      {lab::FormatChangeId(journal.id, 0), true, {{0, 1}, {4096, 100}, {8192, 4096}}},
      {first, true, {{0, 1}}},
      {second, true, {}},
      {lab::FormatChangeId(journal.id, 3), false, {}},       // one past the current generation
      {lab::FormatChangeId("0123456789abcdef", 1), false, {}},  // another disk's
      {"not-an-id", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    std::vector<ByteRange> ranges;
    bool whole = false;
    EXPECT_EQ(c.valid, lab::ChangedSince(journal, c.id, ranges, whole, error)) << c.id;
    if (c.valid) {
      EXPECT_EQ(c.ranges, ranges) << c.id;
    }
    EXPECT_FALSE(whole);
  }
}

TEST_F(LabDisksTest, RangesUpToTheEndAreWrittenAndOnePastIsRefusedWithNothingChanged) {
  const uint64_t size = 3 * 4096 + 512;
  const std::string image = MakeImage("d.img", size);
  std::string id, error;
  EXPECT_TRUE(lab::WriteDiskRanges(image, {{size - 512, 512}}, true, 1, id, error)) << error;
  const std::string before = Bytes(image, 0, size);
  for (const ByteRange& bad : std::vector<ByteRange>{{size - 511, 512}, {size, 1}, {0, 0}, {UINT64_MAX, 2}}) {
    EXPECT_FALSE(lab::WriteDiskRanges(image, {{0, 4096}, bad}, true, 2, id, error)) << bad.first;
    EXPECT_NE(std::string::npos, error.find("not within")) << error;
  }
  EXPECT_EQ(before, Bytes(image, 0, size));
  lab::ChangeJournal journal;
  ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(image, journal, error));
  EXPECT_EQ(1u, journal.last);
}

TEST_F(LabDisksTest, SpreadRangesAddUpToThePercentInDistinctChunks) {
  const uint64_t mib = lab::kSpreadChunkBytes;
  struct Case {
    uint64_t size;
    uint32_t percent;
    size_t chunks;
  };
  for (const Case& c : {Case{512 * mib, 1, 6}, Case{512 * mib, 5, 26}, Case{512 * mib, 100, 512}, Case{100 * mib, 0, 0},
                        Case{3 * mib + 512, 100, 4}, Case{1000, 1, 1}}) {
    const std::vector<ByteRange> ranges = lab::SpreadRanges(c.size, c.percent);
    ASSERT_EQ(c.chunks, ranges.size()) << c.size << " " << c.percent;
    uint64_t total = 0, end = 0;
    for (const ByteRange& range : ranges) {
      EXPECT_GE(range.first, end) << "chunks do not overlap";
      EXPECT_EQ(0u, range.first % mib);
      EXPECT_LE(range.first + range.second, c.size);
      end = range.first + range.second;
      total += range.second;
    }
    EXPECT_GE(total, std::min<uint64_t>(c.size, c.size / 100 * c.percent));
  }
}

TEST_F(LabDisksTest, AJournalStaysBoundedAndForgetsItsOldestIds) {
  lab::ChangeJournal journal;
  journal.id = "0123456789abcdef";
  // Each generation lists thousands of scattered ranges, so a few dozen fill the journal.
  std::vector<ByteRange> scattered;
  for (uint64_t i = 0; i < 5000; ++i) scattered.emplace_back(i * 10000019, 1);
  const std::string firstId = lab::FormatChangeId(journal.id, 1);
  for (int i = 0; i < 81; ++i) lab::AppendGeneration(journal, scattered);
  EXPECT_EQ(81u, journal.last);
  EXPECT_GT(journal.first, 2u);
  const std::string text = lab::FormatChangeJournal(journal);
  EXPECT_LE(text.size(), lab::kMaxJournalBytes);
  lab::ChangeJournal reread;
  std::string error;
  ASSERT_TRUE(lab::ParseChangeJournal(text, reread, error)) << error;
  std::vector<ByteRange> ranges;
  bool whole = false;
  EXPECT_FALSE(lab::ChangedSince(reread, firstId, ranges, whole, error)) << "its generation was dropped";
  EXPECT_TRUE(lab::ChangedSince(reread, lab::FormatChangeId(journal.id, journal.first - 1), ranges, whole, error));
  EXPECT_FALSE(lab::ChangedSince(reread, lab::FormatChangeId(journal.id, journal.first - 2), ranges, whole, error));

  // A generation too big to list counts as the whole disk.
  std::vector<ByteRange> huge;
  for (uint64_t i = 0; i < 200000; ++i) huge.emplace_back(i * 100003, 1);
  lab::AppendGeneration(journal, huge);
  EXPECT_TRUE(journal.generations.back().wholeDisk);
  EXPECT_TRUE(lab::ChangedSince(journal, lab::FormatChangeId(journal.id, journal.last - 1), ranges, whole, error));
  EXPECT_TRUE(whole);
  EXPECT_TRUE(ranges.empty());
}

TEST_F(LabDisksTest, MalformedJournalsAreRefused) {
  const std::string good = "id=0123456789abcdef\nfirst=2\nlast=3\ngen.2=0+1\ngen.3=*\n";
  lab::ChangeJournal journal;
  std::string error;
  ASSERT_TRUE(lab::ParseChangeJournal(good, journal, error)) << error;
  EXPECT_EQ(good, lab::FormatChangeJournal(journal));
  for (const std::string& bad :
       {std::string("id=0123456789ABCDEF\nfirst=1\nlast=0\n"), std::string("id=0123\nfirst=1\nlast=0\n"),
        std::string("id=0123456789abcdef\nfirst=3\nlast=1\n"), std::string("id=0123456789abcdef\nfirst=1\nlast=1\n"),
        std::string("id=0123456789abcdef\nfirst=1\nlast=1\ngen.1=5+0\n"),
        std::string("id=0123456789abcdef\nfirst=1\nlast=1\ngen.1=18446744073709551615+2\n"),
        std::string("id=0123456789abcdef\nfirst=0\nlast=0\n")})
    EXPECT_FALSE(lab::ParseChangeJournal(bad, journal, error)) << bad;
}

// Writers and point-in-time copies of one image from several threads: every write's generation is
// kept, and each copy holds exactly the bytes its change id says it holds.
TEST_F(LabDisksTest, CopiesAndWritesFromSeveralThreadsAlwaysAgreeWithTheirChangeIds) {
  constexpr uint64_t kChunk = 64 * 1024;
  constexpr int kWriters = 4, kWrites = 10, kCopies = 6;
  const std::string image = MakeImage("d.img", kChunk * kWriters);
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kWrites; ++i) {
        std::string id, error;
        // Each writer owns one chunk and seeds it with its own count, so a copy tells which write of
        // each chunk it holds.
        if (!lab::WriteDiskRanges(image, {{w * kChunk, kChunk}}, true, static_cast<uint64_t>(w * 100 + i), id, error))
          failed = true;
      }
    });
  }
  std::vector<std::string> copies;
  for (int c = 0; c < kCopies; ++c) {
    copies.push_back(lab.Path("copy" + std::to_string(c)));
    std::string error;
    ASSERT_TRUE(lab::CopyDiskPointInTime(image, copies.back(), nullptr, error)) << error;
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_FALSE(failed);

  lab::ChangeJournal journal;
  std::string error;
  ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(image, journal, error));
  EXPECT_EQ(static_cast<uint64_t>(kWriters * kWrites), journal.last);
  for (const std::string& copy : copies) {
    lab::ChangeJournal copied;
    ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(copy, copied, error));
    EXPECT_EQ(journal.id, copied.id);
    // Which generations of each chunk the copy's journal has seen; the copy holds the last one.
    for (int w = 0; w < kWriters; ++w) {
      int writes = 0;
      for (const lab::ChangeGeneration& g : copied.generations)
        if (!g.ranges.empty() && g.ranges.front().first == w * kChunk) ++writes;
      const std::string expected =
          writes == 0 ? std::string(kChunk, '\0') : Seeded(static_cast<uint64_t>(w * 100 + writes - 1), w * kChunk, kChunk);
      EXPECT_EQ(expected, Bytes(copy, w * kChunk, kChunk)) << copy << " chunk " << w;
    }
  }
}

}  // namespace
