#include "platform/lab/LabGuestVolumes.h"

#include <cctype>
#include <map>

#include "platform/lab/LabFiles.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabKeyValue.h"

namespace lab {
namespace {

constexpr const char* kScriptSuffix = ".volumes";

bool TakeCount(std::map<std::string, std::string>& values, const std::string& key, int64_t max, int64_t& count,
               std::string& error) {
  auto it = values.find(key);
  count = 0;
  if (it == values.end()) return true;
  if (!labkv::ParseInt64InRange(it->second, 0, max, count)) {
    error = key + " must be a number from 0 to " + std::to_string(max) + ", not '" + it->second + "'";
    return false;
  }
  values.erase(it);
  return true;
}

// Comma-separated decimal numbers, exactly `count` of them.
bool TakeNumbers(std::map<std::string, std::string>& values, const std::string& key, size_t count,
                 std::vector<uint64_t>& numbers, std::string& error) {
  auto it = values.find(key);
  if (it == values.end()) {
    error = key + " is missing";
    return false;
  }
  numbers.clear();
  for (const std::string& item : labkv::SplitList(it->second)) {
    uint64_t number = 0;
    if (!labkv::ParseUInt64(item, number)) {
      error = key + ": '" + item + "' is not a number";
      return false;
    }
    numbers.push_back(number);
  }
  if (numbers.size() != count) {
    error = key + " needs " + std::to_string(count) + " numbers";
    return false;
  }
  values.erase(it);
  return true;
}

bool IsHexId(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string ScriptPath(const std::string& vm, std::string* serverOut) {
  for (const std::string& server : ListServers()) {
    VMDescription description;
    if (!FindVM(server, vm, description)) continue;
    if (serverOut != nullptr) *serverOut = server;
    const std::string path = VMDescriptionPath(server, description.name);
    if (path.size() < 3) return std::string();
    return path.substr(0, path.size() - 3) + kScriptSuffix;  // beside "<vm>.vm"
  }
  return std::string();
}

}  // namespace

bool ParseGuestVolumeScript(const std::string& text, GuestVolumeScript& script, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  GuestVolumeScript parsed;
  int64_t volumes = 0;
  if (!TakeCount(values, "volumeCount", kMaxGuestVolumes, volumes, error)) return false;
  for (int64_t i = 0; i < volumes; ++i) {
    const std::string prefix = "volume" + std::to_string(i) + ".";
    GuestVolume volume;
    volume.name = values[prefix + "name"];
    values.erase(prefix + "name");
    if (volume.name.empty()) {
      error = prefix + "name is missing";
      return false;
    }
    int64_t type = 0, raid = 0, sectorSize = 512, segments = 0;
    auto number = [&](const std::string& key, int64_t min, int64_t max, int64_t& value) {
      auto it = values.find(prefix + key);
      if (it == values.end()) return true;
      if (!labkv::ParseInt64InRange(it->second, min, max, value)) {
        error = prefix + key + " must be a number from " + std::to_string(min) + " to " + std::to_string(max);
        return false;
      }
      values.erase(it);
      return true;
    };
    if (!number("type", 0, 255, type) || !number("raid", 0, 1, raid) || !number("sectorSize", 512, 4096, sectorSize) ||
        !TakeCount(values, prefix + "segmentCount", kMaxGuestPieces, segments, error))
      return false;
    if (sectorSize != 512 && sectorSize != 4096) {
      error = prefix + "sectorSize must be 512 or 4096";
      return false;
    }
    volume.type = static_cast<int32_t>(type);
    volume.raid = raid != 0;
    volume.sectorSize = static_cast<uint32_t>(sectorSize);
    volume.id = values[prefix + "id"];
    values.erase(prefix + "id");
    if (!volume.id.empty() && !IsHexId(volume.id)) {
      error = prefix + "id must be 32 hex digits";
      return false;
    }
    for (int64_t j = 0; j < segments; ++j) {
      const std::string segmentKey = prefix + "segment" + std::to_string(j);
      std::vector<uint64_t> numbers;
      int64_t components = 0;
      if (!TakeNumbers(values, segmentKey, 3, numbers, error) ||
          !TakeCount(values, segmentKey + ".componentCount", kMaxGuestPieces, components, error))
        return false;
      GuestSegment segment{numbers[0], numbers[1], numbers[2], {}};
      if (segment.last < segment.first) {
        error = segmentKey + " ends before it begins";
        return false;
      }
      for (int64_t k = 0; k < components; ++k) {
        const std::string componentKey = segmentKey + ".component" + std::to_string(k);
        auto it = values.find(componentKey);
        const std::vector<std::string> items =
            it == values.end() ? std::vector<std::string>() : labkv::SplitList(it->second);
        if (items.size() != 6) {
          error = componentKey + " needs a disk image file and five numbers";
          return false;
        }
        values[componentKey] = it->second.substr(it->second.find(',') + 1);
        if (!TakeNumbers(values, componentKey, 5, numbers, error)) return false;
        if (!labkv::IsWord(items[0]) || items[0].find('/') != std::string::npos || numbers[0] > 1024 ||
            numbers[2] < numbers[1] || numbers[4] < numbers[3]) {
          error = componentKey + " is not a usable component";
          return false;
        }
        segment.components.push_back(GuestComponent{items[0], static_cast<int32_t>(numbers[0]), numbers[1], numbers[2],
                                                    numbers[3], numbers[4]});
      }
      volume.segments.push_back(segment);
    }
    parsed.volumes.push_back(volume);
  }
  if (!values.empty()) {
    error = "unknown key " + values.begin()->first;
    return false;
  }
  script = parsed;
  return true;
}

std::string FormatGuestVolumeScript(const GuestVolumeScript& script) {
  std::map<std::string, std::string> values;
  values["volumeCount"] = std::to_string(script.volumes.size());
  for (size_t i = 0; i < script.volumes.size(); ++i) {
    const GuestVolume& volume = script.volumes[i];
    const std::string prefix = "volume" + std::to_string(i) + ".";
    values[prefix + "name"] = volume.name;
    values[prefix + "type"] = std::to_string(volume.type);
    if (!volume.id.empty()) values[prefix + "id"] = volume.id;
    values[prefix + "raid"] = volume.raid ? "1" : "0";
    values[prefix + "sectorSize"] = std::to_string(volume.sectorSize);
    values[prefix + "segmentCount"] = std::to_string(volume.segments.size());
    for (size_t j = 0; j < volume.segments.size(); ++j) {
      const GuestSegment& segment = volume.segments[j];
      const std::string segmentKey = prefix + "segment" + std::to_string(j);
      values[segmentKey] = std::to_string(segment.first) + "," + std::to_string(segment.last) + "," +
                           std::to_string(segment.stripeSectors);
      values[segmentKey + ".componentCount"] = std::to_string(segment.components.size());
      for (size_t k = 0; k < segment.components.size(); ++k) {
        const GuestComponent& c = segment.components[k];
        values[segmentKey + ".component" + std::to_string(k)] =
            c.diskFile + "," + std::to_string(c.partition) + "," + std::to_string(c.first) + "," +
            std::to_string(c.last) + "," + std::to_string(c.partitionFirst) + "," + std::to_string(c.partitionLast);
      }
    }
  }
  return labkv::Format(values);
}

RecordRead ReadGuestVolumeScript(const std::string& vm, GuestVolumeScript& script, std::string& error) {
  const std::string path = ScriptPath(vm, nullptr);
  if (path.empty()) return RecordRead::kMissing;
  return ReadRecordFile(path, script, error, ParseGuestVolumeScript);
}

bool WriteGuestVolumeScript(const std::string& vm, const GuestVolumeScript& script, std::string& error) {
  const std::string path = ScriptPath(vm, nullptr);
  if (path.empty()) {
    error = "no VM " + vm + " in the lab";
    return false;
  }
  return WriteFileAtomic(path, FormatGuestVolumeScript(script), error);
}

}  // namespace lab
