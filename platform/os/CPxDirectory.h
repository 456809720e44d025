#pragma once
#include <string>
#include <vector>

#include "platform/os/CPxError.h"

class CPxDirectory {
 public:
  // Creates the folder (with its parents when recursive). An existing folder is success.
  static CPxError Create(const std::string& path, bool recursive = true);
  // Removes the folder; recursive removes everything in it, contentsOnly keeps the folder itself.
  // A missing folder is success. "" and "/" are refused.
  static CPxError Remove(const std::string& path, bool recursive = true, bool contentsOnly = false);
  // Names of the folder's entries (without "." and ".."), sorted.
  static CPxError List(const std::string& path, std::vector<std::string>& names);
  static bool Exists(const std::string& path);
};
