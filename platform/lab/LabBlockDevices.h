#pragma once
#include <string>
#include <vector>

// The lab's stand-in for lsblk. A real lsblk probes block devices only, and a lab disk is a file (an
// image or a snapshot's view), so a lab job finds this one first on its PATH: <lab>/bin/lsblk, a link
// to the lab tool, which answers as lsblk when started by that name. It reads the disk's own bytes
// (its partition table and the signatures at the start of each partition) and prints what
// "lsblk -o FSTYPE -a -r -n -f DEVICE" prints for it: a line for the whole disk (its file system when
// it has no partition table, else an empty line), then one line per partition in table order.
namespace lab {

constexpr char kBlockDeviceToolName[] = "lsblk";

// The lines described above for the disk at `path`; false with the reason when it cannot be read or
// its partition table is damaged.
bool DescribeFileSystems(const std::string& path, std::string& text, std::string& error);

// lsblk's run: argv as the program got it (the device is its last argument). The output, and the exit
// code: 0, 32 when the device cannot be found or read (as lsblk says of a device it cannot use).
int RunBlockDeviceTool(const std::vector<std::string>& argv, std::string& output);

// Links the lab's tools into <lab>/bin to `program` (the lab tool); the folder to put first on a job's
// PATH. False with the reason.
bool InstallLabTools(const std::string& program, std::string& folder, std::string& error);

}  // namespace lab
