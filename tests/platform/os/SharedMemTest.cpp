#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/os/OsTestDir.h"
#include "platform/os/ZTSharedMemUtil.h"

namespace {

TEST(SharedMemTest, CreateThenAttachSeesTheSameZeroedSegmentAcrossFork) {
  OsTestDir dir;
  const std::string keyFile = dir.file("QUARN_IPC_SHARED_MEMORY");  // made by makeKey
  ZTSharedMemUtil first;
  ASSERT_TRUE(first.CreateOrAttach(keyFile, 7, 4096)) << first.LastError();
  EXPECT_TRUE(first.IsNew());
  auto* bytes = static_cast<unsigned char*>(first.Address());
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[4095], 0);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ZTSharedMemUtil mine;
    if (!mine.CreateOrAttach(keyFile, 7, 1024) || mine.IsNew()) _exit(1);
    std::memcpy(mine.Address(), "QUARNSHM", 8);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(std::memcmp(bytes, "QUARNSHM", 8), 0);

  // The plain operations: exclusive creation fails while it exists, attaching works.
  key_t key;
  int error = 0;
  ASSERT_TRUE(ZTSharedMemUtil::makeKey(keyFile, 7, key, error));
  int segmentId = -1;
  EXPECT_EQ(ZTSharedMemUtil::createSharedMemory(key, segmentId, 4096, error), nullptr);
  EXPECT_EQ(error, EEXIST);
  void* again = ZTSharedMemUtil::getSharedMemory(key, error);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(std::memcmp(again, "QUARNSHM", 8), 0);
  EXPECT_TRUE(ZTSharedMemUtil::detachSharedMemory(again));

  ZTSharedMemUtil tooSmall;
  EXPECT_FALSE(tooSmall.CreateOrAttach(keyFile, 7, 8192)) << "an existing segment smaller than asked";

  EXPECT_TRUE(first.Remove());
  EXPECT_EQ(ZTSharedMemUtil::getSharedMemory(key, error), nullptr);
}

}  // namespace
