// The disk reader: every byte of a disk in extent order whatever its size, only the changed extents
// with a valid change id, a full read for any other, filtered sectors as zeros, and its faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>

#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/lab/LabDisks.h"
#include "support/TestLab.h"

namespace {

constexpr uint64_t kExtentSectors = 8;  // extents of 4 KiB keep the images small
constexpr uint64_t kExtentBytes = kExtentSectors * 512;

class DiskReaderTest : public ::testing::Test {
 protected:
  // A seeded image of the size; its journal begins with the first write.
  std::string MakeImage(uint64_t size, const std::string& name = "disk.img") {
    const std::string path = lab.Path(name);
    std::string error, id;
    EXPECT_TRUE(lab::WriteImageAtomic(path, std::string(), size, error)) << error;
    if (size > 0) {
      EXPECT_TRUE(lab::WriteDiskRanges(path, {{0, size}}, true, 99, id, error)) << error;
    }
    return path;
  }
  static std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Reads the whole disk: extent number -> bytes (empty for an extent delivered without data).
  std::map<uint64_t, std::string> ReadAll(CArchiveVirtualDiskFile& disk, CPxError* end = nullptr) {
    std::map<uint64_t, std::string> extents;
    CAutoMemory<char> buffer;
    CArchiveVirtualDiskFile::Context_t ctx;
    std::vector<bool> bits;
    for (;;) {
      uint64_t number = 0;
      CPxError error = disk.GetNextBlock(buffer, number, bits, ctx);
      if (error.IsError()) {
        if (end != nullptr) *end = error;
        break;
      }
      EXPECT_EQ(extents.size(), number) << "extents come in order";
      EXPECT_EQ(number + 1, ctx.extentsRead);
      EXPECT_TRUE(bits.empty());
      extents[number] = buffer.Ptr() ? std::string(buffer.Ptr(), buffer.Size()) : std::string();
    }
    return extents;
  }
  std::unique_ptr<CArchiveVirtualDiskFile> Open(const std::string& path, const std::string& changeId = "") {
    std::unique_ptr<CArchiveVirtualDiskFile> disk(new CArchiveVirtualDiskFile(1));
    disk->SetVMInfo(nullptr, "vm1", "guid-1", nullptr, nullptr);
    disk->SetVMDiskGuid("scsi0-0-disk.img");
    disk->SetChangeId(changeId);
    disk->SetExtentSize(kExtentSectors);
    EXPECT_TRUE(disk->Open(path, 1).IsSuccess());
    return disk;
  }
  testsupport::TestLab lab;
};

TEST_F(DiskReaderTest, EveryByteInExtentOrderWhateverTheDiskSize) {
  // The volume header block at its size and one sector past it too.
  const uint64_t header = CArchiveVirtualDiskFile::kVolumeHeaderBytes;
  for (uint64_t size : {kExtentBytes * 3, kExtentBytes * 3 + 512, kExtentBytes * 3 - 512, uint64_t{512}, uint64_t{0},
                        header, header + 512}) {
    const std::string path = MakeImage(size, "disk" + std::to_string(size));
    auto disk = Open(path);
    CAutoMemory<char> first;
    CArchiveVirtualDiskFile::Context_t ctx;
    ASSERT_TRUE(disk->GetFirstBlock(first, 0, ctx).IsSuccess());
    EXPECT_EQ(kExtentSectors, ctx.sectorsPerExtent);
    EXPECT_EQ(512u, ctx.unitSize);
    const std::string image = FileBytes(path);
    EXPECT_EQ(image.substr(0, CArchiveVirtualDiskFile::kVolumeHeaderBytes),
              first.Ptr() ? std::string(first.Ptr(), first.Size()) : std::string());

    CPxError end;
    const auto extents = ReadAll(*disk, &end);
    EXPECT_TRUE(CArchiveVirtualDiskFile::IsErrorEOF(end)) << end.AsString();
    EXPECT_EQ((size + kExtentBytes - 1) / kExtentBytes, extents.size()) << "the probe did not consume extent 0";
    std::string joined;
    for (const auto& extent : extents) joined += extent.second;
    EXPECT_EQ(image, joined) << size;
  }
}

TEST_F(DiskReaderTest, AValidChangeIdReadsOnlyWhatChangedSinceAndAnyOtherReadsAll) {
  const std::string path = MakeImage(kExtentBytes * 10);
  lab::ChangeJournal journal;
  std::string error, afterFirst, afterSecond;
  ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(path, journal, error));
  const std::string base = lab::CurrentChangeId(journal);
  // One byte at the end of extent 2 and one write across the boundary of extents 6 and 7.
  ASSERT_TRUE(lab::WriteDiskRanges(path, {{3 * kExtentBytes - 1, 1}}, true, 1, afterFirst, error));
  ASSERT_TRUE(lab::WriteDiskRanges(path, {{7 * kExtentBytes - 10, 20}}, true, 2, afterSecond, error));
  const std::string image = FileBytes(path);

