#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/OsTestDir.h"

namespace {

TEST(PathTest, AppendPutsExactlyOneDelimiterBetweenParts) {
  EXPECT_EQ(FXPath::AppendTrailingDelimiter("/a/b"), "/a/b/");
  EXPECT_EQ(FXPath::AppendTrailingDelimiter("/a/b/"), "/a/b/");
  EXPECT_EQ(FXPath::AppendTrailingDelimiter(""), "/");
  EXPECT_EQ(CPxPath::Append("/a", "b", false), "/a/b");
  EXPECT_EQ(CPxPath::Append("/a/", "/b", false), "/a/b");
  EXPECT_EQ(CPxPath::Append("/a", "b", true), "/a/b/");
  EXPECT_EQ(CPxPath::Append("", "b", false), "b");
  EXPECT_EQ(CPxPath::GetFileName("/x/y/backup_7.xml"), "backup_7.xml");
  EXPECT_EQ(CPxPath::GetFileName("plain"), "plain");
  EXPECT_EQ(CPxPath::GetDirName("/x/y/z"), "/x/y");
  EXPECT_EQ(CPxPath::GetDirName("/z"), "/");
  EXPECT_EQ(CPxPath::GetDirName("z"), "");
}

// A copy into a folder another party can write to (an agent's job-results folder) follows no link
// planted there: not one at the name a copy's temporary file once had, nor one at the destination.
// The copy keeps the source's permissions.
TEST(FileTest, ACopyWritesThroughNoPlantedLink) {
  OsTestDir dir;
  const std::string source = dir.file("source.xml");
  const std::string victim = dir.file("victim");
  ASSERT_TRUE(CPxFile::WriteAll(source, "collected").IsSuccess());
  ASSERT_EQ(0, chmod(source.c_str(), 0604));
  ASSERT_TRUE(CPxFile::WriteAll(victim, "keep me").IsSuccess());
  struct Case {
    const char* name;
    std::string link;  // where the link to the victim is planted
  };
  const std::string destination = dir.file("copy.xml");
  const Case cases[] = {
      {"a link at the old temporary name", destination + ".copy." + std::to_string(getpid())},
      {"a link at the destination", destination},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_EQ(0, symlink(victim.c_str(), test.link.c_str()));
    ASSERT_TRUE(CPxFile::Copy(source, destination).IsSuccess());
    std::string read;
    ASSERT_TRUE(CPxFile::ReadAll(victim, read).IsSuccess());
    EXPECT_EQ("keep me", read);
    ASSERT_TRUE(CPxFile::ReadAll(destination, read).IsSuccess());
    EXPECT_EQ("collected", read);
    struct stat st;
    ASSERT_EQ(0, lstat(destination.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the destination is a file of its own";
    EXPECT_EQ(0604u, st.st_mode & 07777);
    unlink(test.link.c_str());
    unlink(destination.c_str());
  }
}

TEST(FileTest, WholeFileOperationsReportFailuresWithText) {
  OsTestDir dir;
  const std::string a = dir.file("a.txt");
  std::string binary("x\0y\n", 4);
  ASSERT_TRUE(CPxFile::WriteAll(a, binary).IsSuccess());
  EXPECT_TRUE(CPxFile::Exists(a));
  std::string read;
  ASSERT_TRUE(CPxFile::ReadWholeFile(a, read).IsSuccess());
  EXPECT_EQ(read, binary);
  uint64_t size = 0;
  ASSERT_TRUE(FXFile::ZTGetFileSize(a, size).IsSuccess());
  EXPECT_EQ(size, 4u);

  const std::string b = dir.file("b.txt");
  ASSERT_TRUE(CPxFile::Copy(a, b).IsSuccess());
  ASSERT_TRUE(CPxFile::ReadAll(b, read).IsSuccess());
  EXPECT_EQ(read, binary);

  // A move must not silently replace a file unless told to.
  ASSERT_TRUE(CPxFile::WriteAll(b, "other").IsSuccess());
  CPxError refused = FXFile::ZTMoveFileEx(a, b, 0);
  EXPECT_TRUE(refused.IsError());
  ASSERT_TRUE(CPxFile::ReadAll(b, read).IsSuccess());
  EXPECT_EQ(read, "other");
  EXPECT_TRUE(FXFile::ZTMoveFileEx(a, b, 1).IsSuccess());
  EXPECT_FALSE(CPxFile::Exists(a));

  CPxError missing = CPxFile::ReadAll(dir.file("missing"), read);
  EXPECT_TRUE(missing.IsError());
  EXPECT_NE(missing.AsString().find("missing"), std::string::npos);
  EXPECT_EQ(read, "other") << "a failed read leaves the output alone";
  EXPECT_TRUE(FXFile::RemoveFile(b).IsSuccess());
  EXPECT_TRUE(FXFile::RemoveFile(b).IsError());
  EXPECT_FALSE(CPxFile::Exists(dir.path())) << "a folder is not a file";
}

TEST(FileTest, DescriptorWritesWithTheGivenFlagsAndMode) {
  OsTestDir dir;
  const std::string path = dir.file("changeid");
  mode_t old = umask(0);
  {
    CPxFile file;
    ASSERT_TRUE(file.Open(path, 577, 0600).IsSuccess());  // write only, create, truncate
    ASSERT_TRUE(file.Write("abc", 3).IsSuccess());
    EXPECT_TRUE(file.Close().IsSuccess());
    size_t got = 0;
    char c;
    EXPECT_TRUE(file.Read(&c, 1, got).IsError()) << "closed";
  }
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  time_t changed = 0, modified = 0, accessed = 0;
  ASSERT_TRUE(FXFile::GetFileTimes(path, changed, modified, accessed).IsSuccess());
  EXPECT_EQ(modified, st.st_mtime);
}

TEST(DirectoryTest, CreateListRemoveRecursively) {
  OsTestDir dir;
  const std::string deep = dir.file("x/y/z");
  ASSERT_TRUE(CPxDirectory::Create(deep, true).IsSuccess());
  EXPECT_TRUE(CPxDirectory::Create(deep, true).IsSuccess()) << "existing folder";
  EXPECT_TRUE(CPxDirectory::Create(dir.file("p/q"), false).IsError()) << "parent missing";
  ASSERT_TRUE(CPxFile::WriteAll(dir.file("x/b"), "1").IsSuccess());
  ASSERT_TRUE(CPxFile::WriteAll(dir.file("x/a"), "1").IsSuccess());
  std::vector<std::string> names;
  ASSERT_TRUE(CPxDirectory::List(dir.file("x"), names).IsSuccess());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "y"}));

  EXPECT_TRUE(CPxDirectory::Remove(dir.file("x"), true, true).IsSuccess());
  EXPECT_TRUE(CPxDirectory::Exists(dir.file("x")));
  ASSERT_TRUE(CPxDirectory::List(dir.file("x"), names).IsSuccess());
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(CPxDirectory::Remove(dir.file("x"), true).IsSuccess());
  EXPECT_FALSE(CPxDirectory::Exists(dir.file("x")));
  EXPECT_TRUE(CPxDirectory::Remove(dir.file("x"), true).IsSuccess()) << "already gone";
  EXPECT_TRUE(CPxDirectory::Remove("/", true).IsError());
  EXPECT_TRUE(CPxDirectory::Remove("", true).IsError());
  EXPECT_TRUE(CPxDirectory::List(dir.file("none"), names).IsError());
}

}  // namespace
