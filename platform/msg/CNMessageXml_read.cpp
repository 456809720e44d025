// Reading the XML form of messages. The parser's events go straight into the fields of the message
// being built, with no document tree in between, so memory stays a small multiple of the document
// and time linear in it, whatever names, attributes and nesting the document holds.
#include <expat.h>

#include <atomic>
#include <cstring>
#include <new>
#include <random>

#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageSlot.h"
#include "platform/msg/CNMessageXml.h"
#include "platform/msg/CNXmlText.h"

namespace {

constexpr size_t kMaxElementDepth = CNMessageXml::kMaxElementDepth;
constexpr size_t kNoField = static_cast<size_t>(-1);

// The role of an open element.
enum class Role {
  Message,  // a message; its children are its fields (ignored for a type this process does not know)
  Value,    // a number, text or protected text field: character data only
  List,     // a text or number list field: <i> items only
  Item,     // an item of such a list: character data only
  Nest,     // a message or message list field: message elements only
  Skip,     // a field this process does not know, and everything inside it
};

struct Frame {
  Role role;
  CNMessageBase* message = nullptr;        // Message: the message itself; other roles: the field's owner
  const CNFieldDecl* field = nullptr;      // the field (Value, List, Item, Nest)
  CNMessageBase::Slot* slot = nullptr;     // the field's slot (Value, List, Item, Nest)
  size_t nextField = 0;                    // Message: where the next field is looked for first
  bool encoded = false;                    // Value, Item: a text marked b64="1"
  int count = 0;                           // Nest: message elements seen
};

const char* Attribute(const XML_Char** atts, const char* name) {
  for (; atts && atts[0]; atts += 2) {
    if (std::strcmp(atts[0], name) == 0) return atts[1];
  }
  return nullptr;
}

bool IsBlank(const char* s, int len) {
  for (int i = 0; i < len; ++i) {
    if (s[i] != ' ' && s[i] != '\t' && s[i] != '\n' && s[i] != '\r') return false;
  }
  return true;
}

// Whether `name` is the tag name "<nameSpace>_<className>" of the declaration.
bool NameIs(const CNMessageDecl& decl, const char* name) {
  const size_t n = std::strlen(decl.nameSpace);
  return std::strncmp(name, decl.nameSpace, n) == 0 && name[n] == '_' && std::strcmp(name + n + 1, decl.className) == 0;
}

// Position of the field named `name`, trying `hint` first: fields usually come in declaration order.
size_t FindField(const CNMessageDecl& decl, const char* name, size_t hint) {
  if (hint < decl.fields.size() && std::strcmp(decl.fields[hint].name, name) == 0) return hint;
  for (size_t i = 0; i < decl.fields.size(); ++i) {
    if (std::strcmp(decl.fields[i].name, name) == 0) return i;
  }
  return kNoField;
}

// A parser costs about as much to make as a small message costs to read, so each thread keeps one
// and resets it between documents. One that has read a large document is freed instead, so that
// the pools it grew do not stay with the thread.
class ParserCache {
 public:
  static constexpr size_t kKeepAfterBytes = 256u << 10;

  ~ParserCache() {
    if (parser_) XML_ParserFree(parser_);
  }
  // A parser ready for a new document, or null when none can be made.
  XML_Parser Take() {
    XML_Parser parser = parser_;
    parser_ = nullptr;
    if (parser != nullptr && XML_ParserReset(parser, nullptr) == XML_TRUE) return Salted(parser);
    if (parser != nullptr) XML_ParserFree(parser);
    parser = XML_ParserCreate(nullptr);
    return parser ? Salted(parser) : nullptr;
  }
  void Give(XML_Parser parser, size_t documentBytes) {
    if (parser_ == nullptr && documentBytes <= kKeepAfterBytes) {
      parser_ = parser;
    } else {
      XML_ParserFree(parser);
    }
  }

 private:
  // The parser's name tables hash with a secret salt, so that a document cannot be made of names
  // that collide. The salt comes from a random value drawn once per process plus a count: drawing
  // fresh entropy for every document would cost as much as reading a small one.
  static XML_Parser Salted(XML_Parser parser) {
    static const uint64_t secret = (static_cast<uint64_t>(std::random_device()()) << 32) ^ std::random_device()();
    static std::atomic<uint64_t> count{0};
    XML_SetHashSalt(parser, static_cast<unsigned long>(secret + 0x9E3779B97F4A7C15ull * ++count));
    return parser;
  }

  XML_Parser parser_ = nullptr;
};

thread_local ParserCache t_parsers;

class Reader {
 public:
  // `target` (may be null) fixes the root's type.
  Reader(const CNMessageBase* target, std::string* error) : target_(target), error_(error) {}

