#include "platform/os/CPxDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

CPxError FromErrorCode(const std::error_code& ec, const std::string& what) {
  return CPxError::FromErrno(ec.value(), what);
}

bool IsRefusedRoot(const std::string& path) {
  if (path.empty()) return true;
  return std::all_of(path.begin(), path.end(), [](char c) { return c == '/'; });
}

}  // namespace

CPxError CPxDirectory::Create(const std::string& path, bool recursive) {
  if (path.empty()) return CPxError::FromErrno(EINVAL, "create folder ''");
  std::error_code ec;
  if (recursive) {
    fs::create_directories(path, ec);
  } else {
    fs::create_directory(path, ec);
  }
  if (ec) return FromErrorCode(ec, "create folder '" + path + "'");
  if (!Exists(path)) return CPxError::FromErrno(ENOTDIR, "create folder '" + path + "'");
  return CPxError::Success();
}

CPxError CPxDirectory::Remove(const std::string& path, bool recursive, bool contentsOnly) {
  if (IsRefusedRoot(path)) return CPxError::FromErrno(EINVAL, "remove folder '" + path + "'");
  std::error_code ec;
  auto status = fs::symlink_status(path, ec);
  if (ec || !fs::exists(status)) return CPxError::Success();
  if (!fs::is_directory(status)) return CPxError::FromErrno(ENOTDIR, "remove folder '" + path + "'");
  if (contentsOnly) {
    // Iterators of std::filesystem throw from operator++; increment(ec) does not.
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code one;
      if (recursive) {
        fs::remove_all(it->path(), one);
      } else {
        fs::remove(it->path(), one);
      }
      if (one) return FromErrorCode(one, "remove '" + it->path().string() + "'");
    }
    if (ec) return FromErrorCode(ec, "list folder '" + path + "'");
    return CPxError::Success();
  }
  if (recursive) {
    fs::remove_all(path, ec);
  } else {
    fs::remove(path, ec);
  }
  if (ec) return FromErrorCode(ec, "remove folder '" + path + "'");
  return CPxError::Success();
}

CPxError CPxDirectory::List(const std::string& path, std::vector<std::string>& names) {
  std::vector<std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    found.push_back(it->path().filename().string());
  }
  if (ec) return FromErrorCode(ec, "list folder '" + path + "'");
  std::sort(found.begin(), found.end());
  names.swap(found);
  return CPxError::Success();
}

bool CPxDirectory::Exists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
