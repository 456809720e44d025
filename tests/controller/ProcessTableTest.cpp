// The per-host process table: slots of the job processes of one client in System V shared memory.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "controller/QuarnIPC.h"
#include "platform/config/ZTPI_Base.h"
#include "support/TestLab.h"

namespace {

// The table of the focus client, as another process sees it.
class ProcessTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.Create());
    lab_.Focus("proxyA");
    ASSERT_TRUE(lab_.OpenLog());
    ASSERT_TRUE(MakeOwnKey());
  }
  std::string KeyFile() const { return ZTPI_Base::getTempDir() + "/QUARN_IPC_SHARED_MEMORY"; }
  key_t Key() const { return ftok(KeyFile().c_str(), QuarnIPC::kKeyId); }
  static bool SegmentExists(key_t key) { return shmget(key, 0, 0) >= 0; }
  // The machine may hold segments of other programs and other tests under any key: the key file is
  // made again, on another inode, until no segment answers to its key.
  bool MakeOwnKey() {
    std::vector<std::string> held;
    bool free = false;
    for (int attempt = 0; attempt < 64 && !free; ++attempt) {
      const int fd = open(KeyFile().c_str(), O_RDONLY | O_CREAT, 0600);
      if (fd < 0) return false;
      close(fd);
      free = !SegmentExists(Key());
      if (free) break;
      // Keeping the old file's inode busy makes the next key file another inode.
      held.push_back(KeyFile() + ".taken" + std::to_string(attempt));
      if (rename(KeyFile().c_str(), held.back().c_str()) != 0) return false;
    }
    for (const std::string& path : held) unlink(path.c_str());
    return free;
  }
  // A segment made under the key before any process of the job, as another program might leave it;
  // -1 when it cannot be made.
  int MakeSegment(size_t size, const char* head) {
    const int id = shmget(Key(), size, IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0) return -1;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) return -1;
    std::memcpy(address, head, std::min(size, std::strlen(head)));
    shmdt(address);
    return id;
  }
  // The table's words as another process reads them.
  struct View {
    explicit View(key_t key) : address(static_cast<unsigned char*>(shmat(shmget(key, 0, 0), nullptr, 0))) {}
    ~View() { shmdt(address); }
    uint64_t Count() const { return *reinterpret_cast<uint64_t*>(address + 8); }
    uint32_t& Word(size_t slot, size_t word) {
      return *reinterpret_cast<uint32_t*>(address + QuarnIPC::kHeaderBytes + slot * QuarnIPC::kSlotBytes + word * 4);
    }
    unsigned char* address;
  };
  // The id of a process that has ended.
  static uint32_t DeadPid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return static_cast<uint32_t>(child);
  }
  std::string Log() const { return lab_.Log(); }

  testsupport::TestLab lab_;
};

TEST_F(ProcessTableTest, TheFirstProcessMakesTheTableAndEachSeesOnlyTheOthers) {
  QuarnIPC first;
  ASSERT_TRUE(first.Initialize());
  EXPECT_EQ(0, first.TEST_Slot());
  View view(Key());
  EXPECT_EQ(0, std::memcmp(view.address, "QUARNSHM", 8));
  EXPECT_EQ(1u, view.Count());
  EXPECT_EQ(static_cast<uint32_t>(getpid()), view.Word(0, 0));
  struct stat keyFile;
  ASSERT_EQ(0, stat(KeyFile().c_str(), &keyFile));
  EXPECT_EQ(0600u, keyFile.st_mode & 0777) << "the key file is its owner's alone";
  struct shmid_ds segment;
  ASSERT_EQ(0, shmctl(first.TEST_SegmentId(), IPC_STAT, &segment));
  EXPECT_EQ(0600u, segment.shm_perm.mode & 0777);
  EXPECT_EQ(QuarnIPC::kTableBytes, segment.shm_segsz);

  int processes = 9, streams = 9, vms = 9;
  EXPECT_TRUE(first.Check(processes, streams, vms));
  EXPECT_EQ(0, processes + streams + vms) << "its own slot is never counted";

  QuarnIPC second;
  ASSERT_TRUE(second.Initialize());
  EXPECT_EQ(1, second.TEST_Slot());
  EXPECT_TRUE(second.Update(3, 7));
  EXPECT_TRUE(second.UpdateStreams(4));
  EXPECT_TRUE(first.UpdateVMs(2));
  EXPECT_TRUE(first.Check(processes, streams, vms));
  EXPECT_EQ(1, processes);
  EXPECT_EQ(4, streams);
  EXPECT_EQ(7, vms);
  EXPECT_EQ(2u, view.Count());

  second.Deinitialize();
  second.Deinitialize();
  EXPECT_EQ(1u, view.Count());
  EXPECT_EQ(0u, view.Word(1, 0) + view.Word(1, 1) + view.Word(1, 2));
  EXPECT_FALSE(second.UpdateStreams(1)) << "no slot, nothing changes";
  EXPECT_FALSE(second.Check(processes, streams, vms));
  EXPECT_TRUE(first.Check(processes, streams, vms));
  EXPECT_EQ(0, processes);
}

