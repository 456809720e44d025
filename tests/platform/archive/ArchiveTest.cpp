// The media agent's archive files: what a stream writes reads back whole; every malformed file is
// refused with its offset; streams of several threads never share a file; faults fail the calls they
// name and leave the file well formed.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "platform/archive/ArchiveWriter.h"
#include "platform/archive/vsArchive.h"
#include "platform/disk/I2ClusterBitmap.h"
#include "platform/index/ExtentNameConverter.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabMedia.h"
#include "platform/os/CPxSha256.h"
#include "records/messages/IdxMetadataMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/TestLab.h"

namespace {

using archive::ItemKind;

constexpr int64_t kJob = 1001;
const std::string kGuid = "4c1f-vm1";

std::string Pattern(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return bytes;
}

class ArchiveTest : public ::testing::Test {
 protected:
  ArchiveTest() {
    lab.UseJob(kJob);
    job.setJobId(std::to_string(kJob));
    job.setMediaAgent("ma1");
  }
  std::unique_ptr<vsArchive> Stream(int id = 3) {
    std::unique_ptr<vsArchive> stream(new vsArchive(&job, nullptr, nullptr, "km"));
    stream->setStream(id, id + 100, 7, 2);
    EXPECT_EQ(0, stream->init(true));
    return stream;
  }
  // Opens an archive file on a new stream; its path is kept in `path`.
  std::unique_ptr<vsArchive> Open(uint32_t level = 1, int64_t jobId = kJob) {
    job.setJobId(std::to_string(jobId));
    auto stream = Stream();
    EXPECT_EQ(0, stream->createArchiveFile(kGuid, jobId + 5000, 7, 11, "collect-64", level));
    path = stream->GetArchiveFilePath();
    return stream;
  }
  // Sends one file item of `bytes` through the stream's transfer buffer, 32 KiB at a time.
  static void SendFile(vsArchive& stream, const std::string& name, const std::string& bytes) {
    ASSERT_EQ(0, stream.sendFileHeader(name, bytes.size(), 1700000000, false, false, false, 1, 0, 0, 0, true, true,
                                       false));
    for (size_t done = 0; done < bytes.size();) {
      uint32_t granted = 0;
      char* buffer = nullptr;
      ASSERT_EQ(0, stream.allocateBuffer(static_cast<uint32_t>(std::min<size_t>(32768, bytes.size() - done)),
                                         &granted, &buffer));
      std::memcpy(buffer, bytes.data() + done, granted);
      ASSERT_EQ(0, stream.writeDataBuffer(buffer, granted));
      done += granted;
    }
    ASSERT_EQ(0, stream.sendEOF(true, 0));
  }
  // A disk of `extents` extents of 8 sectors: data, a hole, data with change bits (set as given).
  static void SendExtent(vsArchive& stream, const std::string& disk, uint64_t number, const std::string& bytes,
                         const std::vector<bool>& bits = {}) {
    const std::string name = "\\" + kGuid + "\\" + disk + "\\Extent" + std::to_string(number);
    ASSERT_EQ(0, stream.sendExtentHeader(name, disk, bytes.size(), 0, false, 1, 0, 0, 0, nullptr));
    ASSERT_EQ(0, stream.sendExtentData(bytes.data(), bytes.size(), bits, 512, nullptr));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
  }
  static void SendDiskHeader(vsArchive& stream, const std::string& disk, uint64_t size) {
    ASSERT_EQ(0, stream.sendDiskHeader("\\" + kGuid + "\\" + disk, size, size, false, 1, 8, false));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
  }
  bool Read(archive::ArchiveContents& contents, archive::Problem& problem) {
    return archive::ReadArchive(path, contents, problem);
  }

  testsupport::TestLab lab;
  vsJobMgr job;
  std::string path;
};

TEST_F(ArchiveTest, EveryCallReadsBackInOrderWithItsBytes) {
  const std::string config = Pattern(70000, 1);
  const std::string extent0 = Pattern(4096, 2);
  auto stream = Open();
  SendFile(*stream, "\\" + kGuid + "\\VMConfig.ztf", config);
  SendExtent(*stream, "disk0", 0, extent0);
  ASSERT_EQ(0, stream->sendExtentHeader("\\" + kGuid + "\\disk0\\Extent1", "disk0", 4096, 0, true, 1, 0, 0, 0,
                                        std::make_shared<I2::ClusterBitmap>(4096u)));
  ASSERT_EQ(0, stream->sendHole(4096));
  ASSERT_EQ(0, stream->sendEOF(true, 0));
  ASSERT_EQ(0, stream->sendUnchangedExtentRange("\\" + kGuid + "\\disk0", 2, 5, true));
  ASSERT_EQ(0, stream->sendFileHeader("\\" + kGuid + "\\disk0\\Extent6", 4096, 0, false, true, false, 1, 0, 0, 0,
                                      false, true, false));  // header only, no end of item
  SendDiskHeader(*stream, "disk0", 7 * 4096);
  ASSERT_EQ(0, stream->closeArchiveFile());
  // Committed: under its name alone, nothing left that reads as a file torn by a crash.
  EXPECT_TRUE(testsupport::Exists(path));
  EXPECT_FALSE(testsupport::Exists(path + archive::kUncommittedSuffix));
  EXPECT_EQ(1u, lab::ListArchiveFiles(kJob).size());
  EXPECT_TRUE(lab::ListUncommittedArchiveFiles(kJob).empty());

  archive::ArchiveContents contents;
  archive::Problem problem;
  ASSERT_TRUE(Read(contents, problem)) << problem.Describe();
  EXPECT_EQ(kJob, contents.jobId);
  EXPECT_EQ(kJob + 5000, contents.childJobId);
  EXPECT_EQ(11, contents.subclientId);
  EXPECT_EQ(1u, contents.backupLevel);
  EXPECT_EQ(3, contents.streamId);
  EXPECT_EQ(kGuid, contents.vmGuid);
  EXPECT_EQ("collect-64", contents.collectText);
  ASSERT_EQ(5u, contents.items.size());
  const ItemKind kinds[] = {ItemKind::kFile, ItemKind::kExtent, ItemKind::kExtent, ItemKind::kPseudo, ItemKind::kDisk};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(kinds[i], contents.items[i].kind) << i;
    EXPECT_TRUE(contents.items[i].ended && contents.items[i].success) << i;
  }
  EXPECT_EQ(3u, contents.items[0].pieces.size()) << "32,768 + 32,768 + 4,464";
  EXPECT_EQ(4464u, contents.items[0].pieces[2].length);
  EXPECT_EQ(config, archivetest::ItemBytes(contents, contents.items[0]));
  EXPECT_EQ(extent0, archivetest::ItemBytes(contents, contents.items[1]));
  EXPECT_EQ(std::string(4096, '\0'), archivetest::ItemBytes(contents, contents.items[2]));
  ASSERT_EQ(1u, contents.ranges.size());
  EXPECT_EQ(2u, contents.ranges[0].first);
  EXPECT_EQ(5u, contents.ranges[0].last);
  EXPECT_EQ(8u, contents.items[4].sectorsPerExtent);
  EXPECT_EQ(config.size() + extent0.size(), contents.dataBytes);
  EXPECT_EQ(4096u, contents.holeBytes);
}

