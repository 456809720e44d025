// quarn-lab set: writes one setting into a client's settings file registry/<section>.ini. An existing
// key keeps its place and gets the new value (later duplicates are dropped, since the last one would
// win); a new key is appended. Comments and other keys are kept as they are.
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/jobmgr/LabKeyValue.h"
#include "platform/lab/Lab.h"

namespace labtool {

int Set(const std::vector<std::string>& args) {
  if (args.size() != 5) return UsageError("set takes <labdir> <client> <section> <key> <value>");
  std::string root = AbsolutePath(args[0]);
  const std::string& client = args[1];
  const std::string& section = args[2];
  std::string key = labkv::Trim(args[3]);
  std::string value = labkv::Trim(args[4]);
  if (!IsDirectory(root + "/clients")) return UsageError(root + " is not a lab (no clients folder)");
  if (!lab::IsSafeComponent(client)) return UsageError("client name '" + client + "' is not usable");
  if (!lab::IsSafeComponent(section)) return UsageError("section name '" + section + "' is not usable");
  if (key.empty() || key[0] == '#' || key.find_first_of("=\n\r") != std::string::npos)
    return UsageError("key '" + key + "' is not usable");
  if (value.find_first_of("\n\r") != std::string::npos) return UsageError("a value must be one line");
  lab::SetRoot(root);
  if (!IsDirectory(lab::ClientDir(client))) return UsageError("the lab has no client " + client);

  std::string registry = lab::ClientRegistryDir(client);
  if (!lab::MakeDirs(registry)) {
    std::fprintf(stderr, "quarn-lab: cannot create folder %s\n", registry.c_str());
    return kExitFailed;
  }
  std::string path = registry + "/" + section + ".ini";
  std::string text;
  if (FileExists(path) && !lab::ReadFile(path, text)) {
    std::fprintf(stderr, "quarn-lab: cannot read %s\n", path.c_str());
    return kExitFailed;
  }

  std::string out;
  bool written = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    std::string trimmed = labkv::Trim(line);
    size_t equals = trimmed.find('=');
    bool sameKey = !trimmed.empty() && trimmed[0] != '#' && equals != std::string::npos &&
                   labkv::Trim(trimmed.substr(0, equals)) == key;
    if (!sameKey) {
      out += line + "\n";
    } else if (!written) {
      out += key + "=" + value + "\n";
      written = true;
    }
  }
  if (!written) out += key + "=" + value + "\n";
  if (!lab::WriteFileAtomic(path, out)) {
    std::fprintf(stderr, "quarn-lab: cannot write %s\n", path.c_str());
    return kExitFailed;
  }
  std::printf("%s: %s=%s\n", path.c_str(), key.c_str(), value.c_str());
  return kExitOk;
}

}  // namespace labtool
