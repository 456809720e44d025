#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/msg/CNMessageCatalogue.h"
#include "platform/msg/CNMessageDecl.h"
#include "platform/msg/bstring.h"

class CNMessageBase;

// An owning pointer to a message that copies deeply: a copy is a new object of the same generated
// class (made through the catalogue's factory), so a static_cast to the generated type stays valid.
class CNMessagePtr {
 public:
  CNMessagePtr() = default;
  explicit CNMessagePtr(std::unique_ptr<CNMessageBase> message);
  explicit CNMessagePtr(const CNMessageBase& message);  // stores a deep copy
  CNMessagePtr(const CNMessagePtr& other);
  CNMessagePtr& operator=(const CNMessagePtr& other);
  CNMessagePtr(CNMessagePtr&&) noexcept;
  CNMessagePtr& operator=(CNMessagePtr&&) noexcept;
  ~CNMessagePtr();

  CNMessageBase* get() const { return ptr_.get(); }
  CNMessageBase* operator->() const { return ptr_.get(); }
  CNMessageBase& operator*() const { return *ptr_; }
  explicit operator bool() const { return static_cast<bool>(ptr_); }

 private:
  std::unique_ptr<CNMessageBase> ptr_;
};

using CNMessageList = std::vector<CNMessagePtr>;

// A message of the agent protocol and of the message files: a (group, type) pair with typed fields.
//
// Every field access names the field completely (index, number, tag id, check value). The access is
// verified against the message's declaration: the tag must be the message's own, a field with that
// number must exist, its index (where passed) and check value must match, and its kind must fit the
// call. A mismatch is counted (AccessErrorCount), writes nothing and reads the empty value, so a call
// site that uses another message's constants is caught instead of touching the wrong field.
//
// A message object belongs to one thread at a time; copies are deep.
class CNMessageBase {
 public:
  // Finds the declaration of (group, type); an unknown pair gives a plain message without fields.
  CNMessageBase(int group, int type);
  // Deep copies. Assignment through base references takes over the other message's type as well;
  // the generated classes only assign their own type.
  CNMessageBase(const CNMessageBase& other);
  CNMessageBase& operator=(const CNMessageBase& other);
  virtual ~CNMessageBase();

  uint32_t getTagID() const { return tag_; }
  std::string getTagName() const;
  int getGroup() const { return group_; }
  int getType() const { return type_; }
  const CNMessageDecl* getDecl() const { return decl_; }  // null for a plain message

  // Numbers: an unset number reads 0.
  int64_t getint64(int number, uint32_t tag, uint32_t check) const;
  bool setint64(int index, int number, int64_t value, uint32_t tag, uint32_t check);

  // Texts: an unset text reads "". Protected texts may be read and written here as well.
  std::string getstring(int index, int number, uint32_t tag, uint32_t check) const;
  const std::string& getstringByRef(int index, int number, uint32_t tag, uint32_t check) const;
  bool setstring(int index, int number, const std::string& value, uint32_t tag, uint32_t check);

  // Protected texts (passwords): kept in clear in memory, never written to XML in clear.
  std::string getpstring(int index, int number, uint32_t tag, uint32_t check) const;
  bool setpstring(int index, int number, const std::string& value, uint32_t tag, uint32_t check);
  // The holder of a protected text; null when unset and `create` is false, or on a mismatch. With
  // `create` an unset field becomes set to an empty text.
  bstring* getpstringobject(int index, int number, uint32_t tag, uint32_t check, bool create);

  // Lists. `fill` false: for reading (an unset list stays unset); true: for appending (the list is
  // marked set). A list that holds elements is serialised however it was obtained. On a mismatch
  // the reference is to an empty per-thread object, emptied on every such return.
  std::vector<std::string>& getliststring(int index, int number, uint32_t tag, uint32_t check, bool fill);
  std::vector<int64_t>& getlistint(int index, int number, uint32_t tag, uint32_t check, bool fill);
  CNMessageList& getlistobject(int index, int number, uint32_t tag, uint32_t check, bool fill);
  // For reading only: an unset list stays without a slot and reads as a shared empty list, so that
  // threads may read one message at once.
  const CNMessageList& getlistobject(int index, int number, uint32_t tag, uint32_t check) const;
  bool setliststring(int index, int number, const std::vector<std::string>& values, uint32_t tag,
                     uint32_t check);
  // Every element must be of the field's element type; otherwise nothing is written.
  bool setlistobject(int index, int number, const CNMessageList& values, uint32_t tag, uint32_t check);

