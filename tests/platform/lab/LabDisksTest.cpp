// Lab disks and their change journals: what a write records is what changed, a snapshot and its change
// id always agree, a snapshot keeps only what changes, ids outside a disk's tracked history are
// refused, and a journal stays bounded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/lab/LabDisks.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/os/CPxSha256.h"
#include "platform/os/ZtMutex.h"
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
  // The percent of a disk rounded up to whole sectors, at most the disk.
  EXPECT_EQ(83968u, lab::SpreadBytes(4 * lab::kSpreadChunkBytes, 2));
  EXPECT_EQ(512u, lab::SpreadBytes(1000, 1));
  EXPECT_EQ(1000u, lab::SpreadBytes(1000, 100));
  EXPECT_EQ(0u, lab::SpreadBytes(1000, 0));
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
    EXPECT_EQ(lab::SpreadBytes(c.size, c.percent), total) << "what was asked, in whole sectors, and no more";
  }
}

TEST_F(LabDisksTest, AJournalStaysBoundedAndForgetsItsOldestIds) {
  lab::ChangeJournal journal;
  journal.id = "0123456789abcdef";
  journal.digests[0] = std::string(64, 'f');
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
  EXPECT_TRUE(reread.digests.empty()) << "no snapshot can name a dropped generation";

  // A generation too big to list counts as the whole disk.
  std::vector<ByteRange> huge;
  for (uint64_t i = 0; i < 200000; ++i) huge.emplace_back(i * 100003, 1);
  lab::AppendGeneration(journal, huge);
  EXPECT_TRUE(journal.generations.back().wholeDisk);
  EXPECT_TRUE(lab::ChangedSince(journal, lab::FormatChangeId(journal.id, journal.last - 1), ranges, whole, error));
  EXPECT_TRUE(whole);
  EXPECT_TRUE(ranges.empty());
}