  std::unique_ptr<CNMessageBase> Parse(const std::string& xml) {
    if (xml.empty()) return Refuse("empty document");
    if (xml.size() > CNMessageXml::kMaxDocumentBytes) {
      return Refuse("document larger than " + std::to_string(CNMessageXml::kMaxDocumentBytes) + " bytes");
    }
    parser_ = t_parsers.Take();
    if (parser_ == nullptr) return Refuse("XML parser could not be created");
    std::unique_ptr<CNMessageBase> result;
    try {
      result = Run(xml);
    } catch (const std::bad_alloc&) {
      Refuse("XML reader ran out of memory");
    }
    t_parsers.Give(parser_, xml.size());
    parser_ = nullptr;
    return result;
  }

 private:
  std::unique_ptr<CNMessageBase> Run(const std::string& xml) {
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, OnStart, OnEnd);
    XML_SetCharacterDataHandler(parser_, OnText);
    XML_SetStartCdataSectionHandler(parser_, OnCdata);
    // No document type at all: that rules out internal entities (expansion bombs) and external ones.
    XML_SetStartDoctypeDeclHandler(parser_, OnDoctype);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    stack_.reserve(16);
    if (XML_Parse(parser_, xml.data(), static_cast<int>(xml.size()), XML_TRUE) != XML_STATUS_OK) {
      if (outOfMemory_ || XML_GetErrorCode(parser_) == XML_ERROR_NO_MEMORY) {
        result_.reset();
        return Refuse("XML reader ran out of memory");
      }
      if (failed_) return nullptr;  // the reason is recorded
      return Refuse(std::string("malformed XML: ") + XML_ErrorString(XML_GetErrorCode(parser_)) + " (line " +
                    std::to_string(XML_GetCurrentLineNumber(parser_)) + ", column " +
                    std::to_string(XML_GetCurrentColumnNumber(parser_)) + ")");
    }
    if (failed_ || !result_) return Refuse("not an XML document");
    return std::move(result_);
  }