TEST_F(ProcessTableTest, ADeadProcessSlotIsSweptBeforeTheFreeSlotIsTaken) {
  QuarnIPC maker;
  ASSERT_TRUE(maker.Initialize());
  const uint32_t dead = DeadPid();
  {
    View view(Key());
    view.Word(0, 0) = dead;  // slot 0 now says a process that has ended
    view.Word(0, 1) = 5;
    view.Word(1, 0) = static_cast<uint32_t>(getppid());  // one that runs
    view.Word(1, 1) = 2;
  }
  QuarnIPC next;
  ASSERT_TRUE(next.Initialize());
  EXPECT_EQ(0, next.TEST_Slot()) << "the dead process's slot, cleared, is the first free one";
  EXPECT_TRUE(Log().find("Detected that process [" + std::to_string(dead) + "] is not running") != std::string::npos);
  View view(Key());
  EXPECT_EQ(static_cast<uint32_t>(getpid()), view.Word(0, 0));
  EXPECT_EQ(0u, view.Word(0, 1));
  EXPECT_EQ(1u, view.Count()) << "one gone, one come; the running parent was never counted by the table";
  int processes = 0, streams = 0, vms = 0;
  EXPECT_TRUE(next.Check(processes, streams, vms));
  EXPECT_EQ(1, processes) << "the running one";
  EXPECT_EQ(2, streams);
}

TEST_F(ProcessTableTest, AForeignOrShortSegmentIsRefused) {
  struct Row {
    size_t size;
    const char* head;
    const char* line;
  };
  const Row rows[] = {
      {QuarnIPC::kTableBytes, "NOTQUARN", "Shared memory magic number validation failed"},
      {QuarnIPC::kTableBytes - 1, "QUARNSHM", "bytes, 16400 are needed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const int id = MakeSegment(row.size, row.head);
    ASSERT_GE(id, 0);
    QuarnIPC ipc;
    EXPECT_FALSE(ipc.Initialize());
    EXPECT_NE(std::string::npos, Log().find(row.line));
    int processes = 0, streams = 0, vms = 0;
    EXPECT_FALSE(ipc.Check(processes, streams, vms));
    EXPECT_FALSE(ipc.UpdateStreams(1));
    ASSERT_EQ(0, shmctl(id, IPC_RMID, nullptr));
  }
  // A segment of the right size and magic that nobody is attached to is a table whose processes are
  // gone: it is replaced by an empty one, whatever its slots say (here: a process that runs, as a
  // process id reused since would look).
  const int stale = MakeSegment(QuarnIPC::kTableBytes, "QUARNSHM");
  ASSERT_GE(stale, 0);
  {
    View view(Key());
    view.Word(3, 0) = static_cast<uint32_t>(getppid());
    view.Word(3, 1) = 9;
  }
  QuarnIPC ipc;
  ASSERT_TRUE(ipc.Initialize());
  EXPECT_NE(stale, ipc.TEST_SegmentId());
  EXPECT_NE(std::string::npos, Log().find("Replacing shared memory segment [" + std::to_string(stale) + "]"));
  int processes = 9, streams = 9, vms = 9;
  EXPECT_TRUE(ipc.Check(processes, streams, vms));
  EXPECT_EQ(0, processes + streams + vms);
  EXPECT_EQ(0, ipc.TEST_Slot());
}

TEST_F(ProcessTableTest, TheLastProcessToLeaveRemovesTheTable) {
  QuarnIPC first, second;
  ASSERT_TRUE(first.Initialize());
  ASSERT_TRUE(second.Initialize());
  const int segment = first.TEST_SegmentId();
  first.Deinitialize();
  EXPECT_TRUE(SegmentExists(Key())) << "one is still there";
  second.Deinitialize();
  EXPECT_FALSE(SegmentExists(Key())) << "segment " << segment << " outlived its last process";
  // The next process makes the table afresh.
  QuarnIPC next;
  ASSERT_TRUE(next.Initialize());
  EXPECT_EQ(0, next.TEST_Slot());
}

TEST_F(ProcessTableTest, The1024thSlotIsTheLastOne) {
  QuarnIPC maker;
  ASSERT_TRUE(maker.Initialize());
  {
    View view(Key());
    for (size_t slot = 1; slot < QuarnIPC::kSlots - 1; ++slot) view.Word(slot, 0) = static_cast<uint32_t>(getppid());
  }
  QuarnIPC last;
  ASSERT_TRUE(last.Initialize());
  EXPECT_EQ(static_cast<int>(QuarnIPC::kSlots) - 1, last.TEST_Slot());
  QuarnIPC onePast;
  EXPECT_FALSE(onePast.Initialize());
  EXPECT_NE(std::string::npos, Log().find("Could not find available process info slot for this process"));
  int processes = 0, streams = 0, vms = 0;
  EXPECT_TRUE(last.Check(processes, streams, vms));
  EXPECT_EQ(static_cast<int>(QuarnIPC::kSlots) - 1, processes);
}

TEST_F(ProcessTableTest, ThreadsReadWhileTheSlotIsUpdatedAndReleased) {
  QuarnIPC mine, other;
  ASSERT_TRUE(mine.Initialize());
  ASSERT_TRUE(other.Initialize());
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        int processes = 0, streams = 0, vms = 0;
        if (mine.Check(processes, streams, vms)) {
          EXPECT_LE(processes, 1);
          EXPECT_LE(streams, 1000);
        }
      }
    });
  }
  for (int i = 0; i <= 1000; ++i) other.UpdateStreams(i);
  mine.Deinitialize();  // while the readers still ask
  stop = true;
  for (std::thread& reader : readers) reader.join();
  int processes = 0, streams = 0, vms = 0;
  EXPECT_TRUE(other.Check(processes, streams, vms));
  EXPECT_EQ(0, processes);
}

}  // namespace
