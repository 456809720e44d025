#pragma once
#include <string>
#include <vector>

// The platform configuration of one client of the lab: the client's settings sections (their files
// and format are the lab's, platform/lab/LabSettings.h). Keys are matched exactly (case matters).
//
// Getters return non-zero when the key was found and its value has the asked form; otherwise they
// return 0 and leave the caller's value as it was, so a caller's default survives. Each read goes to the
// file, so a change made by a tool is seen by the next read.
class ZTPlatformInfo {
 public:
  ZTPlatformInfo();  // focus: lab::FocusClient()

  // Selects the client whose settings are read. Refuses (false, focus unchanged) a name that is not
  // safe as one path component.
  bool setFocus(const std::string& client);
  const std::string& getFocus() const { return focus_; }
  // The client this view reads: in the lab every client is its own physical machine.
  std::string getPhysicalMachine() const { return focus_; }

  // A decimal number (optionally signed) or "0x" hexadecimal. A negative number reads as its two's
  // complement ("-1" gives 0xFFFFFFFFFFFFFFFF). A value that is not a number, or that does not fit,
  // counts as absent.
  int getNumber(const std::string& section, const std::string& key, unsigned long long* value) const;
  // Through the 64-bit form into a local starting at 0; only when that succeeds is the caller's value
  // set, to the low 32 bits.
  int getNumber(const std::string& section, const std::string& key, unsigned int* value) const;
  int getString(const std::string& section, const std::string& key, std::string* value) const;
  // "true"/"false", "yes"/"no", "on"/"off" (any case) or a number (non-zero is true).
  int getBoolean(const std::string& section, const std::string& key, bool* value) const;
  // The value split at the separator; entries are trimmed and empty ones dropped.
  int getStringList(const std::string& section, const std::string& key, std::vector<std::string>* values,
                    char separator = ',') const;

  // Rewrite the section's file atomically, under a lock shared with other processes, keeping its other
  // lines. False (and logged) when the name, key or value cannot be stored as one line that reads back
  // the same, or when the file exists but cannot be read: a write never drops keys it could not read.
  // The lab's fault table can make it fail ("config.setString").
  bool setString(const std::string& section, const std::string& key, const std::string& value) const;
  bool setNumber(const std::string& section, const std::string& key, unsigned long long value) const;

  // What the focus client has installed, as bits: 1 the client itself, 2 a media agent. The setting
  // "nPlatformType" of the section "Base"; absent, both.
  static constexpr unsigned kPlatformClient = 1;
  static constexpr unsigned kPlatformMediaAgent = 2;
  unsigned getZTPlatformType() const;

  // The settings file of a section for the focus client; empty when there is no lab or the section is
  // not a safe name.
  std::string sectionPath(const std::string& section) const;

 private:
  bool lookup(const std::string& section, const std::string& key, std::string& value) const;

  std::string focus_;
};
