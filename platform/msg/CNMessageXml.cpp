#include "platform/msg/CNMessageXml.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <mutex>

#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageSlot.h"
#include "platform/msg/CNXmlText.h"

using namespace xercesc;

namespace {

const XMLCh kTagAttr[] = u"tag";
const XMLCh kEncAttr[] = u"enc";
const XMLCh kB64Attr[] = u"b64";
const XMLCh kOne[] = u"1";
const XMLCh kItem[] = u"i";

// Xerces is set up once per process and never torn down: threads may use it until exit.
DOMImplementation* Xerces(std::string* error) {
  static std::once_flag once;
  static DOMImplementation* impl = nullptr;
  std::call_once(once, [] {
    try {
      XMLPlatformUtils::Initialize();
      impl = DOMImplementationRegistry::getDOMImplementation(u"LS");
    } catch (...) {
      impl = nullptr;
    }
  });
  if (impl == nullptr && error) *error = "XML library could not be initialised";
  return impl;
}

void SetError(std::string* error, const std::string& text) {
  if (error && error->empty()) *error = text;
}

std::string ToUtf8(const XMLCh* text) {
  std::string out;
  if (!cnxml::Utf16ToUtf8(text, out)) return std::string();
  return out;
}

std::string Describe(const XMLException& e) { return ToUtf8(e.getMessage()); }

// ---------------------------------------------------------------------------------------------
// Writing

class DocumentBuilder {
 public:
  explicit DocumentBuilder(DOMDocument* doc) : doc_(doc) {}

  DOMElement* Element(const std::string& name) {
    cnxml::Utf8ToUtf16(name, scratch_);  // names are checked ASCII
    return doc_->createElement(scratch_.c_str());
  }

  // Character data of a text; texts that XML cannot carry unchanged go as base64.
  void SetText(DOMElement* element, const std::string& text) {
    if (text.empty()) return;
    if (cnxml::IsPlainXmlText(text)) {
      cnxml::Utf8ToUtf16(text, scratch_);
    } else {
      element->setAttribute(kB64Attr, kOne);
      cnxml::Utf8ToUtf16(cnxml::Base64Encode(text), scratch_);
    }
    element->appendChild(doc_->createTextNode(scratch_.c_str()));
  }

  void SetAscii(DOMElement* element, const std::string& text) {
    cnxml::Utf8ToUtf16(text, scratch_);
    element->appendChild(doc_->createTextNode(scratch_.c_str()));
  }

  void SetAttr(DOMElement* element, const XMLCh* name, const std::string& value) {
    cnxml::Utf8ToUtf16(value, scratch_);
    element->setAttribute(name, scratch_.c_str());
  }

  bool Message(DOMElement* parent, const CNMessageBase& message, int depth, std::string* error);

 private:
  DOMDocument* doc_;
  std::u16string scratch_;
};

}  // namespace

// Friend of CNMessageBase: reads the slots directly.
class CNMessageXmlAccess {
 public:
  static const std::vector<CNMessageBase::Slot>& Slots(const CNMessageBase& m) { return m.slots_; }
  static std::vector<CNMessageBase::Slot>& Slots(CNMessageBase& m) { return m.slots_; }
  static std::unique_ptr<CNMessageBase> Plain(uint32_t tag, const std::string& name) {
    return std::unique_ptr<CNMessageBase>(new CNMessageBase(tag, nullptr, name));
  }
};

