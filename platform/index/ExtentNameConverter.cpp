#include "platform/index/ExtentNameConverter.h"

namespace {

const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'V') return c - 'A' + 10;
  if (c >= 'a' && c <= 'v') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string ExtentNameConverter::Extent_dec_to_base32(uint64_t number) {
  std::string text(kDigits, '0');
  for (size_t i = kDigits; i-- > 0; number >>= 5) text[i] = kAlphabet[number & 31];
  return text;
}

std::string ExtentNameConverter::GetFilePath(uint64_t extentNumber) { return Extent_dec_to_base32(extentNumber); }

bool ExtentNameConverter::Extent_base32_to_dec(const std::string& text, uint64_t& number) {
  if (text.size() != kDigits) return false;
  // 13 digits hold 65 bits: the first digit may only use its lowest four.
  if (DigitValue(text[0]) < 0 || DigitValue(text[0]) > 15) return false;
  uint64_t value = 0;
  for (char c : text) {
    const int digit = DigitValue(c);
    if (digit < 0) return false;
    value = (value << 5) | static_cast<uint64_t>(digit);
  }
  number = value;
  return true;
}

bool ExtentNameConverter::GetExtentNumberFromFileName(const std::string& name, uint64_t& number) {
  const size_t slash = name.rfind('\\');
  return Extent_base32_to_dec(slash == std::string::npos ? name : name.substr(slash + 1), number);
}