// A generation of the whole disk (one too big to list) is seen by every id from before it, whatever
// generations follow it; an id from after it sees only what came later. Kept as the journal is stored.
TEST_F(LabDisksTest, AWholeDiskGenerationIsSeenByEveryIdFromBeforeItWhateverFollows) {
  std::vector<ByteRange> tooMany;
  for (uint64_t i = 0; i < 200000; ++i) tooMany.emplace_back(i * 100003, 1);
  const std::vector<ByteRange> a{{4096, 512}}, b{{0, 1}};
  struct Since {
    bool whole;
    std::vector<ByteRange> ranges;
  };
  struct Case {
    const char* writes;         // W: the whole disk, a and b: ranges, in order
    std::vector<Since> since;   // what the id of generation 0, 1, ... up to the last sees
  } cases[] = {
      {"Wa", {{true, {}}, {false, a}, {false, {}}}},
      {"aW", {{true, {}}, {true, {}}, {false, {}}}},
      {"aWb", {{true, {}}, {true, {}}, {false, b}, {false, {}}}},
      {"Wab", {{true, {}}, {false, {{0, 1}, {4096, 512}}}, {false, b}, {false, {}}}},
      {"WW", {{true, {}}, {true, {}}, {false, {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.writes);
    lab::ChangeJournal journal;
    journal.id = "0123456789abcdef";
    for (const char* w = c.writes; *w != 0; ++w)
      lab::AppendGeneration(journal, *w == 'W' ? tooMany : *w == 'a' ? a : b);
    lab::ChangeJournal stored;
    std::string error;
    ASSERT_TRUE(lab::ParseChangeJournal(lab::FormatChangeJournal(journal), stored, error)) << error;
    ASSERT_EQ(c.since.size(), stored.last + 1);
    for (uint64_t g = 0; g <= stored.last; ++g) {
      std::vector<ByteRange> ranges;
      bool whole = !c.since[g].whole;
      ASSERT_TRUE(lab::ChangedSince(stored, lab::FormatChangeId(stored.id, g), ranges, whole, error)) << error;
      EXPECT_EQ(c.since[g].whole, whole) << "since generation " << g;
      EXPECT_EQ(c.since[g].ranges, ranges) << "since generation " << g;
    }
  }
}

TEST_F(LabDisksTest, MalformedJournalsAreRefused) {
  const std::string good = "id=0123456789abcdef\nfirst=2\nlast=3\ndigest.3=" + std::string(64, 'a') +
                           "\ngen.2=0+1\ngen.3=*\n";
  lab::ChangeJournal journal;
  std::string error;
  ASSERT_TRUE(lab::ParseChangeJournal(good, journal, error)) << error;
  EXPECT_EQ(good, lab::FormatChangeJournal(journal));
  for (const std::string& bad :
       {std::string("id=0123456789ABCDEF\nfirst=1\nlast=0\n"), std::string("id=0123\nfirst=1\nlast=0\n"),
        std::string("id=0123456789abcdef\nfirst=3\nlast=1\n"), std::string("id=0123456789abcdef\nfirst=1\nlast=1\n"),
        std::string("id=0123456789abcdef\nfirst=1\nlast=1\ngen.1=5+0\n"),
        std::string("id=0123456789abcdef\nfirst=1\nlast=1\ngen.1=18446744073709551615+2\n"),
        std::string("id=0123456789abcdef\nfirst=0\nlast=0\n"),
        std::string("id=0123456789abcdef\nfirst=1\nlast=0\ndigest.0=wanted\n"),
        std::string("id=0123456789abcdef\nfirst=1\nlast=0\ndigest.0=") + std::string(63, 'a') + "\n",
        std::string("id=0123456789abcdef\nfirst=1\nlast=0\ndigest.x=wanted\n")})
    EXPECT_FALSE(lab::ParseChangeJournal(bad, journal, error)) << bad;
}

// Writers, snapshots and readers of one image from several threads: every write's generation is kept,
// and each snapshot's view reads exactly the bytes its change id says, while the writers go on (read in
// pieces that straddle what the view keeps) and after them.
TEST_F(LabDisksTest, SnapshotsWritesAndReadsFromSeveralThreadsAlwaysAgreeWithTheirChangeIds) {
  constexpr uint64_t kChunk = 64 * 1024;
  constexpr int kWriters = 4, kWrites = 10, kViews = 6;
  constexpr size_t kPiece = 10007;
  const std::string image = MakeImage("d.img", kChunk * kWriters);
  std::atomic<bool> failed{false};
  std::atomic<int> writing{kWriters};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kWrites; ++i) {
        std::string id, error;
        // Each writer owns one chunk and seeds it with its own count, so a view tells which write of
        // each chunk it holds.
        if (!lab::WriteDiskRanges(image, {{w * kChunk, kChunk}}, true, static_cast<uint64_t>(w * 100 + i), id, error))
          failed = true;
      }
      --writing;
    });
  }
  // What a view must hold, from the journal its snapshot took.
  auto expected = [&](const std::string& view) {
    lab::ChangeJournal taken;
    std::string error, bytes;
    EXPECT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(view, taken, error)) << error;
    for (int w = 0; w < kWriters; ++w) {
      int writes = 0;
      for (const lab::ChangeGeneration& g : taken.generations)
        if (!g.ranges.empty() && g.ranges.front().first == w * kChunk) ++writes;
      bytes += writes == 0 ? std::string(kChunk, '\0')
                           : Seeded(static_cast<uint64_t>(w * 100 + writes - 1), w * kChunk, kChunk);
    }
    return bytes;
  };
  std::vector<std::string> views;
  std::atomic<int> misreads{0};
  for (int v = 0; v < kViews; ++v) {
    views.push_back(lab.Path("view" + std::to_string(v)));
    std::string changeId, error;
    ASSERT_TRUE(lab::TakeSnapshot(image, views.back(), changeId, error)) << error;
    threads.emplace_back([&, view = views.back()] {
      const std::string want = expected(view);
      lab::DiskReader reader;
      int errorNumber = 0;
      std::string error;
      if (!reader.Open(view, errorNumber, error)) failed = true;
      do {
        std::string got(want.size(), '\0');
        for (uint64_t at = 0; at < got.size(); at += kPiece)
          if (reader.Read(&got[at], std::min<size_t>(kPiece, got.size() - at), at) < 0) failed = true;
        if (got != want) ++misreads;
      } while (writing > 0);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_FALSE(failed);
  EXPECT_EQ(0, misreads);

  lab::ChangeJournal journal;
  std::string error;
  ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(image, journal, error));
  EXPECT_EQ(static_cast<uint64_t>(kWriters * kWrites), journal.last);
  auto listed = [&] { return testsupport::CountOf(testsupport::ReadDisk(image + ".snapshots"), "view="); };
  EXPECT_EQ(static_cast<size_t>(kViews), listed());
  for (const std::string& view : views) {
    lab::ChangeJournal taken;
    ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(view, taken, error));
    EXPECT_EQ(journal.id, taken.id);
    EXPECT_TRUE(taken.digests.empty()) << "the image's digests are not the view's";
    EXPECT_EQ(expected(view), testsupport::ReadDisk(view)) << view;
    ASSERT_TRUE(lab::DropSnapshot(view, error)) << error;
    EXPECT_FALSE(testsupport::Exists(view) || testsupport::Exists(view + ".changes") || lab::IsSnapshotView(view));
  }
  // The writer forgets views that are gone.
  std::string id;
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, 1}}, true, 1, id, error)) << error;
  EXPECT_EQ(0u, listed());
}

