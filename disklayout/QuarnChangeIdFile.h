#pragma once
#include <string>

#include "disklayout/QuarnDataFile.h"

// The change identifier that the hypervisor's changed-block tracking gave a disk (or a VM) at the
// end of its last backup; the next job asks for the extents changed since. The file holds the
// identifier's bytes exactly: no header, length, line end or terminating zero.
class QuarnChangeIdFile : public QuarnDataFile {
 public:
  explicit QuarnChangeIdFile(QuarnWorker* owner);

  // An empty id with true: no previous identifier (a first or full backup). False: a file was found
  // and could not be read.
  bool ReadChangeID(const std::string& vmKey, const std::string& itemKey, std::string& id);
  // Writes the id to the first output (allNames: to every current full and incremental name) and
  // commits. False when no file could be written; nothing is committed then.
  bool WriteChangeID(const std::string& vmKey, const std::string& itemKey, const std::string& id, bool allNames);
  void GenerateChangeIDFilePaths(const std::string& vmKey, const std::string& itemKey);

 private:
  bool m_pathsGenerated = false;
};
