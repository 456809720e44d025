// The subclient's auto-scale policy.
#include <map>
#include <memory>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvDebug.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/msg/CNMessageBase.h"

namespace {

const char* const kSigConfig = "bool vsAppMgr::GetAutoScaleConfigInfo(CNMessageBase&) const";

// Ida::AutoScaleConfigInfoResp and Ida::AutoScaleRegionInfo.
constexpr uint32_t kConfigTag = 0x16BDAC9B;
constexpr uint32_t kRegionTag = 0x160964DD;

struct NumberField {
  const char* key;
  int index;
  uint32_t check;
};
constexpr NumberField kPolicyFields[] = {
    {"autoScale.rpoMinutes", 1, 0xA1B77C},
    {"autoScale.throughputGBPerHour", 2, 0xBDE452},
    {"autoScale.maxAgents", 3, 0xFBB329},
    {"autoScale.backupCopyRpoMinutes", 4, 0xA1BCF3},
    {"autoScale.averageVMSizeGB", 5, 0xAE9770},
};

}  // namespace

bool vsAppMgr::IsScaleAgentManagementEnabled() const { return Flag("autoScale"); }

bool vsAppMgr::GetAutoScaleConfigInfo(CNMessageBase& config) const {
  if (config.getTagID() != kConfigTag) {
    EvDebug::Error(kSigConfig, "Auto-scale policy asked for in a message of tag [0x%08X]", config.getTagID());
    return false;
  }
  // Everything is read and checked before the message is touched.
  std::map<int, int64_t> numbers;
  std::string text;
  for (const NumberField& field : kPolicyFields) {
    if (!GetSetting(field.key, text)) continue;
    int64_t value = 0;
    if (!labkv::ParseInt64(text, value)) {
      EvDebug::Error(kSigConfig, "Auto-scale setting [%s] value [%s] is not a number", field.key, text.c_str());
      return false;
    }
    numbers[field.index] = value;
  }
  std::string regionList;
  const bool hasRegions = GetSetting("autoScale.regions", regionList);
  if (numbers.empty() && !hasRegions) return false;

  std::vector<std::unique_ptr<CNMessageBase>> regions;
  for (const std::string& name : labkv::SplitList(regionList)) {
    std::unique_ptr<CNMessageBase> region = CNMessageBase::Create(kRegionTag);
    region->setstring(1, 1, name, kRegionTag, 0x4826F4);
    const std::string prefix = "autoScale.region." + name + ".";
    if (GetSetting(prefix + "existingAgents", text)) {
      int64_t existing = 0;
      if (!labkv::ParseInt64(text, existing)) {
        EvDebug::Error(kSigConfig, "Auto-scale setting [%sexistingAgents] value [%s] is not a number", prefix.c_str(),
                       text.c_str());
        return false;
      }
      region->setint64(2, 5, existing, kRegionTag, 0x06AB79);
    }
    if (GetSetting(prefix + "creationJobs", text)) {
      std::vector<int64_t>& jobs = region->getlistint(3, 6, kRegionTag, 0x2FFED7, true);
      for (const std::string& job : labkv::SplitList(text)) {
        int64_t id = 0;
        if (!labkv::ParseInt64(job, id)) {
          EvDebug::Error(kSigConfig, "Auto-scale setting [%screationJobs] entry [%s] is not a number",
                         prefix.c_str(), job.c_str());
          return false;
        }
        jobs.push_back(id);
      }
    }
    regions.push_back(std::move(region));
  }

  for (const auto& number : numbers)
    config.setint64(number.first, number.first, number.second, kConfigTag, kPolicyFields[number.first - 1].check);
  CNMessageList& list = config.getlistobject(6, 6, kConfigTag, 0x8B9CBF, true);
  for (auto& region : regions) list.push_back(CNMessagePtr(std::move(region)));
  return true;
}
