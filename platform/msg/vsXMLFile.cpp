#include "platform/msg/vsXMLFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageXml.h"

namespace {

// The lab's fault table can make a load or a save fail as the file system would: with the rule's text
// as the reason, and the message or the file left as they were.
bool Refused(const char* op, std::string& why) {
  lab::Fault fault;
  if (!lab::CheckFault(op, fault)) return false;
  why = fault.text;
  return true;
}

}  // namespace

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
  std::string why;
  if (Refused("msg.LoadFile", why)) {
    error_ = "cannot read " + path_ + ": " + why;
    return false;
  }
  std::string content;
  if (!lab::ReadRegularFile(path_, CNMessageXml::kMaxDocumentBytes, content, error_)) return false;
  if (!message.deserialize(content, &why)) {
    error_ = path_ + ": " + why;
    return false;
  }
  return true;
}

bool vsXMLFile::Save(const CNMessageBase& message, bool synced) {
  error_.clear();
  std::string xml;
  if (path_.empty() || !message.serialize(xml, false)) {
    error_ = "cannot serialise " + message.getTagName();
    return false;
  }
  std::string why;
  if (Refused("msg.SaveFile", why)) {
    error_ = "cannot write " + path_ + ": " + why;
    return false;
  }
  if (!lab::WriteFileAtomic(path_, xml, why, synced ? lab::Durability::kDurable : lab::Durability::kVolatile)) {
    error_ = "cannot write " + path_ + ": " + why;
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
