#include "platform/lab/LabIndex.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/CPxCRC32.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/FXString.h"

namespace lab {
namespace {

const char* const kIndexNamesFile = "vmnames.txt";
const char* const kJobsFolder = "jobs";
const char* const kVMsFolder = "vms";
const char* const kNamesFolder = "names";
const char* const kVMKeyPrefix = "vm.";

// Numbered names of a folder ("<n>" or "<n><suffix>"), newest first.
std::vector<int64_t> NumberedNames(const std::string& folder, const std::string& suffix, bool folders) {
  std::vector<std::string> names;
  std::vector<int64_t> ids;
  if (folder.empty()) return ids;
  CPxDirectory::List(folder, names);
  for (const std::string& name : names) {
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    int64_t id = 0;
    if (!labkv::ParseInt64(name.substr(0, name.size() - suffix.size()), id) || id <= 0) continue;
    if (IsDirectory(folder + "/" + name) == folders) ids.push_back(id);
  }
  std::sort(ids.rbegin(), ids.rend());
  return ids;
}

std::string JobRecordPath(const std::string& subclientGuid, int64_t jobId, const char* suffix, std::string& error) {
  const std::string folder = IndexSubclientDir(subclientGuid, error);
  if (folder.empty()) return folder;
  if (jobId <= 0) {
    error = "job id " + std::to_string(jobId) + " has no index";
    return std::string();
  }
  return folder + "/" + kJobsFolder + "/" + std::to_string(jobId) + suffix;
}

std::string VMEntriesPath(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                          std::string& error) {
  const std::string folder = IndexVMDir(subclientGuid, vmGuid, error);
  if (folder.empty()) return folder;
  if (jobId <= 0) {
    error = "job id " + std::to_string(jobId) + " has no index";
    return std::string();
  }
  return folder + "/" + std::to_string(jobId) + ".idx";
}

// Creates the folder a record of the cache is kept in; false with the reason.
bool MakeFolderOf(const std::string& path, std::string& error) {
  if (MakeDirs(path.substr(0, path.rfind('/')))) return true;
  error = "cannot create the folder of " + path;
  return false;
}

// An entry is told apart by its first field: false with the reason when that is missing.
bool HasKind(const std::vector<std::string>& fields, std::string& error) {
  if (!fields.empty() && !fields[0].empty()) return true;
  error = "an index entry needs its kind";
  return false;
}

bool AppendEntry(const std::string& path, const std::vector<std::string>& fields, std::string& error) {
  if (!HasKind(fields, error)) return false;
  const size_t slash = path.rfind('/');
  if (!MakeDirs(path.substr(0, slash)) || !AppendLineLocked(path, FormatIndexEntry(fields))) {
    error = "cannot add an entry to " + path;
    return false;
  }
  return true;
}

// The entries of a text of lines; `whole`: every line must be an entry.
// With a kind, only the entries of that kind are parsed (a sealed record's other lines are taken on its
// check line).
bool ParseEntries(const std::string& text, bool whole, std::vector<std::vector<std::string>>& entries,
                  const std::string& kind = std::string()) {
  entries.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (!kind.empty() && (end - start <= kind.size() || text.compare(start, kind.size(), kind) != 0 ||
                          text[start + kind.size()] != '\t')) {
      start = end + 1;
      continue;
    }
    std::vector<std::string> fields;
    if (ParseIndexEntry(text.data() + start, end - start, fields))
      entries.push_back(std::move(fields));
    else if (whole)
      return false;
    start = end + 1;
  }
  return true;
}

// A VM's record ends in a line of its own kind holding the check value of every byte before it, so
// that a record cut short or changed reads as damaged instead of as a shorter or other truth.
const char* const kCheckKind = "check";

std::string CheckLine(const std::string& body) {
  CPxCRC32 crc;
  crc.UpdateCRC32(body.data(), body.size());
  char line[32];
  std::snprintf(line, sizeof line, "%s\t%08x\n", kCheckKind, crc.GetCRC32());
  return line;
}

// The record's lines before its check line; false when the check line is missing or does not match.
bool CheckedBody(const std::string& text, std::string& body) {
  if (text.empty() || text.back() != '\n') return false;
  const size_t lineEnd = text.size() - 1;
  const size_t previous = lineEnd == 0 ? std::string::npos : text.rfind('\n', lineEnd - 1);
  const size_t lineStart = previous == std::string::npos ? 0 : previous + 1;
  body = text.substr(0, lineStart);
  return text.compare(lineStart, std::string::npos, CheckLine(body)) == 0;
}

std::string Damaged(const std::string& path) {
  return path + " is damaged: its check value does not match its entries";
}

bool ReadEntries(const std::string& path, std::vector<std::vector<std::string>>& entries, std::string& error) {
  entries.clear();
  std::string text;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kRead:
      break;
  }
  // A line cut short by a crash while it was appended is not an entry.
  ParseEntries(text, false, entries);
  return true;
}

