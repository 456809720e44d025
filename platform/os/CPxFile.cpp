#include "platform/os/CPxFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/os/CPxPath.h"

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"

namespace {

CPxError Fail(const std::string& what, const std::string& path) {
  int err = errno;
  CPxError error = CPxError::FromErrno(err, what + " '" + path + "'");
  errno = err;  // callers log the system error number too
  return error;
}

bool WriteFully(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool CPxFile::Exists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

CPxError CPxFile::Remove(const std::string& path) {
  if (unlink(path.c_str()) != 0) return Fail("remove file", path);
  return CPxError::Success();
}

CPxError CPxFile::Size(const std::string& path, uint64_t& size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Fail("size of file", path);
  size = static_cast<uint64_t>(st.st_size);
  return CPxError::Success();
}

CPxError CPxFile::ReadAll(const std::string& path, std::string& content) {
  CPxFile file;
  CPxError error = file.Open(path, O_RDONLY);
  if (error.IsError()) return error;
  std::string data;
  char buffer[65536];
  for (;;) {
    size_t got = 0;
    error = file.Read(buffer, sizeof(buffer), got);
    if (error.IsError()) return error;
    if (got == 0) break;
    data.append(buffer, got);
  }
  content.swap(data);
  return CPxError::Success();
}

CPxError CPxFile::WriteAll(const std::string& path, const std::string& content) {
  if (!lab::WriteFileAtomic(path, content)) return Fail("write file", path);
  return CPxError::Success();
}

CPxError CPxFile::Copy(const std::string& src, const std::string& dst) {
  // Through an exclusive temporary file of an unpredictable name, renamed into place: nothing planted
  // beside the destination (a link at a temporary name another copy would use) is written through.
  std::string error;
  errno = 0;
  if (!lab::CopyFileAtomic(src, dst, error, true)) return CPxError::FromErrno(errno != 0 ? errno : EIO, error);
  return CPxError::Success();
}

CPxFile::~CPxFile() { Close(); }

CPxError CPxFile::Open(const std::string& path, int flags, mode_t mode) {
  if (m_fd >= 0) Close();
  int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) return Fail("open file", path);
  m_fd = fd;
  m_path = path;
  return CPxError::Success();
}

CPxError CPxFile::Read(void* buffer, size_t size, size_t& read) {
  read = 0;
  if (m_fd < 0) return CPxError::FromErrno(EBADF, "read file (not open)");
  for (;;) {
    ssize_t n = ::read(m_fd, buffer, size);
    if (n >= 0) {
      read = static_cast<size_t>(n);
      return CPxError::Success();
    }
    if (errno != EINTR) return Fail("read file", m_path);
  }
}

CPxError CPxFile::Write(const void* data, size_t size) {
  if (m_fd < 0) return CPxError::FromErrno(EBADF, "write file (not open)");
  if (!WriteFully(m_fd, static_cast<const char*>(data), size)) return Fail("write file", m_path);
  return CPxError::Success();
}

CPxError CPxFile::Close() {
  if (m_fd < 0) return CPxError::Success();
  int fd = m_fd;
  m_fd = -1;
  // A failed close can mean lost delayed-write data: report it.
  if (close(fd) != 0) return Fail("close file", m_path);
  return CPxError::Success();
}

CPxError FXFile::ZTMoveFileEx(const std::string& from, const std::string& to, int flags) {
  const bool replace = (flags & 1) != 0;
  int r;
  if (replace) {
    r = rename(from.c_str(), to.c_str());
  } else {
    r = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (r != 0 && errno == EINVAL) {
      // The file system cannot refuse atomically; check first instead.
      struct stat st;
      if (lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return Fail("move file to existing", to);
      }
      r = rename(from.c_str(), to.c_str());
    }
  }
  if (r == 0) return CPxError::Success();
  if (errno != EXDEV) return Fail("move file", from);
  if (!replace && CPxPath::Exists(to)) {
    errno = EEXIST;
    return Fail("move file to existing", to);
  }
  CPxError error = Copy(from, to);
  if (error.IsError()) return error;
  return Remove(from);
}

CPxError FXFile::GetFileTimes(const std::string& path, time_t& changed, time_t& modified, time_t& accessed) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Fail("times of file", path);
  changed = st.st_ctime;
  modified = st.st_mtime;
  accessed = st.st_atime;
  return CPxError::Success();
}
