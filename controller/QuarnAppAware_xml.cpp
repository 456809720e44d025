// Serialising a VM's configuration DOM into text through Xerces-C's DOM writer.
#include <mutex>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

#include "controller/QuarnAppAware.h"

namespace {

const char* const kSigSerialize = "bool QuarnAppAware::SerializeVMConfigXml(xercesc::DOMDocument*, std::string&)";
const char* const kSigTranscode = "std::string QuarnAppAware::Transcode(const XMLCh*)";

// Xerces-C serves the whole process once initialised; nothing else here initialises it.
void InitializeXerces() {
  static std::once_flag once;
  std::call_once(once, [] { xercesc::XMLPlatformUtils::Initialize(); });
}

}  // namespace

std::string QuarnAppAware::Transcode(const XMLCh* text) {
  if (text == nullptr) return std::string();
  // UTF-16 to UTF-8 unit by unit, so that a text broken part of the way (an unpaired surrogate)
  // still gives what came before the break.
  std::string out;
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDFFF) {
      const uint32_t low = text[i + 1];
      if (code > 0xDBFF || low < 0xDC00 || low > 0xDFFF) {
        m_event.Error(kSigTranscode, "Failed to transcode string [%s]. Err [%s])", out.c_str(),
                      ("unpaired surrogate at position " + std::to_string(i)).c_str());
        return out;
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

bool QuarnAppAware::SerializeVMConfigXml(xercesc::DOMDocument* document, std::string& out) {
  using namespace xercesc;
  InitializeXerces();
  static const XMLCh kFeatureLS[] = {chLatin_L, chLatin_S, chNull};
  DOMImplementation* implementation = DOMImplementationRegistry::getDOMImplementation(kFeatureLS);
  if (implementation == nullptr) {
    m_event.Error(kSigSerialize, "Failed to get first DOM Implementation from registry");
    return false;
  }
  DOMLSSerializer* writer = nullptr;
  DOMLSOutput* output = nullptr;
  bool written = false;
  try {
    writer = static_cast<DOMImplementationLS*>(implementation)->createLSSerializer();
    output = static_cast<DOMImplementationLS*>(implementation)->createLSOutput();
    MemBufFormatTarget target(1023);
    output->setByteStream(&target);
    written = document != nullptr && writer->write(document, output);
    if (written) {
      out.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
    } else {
      m_event.Error(kSigSerialize, "Failed to serializes  DOM object to XML string");
    }
  } catch (...) {
    m_event.Debug(kSigSerialize, "Error serializes DOM object to XML string");
    written = false;
  }
  if (output != nullptr) output->release();
  if (writer != nullptr) writer->release();
  return written;
}
