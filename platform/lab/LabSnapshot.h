#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/lab/LabDisks.h"

// Snapshots of the lab's disk images that cost what changes, not what exists: a real hypervisor's
// snapshot is instant, and the lab's must be too, or a job's figures measure the lab.
//
// A snapshot of an image is a view at a path V (in a mount's folder) made of two files:
//   V            a sparse file of the image's size holding, at their own offsets, the bytes the lab's
//                writer overwrote in the image since the snapshot was taken (holes elsewhere);
//   V.changes    the image's change journal as the snapshot took it (so the view's change id names
//                exactly the view's bytes), with "snapshot.image=<path>" and "snapshot.sizeBytes=<n>",
//                then one "kept.<offset>=<length>" line for each range of V that holds the image's old
//                bytes, appended as the writer keeps them;
// and a line "view=V" in the image's list of snapshots, "<image>.snapshots", which also holds a line
// "wanted=<generation>" for each generation a snapshot took whose digest no one has computed yet, and
// a line "leftout=<generation> <mount record>" for each mount whose left-out-aware digests are wanted. The
// list is changed in place under the image's lock (a line lost to a crash of the machine loses only
// a view of a job that crashed with it, or a digest a check asks for later). Taking and dropping a
// snapshot create and remove the two files and change that list: no byte of the image is copied,
// and nothing is hashed.
//
// The lab's writer (WriteDiskRanges) holds the image's lock while it copies, for every view on the
// list, the old bytes of each range it is about to overwrite that the view has not kept yet, and only
// then writes. A reader of a view holds the same lock shared for each read, so a read never sees a
// range half kept. Bytes changed by anything but the lab's writer reach every view of the image.
//
// The SHA-256 of what a snapshot took is asked for only after the job (quarn-lab verify, tests). It is
// computed from the view while the view is there, else from the image while the image is still at the
// snapshot's generation, and kept in the journal by generation. A writer about to leave a generation
// whose digest is wanted computes it first, so it can be had after the image moved on.
namespace lab {

// Takes a snapshot of the image with its view at viewPath (its folder must exist); a view left at that
// path by a snapshot that was never dropped is dropped first. changeId names the generation the view
// holds. False with the reason; nothing of the new snapshot is left then.
bool TakeSnapshot(const std::string& imagePath, const std::string& viewPath, std::string& changeId,
                  std::string& error);

// Drops the snapshot whose view is at viewPath: its files go, and the image's writer forgets the view
// at its next write. A path without a view is no error; false with the reason when a file stays.
bool DropSnapshot(const std::string& viewPath, std::string& error);

// Whether the path is the view of a snapshot (rather than an image or any other file).
bool IsSnapshotView(const std::string& path);

// For the lab's writer, under the image's lock, before it overwrites `ranges` of the image: keeps the
// old bytes of those ranges in every listed view that has not kept them yet, forgets views that are
// gone, and puts the digest of the journal's current generation in the journal when it is wanted.
// False with the reason; the image must not be written then.
bool KeepForSnapshots(const std::string& imagePath, ChangeJournal& journal, const std::vector<ByteRange>& ranges,
                      std::string& error);

// Asks that the mount record at recordPath be given, before the image leaves the generation of
// changeId, the digests of what the record's disks of this image took with their left-out sectors
// read as zeros (LabMount.h KeepLeftOutDigests), so that they can be checked after the image moved on.
// `left` is set, and nothing asked, when the image has left that generation already. False with the
// reason.
bool WantLeftOutDigests(const std::string& imagePath, const std::string& changeId, const std::string& recordPath,
                        bool& left, std::string& error);

// The SHA-256 (lower-case hex) of the bytes the snapshot of changeId took of the image, its view at
// viewPath or gone. False with the reason when neither the view nor the image's journal can tell any
// more (the disk was begun anew, or changed by something other than the lab's writer's generations).
bool SnapshotDigest(const std::string& imagePath, const std::string& viewPath, const std::string& changeId,
                    std::string& sha256, std::string& error);

// Test hooks on a guest write and a view's read of the same image, so that a test can catch the two at
// once without waiting on time. Installed for the whole process (null: none); the hooks must outlive
// every write and read that may call them.
struct SnapshotRaceHooksForTest {
  // WriteDiskRanges, under the image's lock, once the old bytes are kept in every view and the first
  // piece of the new bytes is in the image, before the rest: a test holds the write part-way here.
  std::function<void()> writePartDone;
  // A view's read (DiskReader::Read) that finds the image's lock held and is about to wait for it.
  std::function<void()> readWaits;
};
void SetSnapshotRaceHooksForTest(const SnapshotRaceHooksForTest* hooks);
// The hooks installed, or null; for the writer and the reader.
const SnapshotRaceHooksForTest* SnapshotRaceHooks();

// Reads a disk image, or the view of a snapshot of one, by its path. One reader is used by one thread
// at a time; readers of one image in several threads or processes do not disturb each other.
class DiskReader {
 public:
  DiskReader() = default;
  ~DiskReader();
  DiskReader(const DiskReader&) = delete;
  DiskReader& operator=(const DiskReader&) = delete;

  // False with errno's value and the reason when the path is no regular file, or a view whose image
  // cannot be opened.
  bool Open(const std::string& path, int& errorNumber, std::string& error);
  void Close();
  bool IsOpen() const { return imageFd_ >= 0; }
  bool IsView() const { return viewFd_ >= 0; }
  // The disk's size: a view's is its image's at the snapshot.
  uint64_t Size() const { return sizeBytes_; }
  // A view's change id; empty for an image.
  const std::string& ChangeId() const { return changeId_; }

  // Reads up to `size` bytes at `offset`: the count read, short only at the end of the disk (a view
  // reads zeros where its image has since become shorter), or -1 with errno set.
  ssize_t Read(char* data, size_t size, uint64_t offset);
  // Advice to the kernel: the disk is read once in order / the range is read soon. Speed only.
  void AdviseSequential();
  void AdviseWillNeed(uint64_t offset, uint64_t length);

 private:
  // Picks up the ranges the writer kept since the last look. REQUIRES: the image's lock, shared.
  bool LoadKept();
  ssize_t ReadView(char* data, size_t size, uint64_t offset);

  int imageFd_ = -1;
  int viewFd_ = -1;    // a view's own file; -1 for an image
  int recordFd_ = -1;  // a view's journal, read on as the writer adds kept ranges to it
  int lockFd_ = -1;    // the image's lock file, taken shared around each read of a view
  uint64_t sizeBytes_ = 0;
  std::string changeId_;
  uint64_t recordRead_ = 0;    // bytes of the view's journal taken in
  std::string partialLine_;    // its last line while that has no end yet
  std::vector<ByteRange> kept_;  // sorted, merged
};

}  // namespace lab
