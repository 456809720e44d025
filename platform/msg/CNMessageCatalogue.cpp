#include "platform/msg/CNMessageCatalogue.h"

#include <cstdio>

namespace {

class SCOPED_CAPABILITY SharedReader {
 public:
  explicit SharedReader(CNSharedLock& lock) QUARN_THREAD_ANNOTATION(acquire_shared_capability(lock))
      : lock_(lock) {
    lock_.LockShared();
  }
  ~SharedReader() RELEASE() { lock_.UnlockShared(); }

 private:
  CNSharedLock& lock_;
};

// Field names become XML element names; keep them to a plain ASCII name.
bool IsXmlName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (!alpha(name[0])) return false;
  for (const char* p = name; *p; ++p) {
    const char c = *p;
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

CNMessageCatalogue& CNMessageCatalogue::Instance() {
  static CNMessageCatalogue* catalogue = new CNMessageCatalogue();  // never destroyed: used by statics
  return *catalogue;
}

std::string CNMessageCatalogue::TagName(const CNMessageDecl& decl) {
  return std::string(decl.nameSpace ? decl.nameSpace : "") + "_" + (decl.className ? decl.className : "");
}

bool CNMessageCatalogue::CheckDecl(const CNMessageDecl& decl, std::string* why) const {
  char buf[160];
  if (!IsXmlName(decl.nameSpace) || !IsXmlName(decl.className)) {
    *why = "bad namespace or class name";
    return false;
  }
  if (decl.group < 0 || decl.group > 255 || decl.type < 0 || (decl.tagId >> 24) != static_cast<uint32_t>(decl.group)) {
    std::snprintf(buf, sizeof buf, "tag 0x%08X does not fit group %d type %d", decl.tagId, decl.group, decl.type);
    *why = buf;
    return false;
  }
  if (decl.create == nullptr) {
    *why = "no factory";
    return false;
  }
  for (size_t i = 0; i < decl.fields.size(); ++i) {
    const CNFieldDecl& f = decl.fields[i];
    // Index and number 0 name a record's own field 0 (an entity's type); otherwise both count from 1.
    const bool fieldZero = f.index == 0 && f.number == 0;
    if (!IsXmlName(f.name) || (!fieldZero && (f.index <= 0 || f.number <= 0)) || f.check > 0xFFFFFFu) {
      std::snprintf(buf, sizeof buf, "bad field declaration #%zu", i + 1);
      *why = buf;
      return false;
    }
    if (f.nestedTag != 0 && f.kind != CNFieldKind::Message && f.kind != CNFieldKind::MessageList) {
      std::snprintf(buf, sizeof buf, "field %s is not a message but names a nested type", f.name);
      *why = buf;
      return false;
    }
    for (size_t j = 0; j < i; ++j) {
      const CNFieldDecl& g = decl.fields[j];
      if (g.index == f.index || g.number == f.number || std::string(g.name) == f.name) {
        std::snprintf(buf, sizeof buf, "fields %s and %s share an index, a number or a name", g.name, f.name);
        *why = buf;
        return false;
      }
    }
  }
  return true;
}

bool CNMessageCatalogue::Register(const CNMessageDecl& decl) {
  const std::string name = TagName(decl);
  std::string why;
  const bool valid = CheckDecl(decl, &why);
  lock_.Lock();
  if (valid) {
    if (byTag_.count(decl.tagId)) {
      why = "duplicate tag id";
    } else if (byGroupType_.count({decl.group, decl.type})) {
      why = "duplicate (group, type)";
    } else if (byName_.count(name)) {
      why = "duplicate name";
    }
  }
  if (!why.empty()) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " (tag 0x%08X, group %d, type %d): ", decl.tagId, decl.group, decl.type);
    errors_.push_back("Cannot register message " + name + buf + why);
    lock_.Unlock();
    return false;
  }
  decls_.push_back(decl);
  const CNMessageDecl* stored = &decls_.back();
  byTag_[stored->tagId] = stored;
  byGroupType_[{stored->group, stored->type}] = stored;
  byName_[name] = stored;
  lock_.Unlock();
  return true;
}

const CNMessageDecl* CNMessageCatalogue::FindByTag(uint32_t tagId) const {
  SharedReader reader(lock_);
  auto it = byTag_.find(tagId);
  return it == byTag_.end() ? nullptr : it->second;
}

const CNMessageDecl* CNMessageCatalogue::FindByGroupType(int group, int type) const {
  SharedReader reader(lock_);
  auto it = byGroupType_.find({group, type});
  return it == byGroupType_.end() ? nullptr : it->second;
}

const CNMessageDecl* CNMessageCatalogue::FindByName(const std::string& tagName) const {
  SharedReader reader(lock_);
  auto it = byName_.find(tagName);
  return it == byName_.end() ? nullptr : it->second;
}

std::vector<const CNMessageDecl*> CNMessageCatalogue::All() const {
  SharedReader reader(lock_);
  std::vector<const CNMessageDecl*> all;
  all.reserve(decls_.size());
  for (const CNMessageDecl& d : decls_) all.push_back(&d);
  return all;
}

bool CNMessageCatalogue::RegisterSubsystem(const char* nameSpace) {
  if (nameSpace == nullptr || *nameSpace == '\0') return false;
  lock_.Lock();
  subsystems_.insert(nameSpace);
  lock_.Unlock();
  return true;
}

bool CNMessageCatalogue::IsSubsystemRegistered(const std::string& nameSpace) const {
  SharedReader reader(lock_);
  return subsystems_.count(nameSpace) != 0;
}

std::vector<std::string> CNMessageCatalogue::Errors() const {
  SharedReader reader(lock_);
  return errors_;
}
