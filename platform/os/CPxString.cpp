#include "platform/os/CPxString.h"

#include <cstdio>
#include <vector>

int CPxString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FormatV(format, args);
  va_end(args);
  return n;
}

int CPxString::FormatV(const char* format, va_list args) {
  if (format == nullptr) {
    m_text.clear();
    return -1;
  }
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) {
    m_text.clear();
    return -1;
  }
  std::vector<char> buffer(static_cast<size_t>(n) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  m_text.assign(buffer.data(), static_cast<size_t>(n));
  return n;
}

bool CPxString::CheckAndRemoveLastCharacter(char c) {
  if (m_text.empty() || m_text.back() != c) return false;
  m_text.pop_back();
  return true;
}

CPxString& CPxString::operator+=(const char* text) {
  if (text) m_text += text;
  return *this;
}

CPxString& CPxString::operator+=(const std::string& text) {
  m_text += text;
  return *this;
}

CPxString operator+(const CPxString& text, const char* more) {
  CPxString result(text);
  result += more;
  return result;
}

size_t CPxString::Tokenize(const std::string& text, std::vector<std::string>& fields, char openQuote, char closeQuote,
                           char escape, char separator, int /*flags*/) {
  fields.clear();
  std::string field;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == escape && i + 1 < text.size()) {
      field += text[++i];
    } else if (quoted) {
      if (c == closeQuote)
        quoted = false;
      else
        field += c;
    } else if (c == openQuote) {
      quoted = true;
    } else if (c == separator) {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(field);
  return fields.size();
}

std::string IntToCommaString(long long value) {
  // Through the unsigned magnitude, so that the most negative number has one too.
  const unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  const std::string digits = std::to_string(magnitude);
  std::string text = value < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}
