#pragma once
#include <string>

// The settings of a client: one file per section, clients/<client>/registry/<Section>.ini, with lines
// "key=value". Blank lines, lines starting with '#' and lines without '=' are ignored, blanks and
// tabs around the key and the value are trimmed, and when a key appears twice the later line wins.
// Keys are matched exactly (case matters). A value that begins with kProtectedSettingPrefix is a
// secret in its stored form (platform/msg/ProtectedText.h): ReadSetting gives its clear text, and the
// file never holds it.
namespace lab {

constexpr const char* kProtectedSettingPrefix = "{protected}";

// The section's file; empty when there is no lab or the client or section is not a safe name.
std::string SettingsPath(const std::string& client, const std::string& section);

// The value of the key in a settings text; false when the key is not there.
bool FindSetting(const std::string& text, const std::string& key, std::string& value);
// The text with the key set: the line that is read (the last one of the key) gets the new value in its
// place, earlier lines of the key go (they would never be read), a new key is appended; comments and
// other lines stay as they are.
std::string WithSetting(const std::string& text, const std::string& key, const std::string& value);
// Whether a key or value can be stored as one line that reads back the same.
bool IsStorableSettingKey(const std::string& key);
bool IsStorableSettingValue(const std::string& value);

// One setting of a client's section (a protected one in clear); false when the file or the key is not
// there, the file cannot be read or a protected value is not a stored form.
bool ReadSetting(const std::string& client, const std::string& section, const std::string& key, std::string& value);
// Sets one setting under the section's lock, creating the folder and file as needed. False with the
// reason when a name, key or value cannot be stored, when the file exists but cannot be read (a
// write must never drop keys it could not read), or when the write fails; the file is then as it was.
bool WriteSetting(const std::string& client, const std::string& section, const std::string& key,
                  const std::string& value, std::string& error);
// Sets one setting to a secret, which the file holds only in its stored form.
bool WriteProtectedSetting(const std::string& client, const std::string& section, const std::string& key,
                           const std::string& clear, std::string& error);

}  // namespace lab