// The entry of a VM name in the subclient's map of names to GUIDs: the name with every byte that could
// not stand in a file name as %XX, and a long one cut and told apart by its hash; the entry holds the
// GUID and the whole name, so a cut name never answers for another. Empty without a lab.
std::string NameEntryPath(const std::string& subclientGuid, const std::string& name) {
  std::string error;
  const std::string folder = IndexSubclientDir(subclientGuid, error);
  if (folder.empty() || name.empty()) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string file;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (std::isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0)) {
      file += static_cast<char>(c);
    } else {
      file += '%';
      file += kHex[c >> 4];
      file += kHex[c & 15];
    }
  }
  if (file.size() > 160) {
    uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ULL;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    file = file.substr(0, 160) + suffix;
  }
  return folder + "/" + kNamesFolder + "/" + file;
}

// Keeps the VM's name in the map, so the VM is found by its name without reading any other VM's entries.
bool RecordVMName(const std::string& subclientGuid, const std::string& vmGuid,
                  const std::vector<std::vector<std::string>>& entries, std::string& error) {
  for (const auto& fields : entries) {
    if (fields.size() != 2 || fields[0] != "name") continue;
    const std::string path = NameEntryPath(subclientGuid, fields[1]);
    const std::string text = FormatIndexEntry({FXString::ToLower(vmGuid), fields[1]}) + "\n";
    std::string now, ignored;
    if (path.empty() || (ReadOptionalFile(path, kMaxRecordBytes, now, ignored) == ReadResult::kRead && now == text))
      continue;
    if (!MakeFolderOf(path, error) || !WriteFileAtomic(path, text, error)) return false;
  }
  return true;
}

}  // namespace

std::string IndexSubclientDir(const std::string& subclientGuid, std::string& error) {
  if (Root().empty()) {
    error = "the index cache is not reachable (no lab)";
    return std::string();
  }
  if (!IsSafeComponent(subclientGuid)) {
    error = "the subclient GUID [" + subclientGuid + "] cannot name a cache folder";
    return std::string();
  }
  return IndexDir() + "/" + subclientGuid;
}

std::string IndexJobDir(const std::string& subclientGuid, int64_t jobId, std::string& error) {
  std::string folder = IndexSubclientDir(subclientGuid, error);
  if (folder.empty()) return folder;
  if (jobId <= 0) {
    error = "job id " + std::to_string(jobId) + " cannot name a cache folder";
    return std::string();
  }
  return folder + "/" + std::to_string(jobId);
}

std::vector<std::string> IndexJobDirs(const std::string& subclientGuid) {
  std::string error;
  const std::string folder = IndexSubclientDir(subclientGuid, error);
  std::vector<std::string> folders;
  for (int64_t id : NumberedNames(folder, "", true)) folders.push_back(folder + "/" + std::to_string(id));
  return folders;
}

std::vector<int64_t> IndexFileJobs(const std::string& subclientGuid) {
  std::string error;
  return NumberedNames(IndexSubclientDir(subclientGuid, error), "", true);
}

