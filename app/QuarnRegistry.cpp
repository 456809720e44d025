#include "app/QuarnRegistry.h"

#include "platform/config/ZTPI_Focus.h"
#include "platform/config/ZTPlatformInfo.h"

std::map<int, vsRegistryEntryData> QuarnRegistry::c_registryEntries;
std::atomic<bool> QuarnRegistry::c_loaded{false};
std::mutex QuarnRegistry::c_loadMutex;

namespace {
const char* const kSection = "VirtualServer";

// A text setting may carry a password among its '|'-separated items ("...|Password=<p>|..."): the
// log shows such an item's value as "*****".
std::string WithSecretsMasked(const std::string& text) {
  static const std::string kPasswordKey = "Password=";
  std::string shown;
  size_t start = 0;
  for (;;) {
    const size_t bar = text.find('|', start);
    const std::string item = text.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    shown += item.find(kPasswordKey) == std::string::npos ? item : item.substr(0, item.find('=') + 1) + "*****";
    if (bar == std::string::npos) return shown;
    shown += '|';
    start = bar + 1;
  }
}

}  // namespace

void QuarnRegistry::Startup() { loadRegistryEntries(); }

void QuarnRegistry::loadRegistryEntries() {
  static const char* const sig = "void QuarnRegistry::loadRegistryEntries()";
  if (c_loaded.load(std::memory_order_acquire)) return;
  // The process frame loads before any other thread exists; the lock only guards a first use that
  // comes from elsewhere (tests, tools) against a reader on another thread.
  std::lock_guard<std::mutex> lock(c_loadMutex);
  if (c_loaded.load(std::memory_order_relaxed)) return;

  EvEvent event;
  ZTPlatformInfo platformInfo;
  platformInfo.setFocus(ZTPI_Focus::getFocus());

  for (const RegEntry* row = c_regEntryList; row->name != nullptr; ++row) {
    vsRegistryEntryData entry;
    bool found = false;
    if (row->type == 1) {
      entry.type = 1;
      unsigned long long number = 0;
      if (platformInfo.getNumber(kSection, row->name, &number) != 0) {
        entry.number = number;
        c_registryEntries[static_cast<int>(row->id)] = entry;
        event.Debug(sig, "Registry Entry [%s]. Value [%d]", row->name, static_cast<int>(entry.number));
        found = true;
      }
    } else if (row->type == 2) {
      entry.type = 2;
      std::string text;
      if (platformInfo.getString(kSection, row->name, &text) != 0) {
        entry.number = 0;
        entry.text = text;
        c_registryEntries[static_cast<int>(row->id)] = entry;
        event.Debug(sig, "Registry Entry [%s]. Value [%s]", row->name, WithSecretsMasked(entry.text).c_str());
        found = true;
      }
    } else {
      event.Debug(sig, "Unknown registry entry type [%lu] for [%s]", static_cast<unsigned long>(row->type),
                  row->name);
      continue;
    }
    if (!found) event.DebugLvl(2, sig, "RegistryEntry [%s] may not be present", row->name);
  }
  c_loaded.store(true, std::memory_order_release);
}

bool QuarnRegistry::Lookup(int id, vsRegistryEntryData& entry) {
  if (!c_loaded.load(std::memory_order_acquire)) loadRegistryEntries();
  auto it = c_registryEntries.find(id);
  if (it == c_registryEntries.end()) return false;
  entry = it->second;
  return true;
}

bool QuarnRegistry::GetEntry(int id, std::string& value, const char* defaultValue) {
  vsRegistryEntryData entry;
  if (Lookup(id, entry)) {
    value = entry.text;
    return true;
  }
  value = defaultValue ? defaultValue : "";
  return false;
}

bool QuarnRegistry::GetEntry(int id, int& value, int defaultValue) {
  vsRegistryEntryData entry;
  if (Lookup(id, entry)) {
    value = static_cast<int>(static_cast<uint32_t>(entry.number & 0xFFFFFFFFull));
    return true;
  }
  value = defaultValue;
  return false;
}

bool QuarnRegistry::GetEntry(int id, unsigned int& value, unsigned int defaultValue) {
  int number = 0;
  bool found = GetEntry(id, number, static_cast<int>(defaultValue));
  value = static_cast<unsigned int>(number);
  return found;
}

bool QuarnRegistry::GetEntry(int id, bool& value, bool defaultValue) {
  vsRegistryEntryData entry;
  if (Lookup(id, entry)) {
    value = entry.number != 0;
    return true;
  }
  value = defaultValue;
  return false;
}

bool QuarnRegistry::CheckEntry(int id, bool defaultValue) {
  bool value = defaultValue;
  GetEntry(id, value, defaultValue);
  return value;
}

void QuarnRegistry::TEST_Unload() {
  std::lock_guard<std::mutex> lock(c_loadMutex);
  c_registryEntries.clear();
  c_loaded.store(false, std::memory_order_release);
}
