#pragma once
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/os/CPxError.h"

// Files: whole-file helpers and an owned descriptor for reading and writing in pieces.
class CPxFile {
 public:
  // Whether a regular file (or a link to one) exists at the path.
  static bool Exists(const std::string& path);
  // Removes a file; a missing file is an error.
  static CPxError Remove(const std::string& path);
  static CPxError Size(const std::string& path, uint64_t& size);
  static CPxError ReadAll(const std::string& path, std::string& content);
  static CPxError ReadWholeFile(const std::string& path, std::string& content) { return ReadAll(path, content); }
  // Replaces the file atomically: readers see the old or the new content, never a mix.
  static CPxError WriteAll(const std::string& path, const std::string& content);
  // Copies src over dst atomically.
  static CPxError Copy(const std::string& src, const std::string& dst);

  CPxFile() = default;
  ~CPxFile();
  CPxFile(const CPxFile&) = delete;
  CPxFile& operator=(const CPxFile&) = delete;

  // open(2) flags and mode (for example 577 = write only, create, truncate).
  CPxError Open(const std::string& path, int flags, mode_t mode = 0644);
  // Reads up to size bytes; read is 0 at the end of the file.
  CPxError Read(void* buffer, size_t size, size_t& read);
  // Writes all size bytes.
  CPxError Write(const void* data, size_t size);
  CPxError Close();
  bool IsOpen() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
  std::string m_path;
};

class FXFile : public CPxFile {
 public:
  static CPxError RemoveFile(const std::string& path) { return Remove(path); }
  static CPxError ZTCopyFile(const std::string& src, const std::string& dst) { return Copy(src, dst); }
  static CPxError ZTGetFileSize(const std::string& path, uint64_t& size) { return Size(path, size); }
  // Moves a file; flags bit 1 allows replacing an existing target. Works across file systems.
  static CPxError ZTMoveFileEx(const std::string& from, const std::string& to, int flags);
  // Status-change, modification and access times, in that order (seconds since 1970).
  static CPxError GetFileTimes(const std::string& path, time_t& changed, time_t& modified, time_t& accessed);
};

struct ztsFilexferRequest;

// File copy: locally (atomic replacement of the target), or to another client of the lab. A client's
// machine is its folder lab::ClientDir(client): a copy to it lands only inside that folder. Fault
// table operation: "copy.CopySingleFile" (selector client: the client copied to).
class ZtCopyFile {
 public:
  static CPxError Copy(const std::string& src, const std::string& dst) { return CPxFile::Copy(src, dst); }

  // Opens the connection to the client `host` on behalf of `localClient`. An error for a client the
  // lab does not have or a name that cannot be one.
  CPxError GetConnection(const std::string& host, const std::string& localClient, bool flag);
  // Copies request.sourceFolder/request.fileName into request.destinationFolder on the connected
  // client. A destination outside that client's folder, a file name with a separator or a source
  // that is not a regular file is refused.
  CPxError CopySingleFile(const ztsFilexferRequest& request, bool flag);

 private:
  std::string m_host;  // connected client; empty before GetConnection succeeds
};
