#include "disklayout/QuarnChangeIdFile.h"

#include <fcntl.h>

#include <cstring>

#include "platform/os/CPxFile.h"

namespace {

// The identifier says which extents the next job may leave out: only its owner reads or replaces it.
constexpr mode_t kChangeIdFileMode = 0600;

}  // namespace

QuarnChangeIdFile::QuarnChangeIdFile(QuarnWorker* owner) : QuarnDataFile(owner, false) {}

void QuarnChangeIdFile::GenerateChangeIDFilePaths(const std::string& vmKey, const std::string& itemKey) {
  m_event.Debug("void QuarnChangeIdFile::GenerateChangeIDFilePaths(const std::string&, const std::string&)",
                "Generating Change ID files for VM [%s] disk [%s]", vmKey.c_str(), itemKey.c_str());
  GenerateFilePaths(DATA_FILE_CHANGE_ID, vmKey, itemKey, ".ztf", 0);
  PrepareFiles();
  m_pathsGenerated = true;
}

bool QuarnChangeIdFile::ReadChangeID(const std::string& vmKey, const std::string& itemKey, std::string& id) {
  static const char* const sig =
      "bool QuarnChangeIdFile::ReadChangeID(const std::string&, const std::string&, std::string&)";
  id.clear();
  GenerateChangeIDFilePaths(vmKey, itemKey);
  if (m_inputs.empty()) {
    m_event.Debug(sig, "Not using a Change ID for %s\\%s", vmKey.c_str(), itemKey.c_str());
    return true;
  }
  const std::string& path = m_inputs.front();
  m_event.Debug(sig, "Opening change id file %s", path.c_str());
  std::string content;
  CPxError error = CPxFile::ReadWholeFile(path, content);
  if (error.IsError()) {
    m_event.Error(sig, "Failed to open change id file %s, error=%s", path.c_str(), error.AsString().c_str());
    return false;
  }
  id.assign(content.c_str(), strnlen(content.data(), content.size()));
  return true;
}

bool QuarnChangeIdFile::WriteChangeID(const std::string& vmKey, const std::string& itemKey, const std::string& id,
                                      bool allNames) {
  static const char* const sig =
      "bool QuarnChangeIdFile::WriteChangeID(const std::string&, const std::string&, const std::string&, bool)";
  if (!m_pathsGenerated) GenerateChangeIDFilePaths(vmKey, itemKey);
  if (m_outputs.empty()) {
    m_event.Error(sig, "No change id output file is specified");
    return false;
  }
  if (allNames) {
    // A later incremental job looks for the incremental names first: it must find this identifier.
    std::vector<std::string> names = m_currentFull;
    names.insert(names.end(), m_currentIncr.begin(), m_currentIncr.end());
    m_outputs.swap(names);
  } else {
    m_outputs.resize(1);
  }
  for (const std::string& path : m_outputs) {
    m_event.Debug(sig, "Creating change id file %s", path.c_str());
    CPxFile file;
    CPxError error = file.Open(path, O_WRONLY | O_CREAT | O_TRUNC, kChangeIdFileMode);
    if (error.IsError()) {
      m_event.Error(sig, "Failed to create change id file %s, error=%s", path.c_str(), error.AsString().c_str());
      return false;
    }
    error = file.Write(id.data(), id.size());
    if (!error.IsError()) error = file.Close();
    if (error.IsError()) {
      m_event.Error(sig, "Failed to write change id file %s, error=%s", path.c_str(), error.AsString().c_str());
      return false;
    }
  }
  return CommitFiles();
}
