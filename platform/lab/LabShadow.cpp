#include "platform/lab/LabShadow.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/lab/Lab.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabKeyValue.h"

namespace lab {
namespace {

constexpr int64_t kMaxShadowFiles = 1 << 20;

using labkv::Take;

}  // namespace

bool ParseSharedShadowRecord(const std::string& text, SharedShadowRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  SharedShadowRecord parsed;
  parsed.name = Take(values, "name");
  parsed.state = Take(values, "state");
  int64_t count = 0;
  if (!labkv::TakeNumber(values, "fileCount", 0, kMaxShadowFiles, count, error)) return false;
  for (int64_t i = 0; i < count; ++i) {
    const std::string prefix = "file" + std::to_string(i) + ".";
    ShadowFile file;
    file.guid = Take(values, prefix + "guid");
    file.source = Take(values, prefix + "source");
    file.copy = Take(values, prefix + "copy");
    parsed.files.push_back(file);
  }
  parsed.other = values;
  record = parsed;
  return true;
}

std::string FormatSharedShadowRecord(const SharedShadowRecord& record) {
  std::map<std::string, std::string> values = record.other;
  values["name"] = record.name;
  values["state"] = record.state;
  values["fileCount"] = std::to_string(record.files.size());
  for (size_t i = 0; i < record.files.size(); ++i) {
    const std::string prefix = "file" + std::to_string(i) + ".";
    values[prefix + "guid"] = record.files[i].guid;
    values[prefix + "source"] = record.files[i].source;
    values[prefix + "copy"] = record.files[i].copy;
  }
  return labkv::Format(values);
}

std::string SharedShadowRecordPath(const std::string& server, int64_t jobId) {
  const std::string dir = ServerDir(server);
  if (dir.empty() || jobId <= 0) return std::string();
  return dir + "/shadows/" + std::to_string(jobId) + ".shadow";
}

std::string SharedShadowCopyDir(const std::string& server, int64_t jobId, const std::string& name) {
  const std::string dir = ServerDir(server);
  if (dir.empty() || jobId <= 0 || !IsSafeComponent(name)) return std::string();
  return dir + "/shadows/" + std::to_string(jobId) + "/" + name;
}

bool WriteSharedShadowRecord(const std::string& server, int64_t jobId, const SharedShadowRecord& record,
                             std::string& error) {
  return labkv::WriteRecordFile(SharedShadowRecordPath(server, jobId), record, FormatSharedShadowRecord,
                                ParseSharedShadowRecord, error);
}

RecordRead ReadSharedShadowRecord(const std::string& server, int64_t jobId, SharedShadowRecord& record,
                                  std::string& error) {
  const std::string path = SharedShadowRecordPath(server, jobId);
  if (path.empty()) return RecordRead::kMissing;
  return ReadRecordFile(path, record, error, ParseSharedShadowRecord);
}

bool RemoveSharedShadowRecord(const std::string& server, int64_t jobId, std::string& error) {
  const std::string path = SharedShadowRecordPath(server, jobId);
  if (path.empty()) {
    error = "no shadow record for job " + std::to_string(jobId) + " of server [" + server + "]";
    return false;
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
  }
  SyncFolder(path);
  return true;
}

bool FindSharedShadowCopies(const std::string& server, int64_t jobId, const std::string& guid,
                            std::map<std::string, std::string>& copies) {
  SharedShadowRecord record;
  std::string error;
  if (ReadSharedShadowRecord(server, jobId, record, error) != RecordRead::kRead || record.state != "standing")
    return false;
  std::map<std::string, std::string> found;
  for (const ShadowFile& file : record.files) {
    if (strcasecmp(file.guid.c_str(), guid.c_str()) == 0) found[file.source] = file.copy;
  }
  if (found.empty()) return false;
  copies.swap(found);
  return true;
}

}  // namespace lab
