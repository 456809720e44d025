// The worker's metadata extents: disks attached one at a time are pre-processed on their own disk
// threads, each adding its disk's extents, while another disk's archive stage looks its extents up.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "WorkerStageSupport.h"

namespace {

// A layout whose metadata run reports extents 0 to count-1 of its disk one by one, as a walk would.
class ReportingLayout : public quarnDiskConfig {
 public:
  ReportingLayout(const std::string& disk, uint64_t count) : disk_(disk), count_(count) {}
  int doMetadataProcessing(doMetadataProcessingArgs* args) override {
    for (uint64_t extent = 0; extent < count_; ++extent)
      (*args->mExtentMap)[disk_].insert(ExtentInfo(extent, ExtentInfo::kFileSystemMetadata, 4096));
    return 0;
  }

 private:
  const std::string disk_;
  const uint64_t count_;
};

using MetadataExtents = stagetest::StageTest;

TEST_F(MetadataExtents, DisksAddTheirExtentsOnTheirThreadsWhileAnotherDiskReadsItsOwn) {
  const std::string first = "scsi0-0-vm01_0.img";
  ReportingLayout firstLayout(first, 64);
  doMetadataProcessingArgs firstRun;
  ASSERT_EQ(0, worker.DoMetadataProcessingOnExtents(firstLayout, firstRun, &first));

  constexpr uint64_t kExtents = 2000;
  const std::vector<std::string> later = {"scsi0-1-vm01_1.img", "scsi0-2-vm01_2.img", "scsi0-3-vm01_3.img"};
  std::vector<std::thread> threads;
  for (const std::string& disk : later) {
    threads.emplace_back([this, &disk] {
      ReportingLayout layout(disk, kExtents);
      doMetadataProcessingArgs run;
      EXPECT_EQ(0, worker.DoMetadataProcessingOnExtents(layout, run, &disk));
    });
  }
  // The first disk's archive stage meanwhile.
  for (uint64_t i = 0; i < kExtents; ++i) {
    std::shared_ptr<I2::ClusterBitmap> bitmap;
    ASSERT_EQ(ExtentInfo::kFileSystemMetadata, worker.MetadataExtentFlags(first, i % 64, bitmap));
    ASSERT_EQ(0u, worker.MetadataExtentFlags(first, 64 + i % 64, bitmap)) << "not a metadata extent";
  }
  for (std::thread& thread : threads) thread.join();

  const ExtentInfoMap extents = worker.TEST_MetadataExtents();
  ASSERT_EQ(4u, extents.size());
  EXPECT_EQ(64u, extents.at(first).size());
  for (const std::string& disk : later) EXPECT_EQ(kExtents, extents.at(disk).size()) << disk;

  // A run over the whole VM works on all of it: it adds to a disk already there and loses none.
  ReportingLayout whole(first, 100);
  doMetadataProcessingArgs wholeRun;
  ASSERT_EQ(0, worker.DoMetadataProcessingOnExtents(whole, wholeRun, nullptr));
  const ExtentInfoMap after = worker.TEST_MetadataExtents();
  EXPECT_EQ(100u, after.at(first).size());
  EXPECT_EQ(4u, after.size());
  EXPECT_EQ(nullptr, wholeRun.mExtentMap) << "the run's map is the worker's copy, not kept past the run";
}

}  // namespace
