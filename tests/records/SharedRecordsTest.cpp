#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "platform/ev/EvMessageContainer.h"
#include "records/CAutoMemory.h"
#include "records/FXCodeLocation.h"
#include "records/FixedRecords.h"
#include "records/HeaderConstants.h"
#include "records/TimeWrappers.h"
#include "records/VSABitMap.h"
#include "records/WinCompat.h"
#include "records/bstring.h"
#include "records/ztcast.h"

namespace {

TEST(VSABitMapTest, SixExtentsPerCharacterWithLowBitAlwaysSet) {
  I2::VSABitMap bitmap;
  EXPECT_EQ(bitmap.getBitMapStr(), "");
  EXPECT_EQ(bitmap.getName(), "ExtentBitmap");
  bitmap.set(0);
  EXPECT_EQ(bitmap.getBitMapStr(), "\x41");
  bitmap.set(5);
  EXPECT_EQ(bitmap.getBitMapStr(), "\x43");
  bitmap.set(6);
  EXPECT_EQ(bitmap.getBitMapStr(), "\x43\x41");
  bitmap.set(20);  // character 3; character 2 is filled with 0x01
  EXPECT_EQ(bitmap.getBitMapStr(), std::string("\x43\x41\x01\x11"));
  EXPECT_FALSE(bitmap.set(-1));
  EXPECT_EQ(bitmap.getBitMapStr().size(), 4u);
  for (int n = 0; n < 60; ++n) bitmap.set(n);
  for (char c : bitmap.getBitMapStr()) EXPECT_EQ(static_cast<unsigned char>(c), 0x7Fu);
}

TEST(CAutoMemoryTest, AllocateZeroKeepsBufferAndSmallerRequestsReuseIt) {
  CAutoMemory<char> memory(true);
  EXPECT_EQ(memory.Ptr(), nullptr);
  char* first = memory.Allocate(100);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(memory.Size(), 100u);
  EXPECT_EQ(memory.Allocate(0), nullptr);
  EXPECT_EQ(memory.Ptr(), nullptr);
  EXPECT_EQ(memory.Size(), 0u);
  EXPECT_EQ(memory.Allocate(50), first);
  EXPECT_EQ(memory.SizeInBytes(), 50u);
  memory[49] = 'z';
  EXPECT_EQ(memory.Ptr()[49], 'z');
  char* bigger = memory.Allocate(4096);
  ASSERT_NE(bigger, nullptr);
  EXPECT_EQ(memory.Capacity(), 4096u);
  // An impossible size gives null and holds nothing, never a half state.
  EXPECT_EQ(memory.Allocate(static_cast<size_t>(-1)), nullptr);
  EXPECT_EQ(memory.Size(), 0u);
  EXPECT_EQ(memory.Capacity(), 0u);
  memory.Release();
  memory.Release();
}

TEST(SmallRecordsTest, ConstantsCastsAndFixedLayouts) {
  EXPECT_EQ(vmFatalError, "**FatalError**");
  EXPECT_EQ(JMBackupOptypeListForBLR, "4, 14, 18, 30, 43, 59, 60, 65");
  EXPECT_EQ(ZT_PROP_PREPOST_CREDENTIAL_REF_ID, "prepost Credential Assoc Id");
  EXPECT_EQ(CatalogXMLFolder, "CatalogXML");

  EXPECT_EQ(ztcast::d<long>(0x100000005L), 5);
  EXPECT_EQ(ztcast::d<int>(-7), -7);
  EXPECT_EQ(ztcast::lu<long>(-1L), static_cast<unsigned long>(-1L));

  subclientFiles files;
  EXPECT_EQ(files.firstNumber, 0);
  EXPECT_EQ(sizeof(files.subclientDir), 1025u);
  EXPECT_EQ(files.files[8][0], '\0');
  _ZTS_FILE_COPY_INFO info;
  EXPECT_EQ(info.request.number, 0);
  EXPECT_EQ(info.request.destinationFolder[1023], '\0');
  EXPECT_EQ(sizeof(info.libraryFields), 1032u);
  TVMCRCRecord crc;
  EXPECT_EQ(crc.extentHigh | crc.extentLow | crc.crc, 0u);
  TImageTreeRecord2 tree;
  EXPECT_EQ(tree.number, 0);
  EXPECT_EQ(tree.data[38], '\0');
  VMArchiveIndexParam param;
  param.vmGuid = "guid";
  VMArchiveIndexParam copy = param;
  EXPECT_EQ(copy.vmGuid, "guid");
  EXPECT_EQ(copy.lastNumber, 0);

  FXCodeLocation where(__FILE__, nullptr, 12);
  EXPECT_EQ(where.Function(), "");
  EXPECT_EQ(where.Line(), 12);
  bstring secret("pw");
  EXPECT_STREQ(secret.c_str(), "pw");
}

// The event catalogue reads arguments by type number and little-endian bytes.
TEST(EventArgumentsTest, TypeNumbersByteLayoutsAndContainerCopies) {
  ArgumentInfo args;
  args << -2 << static_cast<long long>(-5000000000LL) << static_cast<unsigned long>(0x0102030405060708UL)
       << std::string("vm1") << static_cast<const char*>(nullptr);
  const std::vector<EvArgument>& list = args.Arguments();
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].type, 5);
  EXPECT_EQ(list[0].bytes, std::string("\xFE\xFF\xFF\xFF", 4));
  EXPECT_EQ(list[1].type, 9);
  EXPECT_EQ(list[1].bytes, std::string("\x00\x0E\xFA\xD5\xFE\xFF\xFF\xFF", 8));
  EXPECT_EQ(list[2].type, 10);
  EXPECT_EQ(list[2].bytes, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
  EXPECT_EQ(list[3].type, 11);
  EXPECT_EQ(list[3].bytes, "vm1");
  EXPECT_EQ(list[4].type, 11);
  EXPECT_EQ(args.Join(","), "-2,-5000000000,72623859790382856,vm1,");

  EvMessageContainer source;
  source.SetMessageID(0x5B000087);
  source.SetSecondNumber(3);
  source.SetEntities(7, 8);
  source << std::string("a") << 4;
  EvMessageContainer target;
  target.SetMessageID(1);
  target << std::string("stale") << std::string("stale");
  target = source;
  EXPECT_EQ(target.GetMessageID(), 0x5B000087u);
  EXPECT_EQ(target.GetSecondNumber(), 3u);
  EXPECT_EQ(target.GetEntity1(), 7);
  EXPECT_EQ(target.GetEntity2(), 8);
  EXPECT_EQ(target.Arguments().Join("|"), "a|4") << "the target's old arguments are gone";
  EvMessageContainer& alias = target;
  target = alias;
  EXPECT_EQ(target.Arguments().Size(), 2u) << "assigning a container to itself keeps it";
  EvMessageContainer copy(source);
  EXPECT_EQ(copy.Arguments().Join("|"), "a|4");

  target.SetMessageID(0x42);
  EXPECT_EQ(target.Arguments().Size(), 2u);
  target.SetMessageID(0x43, true);
  EXPECT_EQ(target.GetMessageID(), 0x43u);
  EXPECT_TRUE(target.Arguments().Empty());
}

