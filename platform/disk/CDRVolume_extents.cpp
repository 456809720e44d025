// The runs of clusters that hold an NTFS volume's $MFT and its directory indices, reported to the
// caller's callback (live-browse prefetch extents).
#include <deque>
#include <set>

#include "platform/disk/CDRVolume.h"

namespace {
constexpr int kErrStopped = -12;
// Most directories walked in one volume: a damaged index that names directories without end must not
// keep the walk going.
constexpr size_t kMaxDirectories = 1 << 22;
}  // namespace

void CDRVolume::SetMFTExtentCallback(ExtentCallback callback) { extentCallback_ = std::move(callback); }

void CDRVolume::SetCheckForStopProcessingFunc(std::function<bool()> check) { stopCheck_ = std::move(check); }

void CDRVolume::SetQuitFlagCallback(QuitCallback callback, int firstArg, void* secondArg) {
  quitCallback_ = callback;
  quitFirstArg_ = firstArg;
  quitSecondArg_ = secondArg;
}

bool CDRVolume::StopAsked() {
  if (stopCheck_ && stopCheck_()) return true;
  // The layout's quit-flag callback answers through its third argument.
  bool quit = false;
  if (quitCallback_ != nullptr) quitCallback_(quitFirstArg_, quitSecondArg_, &quit);
  return quit;
}

void CDRVolume::ReportRuns(const std::vector<guestdisk::NtfsVolume::Run>& runs) {
  if (!extentCallback_ || !ntfs_) return;
  for (const guestdisk::NtfsVolume::Run& run : runs)
    if (!run.sparse && run.length > 0)
      extentCallback_(ntfs_->ClusterSize(), ntfs_->BytesPerSector(), run.lcn, run.length);
}

int CDRVolume::ReportMftRuns() {
  guestdisk::NtfsVolume::Attribute mft;
  const int code = ntfs_->ReadAttribute(guestdisk::NtfsVolume::kRecordMft, guestdisk::NtfsVolume::kAttrData, u"", mft);
  if (code != 0) return Fail(code, ntfs_->LastError());
  ReportRuns(mft.runs);
  return 0;
}

int CDRVolume::ProcessDirectoryIndices() {
  if (!ntfs_) return Fail(kErrNotOpen, "the volume is not open");
  std::set<uint64_t> seen = {guestdisk::NtfsVolume::kRecordRoot};
  std::deque<uint64_t> pending = {guestdisk::NtfsVolume::kRecordRoot};
  while (!pending.empty()) {
    if (StopAsked()) return Fail(kErrStopped, "the walk of the directory indices was stopped");
    const uint64_t directory = pending.front();
    pending.pop_front();
    guestdisk::NtfsVolume::Attribute index;
    int code = ntfs_->ReadAttribute(directory, guestdisk::NtfsVolume::kAttrIndexAllocation, u"$I30", index);
    // A small directory's index lies in its record alone.
    if (code == 0 && !index.resident) ReportRuns(index.runs);
    else if (code != 0 && code != guestdisk::NtfsVolume::kErrNotFound) return Fail(code, ntfs_->LastError());
    std::vector<guestdisk::NtfsVolume::DirectoryEntry> entries;
    code = ntfs_->ListDirectory(directory, entries);
    if (code != 0) return Fail(code, ntfs_->LastError());
    for (const auto& entry : entries) {
      if (!entry.isDirectory || !seen.insert(entry.record).second) continue;
      if (seen.size() > kMaxDirectories) return Fail(guestdisk::NtfsVolume::kErrUnsupported, "too many directories");
      pending.push_back(entry.record);
    }
  }
  return 0;
}