bool ReadIndexVMNames(const std::string& subclientGuid, std::vector<std::string>& names, std::string& error) {
  names.clear();
  const std::string folder = IndexSubclientDir(subclientGuid, error);
  if (folder.empty()) return false;
  std::string content;
  switch (ReadOptionalFile(folder + "/" + kIndexNamesFile, kMaxRecordBytes, content, error)) {
    case ReadResult::kMissing:
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kRead:
      break;
  }
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) names.push_back(line);
    start = end + 1;
  }
  return true;
}

// ---- Job records ----

bool ParseIndexJobRecord(const std::string& text, IndexJobRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  IndexJobRecord parsed;
  for (const auto& value : values) {
    const std::string& key = value.first;
    int64_t number = 0;
    if (key.compare(0, 3, kVMKeyPrefix) == 0 && key.size() > 3) {
      if (!labkv::ParseInt64InRange(value.second, 0, 1, number)) {
        error = "the mark of [" + key + "] is not 0 or 1";
        return false;
      }
      parsed.vms[FXString::ToLower(key.substr(3))] = number == 1;
    } else if (key == "level" || key == "finalized" || key == "fixedLengthExtentNames") {
      const int64_t max = key == "level" ? 0x7FFFFFFF : 1;
      if (!labkv::ParseInt64InRange(value.second, 0, max, number)) {
        error = "the value of [" + key + "] is not a number of 0 to " + std::to_string(max);
        return false;
      }
      if (key == "level") parsed.level = static_cast<int>(number);
      if (key == "finalized") parsed.finalized = number == 1;
      if (key == "fixedLengthExtentNames") parsed.fixedLengthExtentNames = number == 1;
    }
  }
  record = parsed;
  return true;
}

std::string FormatIndexJobRecord(const IndexJobRecord& record) {
  std::map<std::string, std::string> values;
  values["level"] = std::to_string(record.level);
  values["finalized"] = record.finalized ? "1" : "0";
  values["fixedLengthExtentNames"] = record.fixedLengthExtentNames ? "1" : "0";
  for (const auto& vm : record.vms) values[kVMKeyPrefix + vm.first] = vm.second ? "1" : "0";
  return labkv::Format(values);
}

bool ReadIndexJobRecord(const std::string& subclientGuid, int64_t jobId, IndexJobRecord& record, bool& exists,
                        std::string& error) {
  exists = false;
  const std::string path = JobRecordPath(subclientGuid, jobId, ".conf", error);
  if (path.empty()) return false;
  std::string text;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      record = IndexJobRecord();
      error.clear();
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kRead:
      break;
  }
  if (!ParseIndexJobRecord(text, record, error)) return false;
  exists = true;
  return true;
}

bool UpdateIndexJobRecord(const std::string& subclientGuid, int64_t jobId,
                          const std::function<bool(IndexJobRecord&, std::string&)>& change, std::string& error) {
  const std::string path = JobRecordPath(subclientGuid, jobId, ".conf", error);
  if (path.empty()) return false;
  if (!MakeFolderOf(path, error)) return false;
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        IndexJobRecord record;
        if (exists && !ParseIndexJobRecord(text, record, why)) return false;
        if (!change(record, why)) return false;
        for (const auto& vm : record.vms) {
          if (vm.first.empty() || vm.first.find_first_of("=\n\r") != std::string::npos ||
              labkv::Trim(vm.first) != vm.first) {
            why = "the VM GUID [" + vm.first + "] cannot be kept in an index record";
            return false;
          }
        }
        text = FormatIndexJobRecord(record);
        return true;
      },
      error);
}

std::vector<int64_t> IndexJobIds(const std::string& subclientGuid) {
  std::string error;
  const std::string folder = IndexSubclientDir(subclientGuid, error);
  return folder.empty() ? std::vector<int64_t>() : NumberedNames(folder + "/" + kJobsFolder, ".conf", false);
}

