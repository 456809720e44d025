// A settings file (ZTPlatformInfo's section files): every getter that finds nothing usable leaves
// the caller's value alone, and a write changes its own key only: every other key reads as before.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>

#include "fuzz/FuzzSupport.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/lab/Lab.h"

namespace {

const char kSection[] = "VirtualServer";

ZTPlatformInfo& Settings() {
  static ZTPlatformInfo* settings = [] {
    lab::SetRoot(fuzz::ScratchDir() + "/lab");
    auto* info = new ZTPlatformInfo();
    if (!info->setFocus("fuzzclient")) fuzz::Fail("setFocus", "");
    std::filesystem::create_directories(lab::ClientRegistryDir("fuzzclient"));
    return info;
  }();
  return *settings;
}

// The texts before the first '=' of each line, blanks trimmed: the keys the file may hold, and more.
std::vector<std::string> CandidateKeys(const std::string& content) {
  std::vector<std::string> keys;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    std::string key = line.substr(0, line.find('='));
    const size_t first = key.find_first_not_of(" \t\r");
    const size_t last = key.find_last_not_of(" \t\r");
    keys.push_back(first == std::string::npos ? std::string() : key.substr(first, last - first + 1));
  }
  keys.push_back("quarnFuzzAbsent");
  return keys;
}

}  // namespace

// Section files as the settings writer leaves them.
std::vector<std::string> FuzzSeeds() {
  ZTPlatformInfo& settings = Settings();
  const std::string path = settings.sectionPath(kSection);
  std::vector<std::string> seeds;
  settings.setString(kSection, "sLogVersion", "2");
  settings.setNumber(kSection, "nMaxStreams", 18446744073709551615ull);
  settings.setString(kSection, "sProxyList", "proxyA, proxyB,,proxyC");
  settings.setString(kSection, "bUseHotAdd", "yes");
  seeds.push_back(fuzz::ReadBytes(path));
  settings.setString(kSection, "nMaxStreams", "0x1F");
  settings.setString(kSection, "dLimit", "-9223372036854775808");
  seeds.push_back(fuzz::ReadBytes(path) + "# comment\n\n  spaced key \t=\t value  \nnoequals\n=novalue\nsLogVersion=3\n");
  seeds.push_back("{protected}sLogVersion\nsProxyList=s\n");  // a first line in a secret's stored form
  std::filesystem::remove(path);
  return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ZTPlatformInfo& settings = Settings();
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string path = settings.sectionPath(kSection);
  fuzz::WriteBytes(path, content);

  std::map<std::string, std::pair<int, std::string>> before;
  for (const std::string& key : CandidateKeys(content)) {
    std::string text = "\x01unset";
    const int found = settings.getString(kSection, key, &text);
    FUZZ_CHECK(found != 0 || text == "\x01unset", key);
    before[key] = {found, text};
    unsigned long long number = 42;
    bool flag = true;
    std::vector<std::string> list = {"kept"};
    if (settings.getNumber(kSection, key, &number) == 0) FUZZ_CHECK(number == 42, key);
    if (settings.getBoolean(kSection, key, &flag) == 0) FUZZ_CHECK(flag, key);
    if (settings.getStringList(kSection, key, &list) == 0) FUZZ_CHECK(list.size() == 1 && list[0] == "kept", key);
    FUZZ_CHECK(found != 0 || settings.getStringList(kSection, key, &list) == 0, key);
  }

  // Overwrites one of the keys (or adds one), with a value taken from the input.
  const std::string key = before.begin()->first.empty() ? "quarnFuzzKey" : before.begin()->first;
  const std::string value = content.substr(0, content.find_first_of("\n\r")).substr(0, 16);
  if (!settings.setString(kSection, key, value)) {
    FUZZ_CHECK(fuzz::ReadBytes(path) == content, "a refused write changed the file");
  } else {
    std::string text;
    FUZZ_CHECK(settings.getString(kSection, key, &text) == 1 && text == value, key + " = " + text);
    for (const auto& [other, was] : before) {
      if (other == key) continue;
      std::string now = "\x01unset";
      const int found = settings.getString(kSection, other, &now);
      FUZZ_CHECK(found == was.first && now == was.second, "the write of " + key + " changed " + other);
    }
  }
  std::filesystem::remove(path);
  return 0;
}
