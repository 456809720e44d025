#include "platform/msg/CNMessageBase.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "platform/msg/CNMessageSlot.h"

namespace {

std::atomic<uint64_t> g_accessErrors{0};

std::mutex& LastErrorMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}
std::string& LastErrorText() {
  static std::string* text = new std::string();
  return *text;
}

const char* KindName(CNFieldKind kind) {
  switch (kind) {
    case CNFieldKind::Int64: return "number";
    case CNFieldKind::Text: return "text";
    case CNFieldKind::ProtectedText: return "protected text";
    case CNFieldKind::TextList: return "text list";
    case CNFieldKind::IntList: return "number list";
    case CNFieldKind::MessageList: return "message list";
    case CNFieldKind::Message: return "message";
  }
  return "?";
}

bool FitsNumber(CNFieldKind k) { return k == CNFieldKind::Int64; }
bool FitsText(CNFieldKind k) { return k == CNFieldKind::Text || k == CNFieldKind::ProtectedText; }
bool FitsProtected(CNFieldKind k) { return k == CNFieldKind::ProtectedText; }
bool FitsTextList(CNFieldKind k) { return k == CNFieldKind::TextList; }
bool FitsIntList(CNFieldKind k) { return k == CNFieldKind::IntList; }
bool FitsMessageList(CNFieldKind k) { return k == CNFieldKind::MessageList; }
bool FitsMessage(CNFieldKind k) { return k == CNFieldKind::Message; }

// What a failed access hands back. Per thread, and emptied before every return, so that a caller
// that wrote into the result of an earlier failed access cannot leak it into the next one.
template <class T>
T& EmptyResult() {
  thread_local T empty;
  empty = T();
  return empty;
}
const std::string& EmptyText() {
  static const std::string* empty = new std::string();
  return *empty;
}
const CNMessageList& EmptyList() {
  static const CNMessageList* empty = new CNMessageList();
  return *empty;
}

uint32_t TagOf(int group, int type) {
  const CNMessageDecl* decl = CNMessageCatalogue::Instance().FindByGroupType(group, type);
  return decl ? decl->tagId : CNMakeTag(group, CNAutoLow24(type));
}

std::string PlainName(uint32_t tag) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Unknown_0x%08X", tag);
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CNMessagePtr

CNMessagePtr::CNMessagePtr(std::unique_ptr<CNMessageBase> message) : ptr_(std::move(message)) {}

CNMessagePtr::CNMessagePtr(const CNMessageBase& message) {
  ptr_ = CNMessageBase::Create(message.getTagID());
  *ptr_ = message;
}

CNMessagePtr::CNMessagePtr(const CNMessagePtr& other) {
  if (other.ptr_) {
    ptr_ = CNMessageBase::Create(other.ptr_->getTagID());
    *ptr_ = *other.ptr_;
  }
}

CNMessagePtr& CNMessagePtr::operator=(const CNMessagePtr& other) {
  if (this != &other) {
    CNMessagePtr copy(other);
    ptr_ = std::move(copy.ptr_);
  }
  return *this;
}

CNMessagePtr::CNMessagePtr(CNMessagePtr&&) noexcept = default;
CNMessagePtr& CNMessagePtr::operator=(CNMessagePtr&&) noexcept = default;
CNMessagePtr::~CNMessagePtr() = default;

// ---------------------------------------------------------------------------------------------
// Construction

CNMessageBase::CNMessageBase(int group, int type) : group_(group), type_(type) {
  decl_ = CNMessageCatalogue::Instance().FindByGroupType(group, type);
  if (decl_) {
    tag_ = decl_->tagId;
  } else {
    tag_ = CNMakeTag(group, CNAutoLow24(type));
    plainName_ = PlainName(tag_);
  }
}

CNMessageBase::CNMessageBase(uint32_t tagId, const CNMessageDecl* decl, const std::string& plainName)
    : decl_(decl), tag_(tagId), plainName_(plainName) {
  if (decl_) {
    group_ = decl_->group;
    type_ = decl_->type;
    plainName_.clear();
  } else {
    group_ = static_cast<int>(tagId >> 24);
    // Only tags made for types without a constant carry their type number.
    type_ = (tagId & 0x800000u) ? static_cast<int>(tagId & 0x7FFFFFu) : -1;
    if (plainName_.empty()) plainName_ = PlainName(tagId);
  }
}