// Each case writes a stream, optionally damages the file, and names what the reader must say.
TEST_F(ArchiveTest, MalformedFilesAreRefusedWithTheirOffset) {
  enum Damage { kNone, kCut, kFlip };
  struct Case {
    const char* what;
    std::function<void(vsArchive&)> write;
    Damage damage;
    int64_t at;  // kCut: bytes cut from the end; kFlip: offset from the end of the flipped byte
    const char* expected;
    bool inDataPayload = false;  // the structure read (the index's) does not see it
  };
  auto fileItem = [](vsArchive& s) { SendFile(s, "\\g\\a.cfg", Pattern(5000, 3)); };
  const Case cases[] = {
      {"cut inside the last record", fileItem, kCut, 10, "cut short"},
      {"cut to the archive end's header", fileItem, kCut, 30, "cut short"},
      {"cut at a record boundary", fileItem, kCut, 48, "ends without its archive end record"},
      {"flipped data byte", fileItem, kFlip, 3000, "check value", true},
      {"flipped field byte of the last record", fileItem, kFlip, 2, "check value"},
      {"an item left open", [](vsArchive& s) {
         s.sendFileHeader("\\g\\open", 10, 0, false, false, false, 1, 0, 0, 0, false, true, false);
         SendFile(s, "\\g\\next", "0123456789");
       }, kNone, 0, "[\\g\\open] opened at offset"},
      {"an item open at the close", [](vsArchive& s) {
         s.sendFileHeader("\\g\\open", 0, 0, false, false, false, 1, 0, 0, 0, false, true, false);
       }, kNone, 0, "the archive end follows before its end"},
      {"data outside an item", [](vsArchive& s) { s.sendExtentData("abc", 3, {}, 512, nullptr); }, kNone, 0,
       "data outside an item"},
      {"a hole outside an item", [](vsArchive& s) { s.sendHole(512); }, kNone, 0, "hole outside an item"},
      {"an end outside an item", [](vsArchive& s) { s.sendEOF(true, 0); }, kNone, 0, "end of item outside an item"},
      {"a size that differs from the data", [](vsArchive& s) {
         s.sendExtentHeader("\\g\\d\\Extent0", "d", 4096, 0, false, 1, 0, 0, 0, nullptr);
         s.sendExtentData(Pattern(4095, 1).data(), 4095, {}, 512, nullptr);
         s.sendEOF(true, 0);
       }, kNone, 0, "carries 4095 bytes of data and holes but declared 4096"},
      {"data in a header-only item", [](vsArchive& s) {
         s.sendFileHeader("\\g\\d\\Extent0", 3, 0, false, true, false, 1, 0, 0, 0, false, true, false);
         s.sendExtentData("abc", 3, {}, 512, nullptr);
       }, kNone, 0, "which carries no data"},
      {"a range inside an item", [](vsArchive& s) {
         s.sendFileHeader("\\g\\f", 0, 0, false, false, false, 1, 0, 0, 0, false, true, false);
         s.sendUnchangedExtentRange("\\g\\d", 0, 1, false);
       }, kNone, 0, "an unchanged range follows before its end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto stream = Open();
    c.write(*stream);
    ASSERT_EQ(0, stream->closeArchiveFile());
    struct stat status;
    ASSERT_EQ(0, stat(path.c_str(), &status));
    if (c.damage == kCut) {
      ASSERT_EQ(0, truncate(path.c_str(), status.st_size - c.at));
    } else if (c.damage == kFlip) {
      ASSERT_NO_FATAL_FAILURE(archivetest::FlipByte(path, status.st_size - c.at, 0x10));
    }
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_FALSE(Read(contents, problem));
    EXPECT_NE(std::string::npos, problem.text.find(c.expected)) << problem.Describe();
    EXPECT_NE(std::string::npos, problem.Describe().find(path + " at offset " + std::to_string(problem.offset)));
    EXPECT_LE(problem.offset, static_cast<uint64_t>(status.st_size));
    archive::ArchiveContents structure;
    archive::Problem structureProblem;
    EXPECT_EQ(c.inDataPayload, archive::ReadArchiveStructure(path, structure, structureProblem))
        << structureProblem.Describe();
    if (c.inDataPayload) {
      EXPECT_EQ(1u, structure.items.size());
    }
  }
}

TEST_F(ArchiveTest, TheOffsetNamesTheDamagedRecord) {
  auto stream = Open();
  SendFile(*stream, "\\g\\first", Pattern(100, 1));
  // While open the file is written under its uncommitted name.
  const uint64_t second = std::ifstream(path + archive::kUncommittedSuffix, std::ios::ate | std::ios::binary).tellg();
  EXPECT_EQ(0u, second) << "small records stay in the batch until the close";
  ASSERT_EQ(0, stream->closeArchiveFile());
  archive::ArchiveContents contents;
  archive::Problem problem;
  ASSERT_TRUE(Read(contents, problem));
  const uint64_t dataRecord = contents.items[0].pieces[0].fileOffset;  // payload of the data record
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(dataRecord + 50));
  file.put('\x7f');
  file.close();
  EXPECT_FALSE(Read(contents, problem));
  // The data record begins at its header: 24 bytes and its 16 bytes of fields before the payload.
  EXPECT_EQ(dataRecord - 24 - 16, problem.offset);
}

TEST_F(ArchiveTest, LimitsOfBuffersAndRecords) {
  auto stream = Open();
  uint32_t granted = 0;
  char* buffer = nullptr;
  ASSERT_EQ(0, stream->sendFileHeader("\\g\\big", vsArchive::kMaxBufferBytes, 0, false, false, false, 1, 0, 0, 0,
                                      false, true, false));
  ASSERT_EQ(0, stream->allocateBuffer(vsArchive::kMaxBufferBytes + 1, &granted, &buffer));
  EXPECT_EQ(vsArchive::kMaxBufferBytes, granted);
  uint32_t secondGranted = 1;
  char* second = buffer;
  EXPECT_EQ(vsArchive::kRetBadArgument, stream->allocateBuffer(16, &secondGranted, &second)) << "one at a time";
  EXPECT_EQ(nullptr, second);
  EXPECT_EQ(0u, secondGranted);
  EXPECT_EQ(vsArchive::kRetBadArgument, stream->writeDataBuffer(buffer, vsArchive::kMaxBufferBytes + 1));
  std::memset(buffer, 'x', vsArchive::kMaxBufferBytes);
  EXPECT_EQ(0, stream->writeDataBuffer(buffer, vsArchive::kMaxBufferBytes));
  EXPECT_EQ(vsArchive::kRetBadArgument, stream->writeDataBuffer(buffer, 1)) << "the buffer came back";
  EXPECT_EQ(0, stream->sendEOF(true, 0));
  EXPECT_EQ(vsArchive::kRetBadArgument, stream->allocateBuffer(0, &secondGranted, &second));
  ASSERT_EQ(0, stream->closeArchiveFile());

  // Record bounds, at the limit and one past it.
  archive::ArchiveWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Create(lab.Path("limits.qar"), error)) << error;
  EXPECT_TRUE(writer.Append(archive::RecordType::kHole, std::string(archive::kMaxFieldBytes, 'f'), nullptr, 0, error));
  EXPECT_FALSE(
      writer.Append(archive::RecordType::kHole, std::string(archive::kMaxFieldBytes + 1, 'f'), nullptr, 0, error));
  EXPECT_FALSE(writer.Append(archive::RecordType::kData, "", "x", archive::kMaxPayloadBytes + 1, error));
  ASSERT_TRUE(writer.Close(error)) << error;

  // A header that claims more fields than the limit is refused before anything is allocated.
  char header[archive::kRecordHeaderBytes];
  archive::EncodeRecordHeader(archive::RecordType::kArchiveBegin, "", nullptr, 0, header);
  const uint32_t tooMany = archive::kMaxFieldBytes + 1;
  std::memcpy(header + 8, &tooMany, 4);
  std::ofstream(lab.Path("hostile.qar"), std::ios::binary).write(header, sizeof header);
  archive::ArchiveContents contents;
  archive::Problem problem;
  EXPECT_FALSE(archive::ReadArchive(lab.Path("hostile.qar"), contents, problem));
  EXPECT_EQ("a record length is out of range", problem.text);

  // An index metadata record's text is read back up to its limit, and not one byte past it or past
  // the file's end (a file of holes, so that the limit costs no writing).
  const std::string sparse = lab.Path("metadata.qar");
  std::ofstream(sparse, std::ios::binary).write("<x/>", 4);
  ASSERT_EQ(0, truncate(sparse.c_str(), static_cast<off_t>(archive::kMaxMetadataTextBytes + 1)));
  struct Case {
    uint64_t offset, length;
    bool read;
  } cases[] = {{0, 4, true},
               {0, archive::kMaxMetadataTextBytes, true},
               {0, archive::kMaxMetadataTextBytes + 1, false},
               {1, archive::kMaxMetadataTextBytes, true},
               {2, archive::kMaxMetadataTextBytes, false}};
  for (const Case& c : cases) {
    archive::MetadataRecord record;
    record.fileOffset = c.offset;
    record.length = c.length;
    std::string text;
    EXPECT_EQ(c.read, archive::ReadMetadataText(sparse, record, text, error)) << c.offset << "+" << c.length;
    if (c.read) {
      EXPECT_EQ(c.length, text.size());
      EXPECT_EQ(std::string("<x/>").substr(c.offset, 4), text.substr(0, 4 - c.offset));
    }
  }
}

