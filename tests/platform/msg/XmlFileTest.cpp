#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/msg/MsgTestSupport.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

using VirtualServer::VMAgentStartup;

class XmlFile : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = msgtest::TempDir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(XmlFile, SaveLoadExistsDelete) {
  vsXMLFile file(dir_ + "/VMAgentProps-7.ztf");
  EXPECT_FALSE(file.Exists());
  VMAgentStartup props;
  msgtest::FillAll(props, 1, 2);
  ASSERT_TRUE(file.Save(props)) << file.LastError();
  EXPECT_TRUE(file.Exists());
  // Saved atomically: nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);

  VMAgentStartup loaded;
  ASSERT_TRUE(file.Load(loaded)) << file.LastError();
  EXPECT_EQ(msgtest::Diff(props, loaded), "");

  // Saving again replaces the content as a whole.
  VMAgentStartup smaller;
  smaller.setint64(VMAgentStartup::F_protocolVersion, 1120);
  ASSERT_TRUE(file.Save(smaller));
  VMAgentStartup reloaded;
  ASSERT_TRUE(file.Load(reloaded));
  EXPECT_EQ(msgtest::Diff(smaller, reloaded), "");

  EXPECT_TRUE(file.Delete());
  EXPECT_FALSE(file.Exists());
  EXPECT_TRUE(file.Delete());  // already gone
}

TEST_F(XmlFile, LoadFailuresLeaveTheMessageUnchanged) {
  VMAgentStartup target;
  msgtest::FillAll(target, 3, 2);
  std::string before;
  ASSERT_TRUE(target.serialize(before, true));
  auto expectUnchanged = [&](const std::string& path, const char* what) {
    vsXMLFile file(path);
    EXPECT_FALSE(file.Load(target)) << what;
    EXPECT_FALSE(file.LastError().empty()) << what;
    std::string after;
    ASSERT_TRUE(target.serialize(after, true));
    EXPECT_EQ(after, before) << what;
  };
  expectUnchanged(dir_ + "/missing.xml", "missing file");
  expectUnchanged(dir_, "a folder");
  std::ofstream(dir_ + "/corrupt.xml") << "<VirtualServer_VMAgentStartup tag=\"0x1A971C0F\"><cpuCount>4";
  expectUnchanged(dir_ + "/corrupt.xml", "truncated file");
  std::ofstream(dir_ + "/other.xml") << "<VirtualServer_VMAgentQuit tag=\"0x1AF801FD\"/>";
  expectUnchanged(dir_ + "/other.xml", "file of another message");
  std::ofstream(dir_ + "/empty.xml");
  expectUnchanged(dir_ + "/empty.xml", "empty file");
  // Sparse, so the test stays cheap; refused without being read.
  std::ofstream(dir_ + "/huge.xml");
  std::filesystem::resize_file(dir_ + "/huge.xml", (64u << 20) + 1);
  expectUnchanged(dir_ + "/huge.xml", "file larger than any document");
  // A pipe without a writer must neither be read nor block the reader.
  ASSERT_EQ(::mkfifo((dir_ + "/pipe.xml").c_str(), 0600), 0);
  expectUnchanged(dir_ + "/pipe.xml", "a pipe");

  vsXMLFile nowhere(dir_ + "/no/such/folder/x.xml");
  EXPECT_FALSE(nowhere.Save(target));
  EXPECT_FALSE(nowhere.Exists());
}

}  // namespace