// How far a guest write and a view's read of the same image have got, as their hooks and the test's
// threads tell it.
class WriteAndRead {
 public:
  enum Step { kWriteHeld, kReadWaits, kReadDone, kWriteReleased, kSteps };
  void Mark(Step step) {
    ZtMutexLock lock(mutex_);
    reached_[step] = true;
    reachedOne_.notify_all();
  }
  bool Reached(Step step) {
    ZtMutexLock lock(mutex_);
    return reached_[step];
  }
  // Until one of the steps is reached; false after a minute of the platform clock without any.
  bool WaitFor(std::initializer_list<Step> steps) {
    const long long deadline = ZtClock::DeadlineAfter(CTimeInterval::FromSeconds(60));
    ZtMutexLock lock(mutex_);
    for (;;) {
      for (Step step : steps)
        if (reached_[step]) return true;
      if (ZtClock::MonotonicTicks() >= deadline) return false;
      reachedOne_.wait_until(mutex_, deadline);
    }
  }

 private:
  ZtMutex mutex_;
  ZtCondition reachedOne_;
  bool reached_[kSteps] GUARDED_BY(mutex_) = {};
};

// A view's read of a range that a guest write is changing waits for the write, which holds the image's
// lock, and then reads the bytes from before it. The write is held part-way: the old bytes kept in the
// view, the first piece of the new ones in the image and the rest not.
TEST_F(LabDisksTest, AViewsReadWaitsForAGuestWriteHeldPartWayAndReadsTheBytesFromBeforeIt) {
  constexpr uint64_t kMiB = 1 << 20;
  const ByteRange written(kMiB / 2, 2 * kMiB + 512);  // three pieces of the writer
  const std::string image = MakeImage("d.img", 4 * kMiB);
  std::string id, error, changeId;
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, 4 * kMiB}}, true, 1, id, error)) << error;
  const std::string view = lab.Path("view.img");
  ASSERT_TRUE(lab::TakeSnapshot(image, view, changeId, error)) << error;
  lab::DiskReader reader;
  int errorNumber = 0;
  ASSERT_TRUE(reader.Open(view, errorNumber, error)) << error;

  WriteAndRead race;
  lab::SnapshotRaceHooksForTest hooks;
  hooks.writePartDone = [&] {
    race.Mark(WriteAndRead::kWriteHeld);
    race.WaitFor({WriteAndRead::kWriteReleased});
  };
  hooks.readWaits = [&] { race.Mark(WriteAndRead::kReadWaits); };
  lab::SetSnapshotRaceHooksForTest(&hooks);
  bool wrote = false;
  std::string writeId, writeError;
  std::thread writer([&] { wrote = lab::WriteDiskRanges(image, {written}, true, 2, writeId, writeError); });
  const bool held = race.WaitFor({WriteAndRead::kWriteHeld});
  std::string got(written.second, '\0');
  ssize_t read = -1;
  std::thread readerThread([&] {
    if (held) read = reader.Read(&got[0], got.size(), written.first);
    race.Mark(WriteAndRead::kReadDone);
  });
  race.WaitFor({WriteAndRead::kReadWaits, WriteAndRead::kReadDone});
  const bool waited = race.Reached(WriteAndRead::kReadWaits) && !race.Reached(WriteAndRead::kReadDone);
  race.Mark(WriteAndRead::kWriteReleased);
  writer.join();
  readerThread.join();
  lab::SetSnapshotRaceHooksForTest(nullptr);

  ASSERT_TRUE(held) << "the write was never held part-way";
  EXPECT_TRUE(waited) << "the view's read did not wait for the write that held the image's lock";
  ASSERT_TRUE(wrote) << writeError;
  EXPECT_EQ(static_cast<ssize_t>(got.size()), read);
  EXPECT_TRUE(got == Seeded(1, written.first, written.second)) << "the view's read saw bytes of the write";
  // Nothing of the write is lost, and the view still holds what the snapshot took.
  EXPECT_TRUE(Bytes(image, written.first, written.second) == Seeded(2, written.first, written.second));
  EXPECT_TRUE(testsupport::ReadDisk(view) == Seeded(1, 0, 4 * kMiB));
}