int64_t LastSuccessfulFullJob(const std::string& subclientGuid) {
  for (int64_t jobId : IndexJobIds(subclientGuid)) {
    IndexJobRecord record;
    bool exists = false;
    std::string error;
    if (ReadIndexJobRecord(subclientGuid, jobId, record, exists, error) && exists && record.finalized &&
        record.level == 1)
      return jobId;
  }
  return 0;
}

bool RecordIndexChildJob(const std::string& subclientGuid, int64_t childJobId, int64_t parentJobId,
                         std::string& error) {
  const std::string path = JobRecordPath(subclientGuid, childJobId, ".parent", error);
  if (path.empty()) return false;
  if (parentJobId <= 0 || parentJobId == childJobId) {
    error = "job " + std::to_string(parentJobId) + " cannot be the job of child job " + std::to_string(childJobId);
    return false;
  }
  if (IndexParentJob(subclientGuid, childJobId) == parentJobId) return true;
  if (!MakeFolderOf(path, error)) return false;
  return WriteFileAtomic(path, std::to_string(parentJobId) + "\n", error);
}

int64_t IndexParentJob(const std::string& subclientGuid, int64_t jobId) {
  std::string error, text;
  const std::string path = JobRecordPath(subclientGuid, jobId, ".parent", error);
  int64_t parent = 0;
  if (path.empty() || ReadOptionalFile(path, 64, text, error) != ReadResult::kRead ||
      !labkv::ParseInt64(labkv::Trim(text.substr(0, text.find('\n'))), parent) || parent <= 0)
    return jobId;
  return parent;
}

bool AppendIndexJobEntry(const std::string& subclientGuid, int64_t jobId, const std::vector<std::string>& fields,
                         std::string& error) {
  const std::string path = JobRecordPath(subclientGuid, jobId, ".log", error);
  return !path.empty() && AppendEntry(path, fields, error);
}

std::vector<std::vector<std::string>> ReadIndexJobEntries(const std::string& subclientGuid, int64_t jobId) {
  std::vector<std::vector<std::string>> entries;
  std::string error;
  const std::string path = JobRecordPath(subclientGuid, jobId, ".log", error);
  if (!path.empty()) ReadEntries(path, entries, error);
  return entries;
}

// ---- VMs ----

std::string IndexVMDir(const std::string& subclientGuid, const std::string& vmGuid, std::string& error) {
  const std::string folder = IndexSubclientDir(subclientGuid, error);
  if (folder.empty()) return folder;
  const std::string name = FXString::ToLower(vmGuid);
  if (!IsSafeComponent(name)) {
    error = "the VM GUID [" + vmGuid + "] cannot name a cache folder";
    return std::string();
  }
  return folder + "/" + kVMsFolder + "/" + name;
}

std::string IndexVMJobDir(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                          std::string& error) {
  const std::string folder = IndexVMDir(subclientGuid, vmGuid, error);
  if (folder.empty()) return folder;
  if (jobId <= 0) {
    error = "job id " + std::to_string(jobId) + " cannot name a cache folder";
    return std::string();
  }
  return folder + "/" + std::to_string(jobId);
}

std::vector<int64_t> IndexVMFileJobs(const std::string& subclientGuid, const std::string& vmGuid) {
  std::string error;
  return NumberedNames(IndexVMDir(subclientGuid, vmGuid, error), "", true);
}

std::vector<int64_t> IndexVMEntryJobs(const std::string& subclientGuid, const std::string& vmGuid) {
  std::string error;
  return NumberedNames(IndexVMDir(subclientGuid, vmGuid, error), ".idx", false);
}

int64_t IndexLastFullJobOfVM(const std::string& subclientGuid, const std::string& vmGuid) {
  std::vector<int64_t> jobs = IndexVMEntryJobs(subclientGuid, vmGuid);
  // Newest first: the last full is usually a few jobs back.
  std::sort(jobs.rbegin(), jobs.rend());
  for (int64_t job : jobs) {
    std::vector<std::vector<std::string>> entries;
    std::string error;
    if (!ReadIndexVMEntries(subclientGuid, vmGuid, job, entries, error)) continue;
    for (const auto& entry : entries) {
      if (entry.size() == 2 && entry[0] == "level") {
        if (entry[1] == "1") return job;
        break;
      }
    }
  }
  return 0;
}