  struct Case {
    std::string id;
    std::vector<uint64_t> read;  // extents with data; empty means all of them
    bool tracking;
  };
  const Case cases[] = {
      {base, {2, 6, 7}, true},
      {afterFirst, {6, 7}, true},
      {afterSecond, {}, true},
      {lab::FormatChangeId(journal.id, 9), {}, false},
      {lab::FormatChangeId("fedcba9876543210", 1), {}, false},
      {"garbage", {}, false},
      {"", {}, false},
  };
  for (const Case& c : cases) {
    auto disk = Open(path, c.id);
    EXPECT_EQ(c.tracking, disk->IsUsingChangeId()) << c.id;
    const auto extents = ReadAll(*disk);
    ASSERT_EQ(10u, extents.size());
    for (const auto& extent : extents) {
      const bool expected = !c.tracking || std::count(c.read.begin(), c.read.end(), extent.first) > 0;
      if (expected) {
        EXPECT_EQ(image.substr(extent.first * kExtentBytes, kExtentBytes), extent.second) << c.id << " " << extent.first;
      } else {
        EXPECT_TRUE(extent.second.empty()) << c.id << " " << extent.first;
      }
    }
  }

  // Blocks injected as changed are read, counted in the caller's extent size; an empty change id
  // set afterwards reads everything.
  auto disk = Open(path, afterSecond);
  EXPECT_EQ(CArchiveVirtualDiskFile::kBlocksInjected, disk->InjectBlocksToChangedExtentTable({1, 4}, 2 * kExtentSectors));
  auto extents = ReadAll(*disk);
  std::vector<uint64_t> withData;
  for (const auto& extent : extents)
    if (!extent.second.empty()) withData.push_back(extent.first);
  EXPECT_EQ((std::vector<uint64_t>{2, 3, 8, 9}), withData);
  disk = Open(path, afterSecond);
  disk->SetChangeIDForDisk("");
  EXPECT_FALSE(disk->IsUsingChangeId());
  for (const auto& extent : ReadAll(*disk)) EXPECT_EQ(kExtentBytes, extent.second.size());
}

// An incremental from before a generation of the whole disk reads every extent, though a ranged
// write followed it; one from between them reads only what that write changed.
TEST_F(DiskReaderTest, AnIdFromBeforeAWholeDiskChangeReadsEveryExtentThoughARangedOneFollowed) {
  const std::string path = MakeImage(kExtentBytes * 6);
  lab::ChangeJournal journal;
  std::string error, afterWhole;
  ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(path, journal, error));
  const std::string base = lab::CurrentChangeId(journal);
  {
    // A change of too many ranges to list is recorded as the whole disk.
    std::vector<lab::ByteRange> tooMany;
    for (uint64_t i = 0; i < 200000; ++i) tooMany.emplace_back(i * 100003, 1);
    lab::FileLock lock(path);
    lab::AppendGeneration(journal, tooMany);
    ASSERT_TRUE(journal.generations.back().wholeDisk);
    afterWhole = lab::CurrentChangeId(journal);
    ASSERT_TRUE(lab::WriteFileAtomic(lab::ChangeJournalPath(path), lab::FormatChangeJournal(journal), error)) << error;
  }
  std::string afterRanged;
  ASSERT_TRUE(lab::WriteDiskRanges(path, {{4 * kExtentBytes, 1}}, true, 1, afterRanged, error)) << error;
  for (const auto& c : std::vector<std::pair<std::string, size_t>>{{base, 6}, {afterWhole, 1}, {afterRanged, 0}}) {
    auto disk = Open(path, c.first);
    EXPECT_TRUE(disk->IsUsingChangeId()) << c.first;
    size_t withData = 0;
    for (const auto& extent : ReadAll(*disk)) withData += extent.second.empty() ? 0 : 1;
    EXPECT_EQ(c.second, withData) << c.first;
  }
}

