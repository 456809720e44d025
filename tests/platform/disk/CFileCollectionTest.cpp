// The folder file collection: its nodes in name order, only those changed since an earlier backup
// when it is incremental, a node read up to the size its header declared and never past it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <fstream>

#include "platform/disk/CFileCollection.h"
#include "support/TestLab.h"

namespace {

class FileCollectionTest : public ::testing::Test {
 protected:
  FileCollectionTest() {
    lab::MakeDirs(lab.Path("coll/sub"));
    Write("coll/b.txt", std::string(5000, 'b'), 1000);
    Write("coll/a.txt", "alpha", 3000);
    Write("coll/sub/c.bin", std::string(4096, 'c'), 2000);
    symlink("a.txt", lab.Path("coll/link").c_str());
  }
  void Write(const std::string& name, const std::string& bytes, time_t mtime) {
    std::ofstream(lab.Path(name), std::ios::binary) << bytes;
    utimbuf times{mtime, mtime};
    utime(lab.Path(name).c_str(), &times);
  }
  // The names the collection hands out, with the bytes read from each in reads of at most 4096.
  std::vector<std::pair<std::string, std::string>> Walk(CFileCollection& collection) {
    std::vector<std::pair<std::string, std::string>> nodes;
    SFileNode node;
    CPxError error;
    while ((error = collection.GetNextNode(node)).IsSuccess()) {
      std::string bytes;
      char buffer[4096];
      uint32_t read = 0;
      do {
        EXPECT_TRUE(collection.Read(node, buffer, sizeof(buffer), read).IsSuccess());
        bytes.append(buffer, read);
      } while (read > 0);
      EXPECT_EQ(node.size, bytes.size());
      nodes.emplace_back(node.name, bytes);
    }
    EXPECT_EQ(CFileCollection::kNoMoreNodes, error.GetVSCode());
    return nodes;
  }
  testsupport::TestLab lab;
};

TEST_F(FileCollectionTest, NodesInNameOrderAndOnlyTheChangedOnesWhenIncremental) {
  EXPECT_EQ(nullptr, CFileCollection::createFileCollectionInstance(99));
  // A change is a new modification time or a new status time; the files were just made, so their
  // status times bound what an incremental sees.
  time_t oldest = 0, newest = 0;
  for (const char* name : {"coll/a.txt", "coll/b.txt", "coll/sub/c.bin"}) {
    struct stat status;
    ASSERT_EQ(0, stat(lab.Path(name).c_str(), &status));
    oldest = oldest == 0 ? status.st_ctime : std::min(oldest, status.st_ctime);
    newest = std::max(newest, status.st_ctime);
  }
  const std::vector<std::string> all = {"a.txt", "b.txt", "sub/c.bin"};
  struct Case {
    std::string previous;
    bool incremental;
    std::vector<std::string> names;
  };
  for (const Case& c : {Case{"", false, all}, Case{"not a time", false, all},
                        Case{std::to_string(oldest), true, all},  // a change in the reference's second is taken
                        Case{std::to_string(newest + 1), true, {}}}) {
    auto collection = CFileCollection::createFileCollectionInstance(CFileCollection::kFolderCollection);
    ASSERT_NE(nullptr, collection);
    EXPECT_TRUE(collection->SetPreviousReference(c.previous)) << "the folder collection keeps change ids";
    EXPECT_EQ(c.incremental, collection->IsIncremental());
    ASSERT_TRUE(collection->Open(lab.Path("coll")).IsSuccess());
    EXPECT_EQ("coll", collection->GetName());
    std::vector<std::string> names;
    for (const auto& node : Walk(*collection)) names.push_back(node.first);
    EXPECT_EQ(c.names, names) << c.previous;
  }
}

TEST_F(FileCollectionTest, ANodeIsReadUpToItsDeclaredSizeAndAShrunkNodeFails) {
  auto collection = CFileCollection::createFileCollectionInstance(CFileCollection::kFolderCollection);
  ASSERT_TRUE(collection->Open(lab.Path("coll")).IsSuccess());
  std::string metadata;
  ASSERT_TRUE(collection->GetMetadata(metadata).IsSuccess());
  EXPECT_NE(std::string::npos, metadata.find("nodes=3 bytes=9101")) << metadata;

  SFileNode node;
  ASSERT_TRUE(collection->GetNextNode(node).IsSuccess());  // a.txt, 5 bytes
  Write("coll/a.txt", "alphabet", 3000);                     // grows after its header
  char buffer[64];
  uint32_t read = 0;
  ASSERT_TRUE(collection->Read(node, buffer, sizeof(buffer), read).IsSuccess());
  EXPECT_EQ("alpha", std::string(buffer, read));
  ASSERT_TRUE(collection->Read(node, buffer, sizeof(buffer), read).IsSuccess());
  EXPECT_EQ(0u, read);

  ASSERT_TRUE(collection->GetNextNode(node).IsSuccess());  // b.txt, 5000 bytes
  ASSERT_EQ(5000u, node.size);
  ASSERT_TRUE(collection->Read(node, buffer, sizeof(buffer), read).IsSuccess());
  truncate(lab.Path("coll/b.txt").c_str(), 100);
  CPxError error = collection->Read(node, buffer, sizeof(buffer), read);
  EXPECT_TRUE(error.IsError());
  EXPECT_NE(std::string::npos, error.AsString().find("shrank"));
}

TEST_F(FileCollectionTest, FaultsAndMissingFoldersFailTheOpen) {
  auto collection = CFileCollection::createFileCollectionInstance(CFileCollection::kFolderCollection);
  EXPECT_TRUE(collection->Open(lab.Path("none")).IsError());
  EXPECT_TRUE(collection->Open("coll-of-no-vm").IsError());
  ASSERT_TRUE(lab.Fault("filecollection.Open", 5));
  EXPECT_EQ(5, collection->Open(lab.Path("coll")).GetVSCode());
  ASSERT_TRUE(lab.Fault("filecollection.NextNode", 6));
  ASSERT_TRUE(collection->Open(lab.Path("coll")).IsSuccess());
  SFileNode node;
  EXPECT_EQ(6, collection->GetNextNode(node).GetVSCode());
}

}  // namespace