std::vector<int64_t> IndexJobsToRead(const std::string& subclientGuid, const std::vector<int64_t>& jobs,
                                     int64_t jobId) {
  std::vector<int64_t> chosen;
  if (jobId != 0) {
    if (std::find(jobs.begin(), jobs.end(), jobId) != jobs.end()) chosen.push_back(jobId);
    return chosen;
  }
  const int64_t lastFull = LastSuccessfulFullJob(subclientGuid);
  for (int64_t job : jobs)
    if (job >= lastFull) chosen.push_back(job);
  return chosen;
}

bool AppendIndexVMEntry(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                        const std::vector<std::string>& fields, std::string& error) {
  const std::string path = VMEntriesPath(subclientGuid, vmGuid, jobId, error);
  if (path.empty() || !HasKind(fields, error) || !MakeFolderOf(path, error)) return false;
  // The record is sealed whole: the entry goes in before its check line, which is made anew.
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        std::string body;
        if (exists && !CheckedBody(text, body)) {
          why = Damaged(path);
          return false;
        }
        AppendIndexEntry(fields, body);
        body += '\n';
        text = body + CheckLine(body);
        return true;
      },
      error) &&
         RecordVMName(subclientGuid, vmGuid, {fields}, error);
}

bool WriteIndexVMEntries(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                         const std::vector<std::vector<std::string>>& entries, std::string& error) {
  const std::string path = VMEntriesPath(subclientGuid, vmGuid, jobId, error);
  if (path.empty()) return false;
  std::string text;
  for (const auto& fields : entries) {
    if (!HasKind(fields, error)) return false;
    AppendIndexEntry(fields, text);
    text += '\n';
  }
  if (!MakeFolderOf(path, error)) return false;
  return WriteFileAtomic(path, text + CheckLine(text), error) && RecordVMName(subclientGuid, vmGuid, entries, error);
}

bool ReadIndexVMEntries(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                        std::vector<std::vector<std::string>>& entries, std::string& error) {
  return ReadIndexVMEntriesOfKind(subclientGuid, vmGuid, jobId, std::string(), entries, error);
}