TEST_F(ArchiveTest, FaultsFailTheCallsTheyNameAndLeaveTheFileWellFormed) {
  struct Case {
    const char* op;
    int code;
  } cases[] = {{"archive.createArchiveFile", 41}, {"archive.allocateBuffer", 42}, {"archive.write", 43},
               {"archive.closeArchiveFile", 44}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    lab::FaultRule rule;
    rule.op = c.op;
    rule.code = c.code;
    rule.stream = "3";
    rule.after = std::string(c.op) == "archive.write" ? 1 : 0;  // the header passes, the data does not
    std::string error;
    ASSERT_TRUE(lab::ClearFaultTable(error));
    ASSERT_TRUE(lab.Fault(rule));
    auto stream = Stream();
    int created = stream->createArchiveFile(kGuid, 1, 2, 3, "", 1);
    if (std::string(c.op) == "archive.createArchiveFile") {
      EXPECT_EQ(c.code, created);
      EXPECT_EQ(0u, stream->GetArchiveFileId());
      continue;
    }
    ASSERT_EQ(0, created);
    path = stream->GetArchiveFilePath();
    ASSERT_EQ(0, stream->sendFileHeader("\\g\\f", 4, 0, false, false, false, 1, 0, 0, 0, false, true, false));
    uint32_t granted = 0;
    char* buffer = nullptr;
    int allocated = stream->allocateBuffer(4, &granted, &buffer);
    if (std::string(c.op) == "archive.allocateBuffer") {
      EXPECT_EQ(c.code, allocated);
      EXPECT_EQ(nullptr, buffer);
      ASSERT_EQ(0, stream->sendEOF(false, 0));
    } else {
      ASSERT_EQ(0, allocated);
      std::memcpy(buffer, "abcd", 4);
      int written = stream->writeDataBuffer(buffer, 4);
      if (std::string(c.op) == "archive.write") {
        EXPECT_EQ(c.code, written);
        EXPECT_EQ(0, stream->checkStatus()) << "a refused record breaks nothing";
        ASSERT_EQ(0, stream->sendEOF(false, 0));
      } else {
        ASSERT_EQ(0, written);
        ASSERT_EQ(0, stream->sendEOF(true, 0));
      }
    }
    int closed = stream->closeArchiveFile();
    if (std::string(c.op) == "archive.closeArchiveFile") {
      EXPECT_EQ(c.code, closed);
      EXPECT_EQ(0, stream->closeArchiveFile()) << "the file stays open for a later close";
    } else {
      EXPECT_EQ(0, closed);
    }
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_TRUE(Read(contents, problem)) << problem.Describe();
  }
}

// A stream creates the archive file, notes it for its VM, and only then begins it. A note that cannot
// be written (a file where the job's notes' folder goes) fails the create, and the empty file goes with
// it: nothing is left that no note names, for verify to list as left by an interrupted attempt. Once
// the notes' folder can be made again, the next create on the same stream is noted and committed.
TEST_F(ArchiveTest, AFileWhoseNoteCannotBeWrittenIsNotLeftBehind) {
  struct Case {
    const char* name;
    std::function<int(vsArchive&)> create;  // then closes what it opened
  };
  const Case cases[] = {
      {"a VM's archive file",
       [](vsArchive& stream) {
         const int created = stream.createArchiveFile(kGuid, 1, 2, 3, "", 1);
         return created != 0 ? created : stream.closeArchiveFile();
       }},
      {"a VM's index-only file of a snapshot",
       [](vsArchive& stream) {
         int64_t id = 0;
         return stream.CreateVMIndexArchiveFileForSnap(kGuid, 1, 2, 3, &id);
       }},
  };
  int64_t jobId = 1500;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    job.setJobId(std::to_string(++jobId));
    const std::string note = lab::VMArchiveListPath("ma1", jobId, kGuid);
    const std::string notes = note.substr(0, note.rfind('/'));
    ASSERT_TRUE(lab::MakeDirs(lab::MediaJobDir("ma1", jobId)));
    ASSERT_TRUE(lab::WriteFileAtomic(notes, "not a folder\n"));
    auto stream = Stream();
    EXPECT_EQ(vsArchive::kRetCreateFailed, test.create(*stream));
    EXPECT_NE(std::string::npos, stream->GetLastError().find("cannot note archive file")) << stream->GetLastError();
    EXPECT_TRUE(lab::ListArchiveFiles(jobId).empty());
    EXPECT_TRUE(lab::ListUncommittedArchiveFiles(jobId).empty()) << "an empty file no note names is left";
    EXPECT_TRUE(lab::ListNotedArchives(jobId).empty());

    ASSERT_EQ(0, unlink(notes.c_str()));
    EXPECT_EQ(0, test.create(*stream)) << stream->GetLastError();
    const std::vector<lab::ArchiveLocation> noted = lab::ListVMArchiveFiles(jobId, kGuid);
    ASSERT_EQ(1u, noted.size());
    EXPECT_EQ(1u, lab::ListArchiveFiles(jobId).size());
    EXPECT_TRUE(lab::ListUncommittedArchiveFiles(jobId).empty());
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_TRUE(archive::ReadArchive(noted[0].path, contents, problem)) << problem.Describe();
  }
}

