#pragma once
// The stored value of one declared field, and the XML form's access to it. Private to the message
// runtime.
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/msg/CNMessageBase.h"

// A message keeps a slot only for the fields that were written or handed out for writing, and a slot
// holds only the value of its field's kind. A document of many empty or sparse elements of a large
// message type must not cost much more memory than its own text.
struct CNMessageBase::Slot {
  Slot(uint32_t position, CNFieldKind kind);

  uint32_t pos;      // the field's position in the declaration
  bool set = false;  // lists: also "present" when not empty, however they were obtained
  std::variant<int64_t, std::string, bstring, std::vector<std::string>, std::vector<int64_t>, CNMessageList,
               CNMessagePtr>
      value;

  // The value of the slot's own kind (the kind it was made with).
  int64_t& number() { return std::get<int64_t>(value); }
  std::string& text() { return std::get<std::string>(value); }
  bstring& ptext() { return std::get<bstring>(value); }
  std::vector<std::string>& texts() { return std::get<std::vector<std::string>>(value); }
  std::vector<int64_t>& ints() { return std::get<std::vector<int64_t>>(value); }
  CNMessageList& list() { return std::get<CNMessageList>(value); }
  CNMessagePtr& object() { return std::get<CNMessagePtr>(value); }
  int64_t number() const { return std::get<int64_t>(value); }
  const std::string& text() const { return std::get<std::string>(value); }
  const bstring& ptext() const { return std::get<bstring>(value); }
  const std::vector<std::string>& texts() const { return std::get<std::vector<std::string>>(value); }
  const std::vector<int64_t>& ints() const { return std::get<std::vector<int64_t>>(value); }
  const CNMessageList& list() const { return std::get<CNMessageList>(value); }
  const CNMessagePtr& object() const { return std::get<CNMessagePtr>(value); }

  bool Present(CNFieldKind kind) const;
};

// The XML reader and writer work on the slots directly.
class CNMessageXmlAccess {
 public:
  using SlotList = std::vector<std::unique_ptr<CNMessageBase::Slot>>;
  static const SlotList& Slots(const CNMessageBase& m) { return m.slots_; }
  static CNMessageBase::Slot* SlotAt(CNMessageBase& m, size_t pos) { return m.SlotAt(pos); }
  static CNMessageBase::Slot& SlotFor(CNMessageBase& m, size_t pos) { return m.SlotFor(pos); }
  static std::unique_ptr<CNMessageBase> Typed(const CNMessageDecl& decl) {
    return CNMessageBase::Create(decl.tagId, &decl);
  }
  static std::unique_ptr<CNMessageBase> Plain(uint32_t tag, const std::string& name) {
    return std::unique_ptr<CNMessageBase>(new CNMessageBase(tag, nullptr, name));
  }
  // Gives `target` the type and the content of `parsed`, which is left empty.
  static void Adopt(CNMessageBase& target, CNMessageBase& parsed) {
    target.decl_ = parsed.decl_;
    target.tag_ = parsed.tag_;
    target.group_ = parsed.group_;
    target.type_ = parsed.type_;
    target.plainName_.swap(parsed.plainName_);
    target.slots_.swap(parsed.slots_);
  }
};
