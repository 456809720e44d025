// Writing the XML form of messages: straight from the fields into the text, in one pass.
#include <charconv>
#include <new>

#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageSlot.h"
#include "platform/msg/CNMessageXml.h"
#include "platform/msg/CNXmlText.h"

namespace {

void SetError(std::string* error, const std::string& text) {
  if (error && error->empty()) *error = text;
}

// The file form puts every element on a line of its own, indented two blanks per level; a value
// stays on the line of its element. The wire form has no blanks between elements.
class Writer {
 public:
  Writer(std::string& out, bool compact, std::string* error) : out_(out), compact_(compact), error_(error) {}

  void Declaration() {
    if (!compact_) out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n";
  }
  void End() {
    if (!compact_) out_ += '\n';
  }

  // The element of a message, named by its tag name, at `level` of indentation.
  bool Message(const CNMessageBase& message, int level, int depth) {
    if (depth > CNMessageXml::kMaxDepth) {
      SetError(error_, "messages nested too deep");
      return false;
    }
    const std::string name = message.getTagName();
    Open(name, level);
    out_ += " tag=\"";
    out_ += cnxml::FormatTag(message.getTagID());
    out_ += '"';
    const CNMessageDecl* decl = message.getDecl();
    bool any = false;
    if (decl != nullptr) {  // a plain message has only its tag
      for (const auto& slot : CNMessageXmlAccess::Slots(message)) {
        const CNFieldDecl& f = decl->fields[slot->pos];
        if (!slot->Present(f.kind)) continue;
        if (!any) out_ += '>';
        any = true;
        if (!Field(message, f, *slot, level + 1, depth)) return false;
      }
    }
    Close(name, level, any, true);
    return true;
  }

 private:
  bool Field(const CNMessageBase& owner, const CNFieldDecl& f, const CNMessageBase::Slot& slot, int level,
             int depth) {
    switch (f.kind) {
      case CNFieldKind::Int64:
        Open(f.name, level);
        Number(slot.number());
        Close(f.name, level, true);
        return true;
      case CNFieldKind::Text:
        Text(f.name, slot.text(), level);
        return true;
      case CNFieldKind::ProtectedText: {
        Open(f.name, level);
        out_ += " enc=\"1\"";
        const std::string& clear = slot.ptext().str();
        if (!clear.empty()) {
          out_ += '>';
          out_ += cnxml::Obfuscate(clear);
        }
        Close(f.name, level, !clear.empty());
        return true;
      }
      case CNFieldKind::TextList:
        Open(f.name, level);
        if (!slot.texts().empty()) out_ += '>';
        for (const std::string& t : slot.texts()) Text("i", t, level + 1);
        Close(f.name, level, !slot.texts().empty(), true);
        return true;
      case CNFieldKind::IntList:
        Open(f.name, level);
        if (!slot.ints().empty()) out_ += '>';
        for (int64_t v : slot.ints()) {
          Open("i", level + 1);
          Number(v);
          Close("i", level + 1, true);
        }
        Close(f.name, level, !slot.ints().empty(), true);
        return true;
      case CNFieldKind::MessageList:
      case CNFieldKind::Message: {
        const bool isList = f.kind == CNFieldKind::MessageList;
        const size_t count = isList ? slot.list().size() : 1;
        Open(f.name, level);
        if (count > 0) out_ += '>';
        for (size_t k = 0; k < count; ++k) {
          const CNMessagePtr& child = isList ? slot.list()[k] : slot.object();
          // An element of the wrong type would make a document that no reader accepts.
          if (!child || (f.nestedTag != 0 && child->getTagID() != f.nestedTag)) {
            SetError(error_, "field " + std::string(f.name) + " of " + owner.getTagName() +
                                 " holds a message of another type");
            return false;
          }
          if (!Message(*child, level + 1, depth + 1)) return false;
        }
        Close(f.name, level, count > 0, true);
        return true;
      }
    }
    return false;
  }

  // Texts that XML cannot carry unchanged go as base64, marked b64="1".
  void Text(const char* name, const std::string& text, int level) {
    Open(name, level);
    if (text.empty()) {
      out_ += "/>";
      return;
    }
    const size_t mark = out_.size();
    out_ += '>';
    if (!cnxml::AppendXmlText(text, out_)) {
      out_.resize(mark);
      out_ += " b64=\"1\">";
      cnxml::AppendBase64(text, out_);
    }
    Close(name, level, true);
  }

  void Number(int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out_ += '>';
    out_.append(digits, result.ptr);
  }

  // Starts "<name" on a line of its own (file form); the caller adds attributes and then '>' when
  // content follows.
  template <class Name>
  void Open(const Name& name, int level) {
    if (!compact_ && level > 0) {
      out_ += '\n';
      out_.append(2 * static_cast<size_t>(level), ' ');
    }
    out_ += '<';
    out_ += name;
  }

  // Ends the element: "/>" without content, else the end tag, on a line of its own (file form)
  // when the content was elements.
  template <class Name>
  void Close(const Name& name, int level, bool hasContent, bool contentIsElements = false) {
    if (!hasContent) {
      out_ += "/>";
      return;
    }
    if (!compact_ && contentIsElements) {
      out_ += '\n';
      out_.append(2 * static_cast<size_t>(level), ' ');
    }
    out_ += "</";
    out_ += name;
    out_ += '>';
  }

  std::string& out_;
  const bool compact_;
  std::string* error_;
};

}  // namespace

bool CNMessageXml::Serialize(const CNMessageBase& message, std::string& xml, bool compact, std::string* error) {
  try {
    std::string out;
    out.reserve(4096);
    Writer writer(out, compact, error);
    writer.Declaration();
    if (!writer.Message(message, 0, 0)) return false;
    writer.End();
    xml.swap(out);
    return true;
  } catch (const std::bad_alloc&) {
    SetError(error, "XML writer ran out of memory");
    return false;
  }
}

bool CNMessageBase::serialize(std::string& xml, bool compact) const {
  return CNMessageXml::Serialize(*this, xml, compact, nullptr);
}
