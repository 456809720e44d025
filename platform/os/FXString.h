#pragma once
#include <string>
#include <vector>

#include "platform/os/CPxString.h"

class FXString {
 public:
  // strcasecmp; a null pointer compares as an empty text.
  static int CompareNoCase(const char* a, const char* b);
  static int CompareNoCase(const std::string& a, const std::string& b);
  // The text without leading and trailing characters of the set.
  static std::string Trim(const std::string& text, const std::string& chars);
  // White space here is the blank and the tab only: line feeds stay.
  static std::string TrimWhiteSpace(const std::string& text) { return Trim(text, " \t"); }
  // Position of sub in text, std::string::npos when absent.
  static size_t FindString(const std::string& text, const std::string& sub, bool caseInsensitive);
  // Splits at every occurrence of separator, keeping empty pieces; a text without it is one
  // piece, an empty text none. flags is unused. Returns the number of pieces.
  static size_t Split(const std::string& text, const std::string& separator, std::vector<std::string>& parts,
                      int flags = 0);
  static std::string ToLower(const std::string& text);
  static std::string ToUpper(const std::string& text);
  static std::string Format(const char* format, ...) QUARN_PRINTF_FORMAT(1, 2);
};