  // The handlers run inside the C parser, which nothing may unwind through: a failed allocation
  // stops the parse like any other failure.
  template <class Step>
  static void Guarded(void* self, Step step) {
    Reader& reader = *static_cast<Reader*>(self);
    try {
      step(reader);
    } catch (const std::bad_alloc&) {
      reader.outOfMemory_ = true;
      reader.Fail(std::string());
    }
  }
  static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** atts) {
    Guarded(self, [&](Reader& r) { r.Start(name, atts); });
  }
  static void XMLCALL OnEnd(void* self, const XML_Char*) {
    Guarded(self, [](Reader& r) { r.End(); });
  }
  static void XMLCALL OnText(void* self, const XML_Char* s, int len) {
    Guarded(self, [&](Reader& r) { r.Text(s, len); });
  }
  static void XMLCALL OnCdata(void* self) {
    Guarded(self, [](Reader& r) { r.Cdata(); });
  }
  static void XMLCALL OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    Guarded(self, [](Reader& r) { r.Fail("document type declarations are not accepted"); });
  }

  std::nullptr_t Refuse(const std::string& why) {
    if (error_ && error_->empty()) *error_ = why;
    return nullptr;
  }

  // Keeps the first reason and stops the parser; events that still arrive are ignored.
  void Fail(const std::string& why) {
    if (failed_) return;
    failed_ = true;
    XML_StopParser(parser_, XML_FALSE);
    Refuse(why);
  }

  static std::string Owner(const Frame& frame) { return frame.message->getTagName(); }
  static std::string FieldName(const Frame& frame) { return frame.field->name; }
  // The element name of a frame, for the reason of a refusal.
  static std::string ElementName(const Frame& frame) {
    switch (frame.role) {
      case Role::Message: return frame.message->getTagName();
      case Role::Item: return "i";
      default: return frame.field->name;
    }
  }
  // Between the elements of a known message or of a list only blanks, comments and instructions
  // may stand.
  static bool HoldsElements(const Frame& frame) {
    return frame.role == Role::List || frame.role == Role::Nest ||
           (frame.role == Role::Message && frame.message->getDecl() != nullptr);
  }

  void Start(const char* name, const XML_Char** atts) {
    if (failed_) return;
    if (stack_.size() >= kMaxElementDepth) return Fail("elements nested too deep");
    if (stack_.empty()) return StartMessage(name, atts, nullptr);
    const Frame top = stack_.back();  // a copy: pushing may move the stack
    switch (top.role) {
      case Role::Skip:
        Push(Role::Skip);
        return;
      case Role::Message:
        if (top.message->getDecl() == nullptr) {  // fields of unknown types are not read
          Push(Role::Skip);
          return;
        }
        return StartField(name, atts);
      case Role::Value:
      case Role::Item:
        return Fail("element <" + ElementName(top) + "> holds elements where a value belongs");
      case Role::List:
        if (std::strcmp(name, "i") != 0) {
          return Fail("list <" + FieldName(top) + "> of " + Owner(top) + " holds a foreign element");
        }
        return StartValue(Role::Item, top.message, top.field, top.slot, atts);
      case Role::Nest:
        if (top.field->kind == CNFieldKind::Message && top.count > 0) {
          return Fail("field <" + FieldName(top) + "> of " + Owner(top) + " holds more than one message");
        }
        ++stack_.back().count;
        return StartMessage(name, atts, &top);
    }
  }

  // A message element: the root (`holder` null) or an element of a message or message list field.
  void StartMessage(const char* name, const XML_Char** atts, const Frame* holder) {
    if (openMessages_ > CNMessageXml::kMaxDepth) return Fail("messages nested too deep");
    const char* tagText = Attribute(atts, "tag");
    uint32_t tag = 0;
    if (tagText == nullptr || !cnxml::ParseTag(tagText, tag)) {
      return Fail("element <" + std::string(name) + "> has no well-formed tag attribute");
    }
    const CNMessageCatalogue& catalogue = CNMessageCatalogue::Instance();
    const CNMessageDecl* byTag = catalogue.FindByTag(tag);
    const CNMessageDecl* decl = byTag && NameIs(*byTag, name) ? byTag : catalogue.FindByName(name);
    if (decl ? decl->tagId != tag : byTag != nullptr) {
      return Fail("element <" + std::string(name) + "> carries the tag " + cnxml::FormatTag(tag) +
                  " of another message");
    }
    const uint32_t wanted = holder ? holder->field->nestedTag : 0;
    if (holder == nullptr && target_ != nullptr) {
      if (tag != target_->getTagID() || (target_->getDecl() && decl != target_->getDecl())) {
        return Fail("root <" + std::string(name) + "> is not a " + target_->getTagName());
      }
    } else if (wanted != 0 && tag != wanted) {
      return Fail("element <" + std::string(name) + "> is not of the field's type");
    }
    std::unique_ptr<CNMessageBase> message =
        decl ? CNMessageXmlAccess::Typed(*decl) : CNMessageXmlAccess::Plain(tag, name);
    CNMessageBase* raw = message.get();
    // Handed to its holder at once, so that every message read so far belongs to the result.
    if (holder == nullptr) {
      result_ = std::move(message);
    } else if (holder->field->kind == CNFieldKind::MessageList) {
      holder->slot->list().emplace_back(std::move(message));
    } else {
      holder->slot->object() = CNMessagePtr(std::move(message));
    }
    Push(Role::Message).message = raw;
    ++openMessages_;
  }

  void StartField(const char* name, const XML_Char** atts) {
    Frame& owner = stack_.back();
    CNMessageBase& message = *owner.message;
    const CNMessageDecl& decl = *message.getDecl();
    const size_t pos = FindField(decl, name, owner.nextField);
    if (pos == kNoField) {  // a field this process does not know
      Push(Role::Skip);
      return;
    }
    owner.nextField = pos + 1;
    const CNFieldDecl& f = decl.fields[pos];
    // The message is new: a slot that exists was made by an earlier element of this field.
    if (CNMessageXmlAccess::SlotAt(message, pos) != nullptr) {
      return Fail("field <" + std::string(name) + "> of " + message.getTagName() + " appears twice");
    }
    CNMessageBase::Slot* slot = &CNMessageXmlAccess::SlotFor(message, pos);
    switch (f.kind) {
      case CNFieldKind::Int64:
      case CNFieldKind::Text:
        return StartValue(Role::Value, &message, &f, slot, atts);
      case CNFieldKind::ProtectedText: {
        const char* enc = Attribute(atts, "enc");
        if (enc == nullptr || std::strcmp(enc, "1") != 0) {
          return Fail("protected field <" + std::string(f.name) + "> of " + message.getTagName() +
                      " is not encoded");
        }
        return StartValue(Role::Value, &message, &f, slot, atts);
      }
      case CNFieldKind::TextList:
      case CNFieldKind::IntList:
      case CNFieldKind::MessageList:
      case CNFieldKind::Message: {
        Push(f.kind == CNFieldKind::TextList || f.kind == CNFieldKind::IntList ? Role::List : Role::Nest, &message, &f,
             slot);
        return;
      }
    }
  }

  // A value element: a number, text or protected text field, or an item of a list. A text may be
  // marked b64="1"; any other value of that attribute is refused.
  void StartValue(Role role, CNMessageBase* owner, const CNFieldDecl* f, CNMessageBase::Slot* slot,
                  const XML_Char** atts) {
    const char* b64 = nullptr;
    if (f->kind == CNFieldKind::Text || f->kind == CNFieldKind::TextList) {
      b64 = Attribute(atts, "b64");
      if (b64 != nullptr && std::strcmp(b64, "1") != 0) {
        return Fail("element <" + std::string(role == Role::Item ? "i" : f->name) + "> holds a bad encoded text");
      }
    }
    text_.clear();
    Push(role, owner, f, slot).encoded = b64 != nullptr;
  }

  Frame& Push(Role role, CNMessageBase* message = nullptr, const CNFieldDecl* field = nullptr,
              CNMessageBase::Slot* slot = nullptr) {
    stack_.emplace_back();
    Frame& frame = stack_.back();
    frame.role = role;
    frame.message = message;
    frame.field = field;
    frame.slot = slot;
    return frame;
  }

  void End() {
    if (failed_) return;
    const Frame frame = stack_.back();
    stack_.pop_back();
    switch (frame.role) {
      case Role::Skip:
        return;
      case Role::Message:
        --openMessages_;
        return;
      case Role::Value:
      case Role::Item:
        return EndValue(frame);
      case Role::Nest:
        if (frame.field->kind == CNFieldKind::Message && frame.count == 0) {
          return Fail("field <" + FieldName(frame) + "> of " + Owner(frame) + " holds no message");
        }
        frame.slot->set = true;
        return;
      case Role::List:
        frame.slot->set = true;
        return;
    }
  }

  void EndValue(const Frame& frame) {
    const char* name = frame.role == Role::Item ? "i" : frame.field->name;
    CNMessageBase::Slot& slot = *frame.slot;
    switch (frame.field->kind) {
      case CNFieldKind::Int64:
      case CNFieldKind::IntList: {
        int64_t value = 0;
        if (!cnxml::ParseInt64(text_, value)) return Fail("element <" + std::string(name) + "> holds a bad number");
        if (frame.role == Role::Item) {
          slot.ints().push_back(value);
        } else {
          slot.number() = value;
          slot.set = true;
        }
        return;
      }
      case CNFieldKind::Text:
      case CNFieldKind::TextList: {
        std::string value;
        if (!frame.encoded) {
          value.swap(text_);
        } else if (!cnxml::Base64Decode(text_, value)) {
          return Fail("element <" + std::string(name) + "> holds a bad encoded text");
        }
        if (frame.role == Role::Item) {
          slot.texts().push_back(std::move(value));
        } else {
          slot.text() = std::move(value);
          slot.set = true;
        }
        return;
      }
      case CNFieldKind::ProtectedText: {
        std::string clear;
        if (!cnxml::Deobfuscate(text_, clear)) {
          return Fail("protected field <" + std::string(name) + "> of " + Owner(frame) + " is malformed");
        }
        slot.ptext() = bstring(clear);
        slot.set = true;
        return;
      }
      default:
        return;
    }
  }

  void Text(const char* s, int len) {
    if (failed_ || stack_.empty()) return;
    const Frame& top = stack_.back();
    if (top.role == Role::Value || top.role == Role::Item) {
      text_.append(s, static_cast<size_t>(len));
    } else if (HoldsElements(top) && !IsBlank(s, len)) {
      Fail("unexpected content in <" + ElementName(top) + ">");
    }
  }

  void Cdata() {
    if (failed_ || stack_.empty()) return;
    if (HoldsElements(stack_.back())) Fail("unexpected content in <" + ElementName(stack_.back()) + ">");
  }

  const CNMessageBase* target_;
  std::string* error_;
  XML_Parser parser_ = nullptr;
  bool failed_ = false;
  bool outOfMemory_ = false;
  std::vector<Frame> stack_;  // the open elements
  int openMessages_ = 0;      // message elements among them
  std::string text_;          // character data of the open value element
  std::unique_ptr<CNMessageBase> result_;
};

}  // namespace

std::unique_ptr<CNMessageBase> CNMessageXml::Parse(const std::string& xml, const CNMessageBase* target,
                                                   std::string* error) {
  Reader reader(target, error);
  return reader.Parse(xml);
}

bool CNMessageBase::deserialize(const std::string& xml, std::string* error) {
  std::string why;
  std::unique_ptr<CNMessageBase> parsed = CNMessageXml::Parse(xml, this, &why);
  if (!parsed) {
    if (error) *error = why;
    return false;
  }
  CNMessageXmlAccess::Adopt(*this, *parsed);
  return true;
}

std::unique_ptr<CNMessageBase> CNMessageBase::CreateFromXml(const std::string& xml, std::string* error) {
  std::string why;
  std::unique_ptr<CNMessageBase> parsed = CNMessageXml::Parse(xml, nullptr, &why);
  if (!parsed && error) *error = why;
  return parsed;
}