namespace {
std::vector<std::unique_ptr<CNMessageBase::Slot>> CopySlots(
    const std::vector<std::unique_ptr<CNMessageBase::Slot>>& slots) {
  std::vector<std::unique_ptr<CNMessageBase::Slot>> copy;
  copy.reserve(slots.size());
  for (const auto& slot : slots) copy.push_back(std::make_unique<CNMessageBase::Slot>(*slot));
  return copy;
}
}  // namespace

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : decl_(other.decl_),
      tag_(other.tag_),
      group_(other.group_),
      type_(other.type_),
      plainName_(other.plainName_),
      slots_(CopySlots(other.slots_)) {}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
  if (this != &other) {
    std::vector<std::unique_ptr<Slot>> slots = CopySlots(other.slots_);  // first: `other` may live inside *this
    decl_ = other.decl_;
    tag_ = other.tag_;
    group_ = other.group_;
    type_ = other.type_;
    plainName_ = other.plainName_;
    slots_.swap(slots);
  }
  return *this;
}

CNMessageBase::~CNMessageBase() = default;

// ---------------------------------------------------------------------------------------------
// Slots

CNMessageBase::Slot::Slot(uint32_t position, CNFieldKind kind) : pos(position) {
  switch (kind) {
    case CNFieldKind::Int64: value.emplace<int64_t>(0); break;
    case CNFieldKind::Text: value.emplace<std::string>(); break;
    case CNFieldKind::ProtectedText: value.emplace<bstring>(); break;
    case CNFieldKind::TextList: value.emplace<std::vector<std::string>>(); break;
    case CNFieldKind::IntList: value.emplace<std::vector<int64_t>>(); break;
    case CNFieldKind::MessageList: value.emplace<CNMessageList>(); break;
    case CNFieldKind::Message: value.emplace<CNMessagePtr>(); break;
  }
}

bool CNMessageBase::Slot::Present(CNFieldKind kind) const {
  switch (kind) {
    case CNFieldKind::TextList: return set || !texts().empty();
    case CNFieldKind::IntList: return set || !ints().empty();
    case CNFieldKind::MessageList: return set || !list().empty();
    case CNFieldKind::Message: return static_cast<bool>(object());
    default: return set;
  }
}

namespace {
bool SlotBefore(const std::unique_ptr<CNMessageBase::Slot>& slot, size_t pos) { return slot->pos < pos; }
}  // namespace

const CNMessageBase::Slot* CNMessageBase::SlotAt(size_t pos) const {
  auto it = std::lower_bound(slots_.begin(), slots_.end(), pos, SlotBefore);
  return it != slots_.end() && (*it)->pos == pos ? it->get() : nullptr;
}

CNMessageBase::Slot* CNMessageBase::SlotAt(size_t pos) {
  return const_cast<Slot*>(static_cast<const CNMessageBase*>(this)->SlotAt(pos));
}

CNMessageBase::Slot& CNMessageBase::SlotFor(size_t pos) {
  // Readers and most writers go in declaration order: look at the end first.
  if (slots_.empty() || slots_.back()->pos < pos) {
    slots_.push_back(std::make_unique<Slot>(static_cast<uint32_t>(pos), decl_->fields[pos].kind));
    return *slots_.back();
  }
  auto it = std::lower_bound(slots_.begin(), slots_.end(), pos, SlotBefore);
  if ((*it)->pos != pos) it = slots_.insert(it, std::make_unique<Slot>(static_cast<uint32_t>(pos), decl_->fields[pos].kind));
  return **it;
}

std::string CNMessageBase::getTagName() const {
  return decl_ ? CNMessageCatalogue::TagName(*decl_) : plainName_;
}

std::unique_ptr<CNMessageBase> CNMessageBase::Create(uint32_t tagId) {
  return Create(tagId, CNMessageCatalogue::Instance().FindByTag(tagId));
}

std::unique_ptr<CNMessageBase> CNMessageBase::Create(uint32_t tagId, const CNMessageDecl* decl) {
  if (decl) {
    std::unique_ptr<CNMessageBase> typed(decl->create());
    if (typed && typed->tag_ == tagId) return typed;
  }
  return std::unique_ptr<CNMessageBase>(new CNMessageBase(tagId, nullptr, std::string()));
}

