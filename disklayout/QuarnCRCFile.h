#pragma once
#include <string>

#include "disklayout/QuarnDataFile.h"

class TVMCRCTable;

// The table of extent checksums of one disk: the previous job's table, read to find the extents
// that did not change, and this job's, written for the next job. A table is named by its ".dat" name
// without the extension; the table class keeps its ".dat" and ".idx" files under that name.
//
// A table this job writes under the full names while the job is not a full one (the disk was backed
// up in full) is published under the incremental names too, so that the next incremental job reads
// it rather than an older table of the same cycle.
class QuarnCRCFile : public QuarnDataFile {
 public:
  explicit QuarnCRCFile(QuarnWorker* owner);
  QuarnCRCFile(QuarnWorker* owner, bool v2);

  // Makes this job's table (current) and, when there is a previous one, the previous job's (previous,
  // else null); the caller owns both until it passes them to CloseCRCTables. False: no checksum-based
  // incremental for this disk, and both pointers are null. With V2 only `previous` is filled, with an
  // empty table the caller loads from the previous job's index.
  bool InitCRCTables(const std::string& vmKey, const std::string& diskName, DiskType_t diskType,
                     TVMCRCTable*& previous, TVMCRCTable*& current);
  // Closes and frees both tables (current first, which writes it) and commits the files. The names
  // are those InitCRCTables chose; the arguments are not used again. False when this job's table
  // could not be written.
  bool CloseCRCTables(const std::string& vmKey, const std::string& diskName, DiskType_t diskType,
                      TVMCRCTable*& previous, TVMCRCTable*& current);
  bool InitCRCTables_V2(const std::string& vmKey, const std::string& diskName, DiskType_t diskType,
                        TVMCRCTable*& table);
  bool getCRCFilePaths(const std::string& vmKey, const std::string& diskName, DiskType_t diskType,
                       std::string& currentPath, std::string& previousPath);
  // The first input without its extension; false when there is no input.
  bool getPrevCRCfilePath(const std::string& vmKey, const std::string& diskName, DiskType_t diskType,
                          std::string& path);
  static std::string GetFileNameWithoutExtension(const std::string& name);
};
