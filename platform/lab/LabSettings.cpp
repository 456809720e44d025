#include "platform/lab/LabSettings.h"

#include <vector>

#include "platform/lab/Lab.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/msg/ProtectedText.h"

namespace lab {
namespace {

// Splits one line into key and value; false for blank lines, comments and lines without '='.
bool ParseLine(const std::string& line, std::string& key, std::string& value) {
  std::string trimmed = labkv::Trim(line);
  if (trimmed.empty() || trimmed[0] == '#') return false;
  size_t equals = trimmed.find('=');
  if (equals == std::string::npos) return false;
  key = labkv::Trim(trimmed.substr(0, equals));
  value = labkv::Trim(trimmed.substr(equals + 1));
  return !key.empty();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string SettingsPath(const std::string& client, const std::string& section) {
  if (Root().empty() || !IsSafeComponent(client) || !IsSafeComponent(section + ".ini")) return std::string();
  return ClientRegistryDir(client) + "/" + section + ".ini";
}

bool FindSetting(const std::string& text, const std::string& key, std::string& value) {
  bool found = false;
  std::string lineKey;
  std::string lineValue;
  for (const std::string& line : SplitLines(text)) {
    if (ParseLine(line, lineKey, lineValue) && lineKey == key) {
      value = lineValue;
      found = true;  // keep going: a later line wins
    }
  }
  return found;
}

std::string WithSetting(const std::string& text, const std::string& key, const std::string& value) {
  std::vector<std::string> lines = SplitLines(text);
  size_t last = lines.size();
  std::string lineKey;
  std::string lineValue;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (ParseLine(lines[i], lineKey, lineValue) && lineKey == key) last = i;
  }
  std::string rewritten;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == last) {
      rewritten += key + "=" + value + "\n";
    } else if (!(ParseLine(lines[i], lineKey, lineValue) && lineKey == key)) {
      rewritten += lines[i] + "\n";
    }
  }
  if (last == lines.size()) rewritten += key + "=" + value + "\n";
  return rewritten;
}

bool IsStorableSettingKey(const std::string& key) {
  if (key.empty() || labkv::Trim(key) != key || key[0] == '#') return false;
  return key.find_first_of(std::string("=\n\r\0", 4)) == std::string::npos;
}

bool IsStorableSettingValue(const std::string& value) {
  if (labkv::Trim(value) != value) return false;  // would not read back the same
  return value.find_first_of(std::string("\n\r\0", 3)) == std::string::npos;
}

namespace {

bool IsProtectedForm(const std::string& stored) {
  const std::string prefix = kProtectedSettingPrefix;
  return stored.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool ReadSetting(const std::string& client, const std::string& section, const std::string& key, std::string& value) {
  std::string path = SettingsPath(client, section);
  std::string text;
  std::string stored;
  if (path.empty() || key.empty() || !ReadFile(path, text) || !FindSetting(text, key, stored)) return false;
  if (!IsProtectedForm(stored)) {
    value = stored;
    return true;
  }
  return UnprotectText(stored.substr(std::string(kProtectedSettingPrefix).size()), value);
}

namespace {

bool WriteStoredSetting(const std::string& client, const std::string& section, const std::string& key,
                        const std::string& value, std::string& error) {
  std::string path = SettingsPath(client, section);
  if (path.empty()) {
    error = "no lab, or client [" + client + "] or section [" + section + "] is not a usable name";
    return false;
  }
  if (!IsStorableSettingKey(key) || !IsStorableSettingValue(value)) {
    error = "key [" + key + "] or its value cannot be stored as one settings line";
    return false;
  }
  if (!MakeDirs(ClientRegistryDir(client))) {
    error = "cannot create the settings folder of client [" + client + "]";
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool, std::string&) {
        text = WithSetting(text, key, value);
        return true;
      },
      error);
}

}  // namespace

bool WriteSetting(const std::string& client, const std::string& section, const std::string& key,
                  const std::string& value, std::string& error) {
  // Stored as it stands, such a value would read back as a secret's clear text, not as itself.
  if (IsProtectedForm(value)) {
    error = "the value of key [" + key + "] begins with " + kProtectedSettingPrefix +
            ", which only a protected setting may";
    return false;
  }
  return WriteStoredSetting(client, section, key, value, error);
}

bool WriteProtectedSetting(const std::string& client, const std::string& section, const std::string& key,
                           const std::string& clear, std::string& error) {
  return WriteStoredSetting(client, section, key, kProtectedSettingPrefix + ProtectText(clear), error);
}

}  // namespace lab