  // A nested message. Null when unset and `create` is false; `create` makes it (an object of the
  // generated class of (nestedGroup, nestedType)) on first write access. (nestedGroup, nestedType)
  // must name the field's declared type. `flag` is accepted for call-site compatibility and unused.
  CNMessageBase* getObjectAccessor(bool flag, bool create, int index, int number, uint32_t tag,
                                   uint32_t check, int nestedGroup, int nestedType);

  // Whether an optional field was set (lists: set or not empty).
  bool isSet(int index, uint32_t tag, uint32_t check) const;

  // The same operations through a generated field descriptor (F_<name> of a generated class); the
  // descriptor's index is checked as well.
  int64_t getint64(const CNField& f) const;
  bool setint64(const CNField& f, int64_t value);
  std::string getstring(const CNField& f) const;
  const std::string& getstringByRef(const CNField& f) const;
  bool setstring(const CNField& f, const std::string& value);
  std::string getpstring(const CNField& f) const;
  bool setpstring(const CNField& f, const std::string& value);
  bstring* getpstringobject(const CNField& f, bool create);
  std::vector<std::string>& getliststring(const CNField& f, bool fill);
  std::vector<int64_t>& getlistint(const CNField& f, bool fill);
  CNMessageList& getlistobject(const CNField& f, bool fill);
  const CNMessageList& getlistobject(const CNField& f) const;
  bool setliststring(const CNField& f, const std::vector<std::string>& values);
  bool setlistobject(const CNField& f, const CNMessageList& values);
  CNMessageBase* getObjectAccessor(const CNField& f, bool create, int nestedGroup, int nestedType);
  template <class T>
  T* getObject(const CNField& f, bool create) {
    return static_cast<T*>(getObjectAccessor(f, create, T::GROUP, T::TYPE));
  }
  bool isSet(const CNField& f) const;

  // XML text of the message. compact: no declaration, indentation or line breaks between elements
  // (the wire form); otherwise indented with an XML declaration (the file form). Texts that XML
  // cannot carry unchanged (control characters, malformed UTF-8) travel base64-encoded.
  bool serialize(std::string& xml, bool compact) const;
  // Strict: the root must be this message's tag name with its tag id, every known field well formed;
  // unknown field elements are ignored with all they hold (within the element depth limit). On
  // failure *this is unchanged and `error` says why.
  bool deserialize(const std::string& xml, std::string* error = nullptr);

  // A new object of the generated class of the tag; an unknown tag gives a plain message carrying it.
  static std::unique_ptr<CNMessageBase> Create(uint32_t tagId);
  // A typed object when the root is a known tag name; a plain message carrying the tag id when the
  // root is unknown but has a well-formed tag attribute (receivers ignore unknown tags); else null.
  static std::unique_ptr<CNMessageBase> CreateFromXml(const std::string& xml, std::string* error);

  static uint64_t AccessErrorCount();
  static void ResetAccessErrorCount();
  static std::string LastAccessError();  // describes the latest mismatch, for diagnostics

  struct Slot;  // the value of one declared field; defined in the implementation

 private:
  friend class CNMessageXmlAccess;

  CNMessageBase(uint32_t tagId, const CNMessageDecl* decl, const std::string& plainName);
  // Create, with the catalogue's declaration of tagId (or null) already at hand.
  static std::unique_ptr<CNMessageBase> Create(uint32_t tagId, const CNMessageDecl* decl);

  // The slot of the field at `pos` of the declaration: null when the field was never written;
  // SlotFor makes an unset one on first use.
  const Slot* SlotAt(size_t pos) const;
  Slot* SlotAt(size_t pos);
  Slot& SlotFor(size_t pos);

  // The slot of the field that fits (index, number, tag, check, kind), or null after counting an
  // access error. index < 0: not checked.
  const CNFieldDecl* Find(const char* op, int index, int number, uint32_t tag, uint32_t check,
                          bool (*kindFits)(CNFieldKind), size_t* pos) const;
  const CNFieldDecl* FindByIndex(const char* op, int index, uint32_t tag, uint32_t check,
                                 size_t* pos) const;

  // Constant after construction (but replaced whole by assignment).
  const CNMessageDecl* decl_ = nullptr;
  uint32_t tag_ = 0;
  int group_ = 0;
  int type_ = 0;
  std::string plainName_;  // tag name of a plain message

  // Only the fields ever written, ordered by their position in the declaration. Slots are held by
  // pointer: references handed out to a list stay valid while other fields are written.
  std::vector<std::unique_ptr<Slot>> slots_;
};
