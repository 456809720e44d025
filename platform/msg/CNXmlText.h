#pragma once
// Text helpers of the message runtime's XML form. Private to platform/msg.
#include <cstdint>
#include <string>

namespace cnxml {

// Appends the text as XML character data, markup characters escaped, when it can stand there and
// read back unchanged: valid UTF-8 (no overlong forms, surrogates or code points above U+10FFFF)
// with only characters that XML 1.0 allows, and no carriage return (parsers turn it into a line
// feed). Otherwise appends nothing and returns false.
bool AppendXmlText(const std::string& text, std::string& out);

std::string Base64Encode(const std::string& bytes);
void AppendBase64(const std::string& bytes, std::string& out);
bool Base64Decode(const std::string& text, std::string& bytes);  // strict: no blanks, exact padding

// The stored form of a protected text: reversible, never the clear text.
std::string Obfuscate(const std::string& clear);
bool Deobfuscate(const std::string& stored, std::string& clear);

// Decimal 64-bit number, optional leading '-', no blanks or other signs; false on overflow.
bool ParseInt64(const std::string& text, int64_t& value);
// "0x" or "0X" and one to eight hex digits.
bool ParseTag(const std::string& text, uint32_t& tag);
std::string FormatTag(uint32_t tag);

}  // namespace cnxml