// The file's own I/O failing under the stream: a full file system, a short write at the file-size
// limit, a sync at the close, the sync of the folder that commits the file. The failing send (or the
// close) says so, the stream's status turns to an error, nothing more is taken, and the file is never
// committed: it stays under its uncommitted name, for no reader of backups to take.
TEST_F(ArchiveTest, TheFilesOwnFailuresFailTheStreamAndLeaveTheFileUncommitted) {
  struct Case {
    const char* name;
    const char* op;  // the fault table's operation; none: the file-size limit
    int code;
    int64_t after;
    bool atClose;  // every send passes; the close fails
  };
  const Case cases[] = {
      {"a full file system", "archive.fileWrite", ENOSPC, 0, false},
      {"a short write at the file-size limit", nullptr, 0, 0, false},
      {"a failed sync of the file", "archive.fileSync", EIO, 0, true},
      {"a failed sync of the folder", "archive.fileSync", EIO, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    ASSERT_TRUE(lab::ClearFaultTable(error));
    if (c.op != nullptr) {
      ASSERT_TRUE(lab.Fault(c.op, c.code, "", c.after));
    }
    auto stream = Open();
    ASSERT_EQ(0, stream->sendFileHeader("\\g\\f", 1 << 20, 0, false, false, false, 1, 0, 0, 0, false, true, false));
    // A file-size limit below the data: the write stops short, and the next one fails.
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
    if (c.op == nullptr) {
      struct rlimit limited = saved;
      limited.rlim_cur = 64 * 1024;
      ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
    }
    const std::string data = Pattern(1 << 20, 3);
    const int sent = stream->sendExtentData(data.data(), data.size(), {}, 512, nullptr);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
    signal(SIGXFSZ, handler);
    if (c.atClose) {
      EXPECT_EQ(0, sent);
      EXPECT_EQ(0, stream->sendEOF(true, 0));
    } else {
      EXPECT_EQ(vsArchive::kRetWriteFailed, sent);
      EXPECT_EQ(vsArchive::kRetWriteFailed, stream->checkStatus()) << "the stream has failed";
      EXPECT_EQ(vsArchive::kRetWriteFailed, stream->sendEOF(false, 31)) << "nothing follows a hole";
    }
    EXPECT_EQ(vsArchive::kRetCloseFailed, stream->closeArchiveFile());
    EXPECT_FALSE(testsupport::Exists(path)) << "not committed";
    EXPECT_TRUE(testsupport::Exists(path + archive::kUncommittedSuffix));
    EXPECT_TRUE(lab::ListArchiveFiles(kJob).empty());
    EXPECT_EQ(1u, lab::ListUncommittedArchiveFiles(kJob).size());
    ::unlink((path + archive::kUncommittedSuffix).c_str());
  }
}

// A record the media refused leaves a file that is no whole backup, and says so to every reader: the
// item it left open ends failed, or, with none open, the VM's header item follows ended failed; a file
// whose sends all went through gains nothing, nor does one that lost only an item's index metadata (a
// restore does not rest on it, and the sender ends the item as it sees fit). Either way the file reads
// back well formed. The cases run at once, each on a stream of its own that its rule selects, as a
// job's streams share the fault table and the media agent.
TEST_F(ArchiveTest, AFileMissingARecordIsCommittedOnlyWithAFailedItem) {
  struct Case {
    const char* name;
    int64_t after;  // archive.write calls that pass before the rule fires
    int64_t times;
    bool callerEndsFailed;  // the caller ends the item failed once its send is refused
    std::vector<std::string> failed;  // the items that end failed, in order
  };
  const std::string vm = "\\" + kGuid;
  // Each file's records: header, data, index metadata, end.
  const Case cases[] = {
      {"nothing refused", 1000, 1, false, {}},
      {"the data refused, and every record after it", 1, lab::kFaultAlways, true, {"\\g\\f"}},
      {"the data refused once, the caller ends the item failed", 1, 1, true, {"\\g\\f"}},
      {"the header of the second file refused", 4, 1, false, {vm}},
      {"the end of the first file refused, and every record after it", 3, lab::kFaultAlways, false, {"\\g\\f"}},
      {"the last record, the second file's end, refused", 7, 1, false, {"\\g\\h"}},
      {"the first file's index metadata refused", 2, 1, false, {}},
      {"the last file's index metadata refused", 6, 1, false, {}},
      {"the first file's index metadata refused, and every record after it", 2, lab::kFaultAlways, false,
       {"\\g\\f"}},
  };
  const int count = static_cast<int>(sizeof cases / sizeof cases[0]);
  for (int i = 0; i < count; ++i) {
    lab::FaultRule rule;
    rule.op = "archive.write";
    rule.code = 28;
    rule.after = cases[i].after;
    rule.times = cases[i].times;
    rule.stream = std::to_string(i + 1);
    ASSERT_TRUE(lab.Fault(rule));
  }
  std::vector<std::string> paths(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      auto stream = Stream(i + 1);
      ASSERT_EQ(0, stream->createArchiveFile(kGuid, kJob, 7, 11, "", 1));
      paths[i] = stream->GetArchiveFilePath();
      // Two files of four bytes each: header, data, index metadata (its loss only a warning), end.
      for (const char* name : {"\\g\\f", "\\g\\h"}) {
        if (stream->sendFileHeader(name, 4, 0, false, false, false, 1, 0, 0, 0, false, true, false) != 0) continue;
        uint32_t granted = 0;
        char* buffer = nullptr;
        ASSERT_EQ(0, stream->allocateBuffer(4, &granted, &buffer));
        std::memcpy(buffer, "abcd", 4);
        const bool sent = stream->writeDataBuffer(buffer, 4) == 0;
        if (!sent && cases[i].callerEndsFailed) stream->sendEOF(false, 31);
        if (!sent) continue;
        IdxMetadata::IdxMetaData metadata;
        stream->sendVSIdxDiskMetadata(metadata);
        stream->sendEOF(true, 0);
      }
      EXPECT_EQ(0, stream->closeArchiveFile()) << cases[i].name << ": the stream itself is sound";
      EXPECT_EQ(0, stream->checkStatus()) << cases[i].name;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < count; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    archive::ArchiveContents contents;
    archive::Problem problem;
    ASSERT_TRUE(archive::ReadArchive(paths[i], contents, problem)) << problem.Describe();
    std::vector<std::string> failed;
    for (const archive::Item& item : contents.items) {
      EXPECT_TRUE(item.ended) << item.name;
      if (!item.success) failed.push_back(item.name);
    }
    EXPECT_EQ(c.failed, failed);
    const archive::JobBackup judged = archive::JudgeJobBackup({&contents});
    EXPECT_EQ(c.failed.empty(), judged.Usable()) << judged.Why();
  }
}

TEST_F(ArchiveTest, StreamsOfSeveralThreadsEachWriteTheirOwnFiles) {
  constexpr int kThreads = 6;
  constexpr int kFilesEach = 5;
  std::vector<std::unique_ptr<vsArchive>> streams;
  for (int i = 0; i < kThreads; ++i) streams.push_back(Stream(i + 1));
  std::vector<std::thread> threads;
  std::vector<std::vector<uint64_t>> ids(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < kFilesEach; ++n) {
        if (streams[i]->createArchiveFile(kGuid + std::to_string(i % 2), i, 0, 0, "", 1) != 0) return;
        ids[i].push_back(streams[i]->GetArchiveFileId());
        SendFile(*streams[i], "\\g\\f", Pattern(40000, i * 10 + n));
        streams[i]->closeArchiveFile();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<uint64_t> distinct;
  for (const auto& each : ids) {
    EXPECT_EQ(static_cast<size_t>(kFilesEach), each.size());
    distinct.insert(each.begin(), each.end());
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kFilesEach), distinct.size());
  std::vector<std::string> problems;
  std::vector<archive::ArchiveContents> all = archivetest::ReadJobArchives(kJob, &problems);
  EXPECT_TRUE(problems.empty()) << problems.front();
  ASSERT_EQ(static_cast<size_t>(kThreads * kFilesEach), all.size());
  for (const archive::ArchiveContents& contents : all) {
    const int thread = static_cast<int>(contents.childJobId);
    const int n = static_cast<int>(std::find(ids[thread].begin(), ids[thread].end(), contents.archiveFileId) -
                                   ids[thread].begin());
    EXPECT_EQ(thread + 1, contents.streamId);
    EXPECT_EQ(Pattern(40000, thread * 10 + n), archivetest::ItemBytes(contents, contents.items[0]));
  }
  // Each VM's archive files are found by the VM alone (its GUID in any case), in id order; a noted
  // file that is gone is left out.
  unlink(lab::ArchiveFilePath("ma1", kJob, ids[0].front()).c_str());
  for (int vm = 0; vm < 2; ++vm) {
    std::vector<uint64_t> expected, listed;
    for (int i = vm; i < kThreads; i += 2) expected.insert(expected.end(), ids[i].begin() + (i == 0), ids[i].end());
    std::sort(expected.begin(), expected.end());
    std::string guid = kGuid + std::to_string(vm);
    for (char& c : guid) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(kJob, guid))
      listed.push_back(location.archiveFileId);
    EXPECT_EQ(expected, listed) << guid;
  }
}

