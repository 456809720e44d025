#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/lab/LabFiles.h"
#include "platform/lab/LabHypervisor.h"

// Changes to the lab's disk images and the change ids that track them.
//
// Every disk image may have a change journal beside it, "<image>.changes": the generations of the
// disk, each with the byte ranges that a write changed. A change id names one generation of one
// disk's history, "<journal id>-<generation>"; the ranges changed since a change id are the ranges of
// every later generation. The journal is key=value lines (platform/lab/LabKeyValue.h):
//   id=<16 hex digits>   made when the journal is; a recreated disk never accepts an older disk's ids
//   first=<n>            the oldest generation still described (older change ids are no longer valid)
//   last=<n>             the disk's current generation (0: nothing written since the journal began)
//   gen.<n>=<offset>+<length>,...   the ranges generation n changed, or "*" for the whole disk
//   digest.<n>=<hex>     the SHA-256 of the image at generation n, once a snapshot's check asked for it
//                        (platform/lab/LabSnapshot.h)
// A journal is kept under kMaxJournalBytes by dropping its oldest generations; a generation too big to
// list its ranges records the whole disk.
//
// An image and its journal change together under the image's lock (LabFiles.h FileLock on the image
// path): a write records its ranges first and then writes the bytes (a crash in between only makes the
// next incremental read more), and a snapshot takes the image's journal under the same lock, so the
// change id of a snapshot always describes exactly the bytes of its view.
namespace lab {

constexpr size_t kMaxJournalBytes = 4 * 1024 * 1024;
// The writes of quarn-lab disk --percent go in chunks of at most this size, aligned to it, and add up
// to whole sectors.
constexpr uint64_t kSpreadChunkBytes = 1024 * 1024;
constexpr uint64_t kSpreadSectorBytes = 512;

using ByteRange = std::pair<uint64_t, uint64_t>;  // offset, length

struct ChangeGeneration {
  uint64_t number = 0;
  bool wholeDisk = false;
  std::vector<ByteRange> ranges;
};

struct ChangeJournal {
  std::string id;
  uint64_t first = 1;
  uint64_t last = 0;
  std::vector<ChangeGeneration> generations;  // first..last, in order
  std::map<uint64_t, std::string> digests;    // generation -> SHA-256 hex
};

bool ParseChangeJournal(const std::string& text, ChangeJournal& journal, std::string& error);
std::string FormatChangeJournal(const ChangeJournal& journal);
std::string ChangeJournalPath(const std::string& imagePath);

std::string FormatChangeId(const std::string& journalId, uint64_t generation);
bool ParseChangeId(const std::string& text, std::string& journalId, uint64_t& generation);
// The change id of the journal's current generation.
std::string CurrentChangeId(const ChangeJournal& journal);

// kMissing when the image has no journal (it was never written nor copied as a snapshot).
ReadResult ReadChangeJournal(const std::string& imagePath, ChangeJournal& journal, std::string& error);
// The change id of the image's current generation; empty when it has no readable journal.
std::string ImageChangeId(const std::string& imagePath);

// What changed after `changeId` up to the journal's current generation: sorted, merged byte ranges,
// or wholeDisk. False with the reason when the id is not one of this journal's valid generations
// (another disk, a dropped generation, a generation the journal has not reached).
bool ChangedSince(const ChangeJournal& journal, const std::string& changeId, std::vector<ByteRange>& ranges,
                  bool& wholeDisk, std::string& error);

// Adds the ranges as the journal's next generation (the whole disk when they are too many to list),
// then drops the oldest generations until the journal fits kMaxJournalBytes.
void AppendGeneration(ChangeJournal& journal, std::vector<ByteRange> ranges);

// Sorts and merges touching or overlapping ranges; empty ranges are dropped.
std::vector<ByteRange> MergeRanges(std::vector<ByteRange> ranges);

// Fills the bytes that lie at [offset, offset + size) of a seeded image: the same seed and offset
// always give the same bytes, whatever the pieces they are asked in.
void FillSeeded(char* data, size_t size, uint64_t seed, uint64_t offset);

// Writes seeded bytes to the ranges of the image as one new generation. With useSeed false the seed
// is the new generation's number, so every write changes the bytes it covers. False with the reason
// (a range outside the image, an unreadable journal, a failed write); the new change id otherwise.
bool WriteDiskRanges(const std::string& imagePath, const std::vector<ByteRange>& ranges, bool useSeed, uint64_t seed,
                     std::string& changeId, std::string& error);

// `percent` of a disk of diskBytes rounded up to whole 512-byte sectors (at most the disk).
uint64_t SpreadBytes(uint64_t diskBytes, uint32_t percent);
// Ranges of at most kSpreadChunkBytes spread evenly over a disk of diskBytes, each starting at a
// chunk's boundary, that add up to SpreadBytes; none for 0 percent.
std::vector<ByteRange> SpreadRanges(uint64_t diskBytes, uint32_t percent);

// The image's journal, begun (with a new id, not yet written) when it has none; false with the reason
// when it cannot be read. REQUIRES: the image's lock.
bool LoadOrBeginJournal(const std::string& imagePath, ChangeJournal& journal, bool& begun, std::string& error);

// A VM of the lab's hypervisor by name or GUID (any case), on any server; false when there is none.
bool FindLabVM(const std::string& nameOrGuid, std::string& server, VMDescription& vm);
// A VM of the lab's hypervisor by name or GUID whose description is there and does not read
// (UnreadableVM), on any server; false when there is none such.
bool FindUnreadableLabVM(const std::string& nameOrGuid, std::string& server, UnreadableVM& vm);

// A disk of a VM of the lab's hypervisor as a command names it: the VM by name or GUID, the disk by its
// number in the VM's description, its image's file name or the name it is backed up under alike.
struct VMDiskRef {
  std::string server;
  VMDescription vm;
  size_t position = 0;
  std::string imagePath;  // absolute
  // The name it is backed up and indexed under: a volume-level backup's (LabMount.h LabVolumeBackupName)
  // when the disk was named by it, else a disk-level backup's.
  std::string indexName;
  uint64_t sizeBytes = 0;
};
// False with the reason when the lab has no such VM, the VM no such disk, or the image lies outside
// its server's folder.
bool FindVMDisk(const std::string& vm, const std::string& disk, VMDiskRef& ref, std::string& error);

// The image of a disk of a VM of the lab's hypervisor, as FindVMDisk finds it. False with the reason.
bool FindVMDiskImage(const std::string& vm, const std::string& disk, std::string& imagePath, uint64_t& sizeBytes,
                     std::string& error);

// The folder of a file collection of a VM of the lab's hypervisor: the VM by name or GUID on any
// server, the collection by its folder's file name. False with the reason.
// The bytes of the regular files under a folder (symbolic links not followed); 0 for none.
uint64_t FolderBytes(const std::string& folder);

bool FindVMCollectionFolder(const std::string& vm, const std::string& collection, std::string& folder,
                            std::string& error);

}  // namespace lab
