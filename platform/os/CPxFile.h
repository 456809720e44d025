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

// A file handle of FXFile's handle calls; kInvalidFileHandle when an open failed.
using ZtFileHandle = int;
constexpr ZtFileHandle kInvalidFileHandle = -1;

class FXFile : public CPxFile {
 public:
  // ---- Handle calls (CPxFile_handle.cpp) ----
  static constexpr uint32_t kGenericRead = 0x80000000u;
  static constexpr uint32_t kShareRead = 1;
  static constexpr uint32_t kShareWrite = 2;
  static constexpr uint32_t kShareDelete = 4;
  static constexpr uint32_t kOpenExisting = 3;
  // Opens an existing file for reading (the only access and disposition the system asks for). Without
  // kShareWrite in `share` the open is refused (EBUSY) while another party holds the file locked for
  // writing (an exclusive flock), and the handle keeps writers that lock out until it is closed.
  // kInvalidFileHandle on failure, with errno set. Fault table operation "file.ZTCreateFile".
  static ZtFileHandle ZTCreateFile(const std::string& path, uint32_t access, uint32_t share, void* security,
                                   uint32_t disposition, uint32_t flags);
  // Reads up to `size` bytes; *read is 0 at the end of the file. Fault table operation "file.ZTReadFile".
  static CPxError ZTReadFile(ZtFileHandle handle, void* buffer, uint32_t size, uint32_t* read);
  // Fault table operation "file.ZTGetFileSize".
  static CPxError ZTGetFileSize(ZtFileHandle handle, uint64_t& size);
  static void ZTCloseHandle(ZtFileHandle handle);

  static CPxError RemoveFile(const std::string& path) { return Remove(path); }
  static CPxError ZTCopyFile(const std::string& src, const std::string& dst) { return Copy(src, dst); }
  static CPxError ZTGetFileSize(const std::string& path, uint64_t& size) { return Size(path, size); }
  // Moves a file; flags bit 1 allows replacing an existing target. Works across file systems.
  static CPxError ZTMoveFileEx(const std::string& from, const std::string& to, int flags);
  // Status-change, modification and access times, in that order (seconds since 1970).
  static CPxError GetFileTimes(const std::string& path, time_t& changed, time_t& modified, time_t& accessed);
};

// Closes its handle on every path.
class ZtScopedFileHandle {
 public:
  explicit ZtScopedFileHandle(ZtFileHandle handle = kInvalidFileHandle) : handle_(handle) {}
  ~ZtScopedFileHandle() { FXFile::ZTCloseHandle(handle_); }
  ZtScopedFileHandle(const ZtScopedFileHandle&) = delete;
  ZtScopedFileHandle& operator=(const ZtScopedFileHandle&) = delete;
  void Reset(ZtFileHandle handle) {
    FXFile::ZTCloseHandle(handle_);
    handle_ = handle;
  }
  ZtFileHandle Get() const { return handle_; }
  bool IsValid() const { return handle_ != kInvalidFileHandle; }

 private:
  ZtFileHandle handle_;
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
