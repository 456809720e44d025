#pragma once
// Text helpers of the message runtime's XML form. Private to platform/msg.
#include <cstdint>
#include <string>

namespace cnxml {

// UTF-8 <-> UTF-16 (Xerces' XMLCh). False on a malformed sequence (overlong forms, surrogates,
// code points above U+10FFFF, unpaired surrogates).
bool Utf8ToUtf16(const std::string& in, std::u16string& out);
bool Utf16ToUtf8(const char16_t* in, std::string& out);

// True when the text can stand as XML character data and read back unchanged: valid UTF-8 with
// only characters that XML 1.0 allows, and no carriage return (parsers turn it into a line feed).
bool IsPlainXmlText(const std::string& text);

std::string Base64Encode(const std::string& bytes);
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