namespace {

bool DocumentBuilder::Message(DOMElement* element, const CNMessageBase& message, int depth, std::string* error) {
  if (depth > CNMessageXml::kMaxDepth) {
    SetError(error, "messages nested too deep");
    return false;
  }
  SetAttr(element, kTagAttr, cnxml::FormatTag(message.getTagID()));
  const CNMessageDecl* decl = message.getDecl();
  if (decl == nullptr) return true;  // a plain message has only its tag
  const auto& slots = CNMessageXmlAccess::Slots(message);
  for (size_t i = 0; i < decl->fields.size(); ++i) {
    const CNFieldDecl& f = decl->fields[i];
    const CNMessageBase::Slot& slot = slots[i];
    if (!slot.Present(f.kind)) continue;
    DOMElement* fe = Element(f.name);
    element->appendChild(fe);
    switch (f.kind) {
      case CNFieldKind::Int64:
        SetAscii(fe, std::to_string(slot.number));
        break;
      case CNFieldKind::Text:
        SetText(fe, slot.text);
        break;
      case CNFieldKind::ProtectedText:
        fe->setAttribute(kEncAttr, kOne);
        if (!slot.ptext.str().empty()) SetAscii(fe, cnxml::Obfuscate(slot.ptext.str()));
        break;
      case CNFieldKind::TextList:
        for (const std::string& t : slot.texts) {
          DOMElement* item = doc_->createElement(kItem);
          fe->appendChild(item);
          SetText(item, t);
        }
        break;
      case CNFieldKind::IntList:
        for (int64_t v : slot.ints) {
          DOMElement* item = doc_->createElement(kItem);
          fe->appendChild(item);
          SetAscii(item, std::to_string(v));
        }
        break;
      case CNFieldKind::MessageList:
      case CNFieldKind::Message: {
        const bool isList = f.kind == CNFieldKind::MessageList;
        const size_t count = isList ? slot.list.size() : 1;
        for (size_t k = 0; k < count; ++k) {
          const CNMessagePtr& child = isList ? slot.list[k] : slot.object;
          // An element of the wrong type would make a document that no reader accepts.
          if (!child || (f.nestedTag != 0 && child->getTagID() != f.nestedTag)) {
            SetError(error, "field " + std::string(f.name) + " of " + message.getTagName() +
                                " holds a message of another type");
            return false;
          }
          DOMElement* ce = Element(child->getTagName());
          fe->appendChild(ce);
          if (!Message(ce, *child, depth + 1, error)) return false;
        }
        break;
      }
    }
  }
  return true;
}

// Releases a Xerces object that is released rather than deleted.
template <class T>
struct Releaser {
  T* p;
  ~Releaser() {
    if (p) p->release();
  }
};

}  // namespace

