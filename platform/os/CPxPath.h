#pragma once
#include <string>

// Path texts with "/" as the delimiter.
class CPxPath {
 public:
  // path + "/" + part with exactly one delimiter between them (none added to an empty path); with
  // trailingDelimiter the result also ends with "/".
  static std::string Append(const std::string& path, const std::string& part, bool trailingDelimiter);
  // The path ending with "/" (added unless already there).
  static std::string AppendTrailingDelimiter(const std::string& path);
  // The part after the last "/" (the whole text when there is none).
  static std::string GetFileName(const std::string& path);
  // The part before the last "/": "" when there is none, "/" for an entry of the root.
  static std::string GetDirName(const std::string& path);
  // Whether any entry (file, folder, ...) exists at the path.
  static bool Exists(const std::string& path);
};

class FXPath : public CPxPath {};
