#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/lab/LabFiles.h"

// The point-in-time copies of a job's shared shadow: one snapshot of several VMs taken at one moment.
// Its record is hypervisor/<server>/shadows/<job id>.shadow, key=value lines:
//   name (the shadow's first text), state (standing | deleted), fileCount,
//   file<i>.guid (the VM's GUID), file<i>.source (the image or configuration file, relative to the
//   server folder), file<i>.copy (its copy, or a disk's snapshot view (platform/lab/LabSnapshot.h), under
//   hypervisor/<server>/shadows/<job id>/<name>/)
// The record outlives the copies. A job has one standing shared shadow at most: a new one replaces the
// record (its older copies are removed with it).
namespace lab {

struct ShadowFile {
  std::string guid;
  std::string source;
  std::string copy;
};

struct SharedShadowRecord {
  std::string name;
  std::string state;  // "standing" or "deleted"
  std::vector<ShadowFile> files;
  std::map<std::string, std::string> other;
};

bool ParseSharedShadowRecord(const std::string& text, SharedShadowRecord& record, std::string& error);
std::string FormatSharedShadowRecord(const SharedShadowRecord& record);
// Empty when a name is not usable or the job id is not positive.
std::string SharedShadowRecordPath(const std::string& server, int64_t jobId);
// The folder of a shadow's copies; empty when a name is not usable.
std::string SharedShadowCopyDir(const std::string& server, int64_t jobId, const std::string& name);
bool WriteSharedShadowRecord(const std::string& server, int64_t jobId, const SharedShadowRecord& record,
                             std::string& error);
RecordRead ReadSharedShadowRecord(const std::string& server, int64_t jobId, SharedShadowRecord& record,
                                  std::string& error);
// Removes the job's record and leaves its copies: the hypervisor has lost track of a shadow that still
// stands. A record that is not there is no error; false with the reason when it stays.
bool RemoveSharedShadowRecord(const std::string& server, int64_t jobId, std::string& error);
// The copies of the VM's files in the job's standing shadow, by source; false when no standing shadow
// of the job holds the VM (any case of the GUID).
bool FindSharedShadowCopies(const std::string& server, int64_t jobId, const std::string& guid,
                            std::map<std::string, std::string>& copies);

}  // namespace lab