TEST(ExtentNames, FixedLengthNamesAtTheirLimits) {
  struct Case {
    uint64_t number;
    const char* text;
  } cases[] = {{0, "0000000000000"}, {31, "000000000000V"}, {32, "0000000000010"}, {UINT64_MAX, "FVVVVVVVVVVVV"}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, ExtentNameConverter::GetFilePath(c.number));
    uint64_t back = 1;
    EXPECT_TRUE(ExtentNameConverter::GetExtentNumberFromFileName(std::string("\\g\\d\\") + c.text, back));
    EXPECT_EQ(c.number, back);
  }
  uint64_t number = 0;
  for (const char* bad : {"G000000000000", "000000000000", "00000000000000", "000000000000W", ""})
    EXPECT_FALSE(ExtentNameConverter::Extent_base32_to_dec(bad, number)) << bad;
  EXPECT_TRUE(archive::ParseExtentNumber("\\g\\d\\Extent18446744073709551615", number));
  EXPECT_EQ(UINT64_MAX, number);
  EXPECT_FALSE(archive::ParseExtentNumber("\\g\\d\\Extent18446744073709551616", number));
  EXPECT_FALSE(archive::ParseExtentNumber("\\g\\d\\Extent", number));
}

// A full backup and the incrementals after it reassemble every disk and file byte for byte; a failed
// incremental in the middle is no base for anything.
TEST_F(ArchiveTest, FullAndIncrementalsReassembleByteForByte) {
  constexpr uint64_t kExtent = 8 * 512;
  std::string disk = Pattern(3 * kExtent + 1000, 9);  // the last extent is short
  auto backUp = [&](int64_t jobId, uint32_t level, const std::vector<uint64_t>& changed, bool fail) {
    auto stream = Open(level, jobId);
    SendFile(*stream, "\\" + kGuid + "\\VMConfig.ztf", "config of job " + std::to_string(jobId));
    for (uint64_t n : changed) {
      const uint64_t length = std::min(kExtent, disk.size() - n * kExtent);
      SendExtent(*stream, "disk0", n, disk.substr(n * kExtent, length));
    }
    if (fail) {
      ASSERT_EQ(0, stream->sendExtentHeader("\\" + kGuid + "\\disk0\\Extent0", "disk0", kExtent, 0, false, 1, 0, 0, 0,
                                            nullptr));
      ASSERT_EQ(0, stream->sendEOF(false, 54));
    }
    SendDiskHeader(*stream, "disk0", disk.size());
    ASSERT_EQ(0, stream->closeArchiveFile());
  };
  auto hashAsOf = [&](int64_t jobId, std::vector<int64_t>* chain) {
    std::vector<archive::ArchiveContents> all;
    for (int64_t j = 2001; j <= 2004; ++j) {
      std::vector<std::string> problems;
      for (auto& one : archivetest::ReadJobArchives(j, &problems)) all.push_back(one);
      EXPECT_TRUE(problems.empty());
    }
    archive::VMBackup backup;
    std::vector<std::string> notes;
    std::string error, hex;
    EXPECT_TRUE(archive::ReassembleVM(all, kGuid, jobId, backup, notes, error)) << error;
    if (chain != nullptr) *chain = backup.jobs;
    EXPECT_EQ(1u, backup.disks.count("\\" + kGuid + "\\disk0"));
    EXPECT_TRUE(archive::HashRestoredDisk(backup.disks["\\" + kGuid + "\\disk0"], hex, error)) << error;
    return hex;
  };
  auto sha = [](const std::string& bytes) {
    CPxSha256 digest;
    digest.Update(bytes.data(), bytes.size());
    return digest.FinalHex();
  };

  backUp(2001, 1, {0, 1, 2, 3}, false);
  const std::string atFull = sha(disk);
  disk[kExtent + 5] ^= 0x55;
  disk[3 * kExtent + 999] ^= 0x55;
  backUp(2002, 2, {1, 3}, false);
  const std::string atFirst = sha(disk);
  disk[2 * kExtent] ^= 0x11;
  backUp(2003, 2, {2}, true);  // failed: left out of every chain
  disk[0] ^= 0x22;
  backUp(2004, 2, {0, 2}, false);

  std::vector<int64_t> chain;
  EXPECT_EQ(atFull, hashAsOf(2001, &chain));
  EXPECT_EQ(atFirst, hashAsOf(2002, &chain));
  EXPECT_EQ(sha(disk), hashAsOf(2004, &chain));
  EXPECT_EQ((std::vector<int64_t>{2001, 2002, 2004}), chain);
}