// ---------------------------------------------------------------------------------------------
// Access validation

uint64_t CNMessageBase::AccessErrorCount() { return g_accessErrors.load(); }
void CNMessageBase::ResetAccessErrorCount() { g_accessErrors.store(0); }

std::string CNMessageBase::LastAccessError() {
  std::lock_guard<std::mutex> guard(LastErrorMutex());
  return LastErrorText();
}

namespace {
void CountAccessError(const std::string& message, const char* op, const char* what, int index, int number,
                      uint32_t tag, uint32_t check) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "%s on %s: %s (index %d, number %d, tag 0x%08X, check 0x%06X)", op,
                message.c_str(), what, index, number, tag, check);
  g_accessErrors.fetch_add(1);
  std::lock_guard<std::mutex> guard(LastErrorMutex());
  LastErrorText() = buf;
}
}  // namespace

const CNFieldDecl* CNMessageBase::Find(const char* op, int index, int number, uint32_t tag, uint32_t check,
                                       bool (*kindFits)(CNFieldKind), size_t* pos) const {
  const char* what = nullptr;
  std::string kindText;
  const CNFieldDecl* found = nullptr;
  if (tag != tag_) {
    what = "tag is not the message's own";
  } else if (decl_ == nullptr) {
    what = "message type has no declared fields";
  } else {
    for (size_t i = 0; i < decl_->fields.size(); ++i) {
      if (decl_->fields[i].number == number) {
        found = &decl_->fields[i];
        *pos = i;
        break;
      }
    }
    if (found == nullptr) {
      what = "no field with that number";
    } else if (index >= 0 && found->index != index) {
      what = "index does not match";
    } else if (found->check != check) {
      what = "check value does not match";
    } else if (!kindFits(found->kind)) {
      kindText = std::string("field is a ") + KindName(found->kind);
      what = kindText.c_str();
    }
  }
  if (what == nullptr) return found;
  CountAccessError(getTagName(), op, what, index, number, tag, check);
  return nullptr;
}

