#include "platform/msg/vsXMLFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/lab/Lab.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageXml.h"

vsXMLFile::vsXMLFile(const std::string& path) : path_(path) {}

bool vsXMLFile::Exists() const {
  struct stat st;
  return !path_.empty() && ::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool vsXMLFile::Load(CNMessageBase& message) {
  error_.clear();
  if (path_.empty()) {
    error_ = "no file name";
    return false;
  }
  // The checks apply to the object actually opened, so a file swapped after a check cannot slip
  // through; O_NONBLOCK keeps a FIFO in the file's place from hanging the reader.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error_ = "cannot open " + path_ + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error_ = "not a regular file: " + path_;
    return false;
  }
  // Bounded read: a file that is (or grows) larger than any document is never pulled into memory.
  const size_t limit = CNMessageXml::kMaxDocumentBytes;
  std::string content;
  bool ok = static_cast<uint64_t>(st.st_size) <= limit;
  if (ok) content.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  while (ok) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      error_ = "cannot read " + path_ + ": " + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    if (content.size() + static_cast<size_t>(n) > limit) {
      ok = false;
    } else {
      content.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  if (!ok) {
    error_ = "file too large: " + path_;
    return false;
  }
  std::string why;
  if (!message.deserialize(content, &why)) {
    error_ = path_ + ": " + why;
    return false;
  }
  return true;
}

bool vsXMLFile::Save(const CNMessageBase& message) {
  error_.clear();
  std::string xml;
  if (path_.empty() || !message.serialize(xml, false)) {
    error_ = "cannot serialise " + message.getTagName();
    return false;
  }
  if (!lab::WriteFileAtomic(path_, xml)) {
    error_ = "cannot write " + path_;
    return false;
  }
  return true;
}

bool vsXMLFile::Delete() {
  error_.clear();
  if (path_.empty()) return false;
  if (::unlink(path_.c_str()) == 0 || errno == ENOENT) return true;
  error_ = "cannot delete " + path_ + ": " + std::strerror(errno);
  return false;
}
