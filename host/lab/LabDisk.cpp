// quarn-lab disk: changes a disk image of a VM as a guest write would, and records the change in the
// disk's change journal as a new generation (platform/lab/LabDisks.h).
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabKeyValue.h"

namespace labtool {

int Disk(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("disk"), parsed, error)) return UsageError(error, "disk");
  if (parsed.positional.size() != 4 || parsed.positional[3] != "write" || !parsed.passThrough.empty())
    return UsageError("disk takes <lab> <vm> <disk> write", "disk");
  if (!SelectLab(parsed.positional[0], error)) return UsageError(error, "disk");
  const bool spread = parsed.options.count("percent") > 0;
  if (spread == (parsed.options.count("offset") > 0 || parsed.options.count("bytes") > 0) ||
      (!spread && parsed.options.size() - parsed.options.count("seed") != 2))
    return UsageError("disk write takes either --offset and --bytes, or --percent", "disk");
  uint64_t seed = 0;
  const bool useSeed = parsed.options.count("seed") > 0;
  if (useSeed && !labkv::ParseUInt64(parsed.options["seed"], seed))
    return UsageError("--seed must be a number from 0", "disk");

  // A VM or disk the lab does not have is a bad argument; a VM whose description does not read is the
  // hypervisor's still, and nothing of it is written.
  lab::VMDiskRef disk;
  lab::UnreadableVM unreadable;
  std::string server;
  if (!lab::FindVMDisk(parsed.positional[1], parsed.positional[2], disk, error)) {
    if (lab::FindUnreadableLabVM(parsed.positional[1], server, unreadable))
      return Failure(unreadable.Text() + "; nothing was written");
    return UsageError(error, "disk");
  }
  const std::string& image = disk.imagePath;
  std::vector<lab::ByteRange> ranges;
  int64_t percent = 0;
  if (spread) {
    if (!NumberOption(parsed, "percent", 1, 100, percent, error)) return UsageError(error, "disk");
    ranges = lab::SpreadRanges(disk.sizeBytes, static_cast<uint32_t>(percent));
  } else {
    int64_t offset = 0, bytes = 0;
    if (!NumberOption(parsed, "offset", 0, INT64_MAX, offset, error) ||
        !NumberOption(parsed, "bytes", 1, INT64_MAX, bytes, error))
      return UsageError(error, "disk");
    ranges.emplace_back(static_cast<uint64_t>(offset), static_cast<uint64_t>(bytes));
  }
  std::string changeId;
  if (!lab::WriteDiskRanges(image, ranges, useSeed, seed, changeId, error)) return Failure(error);
  uint64_t written = 0;
  for (const lab::ByteRange& range : ranges) written += range.second;
  std::printf("wrote %llu bytes", static_cast<unsigned long long>(written));
  if (spread)
    std::printf(" (%lld%% of %llu bytes, rounded up to whole 512-byte sectors)", static_cast<long long>(percent),
                static_cast<unsigned long long>(disk.sizeBytes));
  std::printf(" in %s to %s; change id %s\n", Counted(ranges.size(), "range").c_str(), image.c_str(), changeId.c_str());
  return kExitOk;
}

}  // namespace labtool