const CNFieldDecl* CNMessageBase::FindByIndex(const char* op, int index, uint32_t tag, uint32_t check,
                                              size_t* pos) const {
  const char* what = nullptr;
  const CNFieldDecl* found = nullptr;
  if (tag != tag_) {
    what = "tag is not the message's own";
  } else if (decl_ == nullptr) {
    what = "message type has no declared fields";
  } else {
    for (size_t i = 0; i < decl_->fields.size(); ++i) {
      if (decl_->fields[i].index == index) {
        found = &decl_->fields[i];
        *pos = i;
        break;
      }
    }
    if (found == nullptr) {
      what = "no field with that index";
    } else if (found->check != check) {
      what = "check value does not match";
    }
  }
  if (what == nullptr) return found;
  CountAccessError(getTagName(), op, what, index, -1, tag, check);
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Numbers and texts

int64_t CNMessageBase::getint64(int number, uint32_t tag, uint32_t check) const {
  size_t pos;
  if (!Find("getint64", -1, number, tag, check, FitsNumber, &pos)) return 0;
  const Slot* slot = SlotAt(pos);
  return slot && slot->set ? slot->number() : 0;
}

bool CNMessageBase::setint64(int index, int number, int64_t value, uint32_t tag, uint32_t check) {
  size_t pos;
  if (!Find("setint64", index, number, tag, check, FitsNumber, &pos)) return false;
  Slot& slot = SlotFor(pos);
  slot.number() = value;
  slot.set = true;
  return true;
}

std::string CNMessageBase::getstring(int index, int number, uint32_t tag, uint32_t check) const {
  return getstringByRef(index, number, tag, check);
}

const std::string& CNMessageBase::getstringByRef(int index, int number, uint32_t tag, uint32_t check) const {
  size_t pos;
  const CNFieldDecl* f = Find("getstring", index, number, tag, check, FitsText, &pos);
  const Slot* slot = f ? SlotAt(pos) : nullptr;
  if (!slot || !slot->set) return EmptyText();
  return f->kind == CNFieldKind::ProtectedText ? slot->ptext().str() : slot->text();
}

bool CNMessageBase::setstring(int index, int number, const std::string& value, uint32_t tag, uint32_t check) {
  size_t pos;
  const CNFieldDecl* f = Find("setstring", index, number, tag, check, FitsText, &pos);
  if (!f) return false;
  Slot& slot = SlotFor(pos);
  if (f->kind == CNFieldKind::ProtectedText) {
    slot.ptext() = bstring(value);
  } else {
    slot.text() = value;
  }
  slot.set = true;
  return true;
}

std::string CNMessageBase::getpstring(int index, int number, uint32_t tag, uint32_t check) const {
  size_t pos;
  if (!Find("getpstring", index, number, tag, check, FitsProtected, &pos)) return std::string();
  const Slot* slot = SlotAt(pos);
  return slot && slot->set ? slot->ptext().str() : std::string();
}

bool CNMessageBase::setpstring(int index, int number, const std::string& value, uint32_t tag, uint32_t check) {
  size_t pos;
  if (!Find("setpstring", index, number, tag, check, FitsProtected, &pos)) return false;
  Slot& slot = SlotFor(pos);
  slot.ptext() = bstring(value);
  slot.set = true;
  return true;
}

bstring* CNMessageBase::getpstringobject(int index, int number, uint32_t tag, uint32_t check, bool create) {
  size_t pos;
  if (!Find("getpstringobject", index, number, tag, check, FitsProtected, &pos)) return nullptr;
  Slot* slot = SlotAt(pos);
  if (!slot || !slot->set) {
    if (!create) return nullptr;
    slot = &SlotFor(pos);
    slot->ptext() = bstring(std::string());
    slot->set = true;
  }
  return &slot->ptext();
}

// ---------------------------------------------------------------------------------------------
// Lists and nested messages

std::vector<std::string>& CNMessageBase::getliststring(int index, int number, uint32_t tag, uint32_t check,
                                                       bool fill) {
  size_t pos;
  if (!Find("getliststring", index, number, tag, check, FitsTextList, &pos)) {
    return EmptyResult<std::vector<std::string>>();
  }
  Slot& slot = SlotFor(pos);
  if (fill) slot.set = true;
  return slot.texts();
}

std::vector<int64_t>& CNMessageBase::getlistint(int index, int number, uint32_t tag, uint32_t check, bool fill) {
  size_t pos;
  if (!Find("getlistint", index, number, tag, check, FitsIntList, &pos)) return EmptyResult<std::vector<int64_t>>();
  Slot& slot = SlotFor(pos);
  if (fill) slot.set = true;
  return slot.ints();
}

CNMessageList& CNMessageBase::getlistobject(int index, int number, uint32_t tag, uint32_t check, bool fill) {
  size_t pos;
  if (!Find("getlistobject", index, number, tag, check, FitsMessageList, &pos)) return EmptyResult<CNMessageList>();
  Slot& slot = SlotFor(pos);
  if (fill) slot.set = true;
  return slot.list();
}

const CNMessageList& CNMessageBase::getlistobject(int index, int number, uint32_t tag, uint32_t check) const {
  size_t pos;
  const Slot* slot = Find("getlistobject", index, number, tag, check, FitsMessageList, &pos) ? SlotAt(pos) : nullptr;
  return slot ? slot->list() : EmptyList();
}

bool CNMessageBase::setliststring(int index, int number, const std::vector<std::string>& values, uint32_t tag,
                                  uint32_t check) {
  size_t pos;
  if (!Find("setliststring", index, number, tag, check, FitsTextList, &pos)) return false;
  Slot& slot = SlotFor(pos);
  slot.texts() = values;
  slot.set = true;
  return true;
}

bool CNMessageBase::setlistobject(int index, int number, const CNMessageList& values, uint32_t tag,
                                  uint32_t check) {
  size_t pos;
  const CNFieldDecl* f = Find("setlistobject", index, number, tag, check, FitsMessageList, &pos);
  if (!f) return false;
  for (const CNMessagePtr& element : values) {
    if (!element || (f->nestedTag != 0 && element->getTagID() != f->nestedTag)) {
      CountAccessError(getTagName(), "setlistobject", "an element is not of the list's type", index, number, tag,
                       check);
      return false;
    }
  }
  CNMessageList copy(values);  // values may be this very list
  Slot& slot = SlotFor(pos);
  slot.list().swap(copy);
  slot.set = true;
  return true;
}

CNMessageBase* CNMessageBase::getObjectAccessor(bool /*flag*/, bool create, int index, int number, uint32_t tag,
                                                uint32_t check, int nestedGroup, int nestedType) {
  size_t pos;
  const CNFieldDecl* f = Find("getObjectAccessor", index, number, tag, check, FitsMessage, &pos);
  if (!f) return nullptr;
  const uint32_t wanted = TagOf(nestedGroup, nestedType);
  Slot* slot = SlotAt(pos);
  const bool exists = slot && slot->object();
  if ((f->nestedTag != 0 && wanted != f->nestedTag) || (exists && slot->object()->getTagID() != wanted)) {
    CountAccessError(getTagName(), "getObjectAccessor", "nested type does not match", index, number, tag, check);
    return nullptr;
  }
  if (!exists) {
    if (!create) return nullptr;
    slot = &SlotFor(pos);
    slot->object() = CNMessagePtr(Create(wanted));
    slot->set = true;
  }
  return slot->object().get();
}

bool CNMessageBase::isSet(int index, uint32_t tag, uint32_t check) const {
  size_t pos;
  const CNFieldDecl* f = FindByIndex("isSet", index, tag, check, &pos);
  const Slot* slot = f ? SlotAt(pos) : nullptr;
  return slot != nullptr && slot->Present(f->kind);
}

// ---------------------------------------------------------------------------------------------
// Through field descriptors

int64_t CNMessageBase::getint64(const CNField& f) const {
  size_t pos;
  if (!Find("getint64", f.index, f.number, f.tag, f.check, FitsNumber, &pos)) return 0;
  const Slot* slot = SlotAt(pos);
  return slot && slot->set ? slot->number() : 0;
}
bool CNMessageBase::setint64(const CNField& f, int64_t value) {
  return setint64(f.index, f.number, value, f.tag, f.check);
}
std::string CNMessageBase::getstring(const CNField& f) const {
  return getstringByRef(f.index, f.number, f.tag, f.check);
}
const std::string& CNMessageBase::getstringByRef(const CNField& f) const {
  return getstringByRef(f.index, f.number, f.tag, f.check);
}
bool CNMessageBase::setstring(const CNField& f, const std::string& value) {
  return setstring(f.index, f.number, value, f.tag, f.check);
}
std::string CNMessageBase::getpstring(const CNField& f) const {
  return getpstring(f.index, f.number, f.tag, f.check);
}
bool CNMessageBase::setpstring(const CNField& f, const std::string& value) {
  return setpstring(f.index, f.number, value, f.tag, f.check);
}
bstring* CNMessageBase::getpstringobject(const CNField& f, bool create) {
  return getpstringobject(f.index, f.number, f.tag, f.check, create);
}
std::vector<std::string>& CNMessageBase::getliststring(const CNField& f, bool fill) {
  return getliststring(f.index, f.number, f.tag, f.check, fill);
}
std::vector<int64_t>& CNMessageBase::getlistint(const CNField& f, bool fill) {
  return getlistint(f.index, f.number, f.tag, f.check, fill);
}
CNMessageList& CNMessageBase::getlistobject(const CNField& f, bool fill) {
  return getlistobject(f.index, f.number, f.tag, f.check, fill);
}
const CNMessageList& CNMessageBase::getlistobject(const CNField& f) const {
  return getlistobject(f.index, f.number, f.tag, f.check);
}
bool CNMessageBase::setliststring(const CNField& f, const std::vector<std::string>& values) {
  return setliststring(f.index, f.number, values, f.tag, f.check);
}
bool CNMessageBase::setlistobject(const CNField& f, const CNMessageList& values) {
  return setlistobject(f.index, f.number, values, f.tag, f.check);
}
CNMessageBase* CNMessageBase::getObjectAccessor(const CNField& f, bool create, int nestedGroup, int nestedType) {
  return getObjectAccessor(false, create, f.index, f.number, f.tag, f.check, nestedGroup, nestedType);
}
bool CNMessageBase::isSet(const CNField& f) const {
  size_t pos;
  const CNFieldDecl* found = FindByIndex("isSet", f.index, f.tag, f.check, &pos);
  if (found && found->number != f.number) {
    CountAccessError(getTagName(), "isSet", "number does not match", f.index, f.number, f.tag, f.check);
    return false;
  }
  const Slot* slot = found ? SlotAt(pos) : nullptr;
  return slot != nullptr && slot->Present(found->kind);
}