// Each backup of a disk records the backup it builds on: a restore follows those links down to the
// disk's full backup and never around a link that is not there, whatever the archives it finds; a
// backup of an older writer, which recorded none, builds on the VM's backup before it, which the job
// manager's records or the index may know to be lost; a job whose archives hold index records only (a
// storage snapshot, a catalogue) is no link on the media, whatever the records say of it. Cases: what
// job 2003's backup of disk0 records, what is done to the chain, and the jobs the disk then restores
// from (none: refused, saying why).
TEST_F(ArchiveTest, ADisksChainIsFollowedByWhatEachBackupRecordsAndNeverReadAround) {
  constexpr uint64_t kExtent = 8 * 512;
  using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
  struct Place {
    bool recorded;
    int64_t base;
    const char* baseChangeId;
  };
  struct Case {
    const char* name;
    Place top;                // what 2003 records of disk0
    bool middleLost;          // job 2002's archive removed
    bool middleReported;      // the records say 2002 backed the VM up
    std::vector<int64_t> chain;
    const char* why;          // the break, when the chain is empty
    bool middleIndexOnly = false;  // job 2002 backed the VM up without data: index records only
  };
  const Case cases[] = {
      {"every link there", {true, 2002, "c2002"}, false, false, {2001, 2002, 2003}, ""},
      {"the link recorded is lost", {true, 2002, "c2002"}, true, false, {}, "job 2002's backup of the VM is lost"},
      {"the link read another change id", {true, 2002, "other"}, false, false, {}, "at change id [other]"},
      {"a link to a later job", {true, 2004, "c2004"}, false, false, {}, "not an earlier job"},
      {"a link to a job that does not say", {true, -1, ""}, false, false, {2001, 2002, 2003}, ""},
      {"backed up whole in an incremental", {true, 0, ""}, true, true, {2003}, ""},
      {"an older writer, its link there", {false, 0, ""}, false, false, {2001, 2002, 2003}, ""},
      {"an older writer, a lost link the records know", {false, 0, ""}, true, true, {},
       "job 2002's backup of the VM is lost"},
      {"an older writer, a lost link no record knows", {false, 0, ""}, true, false, {2001, 2003}, ""},
      {"an older writer over a snapshot job the records know", {false, 0, ""}, false, true, {2001, 2003}, "", true},
      {"a link recorded over a snapshot job the records know", {true, 2001, "c2001"}, false, true, {2001, 2003}, "",
       true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    for (int64_t j = 2001; j <= 2003; ++j)
      for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(j)) std::remove(location.path.c_str());
    std::string disk = Pattern(3 * kExtent, 5);
    std::map<int64_t, std::string> bytesAfter;
    auto backUp = [&](int64_t jobId, const std::vector<uint64_t>& changed, const Place& place) {
      auto stream = Open(jobId == 2001 ? 1 : 2, jobId);
      for (uint64_t n : changed) SendExtent(*stream, "disk0", n, disk.substr(n * kExtent, kExtent));
      ASSERT_EQ(0, stream->sendDiskHeader("\\" + kGuid + "\\disk0", disk.size(), disk.size(), false, 1, 8, false));
      IdxMetadata::IdxMetaData record;
      VSMeta* part = record.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, true);
      part->setstring(VSMeta::F_changeId, "c" + std::to_string(jobId));
      if (place.recorded) {
        part->setint64(VSMeta::F_diskJobId, jobId);
        part->setint64(VSMeta::F_baseJobId, place.base);
        part->setstring(VSMeta::F_baseChangeId, place.baseChangeId);
      }
      ASSERT_EQ(0, stream->sendVSIdxDiskMetadata(record));
      ASSERT_EQ(0, stream->sendEOF(true, 0));
      ASSERT_EQ(0, stream->closeArchiveFile());
      bytesAfter[jobId] = disk;
    };
    backUp(2001, {0, 1, 2}, {true, 0, ""});
    if (test.middleIndexOnly) {
      job.setJobId("2002");
      auto stream = Stream();
      int64_t id = 0;
      ASSERT_EQ(0, stream->CreateVMIndexArchiveFileForSnap(kGuid, 2002, 7, 11, &id));
    } else {
      disk[kExtent + 1] ^= 0x33;
      backUp(2002, {1}, {true, 2001, "c2001"});
    }
    disk[2 * kExtent] ^= 0x44;
    backUp(2003, test.top.base == 0 && test.top.recorded ? std::vector<uint64_t>{0, 1, 2} : std::vector<uint64_t>{2},
           test.top);
    if (test.middleLost)
      for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(2002)) std::remove(location.path.c_str());
    std::vector<archive::ArchiveContents> all;
    for (int64_t j = 2001; j <= 2003; ++j)
      for (auto& one : archivetest::ReadJobArchives(j, nullptr)) all.push_back(one);
    archive::BackupRecords records;
    if (test.middleReported) records.jobs = {2001, 2002, 2003};
    archive::VMBackup backup;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(archive::ReassembleVM(all, kGuid, 2003, records, backup, notes, error)) << error;
    const std::string name = "\\" + kGuid + "\\disk0";
    if (test.chain.empty()) {
      ASSERT_EQ(1u, backup.brokenDisks.count(name));
      EXPECT_NE(std::string::npos, backup.brokenDisks[name].find(test.why)) << backup.brokenDisks[name];
      EXPECT_EQ(0u, backup.disks.count(name)) << "a disk whose chain breaks is not restored";
      continue;
    }
    ASSERT_EQ(1u, backup.disks.count(name)) << (backup.brokenDisks.empty() ? "" : backup.brokenDisks.begin()->second);
    EXPECT_EQ(test.chain, backup.disks[name].chain);
    std::string restored;
    ASSERT_TRUE(archive::ReadRestoredDisk(backup.disks[name], [&](const char* data, size_t size) {
      return restored.append(data, size), true;
    }, error)) << error;
    // A chain that misses a link no record knows restores the bytes around it, as a reader without the
    // records can do no better: only the records tell that the link is gone.
    if (test.chain.size() == 2 && test.chain.front() == 2001 && !test.middleIndexOnly) continue;
    EXPECT_TRUE(restored == bytesAfter[2003]) << "disk0 does not restore to its bytes at job 2003";
  }
}

// A job the records name whose backup is lost, above an older backup that holds a disk the newest
// backup lacks: unless the records say which disks the lost job held, it may have held that disk too,
// so the disk is not restored from the older backup; when they say it held another disk alone, the
// disk restores from the older backup as it was. Archives of an older writer, which records no links.
TEST_F(ArchiveTest, ALostBackupOfUnknownDisksBreaksEveryDiskAnOlderBackupHolds) {
  constexpr uint64_t kExtent = 8 * 512;
  struct Case {
    const char* name;
    bool disksKnown;  // the records say job 3002 held disk0 alone
    bool disk1Restores;
  };
  const Case cases[] = {{"the lost job's disks unknown", false, false}, {"the lost job held disk0 alone", true, true}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    for (int64_t j = 3001; j <= 3003; ++j)
      for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(j)) std::remove(location.path.c_str());
    const std::string disk1 = Pattern(2 * kExtent, 9);
    auto backUp = [&](int64_t jobId, const std::vector<std::string>& disks) {
      auto stream = Open(jobId == 3001 ? 1 : 2, jobId);
      for (const std::string& disk : disks) {
        SendExtent(*stream, disk, 0, disk == "disk1" ? disk1.substr(0, kExtent) : Pattern(kExtent, int(jobId)));
        if (disk == "disk1") SendExtent(*stream, disk, 1, disk1.substr(kExtent));
        SendDiskHeader(*stream, disk, disk == "disk1" ? disk1.size() : kExtent);
      }
      ASSERT_EQ(0, stream->closeArchiveFile());
    };
    backUp(3001, {"disk0", "disk1"});
    backUp(3002, {"disk0", "disk1"});
    backUp(3003, {"disk0"});
    for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(3002)) std::remove(location.path.c_str());
    std::vector<archive::ArchiveContents> all;
    for (int64_t j = 3001; j <= 3003; ++j)
      for (auto& one : archivetest::ReadJobArchives(j, nullptr)) all.push_back(one);
    archive::BackupRecords records;
    records.jobs = {3001, 3002, 3003};
    records.disksOf = [&test](int64_t job, std::set<std::string>& disks) {
      if (!test.disksKnown || job != 3002) return false;
      disks = {"disk0"};
      return true;
    };
    archive::VMBackup backup;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(archive::ReassembleVM(all, kGuid, 3003, records, backup, notes, error)) << error;
    const std::string name = "\\" + kGuid + "\\disk1";
    EXPECT_EQ(1u, backup.brokenDisks.count("\\" + kGuid + "\\disk0")) << "disk0 builds on the lost job";
    if (!test.disk1Restores) {
      ASSERT_EQ(1u, backup.brokenDisks.count(name)) << "disk1 is read around the lost job";
      EXPECT_NE(std::string::npos, backup.brokenDisks[name].find("job 3002's backup of the VM is lost"))
          << backup.brokenDisks[name];
      EXPECT_EQ(0u, backup.disks.count(name));
      continue;
    }
    ASSERT_EQ(1u, backup.disks.count(name)) << (backup.brokenDisks.count(name) ? backup.brokenDisks[name] : "");
    std::string restored;
    ASSERT_TRUE(archive::ReadRestoredDisk(backup.disks[name], [&](const char* data, size_t size) {
      return restored.append(data, size), true;
    }, error)) << error;
    EXPECT_TRUE(restored == disk1) << "disk1 does not restore to its bytes at job 3001";
  }
}

}  // namespace

