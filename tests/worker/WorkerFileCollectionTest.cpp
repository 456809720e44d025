// A file collection sent into the VM's archive file: whichever call fails, the step gives its code,
// ends failed the item it opened (and no other) and frees the stream's buffer; the archive file stays
// readable item by item and a later run sends the collection whole.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "WorkerStageSupport.h"
#include "platform/archive/vsArchive.h"
#include "platform/disk/CFileCollection.h"
#include "support/ArchiveTestSupport.h"

namespace {

using stagetest::kGuid;

class WorkerFileCollectionTest : public stagetest::StreamStageTest {
 protected:
  WorkerFileCollectionTest() {
    folder = job.Lab().Path("docs");
    EXPECT_TRUE(lab::MakeDirs(folder));
    std::ofstream(folder + "/a.txt") << std::string(10000, 'a');
    std::ofstream(folder + "/b.txt") << "b";
  }
  int Send() {
    args.mArchive = stream.get();
    args.mObjectKind = 2;
    args.mDiskType = CFileCollection::kFolderCollection;
    args.mBackupPath = folder;
    args.mDiskName2 = "docs";
    args.mMaxDiskSize = args.mFileSize = 10001;
    return worker.BackupVMFileCollection(&args);
  }
  std::string folder;
};

TEST_F(WorkerFileCollectionTest, EveryFailureEndsItsOwnItemFailedAndFreesTheBuffer) {
  struct Case {
    const char* op;
    int64_t after;  // calls of the operation that pass first
    int result;
  };
  // Records of a whole run: container header, its metadata, its end; per node a header, its data
  // (10,000 bytes in three buffers for a.txt) and its end. Each write of the run fails once in turn.
  std::vector<Case> cases = {
      {"filecollection.Open", 0, 54},      {"filecollection.NextNode", 0, 54}, {"filecollection.NextNode", 1, 54},
      {"filecollection.Read", 0, 54},      {"filecollection.Read", 3, 54},     {"archive.allocateBuffer", 0, 29},
      {"archive.allocateBuffer", 2, 29},
  };
  for (int64_t after = 0; after < 16; ++after) cases.push_back({"archive.write", after, -2});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " after " + std::to_string(c.after));
    std::string error;
    ASSERT_TRUE(lab::ClearFaultTable(error));
    ASSERT_TRUE(job.Lab().Fault(c.op, 77, "injected", c.after));
    const int result = Send();
    if (c.result == -2) {
      // A refused record gives 31, except index metadata, which is only logged.
      EXPECT_TRUE(result == 31 || result == 0) << result;
    } else {
      EXPECT_EQ(c.result, result);
    }
  }
  std::string error;
  ASSERT_TRUE(lab::ClearFaultTable(error));
  ASSERT_EQ(0, Send()) << "the stream's buffer is free again after every failure";

  archive::ArchiveContents contents;
  ASSERT_TRUE(CloseAndReadArchive(contents));
  int failedItems = 0;
  for (const archive::Item& item : contents.items) {
    EXPECT_TRUE(item.ended) << item.name;
    failedItems += item.success ? 0 : 1;
  }
  EXPECT_GE(failedItems, 8);
  const archive::Item& last = contents.items.back();
  EXPECT_EQ(std::string("\\") + kGuid + "\\docs\\b.txt", last.name);
  EXPECT_EQ("b", archivetest::ItemBytes(contents, last));
  const archive::Item& a = contents.items[contents.items.size() - 2];
  EXPECT_EQ(std::string(10000, 'a'), archivetest::ItemBytes(contents, a));
}

}  // namespace