// A snapshot costs what changes: its view holds only the old bytes of what the writer overwrote; its
// digest comes from the view while it is there, from the image while that has not moved on, and from
// what the writer kept once it has; a disk begun anew cannot tell.
TEST_F(LabDisksTest, ASnapshotKeepsOnlyWhatChangesAndItsDigestOutlivesIt) {
  constexpr uint64_t kSize = 8 << 20;
  const std::string image = MakeImage("d.img", kSize);
  std::string id, error, changeId, viewChangeId;
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, kSize}}, true, 3, id, error)) << error;
  const std::string original = testsupport::ReadDisk(image);
  std::string originalSha;
  {
    CPxSha256 sha;
    sha.Update(original.data(), original.size());
    originalSha = sha.FinalHex();
  }
  const std::string view = lab.Path("view.img");
  ASSERT_TRUE(lab::TakeSnapshot(image, view, changeId, error)) << error;
  EXPECT_EQ(id, changeId);
  struct stat status;
  ASSERT_EQ(0, stat(view.c_str(), &status));
  EXPECT_EQ(static_cast<off_t>(kSize), status.st_size);
  EXPECT_EQ(0, status.st_blocks) << "taking a snapshot copies nothing";

  std::string sha;
  ASSERT_TRUE(lab::SnapshotDigest(image, view, changeId, sha, error)) << error;
  EXPECT_EQ(originalSha, sha);
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{1 << 20, 1 << 20}, {kSize - 100, 100}}, true, 4, id, error)) << error;
  EXPECT_EQ(original, testsupport::ReadDisk(view));
  EXPECT_NE(original, testsupport::ReadDisk(image));
  ASSERT_EQ(0, stat(view.c_str(), &status));
  EXPECT_LE(static_cast<uint64_t>(status.st_blocks) * 512, (1u << 20) + 8192) << "the view keeps what changed";
  // A view taken again at the same path is another snapshot's: the first one's digest is not its.
  std::string retakenId;
  ASSERT_TRUE(lab::TakeSnapshot(image, view, retakenId, error)) << error;
  ASSERT_NE(changeId, retakenId);
  ASSERT_TRUE(lab::SnapshotDigest(image, view, changeId, sha, error)) << error;
  EXPECT_EQ(originalSha, sha) << "the digest of the first snapshot, not of the view retaken at its path";
  ASSERT_TRUE(lab::SnapshotDigest(image, view, retakenId, sha, error)) << error;
  {
    CPxSha256 retaken;
    const std::string bytes = testsupport::ReadDisk(image);
    retaken.Update(bytes.data(), bytes.size());
    EXPECT_EQ(retaken.FinalHex(), sha);
  }
  ASSERT_TRUE(lab::DropSnapshot(view, error)) << error;
  ASSERT_TRUE(lab::SnapshotDigest(image, view, changeId, sha, error)) << error;
  EXPECT_EQ(originalSha, sha) << "the writer kept the digest of the generation it left";

  // A snapshot whose view is gone and whose image has not moved on: hashed from the image.
  ASSERT_TRUE(lab::TakeSnapshot(image, view, changeId, error)) << error;
  ASSERT_TRUE(lab::DropSnapshot(view, error)) << error;
  ASSERT_TRUE(lab::SnapshotDigest(image, view, changeId, sha, error)) << error;
  {
    CPxSha256 now;
    const std::string bytes = testsupport::ReadDisk(image);
    now.Update(bytes.data(), bytes.size());
    EXPECT_EQ(now.FinalHex(), sha);
  }
  EXPECT_FALSE(lab::SnapshotDigest(image, view, "not-an-id", sha, error));
  unlink(lab::ChangeJournalPath(image).c_str());
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, 1}}, true, 5, id, error)) << error;
  EXPECT_FALSE(lab::SnapshotDigest(image, view, changeId, sha, error)) << "a journal begun anew names other generations";
  EXPECT_NE(std::string::npos, error.find("begun anew")) << error;
  // A view over a special file, or a missing one, is refused and leaves nothing.
  EXPECT_FALSE(lab::TakeSnapshot(lab.Path("missing.img"), lab.Path("v2"), changeId, error));
  EXPECT_FALSE(testsupport::Exists(lab.Path("v2")));
}

}  // namespace
