#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk/LVMTypes.h"
#include "platform/disk/NtfsVolume.h"

class CLVM;

// The volume library's message table: the text of error code -n is entry n (n from 1 to 30), 50 bytes
// an entry.
extern const char _ErrMsg[31][50];

// A guest NTFS volume read through the guest volume library (CLVM), read only: the page file's
// clusters, the free clusters from $Bitmap, the used space. Results are 0 or a negative code whose
// text is _ErrMsg[-code]; LastError says more.
//
// Fault table operation: "lvm.OpenVolume" (selectors vm = the VM id text of the CLVM, disk = the
// volume's name); a rule's code is returned negated when positive.
class CDRVolume {
 public:
  static constexpr int kErrNotOpen = guestdisk::NtfsVolume::kErrNotOpen;

  CDRVolume();
  ~CDRVolume();
  CDRVolume(const CDRVolume&) = delete;
  CDRVolume& operator=(const CDRVolume&) = delete;

  // Opens the NTFS of the volume. The flag is kept for the library's callers (1: the page-file
  // search, true: metadata extents); it changes nothing here.
  int OpenVolume(CLVM* clvm, LVM_Volume_t* volume, int flags = 0);
  void CloseVolume();
  // The page file ("pagefile.sys" in the root folder): its size in bytes and its clusters as
  // ranges of volume sectors. -5 (size 0) when there is none; -6 when it is compressed, sparse,
  // encrypted or resident.
  int OpenPageFile(uint64_t& size, std::vector<VMInfoStructs::SectorRange>& ranges);
  // The free clusters as ranges of volume sectors: never a sector past the last cluster (where the
  // backup boot sector lies).
  int GetFreeSectorsRegions(std::vector<VMInfoStructs::SectorRange>& ranges);
  int GetUsedSpace(uint64_t& used);
  const std::string& LastError() const { return error_; }
  // ---- Runs of the volume's metadata (CDRVolume_extents.cpp) ----
  // Called for each run of clusters: cluster size (bytes), bytes per sector, first cluster, clusters.
  using ExtentCallback = std::function<void(uint64_t, uint32_t, uint64_t, uint64_t)>;
  using QuitCallback = int (*)(int, void*, void*);
  // With a callback set, OpenVolume reports the $MFT's runs once the volume is open.
  void SetMFTExtentCallback(ExtentCallback callback);
  // Asked between directories of ProcessDirectoryIndices: true stops the walk (-12).
  void SetCheckForStopProcessingFunc(std::function<bool()> check);
  // The layout's quit-flag callback: (firstArg, secondArg, bool* quit).
  void SetQuitFlagCallback(QuitCallback callback, int firstArg, void* secondArg);
  // Reports the runs of every directory's index ($INDEX_ALLOCATION "$I30"), from the root folder
  // down, each directory once. 0, -12 stopped, or the reader's code.
  int ProcessDirectoryIndices();

  // The NTFS reader of the open volume (null when not open), for callers that read further.
  guestdisk::NtfsVolume* Ntfs() { return ntfs_.get(); }

 private:
  int Fail(int code, const std::string& text);
  // Byte ranges of the volume as ranges of its sectors (whole sectors only).
  void AsSectorRanges(const std::vector<std::pair<uint64_t, uint64_t>>& bytes,
                      std::vector<VMInfoStructs::SectorRange>& ranges) const;

  bool StopAsked();
  void ReportRuns(const std::vector<guestdisk::NtfsVolume::Run>& runs);
  int ReportMftRuns();

  ExtentCallback extentCallback_;
  std::function<bool()> stopCheck_;
  QuitCallback quitCallback_ = nullptr;
  int quitFirstArg_ = 0;
  void* quitSecondArg_ = nullptr;
  CLVM* clvm_ = nullptr;
  LVM_Volume_t* volume_ = nullptr;
  std::unique_ptr<guestdisk::NtfsVolume> ntfs_;
  std::string error_;
};