bool CNMessageXml::Serialize(const CNMessageBase& message, std::string& xml, bool compact, std::string* error) {
  DOMImplementation* impl = Xerces(error);
  if (impl == nullptr) return false;
  try {
    Releaser<DOMDocument> doc{impl->createDocument()};
    DocumentBuilder builder(doc.p);
    DOMElement* root = builder.Element(message.getTagName());
    doc.p->appendChild(root);
    if (!builder.Message(root, message, 0, error)) return false;

    Releaser<DOMLSSerializer> writer{static_cast<DOMImplementationLS*>(impl)->createLSSerializer()};
    DOMConfiguration* config = writer.p->getDomConfig();
    config->setParameter(XMLUni::fgDOMWRTFormatPrettyPrint, !compact);
    // Plain indentation, without the blank lines this writer adds around some elements by default.
    if (config->canSetParameter(XMLUni::fgDOMWRTXercesPrettyPrint, false)) {
      config->setParameter(XMLUni::fgDOMWRTXercesPrettyPrint, false);
    }
    config->setParameter(XMLUni::fgDOMXMLDeclaration, !compact);
    writer.p->setNewLine(u"\n");
    Releaser<DOMLSOutput> output{static_cast<DOMImplementationLS*>(impl)->createLSOutput()};
    MemBufFormatTarget target(4096);
    output.p->setByteStream(&target);
    output.p->setEncoding(u"UTF-8");
    if (!writer.p->write(doc.p, output.p)) {
      SetError(error, "XML writer failed");
      return false;
    }
    xml.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
    return true;
  } catch (const XMLException& e) {
    SetError(error, "XML writer failed: " + Describe(e));
  } catch (const DOMException& e) {
    SetError(error, "XML writer failed: " + ToUtf8(e.getMessage()));
  } catch (const OutOfMemoryException&) {
    SetError(error, "XML writer ran out of memory");
  } catch (...) {
    SetError(error, "XML writer failed");
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

class ParseErrors : public DOMErrorHandler {
 public:
  bool handleError(const DOMError& e) override {
    if (e.getSeverity() == DOMError::DOM_SEVERITY_WARNING) return true;
    if (text.empty()) {
      text = ToUtf8(e.getMessage());
      if (const DOMLocator* where = e.getLocation()) {
        text += " (line " + std::to_string(where->getLineNumber()) + ", column " +
                std::to_string(where->getColumnNumber()) + ")";
      }
    }
    return false;  // stop at the first error
  }
  std::string text;
};

bool IsBlank(const XMLCh* text) {
  for (; text && *text; ++text) {
    if (*text != u' ' && *text != u'\t' && *text != u'\n' && *text != u'\r') return false;
  }
  return true;
}

class DocumentReader {
 public:
  explicit DocumentReader(std::string* error) : error_(error) {}

  // Parses one message element. `wantedTag` 0 accepts any type; `target` (root only) fixes the type.
  std::unique_ptr<CNMessageBase> Message(const DOMElement* element, uint32_t wantedTag, const CNMessageBase* target,
                                         bool allowUnknown, int depth) {
    if (depth > CNMessageXml::kMaxDepth) return Fail("messages nested too deep");
    const std::string name = ToUtf8(element->getTagName());
    uint32_t tag = 0;
    if (!element->hasAttribute(kTagAttr) || !cnxml::ParseTag(ToUtf8(element->getAttribute(kTagAttr)), tag)) {
      return Fail("element <" + name + "> has no well-formed tag attribute");
    }
    const CNMessageDecl* decl = CNMessageCatalogue::Instance().FindByName(name);
    const CNMessageDecl* byTag = CNMessageCatalogue::Instance().FindByTag(tag);
    if (decl ? decl->tagId != tag : byTag != nullptr) {
      return Fail("element <" + name + "> carries the tag " + cnxml::FormatTag(tag) + " of another message");
    }
    if (target != nullptr) {
      if (tag != target->getTagID() || (target->getDecl() && decl != target->getDecl())) {
        return Fail("root <" + name + "> is not a " + target->getTagName());
      }
    } else if (wantedTag != 0 && tag != wantedTag) {
      return Fail("element <" + name + "> is not of the field's type");
    } else if (decl == nullptr && !allowUnknown) {
      return Fail("unknown message <" + name + ">");
    }
    std::unique_ptr<CNMessageBase> message =
        decl ? CNMessageBase::Create(tag) : CNMessageXmlAccess::Plain(tag, name);
    if (decl == nullptr) return message;  // fields of unknown types are not read

    auto& slots = CNMessageXmlAccess::Slots(*message);
    std::vector<bool> seen(decl->fields.size(), false);
    for (const DOMNode* n = element->getFirstChild(); n; n = n->getNextSibling()) {
      if (!ContainerNodeOk(n, name)) return nullptr;
      if (n->getNodeType() != DOMNode::ELEMENT_NODE) continue;
      const DOMElement* fe = static_cast<const DOMElement*>(n);
      const std::string fieldName = ToUtf8(fe->getTagName());
      size_t pos = decl->fields.size();
      for (size_t i = 0; i < decl->fields.size(); ++i) {
        if (fieldName == decl->fields[i].name) {
          pos = i;
          break;
        }
      }
      if (pos == decl->fields.size()) continue;  // a field this process does not know
      if (seen[pos]) return Fail("field <" + fieldName + "> of " + name + " appears twice");
      seen[pos] = true;
      if (!Field(fe, decl->fields[pos], slots[pos], name, depth)) return nullptr;
    }
    return message;
  }

 private:
  std::nullptr_t Fail(const std::string& why) {
    SetError(error_, why);
    return nullptr;
  }

  // Between the elements of a message or list only blanks, comments and instructions may stand.
  bool ContainerNodeOk(const DOMNode* n, const std::string& where) {
    switch (n->getNodeType()) {
      case DOMNode::ELEMENT_NODE:
      case DOMNode::COMMENT_NODE:
      case DOMNode::PROCESSING_INSTRUCTION_NODE:
        return true;
      case DOMNode::TEXT_NODE:
        if (IsBlank(n->getNodeValue())) return true;
        break;
      default:
        break;
    }
    Fail("unexpected content in <" + where + ">");
    return false;
  }

  // The character data of a leaf element; false when it holds elements or bad characters.
  bool LeafText(const DOMElement* e, std::string& text) {
    std::u16string data;
    for (const DOMNode* n = e->getFirstChild(); n; n = n->getNextSibling()) {
      const short type = n->getNodeType();
      if (type == DOMNode::TEXT_NODE || type == DOMNode::CDATA_SECTION_NODE) {
        data += n->getNodeValue();
      } else if (type != DOMNode::COMMENT_NODE && type != DOMNode::PROCESSING_INSTRUCTION_NODE) {
        Fail("element <" + ToUtf8(e->getTagName()) + "> holds elements where a value belongs");
        return false;
      }
    }
    if (!cnxml::Utf16ToUtf8(data.c_str(), text)) {
      Fail("element <" + ToUtf8(e->getTagName()) + "> holds malformed text");
      return false;
    }
    return true;
  }

  bool TextValue(const DOMElement* e, std::string& value) {
    std::string raw;
    if (!LeafText(e, raw)) return false;
    if (!e->hasAttribute(kB64Attr)) {
      value.swap(raw);
      return true;
    }
    if (XMLString::equals(e->getAttribute(kB64Attr), kOne) && cnxml::Base64Decode(raw, value)) return true;
    Fail("element <" + ToUtf8(e->getTagName()) + "> holds a bad encoded text");
    return false;
  }

  bool NumberValue(const DOMElement* e, int64_t& value) {
    std::string raw;
    if (!LeafText(e, raw)) return false;
    if (cnxml::ParseInt64(raw, value)) return true;
    Fail("element <" + ToUtf8(e->getTagName()) + "> holds a bad number");
    return false;
  }

  bool Field(const DOMElement* fe, const CNFieldDecl& f, CNMessageBase::Slot& slot, const std::string& owner,
             int depth) {
    switch (f.kind) {
      case CNFieldKind::Int64:
        if (!NumberValue(fe, slot.number)) return false;
        break;
      case CNFieldKind::Text:
        if (!TextValue(fe, slot.text)) return false;
        break;
      case CNFieldKind::ProtectedText: {
        std::string stored, clear;
        if (!XMLString::equals(fe->getAttribute(kEncAttr), kOne)) {
          Fail("protected field <" + std::string(f.name) + "> of " + owner + " is not encoded");
          return false;
        }
        if (!LeafText(fe, stored)) return false;
        if (!cnxml::Deobfuscate(stored, clear)) {
          Fail("protected field <" + std::string(f.name) + "> of " + owner + " is malformed");
          return false;
        }
        slot.ptext = bstring(clear);
        break;
      }
      case CNFieldKind::TextList:
      case CNFieldKind::IntList:
        for (const DOMNode* n = fe->getFirstChild(); n; n = n->getNextSibling()) {
          if (!ContainerNodeOk(n, f.name)) return false;
          if (n->getNodeType() != DOMNode::ELEMENT_NODE) continue;
          const DOMElement* item = static_cast<const DOMElement*>(n);
          if (!XMLString::equals(item->getTagName(), kItem)) {
            Fail("list <" + std::string(f.name) + "> of " + owner + " holds a foreign element");
            return false;
          }
          if (f.kind == CNFieldKind::TextList) {
            slot.texts.emplace_back();
            if (!TextValue(item, slot.texts.back())) return false;
          } else {
            slot.ints.push_back(0);
            if (!NumberValue(item, slot.ints.back())) return false;
          }
        }
        break;
      case CNFieldKind::MessageList:
      case CNFieldKind::Message: {
        int count = 0;
        for (const DOMNode* n = fe->getFirstChild(); n; n = n->getNextSibling()) {
          if (!ContainerNodeOk(n, f.name)) return false;
          if (n->getNodeType() != DOMNode::ELEMENT_NODE) continue;
          if (f.kind == CNFieldKind::Message && ++count > 1) {
            Fail("field <" + std::string(f.name) + "> of " + owner + " holds more than one message");
            return false;
          }
          std::unique_ptr<CNMessageBase> child =
              Message(static_cast<const DOMElement*>(n), f.nestedTag, nullptr, f.nestedTag == 0, depth + 1);
          if (!child) return false;
          if (f.kind == CNFieldKind::MessageList) {
            slot.list.emplace_back(std::move(child));
          } else {
            slot.object = CNMessagePtr(std::move(child));
          }
        }
        if (f.kind == CNFieldKind::Message && count == 0) {
          Fail("field <" + std::string(f.name) + "> of " + owner + " holds no message");
          return false;
        }
        break;
      }
    }
    slot.set = true;
    return true;
  }

  std::string* error_;
};

}  // namespace

std::unique_ptr<CNMessageBase> CNMessageXml::Parse(const std::string& xml, const CNMessageBase* target,
                                                   std::string* error) {
  if (xml.empty()) {
    SetError(error, "empty document");
    return nullptr;
  }
  if (xml.size() > kMaxDocumentBytes) {
    SetError(error, "document larger than " + std::to_string(kMaxDocumentBytes) + " bytes");
    return nullptr;
  }
  DOMImplementation* impl = Xerces(error);
  if (impl == nullptr) return nullptr;
  try {
    // Declared before the parser, so that they outlive it: it keeps pointers to all of them.
    ParseErrors errors;
    SecurityManager security;
    security.setEntityExpansionLimit(100);
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "message", false);
    Wrapper4InputSource input(&source, false);
    Releaser<DOMLSParser> parser{
        static_cast<DOMImplementationLS*>(impl)->createLSParser(DOMImplementationLS::MODE_SYNCHRONOUS, nullptr)};
    DOMConfiguration* config = parser.p->getDomConfig();
    // No document type at all: that rules out internal entities (expansion bombs) and external ones.
    config->setParameter(XMLUni::fgDOMDisallowDoctype, true);
    config->setParameter(XMLUni::fgDOMNamespaces, false);
    config->setParameter(XMLUni::fgDOMValidate, false);
    config->setParameter(XMLUni::fgDOMValidateIfSchema, false);
    config->setParameter(XMLUni::fgXercesSchema, false);
    config->setParameter(XMLUni::fgXercesLoadSchema, false);
    config->setParameter(XMLUni::fgXercesLoadExternalDTD, false);
    config->setParameter(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    config->setParameter(XMLUni::fgXercesSecurityManager, &security);
    config->setParameter(XMLUni::fgDOMComments, false);
    config->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(&errors));

    DOMDocument* doc = nullptr;
    try {
      doc = parser.p->parse(&input);
    } catch (const DOMLSException& e) {
      SetError(error, errors.text.empty() ? ToUtf8(e.getMessage()) : errors.text);
      return nullptr;
    }
    if (!errors.text.empty() || doc == nullptr || doc->getDocumentElement() == nullptr) {
      SetError(error, errors.text.empty() ? std::string("not an XML document") : "malformed XML: " + errors.text);
      return nullptr;
    }
    if (doc->getDoctype() != nullptr) {  // the parser refuses one already; stay safe if it did not
      SetError(error, "document type declarations are not accepted");
      return nullptr;
    }
    DocumentReader reader(error);
    return reader.Message(doc->getDocumentElement(), 0, target, target == nullptr, 0);
  } catch (const XMLException& e) {
    SetError(error, "XML parser failed: " + Describe(e));
  } catch (const DOMException& e) {
    SetError(error, "XML parser failed: " + ToUtf8(e.getMessage()));
  } catch (const OutOfMemoryException&) {
    SetError(error, "XML parser ran out of memory");
  } catch (...) {
    SetError(error, "XML parser failed");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The message's own entry points

bool CNMessageBase::serialize(std::string& xml, bool compact) const {
  std::string text;
  std::string error;
  if (!CNMessageXml::Serialize(*this, text, compact, &error)) return false;
  xml.swap(text);
  return true;
}

bool CNMessageBase::deserialize(const std::string& xml, std::string* error) {
  std::string why;
  std::unique_ptr<CNMessageBase> parsed = CNMessageXml::Parse(xml, this, &why);
  if (!parsed) {
    if (error) *error = why;
    return false;
  }
  *this = *parsed;
  return true;
}

std::unique_ptr<CNMessageBase> CNMessageBase::CreateFromXml(const std::string& xml, std::string* error) {
  std::string why;
  std::unique_ptr<CNMessageBase> parsed = CNMessageXml::Parse(xml, nullptr, &why);
  if (!parsed && error) *error = why;
  return parsed;
}
