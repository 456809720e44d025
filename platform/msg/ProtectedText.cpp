#include "platform/msg/ProtectedText.h"

#include "platform/msg/CNXmlText.h"

std::string ProtectText(const std::string& clear) { return cnxml::Obfuscate(clear); }

bool UnprotectText(const std::string& stored, std::string& clear) {
  std::string decoded;
  if (!cnxml::Deobfuscate(stored, decoded)) return false;
  clear.swap(decoded);
  return true;
}