TEST(WinCompatTest, ErrnoRoundTripAndNullSafeHelpers) {
  SetLastError(ENOENT);
  EXPECT_EQ(GetLastError(), static_cast<unsigned>(ENOENT));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(pthread_equal(GetCurrentThreadId(), pthread_self()));
  EXPECT_EQ(GetCurrentProcessId(), static_cast<int64_t>(getpid()));
  EXPECT_EQ(_stricmp("ABC", "abc"), 0);
  EXPECT_EQ(_stricmp(nullptr, ""), 0);
  char* end = nullptr;
  EXPECT_EQ(_strtoi64("-9000000000x", &end, 10), -9000000000LL);
  EXPECT_STREQ(end, "x");
  EXPECT_EQ(_strtoi64(nullptr, &end, 10), 0);
}

TEST(TimeWrappersTest, StopWatchScopeAndSharedCounterFromManyThreads) {
  CStopWatch watch;
  {
    AutoStopWatch scope(watch);
    EXPECT_TRUE(watch.IsRunning());
  }
  EXPECT_FALSE(watch.IsRunning());

  // Streams time their transfers and add bytes they do not time, all at once.
  CMultiStreamMediaSpeedCounter counter("datastore1");
  constexpr int kStreams = 8;
  constexpr int kRounds = 20000;
  const long long before = ZtClock::MonotonicTicks();
  std::vector<std::thread> streams;
  for (int t = 0; t < kStreams; ++t) {
    streams.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        counter.Start();
        counter.Add(5);
        counter.Stop(3);
      }
    });
  }
  for (auto& t : streams) t.join();
  const long long spent = ZtClock::MonotonicTicks() - before;
  EXPECT_EQ(counter.Size(), static_cast<uint64_t>(kStreams) * kRounds * 8u);
  EXPECT_GE(counter.BusyTime().Ticks(), 0);
  EXPECT_LE(counter.BusyTime().Ticks(), spent) << "overlapping streams were counted more than once";
  counter.Reset();
  EXPECT_EQ(counter.Size(), 0u);
}

}  // namespace
