#pragma once
#include <string>

// The stored form of a secret (a password in a record or a setting): reversible by the platform,
// never the clear text, and made only of characters that a settings line or an XML text keeps.
std::string ProtectText(const std::string& clear);
// False, with `clear` unchanged, when the text is not a stored form.
bool UnprotectText(const std::string& stored, std::string& clear);