TEST_F(DiskReaderTest, FilteredSectorsReadAsZerosUpToTheirLastSector) {
  // Extents of 8 sectors; the disk is 4 extents long and its image 3.
  struct Case {
    const char* what;
    std::vector<VMInfoStructs::SectorRange> filtered;
    std::vector<uint64_t> zeroed;  // sectors of the image read as zeros
  } cases[] = {
      {"the last sector of extent 0 alone, and sectors 9 to 16: the rest of extent 1 and the first of 2",
       {{7, 7}, {12, 16}, {9, 11}}, {7, 9, 10, 11, 12, 13, 14, 15, 16}},
      {"the whole of extent 1 and the first sector of the disk", {{8, 15}, {0, 0}}, {0, 8, 9, 10, 11, 12, 13, 14, 15}},
      {"from sector 22 to the end of every sector number", {{22, UINT64_MAX}}, {22, 23}},
      {"an inverted range and one past the disk are no ranges", {{5, 4}, {40, 50}}, {}},
  };
  const std::string path = MakeImage(kExtentBytes * 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string image = FileBytes(path);
    auto disk = Open(path);
    disk->SetDiskSize(kExtentBytes * 4, 0);
    disk->SetFilteredSectors(c.filtered);
    for (uint64_t sector : c.zeroed) std::fill_n(&image[sector * 512], 512, '\0');
    image += std::string(kExtentBytes, '\0');
    std::string joined;
    for (const auto& extent : ReadAll(*disk)) joined += extent.second;
    EXPECT_EQ(image, joined);
    for (uint64_t sector = 0; sector < 24; ++sector) {
      if (std::count(c.zeroed.begin(), c.zeroed.end(), sector) == 0) {
        EXPECT_NE(std::string(512, '\0'), joined.substr(sector * 512, 512)) << "sector " << sector << " is read";
      }
    }
  }
}

TEST_F(DiskReaderTest, ADiskLargerThanItsImageReadsZerosPastTheImage) {
  const std::string path = MakeImage(kExtentBytes + 100);
  auto disk = Open(path);
  disk->SetDiskSize(kExtentBytes * 2 + 512, 0);
  const auto extents = ReadAll(*disk);
  ASSERT_EQ(3u, extents.size());
  EXPECT_EQ(FileBytes(path).substr(kExtentBytes) + std::string(kExtentBytes - 100, '\0'), extents.at(1));
  EXPECT_EQ(std::string(512, '\0'), extents.at(2));
}

TEST_F(DiskReaderTest, FaultsFailTheOpenAndTheReadTheyName) {
  const std::string path = MakeImage(kExtentBytes * 4);
  ASSERT_TRUE(lab.Fault("disk.Open", 10011, "no resources"));
  CArchiveVirtualDiskFile refused(1);
  refused.SetVMDiskGuid("scsi0-0-disk.img");
  CPxError error = refused.Open(path, 1);
  EXPECT_TRUE(error.IsError());
  EXPECT_EQ(10011, error.GetVSCode());
  EXPECT_FALSE(refused.IsOpen());

  ASSERT_TRUE(lab.Fault("disk.Read", 7, "bad sector", 2));
  auto disk = Open(path);
  CPxError end;
  EXPECT_EQ(2u, ReadAll(*disk, &end).size()) << "the third read fails";
  EXPECT_FALSE(CArchiveVirtualDiskFile::IsErrorEOF(end));
  EXPECT_EQ(7, end.GetVSCode());
  EXPECT_NE(std::string::npos, end.AsString().find("bad sector"));

  CArchiveVirtualDiskFile missing(1);
  EXPECT_TRUE(missing.Open(lab.Path("none.img"), 1).IsError());
  CAutoMemory<char> buffer;
  CArchiveVirtualDiskFile::Context_t ctx;
  EXPECT_EQ(CArchiveVirtualDiskFile::kErrNotOpen, missing.GetFirstBlock(buffer, 0, ctx).GetVSCode());
}

}  // namespace
