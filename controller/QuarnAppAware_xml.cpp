// Serialising a VM's configuration DOM into text through Xerces-C's DOM writer.
#include <mutex>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
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
  InitializeXerces();
  try {
    xercesc::TranscodeToStr utf8(text, "UTF-8");
    return std::string(reinterpret_cast<const char*>(utf8.str()), utf8.length());
  } catch (const xercesc::XMLException& error) {
    char* reason = xercesc::XMLString::transcode(error.getMessage());
    m_event.Error(kSigTranscode, "Failed to transcode string [%s]. Err [%s])", "", reason != nullptr ? reason : "");
    xercesc::XMLString::release(&reason);
    return std::string();
  }
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