namespace {

// One attempt's archive file of a VM, as its writer left it: begun with the writer's process stamp
// and the VM's dispatch to it when the writer recorded them (fields a writer of an older version did
// not write are absent), and one extent of 8 sectors for each disk it got to.
struct AttemptArchive {
  int stampsRecorded;  // 0 neither, 1 the process stamp, 2 both
  uint64_t process;
  uint64_t dispatch;
  std::vector<std::pair<std::string, char>> disks;  // index name, the byte its extent is filled with
  bool endsFailed = false;                           // its disk headers end failed
};

std::string WriteAttemptArchive(const AttemptArchive& attempt) {
  using archive::FieldWriter;
  using archive::RecordType;
  uint64_t id = 0;
  std::string error;
  EXPECT_TRUE(lab::TakeArchiveFileId("ma1", id, error)) << error;
  EXPECT_TRUE(lab::MakeDirs(lab::MediaJobDir("ma1", kJob)));
  const std::string path = lab::ArchiveFilePath("ma1", kJob, id);
  archive::ArchiveWriter writer;
  EXPECT_TRUE(writer.Create(path, error)) << error;
  FieldWriter begin = archivetest::BeginFields(id, kJob, kGuid, 1);
  if (attempt.stampsRecorded >= 1) begin.U64(attempt.process);
  if (attempt.stampsRecorded >= 2) begin.U64(attempt.dispatch);
  EXPECT_TRUE(writer.Append(RecordType::kArchiveBegin, begin.Bytes(), nullptr, 0, error)) << error;
  uint64_t dataBytes = 0;
  auto append = [&](RecordType type, const FieldWriter& fields, const std::string& payload) {
    EXPECT_TRUE(writer.Append(type, fields.Bytes(), payload.data(), payload.size(), error)) << error;
  };
  const FieldWriter ended = archivetest::EndOfItemFields(true);
  for (const auto& disk : attempt.disks) {
    const std::string name = "\\" + kGuid + "\\" + disk.first;
    const std::string bytes(8 * 512, disk.second);
    const FieldWriter diskHeader = archivetest::DiskHeaderFields(name, bytes.size());
    append(RecordType::kExtentHeader, archivetest::ExtentHeaderFields(name + "\\Extent0", disk.first, bytes.size()),
           std::string());
    append(RecordType::kData, archivetest::DataFields(), bytes);
    append(RecordType::kEndOfItem, ended, std::string());
    append(RecordType::kDiskHeader, diskHeader, std::string());
    append(RecordType::kEndOfItem, archivetest::EndOfItemFields(!attempt.endsFailed), std::string());
    dataBytes += bytes.size();
  }
  FieldWriter end;
  end.U64(writer.Records());
  end.U64(dataBytes);
  end.U64(0);
  EXPECT_TRUE(writer.Append(RecordType::kArchiveEnd, end.Bytes(), nullptr, 0, error)) << error;
  EXPECT_TRUE(writer.Close(error)) << error;
  return path;
}

// The two disks as the attempt that stands wrote them: disk0 of 'w's, disk1 of 'x's.
void ExpectTheStandingAttemptsDisks(const archive::VMBackup& backup) {
  ASSERT_EQ(2u, backup.disks.size());
  for (const auto& disk : backup.disks) {
    std::string restored, error;
    ASSERT_TRUE(archive::ReadRestoredDisk(disk.second, [&](const char* data, size_t size) {
      return restored.append(data, size), true;
    }, error)) << error;
    EXPECT_EQ(std::string(8 * 512, disk.first.back() == '0' ? 'w' : 'x'), restored) << disk.first;
  }
}

// An agent the coordinator gave up on leaves a committed archive of the disks it got to; the agent it
// gives the VM to next backs the VM up whole. The later dispatch stands whichever writer began
// writing first, and archives of older writers, without the dispatch or without both stamps, still
// restore as they did.
TEST_F(ArchiveTest, TheLatestDispatchOfAVMStandsForItsBackupInTheJob) {
  enum Stands { kFirst, kSecond, kBoth };
  struct Case {
    const char* name;
    AttemptArchive first;  // created first (the smaller archive file id)
    AttemptArchive second;
    Stands stands;
  };
  const std::vector<std::pair<std::string, char>> partial = {{"disk1", 'p'}};
  const std::vector<std::pair<std::string, char>> whole = {{"disk0", 'w'}, {"disk1", 'x'}};
  const Case cases[] = {
      {"the retry's writer began first, the killed agent's archive came later", {2, 100, 2, whole},
       {2, 200, 1, partial}, kFirst},
      {"the killed agent's writer began first", {2, 100, 1, partial}, {2, 200, 2, whole}, kSecond},
      {"a process given the VM again on the same client", {2, 100, 3, partial}, {2, 200, 3, whole}, kSecond},
      {"writers without dispatches: a job run again", {1, 100, 0, partial}, {1, 200, 0, whole}, kSecond},
      {"writers without either stamp", {0, 0, 0, {{"disk0", 'w'}}}, {0, 0, 0, {{"disk1", 'x'}}}, kBoth},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(kJob)) std::remove(location.path.c_str());
    const std::string firstPath = WriteAttemptArchive(test.first);
    const std::string secondPath = WriteAttemptArchive(test.second);
    std::vector<std::string> problems;
    const std::vector<archive::ArchiveContents> all = archivetest::ReadJobArchives(kJob, &problems);
    ASSERT_TRUE(problems.empty()) << problems.front();
    archive::VMBackup backup;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(archive::ReassembleVM(all, kGuid, kJob, backup, notes, error)) << error;
    // Every disk restores to the bytes of the attempt that stands, and only the other one is named.
    ExpectTheStandingAttemptsDisks(backup);
    if (test.stands == kBoth) {
      EXPECT_TRUE(notes.empty()) << notes.front();
      continue;
    }
    ASSERT_EQ(1u, notes.size());
    EXPECT_EQ("archive " + (test.stands == kFirst ? secondPath : firstPath) +
                  " left out: an earlier attempt of job " + std::to_string(kJob),
              notes[0]);
  }
}