bool IndexHoldsVMEntries(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId) {
  std::string error;
  const std::string path = VMEntriesPath(subclientGuid, vmGuid, jobId, error);
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool ForgetIndexVMEntries(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                          std::string& error) {
  const std::string path = VMEntriesPath(subclientGuid, vmGuid, jobId, error);
  if (path.empty()) return false;
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
  }
  // Durable before anything is written in its place: a record that came back after a crash would stand
  // for a backup that no longer does.
  if (!SyncFolder(path)) {
    error = "cannot sync the folder of " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool ReadIndexVMEntriesOfKind(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                              const std::string& kind, std::vector<std::vector<std::string>>& entries,
                              std::string& error) {
  entries.clear();
  const std::string path = VMEntriesPath(subclientGuid, vmGuid, jobId, error);
  if (path.empty()) return false;
  std::string text, body;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kRead:
      break;
  }
  if (!CheckedBody(text, body) || !ParseEntries(body, true, entries, kind)) {
    entries.clear();
    error = Damaged(path);
    return false;
  }
  return true;
}

std::vector<std::string> IndexVMs(const std::string& subclientGuid) {
  std::string error;
  const std::string folder = IndexSubclientDir(subclientGuid, error);
  std::vector<std::string> names, vms;
  if (folder.empty()) return vms;
  CPxDirectory::List(folder + "/" + kVMsFolder, names);
  for (const std::string& name : names)
    if (name[0] != '.' && IsDirectory(folder + "/" + kVMsFolder + "/" + name)) vms.push_back(name);
  std::sort(vms.begin(), vms.end());
  return vms;
}

std::vector<std::string> IndexSubclients() {
  std::vector<std::string> names, subclients;
  if (Root().empty()) return subclients;
  CPxDirectory::List(IndexDir(), names);
  for (const std::string& name : names)
    if (name[0] != '.' && IsSafeComponent(name) && IsDirectory(IndexDir() + "/" + name)) subclients.push_back(name);
  std::sort(subclients.begin(), subclients.end());
  return subclients;
}

std::string FindIndexVM(const std::string& subclientGuid, const std::string& guidOrName) {
  std::string error;
  const std::string folder = IndexSubclientDir(subclientGuid, error);
  if (folder.empty() || guidOrName.empty()) return std::string();
  const std::string vmsFolder = folder + "/" + kVMsFolder;
  const std::string lower = FXString::ToLower(guidOrName);
  if (IsSafeComponent(lower) && IsDirectory(vmsFolder + "/" + lower)) return lower;
  std::string text;
  std::vector<std::string> entry;
  const std::string path = NameEntryPath(subclientGuid, guidOrName);
  if (path.empty() || ReadOptionalFile(path, kMaxRecordBytes, text, error) != ReadResult::kRead ||
      !ParseIndexEntry(text.substr(0, text.find('\n')), entry) || entry.size() != 2 || entry[1] != guidOrName ||
      !IsSafeComponent(entry[0]) || !IsDirectory(vmsFolder + "/" + entry[0]))
    return std::string();
  return entry[0];
}

// ---- Entries ----

namespace {

// Index entries carry whole metadata texts of a megabyte and more, so both directions copy the runs
// between the few characters that need escaping rather than going character by character.
const char* NextSpecial(const char* at, const char* end) {
  for (; at < end; ++at)
    if (*at == '\\' || *at == '\t' || *at == '\n' || *at == '\r') return at;
  return end;
}

void AppendEscaped(const std::string& field, std::string& line) {
  const char* at = field.data();
  const char* const end = at + field.size();
  while (at < end) {
    const char* special = NextSpecial(at, end);
    line.append(at, special);
    if (special == end) break;
    switch (*special) {
      case '\\': line += "\\\\"; break;
      case '\t': line += "\\t"; break;
      case '\n': line += "\\n"; break;
      default: line += "\\r"; break;
    }
    at = special + 1;
  }
}

}  // namespace

void AppendIndexEntry(const std::vector<std::string>& fields, std::string& text) {
  size_t bytes = fields.size();
  for (const std::string& field : fields) bytes += field.size();
  text.reserve(text.size() + bytes + bytes / 16);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) text += '\t';
    AppendEscaped(fields[i], text);
  }
}

std::string FormatIndexEntry(const std::vector<std::string>& fields) {
  std::string line;
  AppendIndexEntry(fields, line);
  return line;
}

bool ParseIndexEntry(const std::string& line, std::vector<std::string>& fields) {
  return ParseIndexEntry(line.data(), line.size(), fields);
}

bool ParseIndexEntry(const char* line, size_t size, std::vector<std::string>& fields) {
  if (size == 0) return false;
  std::vector<std::string> parsed(1);
  const char* at = line;
  const char* const end = line + size;
  while (at < end) {
    const char* special = at;
    while (special < end && *special != '\t' && *special != '\\') ++special;
    parsed.back().append(at, special);
    if (special == end) break;
    if (*special == '\t') {
      parsed.emplace_back();
      at = special + 1;
      continue;
    }
    if (special + 1 == end) return false;
    switch (special[1]) {
      case '\\': parsed.back() += '\\'; break;
      case 't': parsed.back() += '\t'; break;
      case 'n': parsed.back() += '\n'; break;
      case 'r': parsed.back() += '\r'; break;
      default: return false;
    }
    at = special + 2;
  }
  fields.swap(parsed);
  return true;
}

}  // namespace lab
