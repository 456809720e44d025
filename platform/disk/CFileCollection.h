#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/CPxError.h"

class IVMInfo;
class vsAppMgr;
class vsArchive;

// One node of a file collection as the collection hands it out. The caller fills the first block
// before asking for the next node; the collection fills the rest.
struct SFileNode {
  SFileNode() = default;
  ~SFileNode();
  SFileNode(const SFileNode&) = delete;
  SFileNode& operator=(const SFileNode&) = delete;

  // Given by the caller.
  vsArchive* archive = nullptr;
  int64_t jobId = 0;
  int backupLevel = 0;
  vsAppMgr* appMgr = nullptr;
  std::string collectText;

  // Filled by GetNextNode: the node's name within the collection ('/' between folders), its size and
  // modification time (seconds), and its attributes in the order the node header carries them.
  std::string name;
  uint64_t size = 0;
  int64_t time = 0;
  uint64_t mode = 0;         // file type and permission bits
  uint64_t timeNanos = 0;    // nanoseconds of the modification time
  uint64_t changeTime = 0;   // seconds
  uint64_t inode = 0;
  uint32_t owner = 0;
  uint64_t links = 0;
  uint64_t device = 0;
  uint32_t group = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  uint32_t reserved3 = 0;

  // The collection's reading state of the node.
  int fd = -1;
  uint64_t readBytes = 0;
  uint64_t writtenBytes = 0;
};

// A file collection: a container that is backed up node by node rather than as a disk.
//
// The lab's collection (type kFolderCollection) is a folder: its nodes are the regular files under it,
// in name order, read as they are at the time of the read. An incremental collection (a previous
// reference that is a time, in whole seconds, of an earlier backup) hands out only the files changed
// at or after that time; a file changed in the very second of the reference is taken again rather than
// missed. A node whose file shrinks while it is read fails its read; one that grows is read up to the
// size its header declared.
//
// Fault table operations: "filecollection.Open", "filecollection.NextNode", "filecollection.Read"
// (selector vm: the VM's GUID, disk: the collection's identifier).
//
// One collection is used by one thread.
class CFileCollection {
 public:
  static constexpr uint32_t kFolderCollection = 1;
  // The code of the error that ends the node list.
  static constexpr int32_t kNoMoreNodes = 1;

  // The collection of the type; null for a type there is none of.
  static std::shared_ptr<CFileCollection> createFileCollectionInstance(uint32_t type);

  CFileCollection() = default;
  ~CFileCollection();
  CFileCollection(const CFileCollection&) = delete;
  CFileCollection& operator=(const CFileCollection&) = delete;

  void SetVMInfo(IVMInfo* vmInfo, const std::string& vmName, const std::string& vmGuid);
  void SetVMDiskGuid(const std::string& identifier) { identifier_ = identifier; }
  void SetContainerSize(uint64_t size) { containerSize_ = size; }

  // The previous reference (the change id of the earlier backup). True: the collection keeps change
  // ids, so its caller is to store this backup's for the next one. Only a reference that is a time
  // makes the collection incremental (IsIncremental); any other reads every node.
  bool SetPreviousReference(const std::string& previous);
  bool IsIncremental() const { return incremental_; }
  // The state files the collection needs again next time; the folder collection keeps none.
  void GetStateFiles(std::vector<std::string>& names) const { names.clear(); }

  // Opens the collection: its identifier is the folder's absolute path, or the name of a folder
  // collection of the VM in the lab's hypervisor.
  CPxError Open(const std::string& identifier);
  // The folder's name once open, else the identifier it was given.
  std::string GetName() const { return name_.empty() ? identifier_ : name_; }
  // A line that describes the collection: its type, name and the nodes and bytes it hands out (none
  // before it is opened).
  CPxError GetMetadata(std::string& text) const;

  // The next node; an error with code kNoMoreNodes after the last.
  CPxError GetNextNode(SFileNode& node);
  // A transfer buffer of the node's archive stream (vsArchive::allocateBuffer); the stream's code.
  int RequestBuffer(SFileNode& node, uint32_t size, char** buffer, uint32_t* granted);
  // Reads the node's next bytes; 0 bytes at the end of the node.
  CPxError Read(SFileNode& node, char* buffer, uint32_t size, uint32_t& bytesRead);
  // Sends the buffer's bytes as the node's data (vsArchive::writeDataBuffer); the stream's code.
  int Write(SFileNode& node, char* buffer, uint32_t bytes);
  // Ends the node's item on the stream; it ends failed when fewer bytes were sent than declared.
  int EndOfNode(SFileNode& node, bool success);

 private:
  struct Entry {
    std::string name;
    std::string path;
  };
  CPxError Fault(const char* op) const;
  bool ResolveFolder(const std::string& identifier, std::string& folder, std::string& error) const;
  bool ListFolder(const std::string& folder, const std::string& prefix, int depth, std::string& error);

  std::string vmName_;
  std::string vmGuid_;
  std::string identifier_;
  uint64_t containerSize_ = 0;
  bool incremental_ = false;
  int64_t since_ = 0;
  std::string name_;
  std::string folder_;
  std::vector<Entry> entries_;  // sorted by name
  size_t next_ = 0;
  uint64_t listedBytes_ = 0;
};
