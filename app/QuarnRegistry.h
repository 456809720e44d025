#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "app/QuarnRegistryKeys.h"
#include "platform/ev/EvEvent.h"

// One loaded value of the settings section "VirtualServer".
struct vsRegistryEntryData {
  // Value-initialised: a text entry read through a number getter must not read an indeterminate value.
  uint64_t type = 0;  // 1 number, 2 text
  uint64_t number = 0;
  std::string text;

  vsRegistryEntryData() = default;
  vsRegistryEntryData& operator=(const vsRegistryEntryData& other) = default;
  vsRegistryEntryData(const vsRegistryEntryData& other) = default;
};

// The job process's tunables, addressed by id. The first use in the process reads every key of the
// table once; later reads are lookups in memory and the caller supplies the default of an absent key.
class QuarnRegistry {
 public:
  struct RegEntry {
    const char* name;
    uint64_t type;  // 1 number, 2 text
    int64_t id;
  };

  QuarnRegistry() = default;
  ~QuarnRegistry() = default;

  static void Startup();

  bool GetEntry(int id, std::string& value, const char* defaultValue);
  bool GetEntry(int id, int& value, int defaultValue);
  bool GetEntry(int id, unsigned int& value, unsigned int defaultValue);
  bool GetEntry(int id, bool& value, bool defaultValue);
  bool CheckEntry(int id, bool defaultValue);

  static const RegEntry c_regEntryList[];

  // Forgets the loaded table so a test can load another configuration.
  static void TEST_Unload();

 private:
  static void loadRegistryEntries();
  static bool Lookup(int id, vsRegistryEntryData& entry);

  // Filled once, under c_loadMutex, before c_loaded turns true; only read afterwards.
  static std::map<int, vsRegistryEntryData> c_registryEntries;
  static std::atomic<bool> c_loaded;
  static std::mutex c_loadMutex;

  EvEvent m_event;
};
