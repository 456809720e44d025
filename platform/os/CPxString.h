#pragma once
#include <cstdarg>
#include <string>
#include <vector>

#define QUARN_PRINTF_FORMAT(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))

// A text of the utility layer, over std::string.
class CPxString {
 public:
  CPxString() = default;
  CPxString(const char* text) : m_text(text ? text : "") {}  // NOLINT: implicit like the texts it replaces
  CPxString(const std::string& text) : m_text(text) {}        // NOLINT

  // The buffer when the text is not empty, else an empty text; never null.
  const char* c_str() const { return m_text.empty() ? "" : m_text.c_str(); }
  operator const char*() const { return c_str(); }  // NOLINT
  const std::string& str() const { return m_text; }
  size_t length() const { return m_text.size(); }
  bool empty() const { return m_text.empty(); }

  // Replaces the text with the printf-style result; returns its length, -1 on a bad format.
  int Format(const char* format, ...) QUARN_PRINTF_FORMAT(2, 3);
  int FormatV(const char* format, va_list args);
  // Removes the last character when it is c; true when removed.
  bool CheckAndRemoveLastCharacter(char c);
  bool RTrimBackwardSlash() { return CheckAndRemoveLastCharacter('\\'); }

  // Splits a record into fields at the separator. Between the quote characters a separator is part of
  // the field (the quotes are dropped); the escape character takes the next character literally.
  // Empty fields are kept. flags: none defined yet, pass 0. Returns the number of fields.
  static size_t Tokenize(const std::string& text, std::vector<std::string>& fields, char openQuote, char closeQuote,
                         char escape, char separator, int flags);

  CPxString& operator+=(const char* text);
  CPxString& operator+=(const std::string& text);
  bool operator==(const CPxString& other) const { return m_text == other.m_text; }
  bool operator!=(const CPxString& other) const { return m_text != other.m_text; }

 private:
  std::string m_text;
};

// A copy of text with more appended; a null pointer appends nothing.
CPxString operator+(const CPxString& text, const char* more);

// The number in decimal with a comma between groups of three digits: 1234567 gives "1,234,567".
std::string IntToCommaString(long long value);
