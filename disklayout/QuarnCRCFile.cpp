#include "disklayout/QuarnCRCFile.h"

#include <new>

#include "platform/index/TVMCRCTable.h"

namespace {

void DropTable(TVMCRCTable*& table) {
  delete table;
  table = nullptr;
}

}  // namespace

QuarnCRCFile::QuarnCRCFile(QuarnWorker* owner) : QuarnCRCFile(owner, false) {}

QuarnCRCFile::QuarnCRCFile(QuarnWorker* owner, bool v2) : QuarnDataFile(owner, v2) {
  PublishFullOutputsAsIncremental();
}

std::string QuarnCRCFile::GetFileNameWithoutExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

bool QuarnCRCFile::getCRCFilePaths(const std::string& vmKey, const std::string& diskName, DiskType_t diskType,
                                   std::string& currentPath, std::string& previousPath) {
  static const char* const sig =
      "bool QuarnCRCFile::getCRCFilePaths(const std::string&, const std::string&, DiskType_t, std::string&, "
      "std::string&)";
  GenerateFilePaths(DATA_FILE_CRC, vmKey, diskName, ".dat", diskType);
  GenerateFilePaths(DATA_FILE_CRC, vmKey, diskName, ".idx", diskType);
  PrepareFiles();
  if (!m_inputs.empty()) previousPath = GetFileNameWithoutExtension(m_inputs.front());
  if (m_outputs.empty()) {
    m_event.Error(sig, "No output file detected for CRC");
    return false;
  }
  currentPath = GetFileNameWithoutExtension(m_outputs.front());
  return true;
}

bool QuarnCRCFile::getPrevCRCfilePath(const std::string&, const std::string&, DiskType_t, std::string& path) {
  if (m_inputs.empty()) return false;
  path = GetFileNameWithoutExtension(m_inputs.front());
  return true;
}

bool QuarnCRCFile::InitCRCTables(const std::string& vmKey, const std::string& diskName, DiskType_t diskType,
                                 TVMCRCTable*& previous, TVMCRCTable*& current) {
  static const char* const sig =
      "bool QuarnCRCFile::InitCRCTables(const std::string&, const std::string&, DiskType_t, TVMCRCTable*&, "
      "TVMCRCTable*&)";
  if (m_v2) return InitCRCTables_V2(vmKey, diskName, diskType, previous);

  std::string currentPath, previousPath;
  if (!getCRCFilePaths(vmKey, diskName, diskType, currentPath, previousPath)) return false;
  bool ok = true;
  current = new (std::nothrow) TVMCRCTable();
  if (current == nullptr) {
    m_event.Error(sig, "No memory to hold the check sums, so the next job will run as full");
    ok = false;
  } else if (current->initialize(currentPath, false) != 0) {
    m_event.Error(sig, "Failed to initialize check sum tables, so this next job will run as full");
    ok = false;
  } else {
    m_event.Debug(sig, "Writing check sum table to [%s]", currentPath.c_str());
  }
  if (!previousPath.empty()) {
    previous = new (std::nothrow) TVMCRCTable();
    if (previous == nullptr) {
      m_event.Error(sig, "No memory to hold the check sums, so this job and the next one will run as full");
      ok = false;
    } else if (previous->initialize(previousPath, true) != 0) {
      m_event.Error(sig, "Failed to initialize check sum tables, so this job and the next one will run as full");
      m_event.Error(sig, "%s", previous->GetLastError().c_str());
      ok = false;
    } else {
      previous->prepareForLookup();
      m_event.Debug(sig, "Reading check sum table from [%s]", previousPath.c_str());
    }
  }
  if (!ok) {
    DropTable(current);
    DropTable(previous);
  }
  return ok;
}

bool QuarnCRCFile::InitCRCTables_V2(const std::string& vmKey, const std::string& diskName, DiskType_t diskType,
                                    TVMCRCTable*& table) {
  static const char* const sig =
      "bool QuarnCRCFile::InitCRCTables_V2(const std::string&, const std::string&, DiskType_t, TVMCRCTable*&)";
  std::string path;
  GenerateFilePath_V2(DATA_FILE_CRC, vmKey, diskName, diskType, path);
  if (path.empty()) return false;
  table = new (std::nothrow) TVMCRCTable();
  if (table == nullptr) {
    m_event.Error(sig, "No memory to hold the check sums, so this job and the next one will run as full");
    return false;
  }
  if (table->initialize(path, false) != 0) {
    m_event.Error(sig, "Failed to initialize check sum tables, so this job and the next one will run as full");
    // A table that did not open is of no use to the caller: it is dropped here rather than left to
    // a caller that sees only the false result.
    DropTable(table);
    return false;
  }
  return true;
}

bool QuarnCRCFile::CloseCRCTables(const std::string&, const std::string&, DiskType_t, TVMCRCTable*& previous,
                                  TVMCRCTable*& current) {
  static const char* const sig =
      "bool QuarnCRCFile::CloseCRCTables(const std::string&, const std::string&, DiskType_t, TVMCRCTable*&, "
      "TVMCRCTable*&)";
  bool written = true;
  if (current != nullptr) {
    if (current->close() != 0) {
      m_event.Error(sig, "Failed to write check sum table [%s]: %s",
                    m_outputs.empty() ? "" : m_outputs.front().c_str(), current->GetLastError().c_str());
      written = false;
    }
    DropTable(current);
  }
  if (previous != nullptr) {
    previous->close();
    DropTable(previous);
  }
  // A table that was not written is not reported as kept; the rest is committed all the same.
  return CommitFiles() && written;
}