// A VM's dispatch record deleted or emptied while an agent's attempt at it is under way, and the VM
// given out again by a coordinator that kept no count of its own (a later run of the job): the new
// dispatch is numbered above the archive the attempt began, committed or not, so that its archives
// outrank the attempt's; and an archive the attempt begins after the record was lost still carries
// the attempt's number, not 0. An attempt whose every archive is still open when the VM is given out
// again (an agent the coordinator gave up on, still writing) and that commits them afterwards does not
// stand for the VM: the retry's file is the one restored. The number is read from the open files, and
// from the VM's notes of them: a file nothing was written to yet tells it by its note alone, a note of
// an older writer by its file alone.
TEST_F(ArchiveTest, ADispatchAfterItsRecordWasLostIsNumberedAboveTheVMsArchivesOfTheJob) {
  enum class Record { kDeleted, kEmptied };
  struct Case {
    const char* name;
    Record record;
    bool committed;  // the attempt's first archive
    bool attemptEndsAfterTheRetry = false;  // the attempt's archives are all open until the retry's is written
    bool olderNotes = false;  // the VM's notes name the files alone, as an older writer's do
    bool nothingWritten = false;  // the attempt's files are still empty: only their notes tell the attempt
  } cases[] = {
      {"deleted, the archive committed", Record::kDeleted, true},
      {"deleted, the archive left open", Record::kDeleted, false},
      {"emptied, the archive committed", Record::kEmptied, true},
      {"emptied, the archive left open", Record::kEmptied, false},
      {"deleted, every archive open until after the retry", Record::kDeleted, false, true},
      {"emptied, every archive open until after the retry", Record::kEmptied, false, true},
      {"deleted, every archive open and noted by an older writer", Record::kDeleted, false, true, true},
      {"emptied, every archive open with nothing written to it", Record::kEmptied, false, true, false, true},
  };
  const auto dispatchOf = [](const std::string& path) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_TRUE(archive::ReadArchiveBegin(path + archive::kUncommittedSuffix, contents, problem) ||
                archive::ReadArchiveBegin(path, contents, problem))
        << problem.Describe();
    return contents.dispatch;
  };
  int64_t jobId = kJob;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ++jobId;  // a job of its own: its own dispatch record and archives of the VM
    lab.Focus("proxyA");
    std::string error;
    for (const char* client : {"proxyB", "proxyA"}) ASSERT_TRUE(lab::RecordVMDispatch(jobId, kGuid, client, error));
    // A file of the VM large enough to go to the file at once, with the archive's beginning.
    std::unique_ptr<vsArchive> first = Open(1, jobId);
    const std::string firstPath = path;
    if (!test.nothingWritten) {
      ASSERT_NO_FATAL_FAILURE(
          SendFile(*first, "VMConfig.ztf", std::string(archive::ArchiveWriter::kDirectPayloadBytes, 'c')));
    }
    if (test.committed) {
      ASSERT_EQ(0, first->closeArchiveFile());
    }
    if (!test.nothingWritten) {
      EXPECT_EQ(2u, dispatchOf(firstPath));
    }
    const std::string record = lab::VMDispatchRecordPath(jobId, kGuid);
    if (test.record == Record::kDeleted) {
      ASSERT_EQ(0, std::remove(record.c_str()));
    } else {
      ASSERT_TRUE(lab::WriteFileAtomic(record, ""));
    }
    std::unique_ptr<vsArchive> second = Open(1, jobId);
    const std::string secondPath = path;
    if (test.olderNotes) {
      // Only the open files themselves then carry the attempt's number.
      const std::string notes = lab::VMArchiveListPath("ma1", jobId, kGuid);
      std::string ids;
      for (const std::string& line : lab::ReadLines(notes)) ids += line.substr(0, line.find(' ')) + "\n";
      ASSERT_TRUE(lab::WriteFileAtomic(notes, ids));
    }
    if (!test.attemptEndsAfterTheRetry) {
      ASSERT_EQ(0, second->closeArchiveFile());
      EXPECT_EQ(2u, dispatchOf(secondPath)) << "the attempt's next archive";
    }

    uint64_t number = 0;
    ASSERT_TRUE(lab::RecordVMDispatch(jobId, kGuid, "proxyB", 0, number, error)) << error;
    EXPECT_EQ(3u, number);
    EXPECT_EQ(3u, lab::VMDispatchNumber(jobId, kGuid, "proxyB"));
    lab.Focus("proxyB");
    std::unique_ptr<vsArchive> retry = Open(1, jobId);
    const std::string retryPath = path;
    ASSERT_NO_FATAL_FAILURE(
        SendFile(*retry, "VMConfig.ztf", std::string(archive::ArchiveWriter::kDirectPayloadBytes, 'r')));
    ASSERT_EQ(0, retry->closeArchiveFile());
    EXPECT_EQ(3u, dispatchOf(retryPath)) << "the retry's archive";
    if (!test.attemptEndsAfterTheRetry) continue;

    lab.Focus("proxyA");
    ASSERT_EQ(0, second->closeArchiveFile());
    EXPECT_EQ(2u, dispatchOf(secondPath)) << "the attempt's next archive";
    ASSERT_EQ(0, first->closeArchiveFile());
    archive::VMBackup backup;
    std::vector<std::string> notes;
    ASSERT_TRUE(archive::ReassembleVM(archivetest::ReadJobArchives(jobId, nullptr), kGuid, jobId, backup, notes, error))
        << error;
    ASSERT_EQ(1u, backup.files.count("VMConfig.ztf"));
    std::string bytes;
    ASSERT_TRUE(archive::ReadRestoredFile(backup.files.at("VMConfig.ztf"),
                                          [&](const char* data, size_t size) { return bytes.append(data, size), true; },
                                          error))
        << error;
    EXPECT_TRUE(bytes == std::string(archive::ArchiveWriter::kDirectPayloadBytes, 'r'))
        << "the file restores from the attempt given up on, not from the retry";
  }
}

}  // namespace

namespace {

// Only the attempt that stands for a VM's backup in a job decides whether the job is in the VM's
// chain: an earlier attempt's archive, cut short or with an item ended failed, is a note; the same of
// the latest attempt leaves the job out.
TEST_F(ArchiveTest, OnlyTheLatestAttemptOfAJobDecidesWhetherItsBackupCounts) {
  enum Damage { kWhole, kCutShort, kEndsFailed };
  struct Case {
    const char* name;
    Damage earlier;
    Damage latest;
    bool counts;
    const char* note;
  };
  const std::string job = std::to_string(kJob);
  const Case cases[] = {
      {"both whole", kWhole, kWhole, true, "left out: an earlier attempt of job 1001"},
      {"the earlier attempt cut short", kCutShort, kWhole, true,
       "left out: an earlier attempt of job 1001, not well formed"},
      {"the earlier attempt with an item ended failed", kEndsFailed, kWhole, true,
       "left out: an earlier attempt of job 1001"},
      {"the latest attempt cut short", kWhole, kCutShort, false,
       "job 1001 left out: an archive of the VM is not well formed: "},
      {"the latest attempt with an item ended failed", kWhole, kEndsFailed, false, "job 1001 left out: item ["},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(kJob)) std::remove(location.path.c_str());
    AttemptArchive earlier{2, 200, 1, {{"disk0", 'p'}, {"disk1", 'q'}}};
    AttemptArchive latest{2, 100, 2, {{"disk0", 'w'}, {"disk1", 'x'}}};
    earlier.endsFailed = test.earlier == kEndsFailed;
    latest.endsFailed = test.latest == kEndsFailed;
    const std::string paths[] = {WriteAttemptArchive(earlier), WriteAttemptArchive(latest)};
    const Damage damages[] = {test.earlier, test.latest};
    for (int i = 0; i < 2; ++i) {
      struct stat status {};
      ASSERT_EQ(0, stat(paths[i].c_str(), &status));
      if (damages[i] == kCutShort) {
        ASSERT_EQ(0, truncate(paths[i].c_str(), status.st_size / 2));
      }
    }
    const std::vector<archive::ArchiveContents> all = archivetest::ReadJobArchives(kJob, nullptr);
    archive::VMBackup backup;
    std::vector<std::string> notes;
    std::string error;
    EXPECT_EQ(test.counts, archive::ReassembleVM(all, kGuid, kJob, backup, notes, error)) << error;
    std::string said;
    for (const std::string& note : notes) said += note + "\n";
    EXPECT_NE(std::string::npos, said.find(test.note)) << said;
    if (test.counts) ExpectTheStandingAttemptsDisks(backup);
  }
}

}  // namespace
