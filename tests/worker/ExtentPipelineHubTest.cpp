// The pipeline hub: requests handed between three threads arrive once each and in order, urgent
// returns overtake the others, and waitForReqDone returns exactly when the pool is back.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "worker/QuarnExtentPipeline.h"

namespace {

TEST(ExtentPipelineHub, UrgentRequestsGoFirstAndNullsPassLikeAnyOther) {
  quarnExtentReq a, b, c;
  BackupThreadObjsSync hub(nullptr, nullptr, 3);
  hub.pushBkpReqToReadDiskList(&a, false);
  hub.pushBkpReqToReadDiskList(&b, false);
  hub.pushBkpReqToReadDiskList(&c, true);
  hub.pushBkpReqToReadDiskList(nullptr, false);
  EXPECT_EQ(&c, hub.popBkpReqFromReadDiskList());
  EXPECT_EQ(&a, hub.popBkpReqFromReadDiskList());
  EXPECT_EQ(&b, hub.popBkpReqFromReadDiskList());
  EXPECT_EQ(nullptr, hub.popBkpReqFromReadDiskList());
  EXPECT_EQ(nullptr, hub.getSemaphore(3));
  EXPECT_EQ(nullptr, hub.getSemaphore(-1));
  EXPECT_NE(nullptr, hub.getSemaphore(ARCHIVE));
  hub.SetDiskFileHeaderPath("\\g\\d");
  hub.SetDiskFileHeaderPath(nullptr);
  EXPECT_EQ("\\g\\d", hub.GetDiskFileHeaderPath());
}

// A pool of 20 cycles a few thousand extents through a checksum thread and an archive thread the way
// the reading loop drives them: each extent passes each stage once, in order, and the reader's
// waitForReqDone sees every request but its own come back.
TEST(ExtentPipelineHub, APoolCyclesThroughThreeThreadsWithoutLosingARequest) {
  for (uint64_t poolSize : {uint64_t{1}, uint64_t{2}, uint64_t{20}}) {
    std::vector<quarnExtentReq> pool(poolSize);
    BackupThreadObjsSync hub(nullptr, nullptr, poolSize);
    for (quarnExtentReq& req : pool) hub.pushBkpReqToReadDiskList(&req, false);
    std::vector<uint64_t> checked, archived;
    std::thread crc([&] {
      while (quarnExtentReq* req = hub.popBkpReqFromCRCList()) {
        checked.push_back(req->extentNo);
        hub.pushBkpReqToArchiveList(req, false);
      }
    });
    std::thread sender([&] {
      while (quarnExtentReq* req = hub.popBkpReqFromArchiveList()) {
        archived.push_back(req->extentNo);
        req->status = 0;
        hub.pushBkpReqToReadDiskList(req, false);
      }
    });
    constexpr uint64_t kExtents = 3000;
    quarnExtentReq* held = nullptr;
    for (uint64_t n = 0; n <= kExtents; ++n) {
      held = hub.popBkpReqFromReadDiskList();
      ASSERT_EQ(0u, held->status);
      if (n == kExtents) break;  // the end of the disk: this request stays with the reader
      held->extentNo = n;
      hub.pushBkpReqToCRCList(held, false);
    }
    hub.waitForReqDone();
    hub.pushBkpReqToCRCList(nullptr, false);
    hub.pushBkpReqToArchiveList(nullptr, false);
    crc.join();
    sender.join();
    ASSERT_EQ(kExtents, checked.size());
    ASSERT_EQ(kExtents, archived.size());
    for (uint64_t n = 0; n < kExtents; ++n) {
      EXPECT_EQ(n, checked[n]);
      EXPECT_EQ(n, archived[n]);
    }
  }
}

// waitForReqDone blocks while a request is still out, and only until it is back.
TEST(ExtentPipelineHub, WaitForReqDoneWaitsForTheLastRequestOut) {
  quarnExtentReq pool[3];
  BackupThreadObjsSync hub(nullptr, nullptr, 3);
  hub.pushBkpReqToReadDiskList(&pool[0], false);  // pool[1] is out in a stage, pool[2] with the reader
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    hub.waitForReqDone();
    done = true;
  });
  for (int i = 0; i < 100 && !done; ++i) std::this_thread::yield();
  EXPECT_FALSE(done);
  hub.pushBkpReqToReadDiskList(&pool[1], true);
  waiter.join();
  EXPECT_TRUE(done);
}

}  // namespace
