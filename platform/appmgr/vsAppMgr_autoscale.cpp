// The subclient's auto-scale policy.
#include <memory>
#include <utility>
#include <vector>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvDebug.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/msg/CNMessageBase.h"
#include "records/messages/IdaMessages.h"

namespace {

const char* const kSigConfig = "bool vsAppMgr::GetAutoScaleConfigInfo(CNMessageBase&) const";

using Config = Ida::AutoScaleConfigInfoResp;
using Region = Ida::AutoScaleRegionInfo;

struct NumberField {
  const char* key;
  const CNField& field;
};
constexpr NumberField kPolicyFields[] = {
    {"autoScale.rpoMinutes", Config::F_rpoMinutes},
    {"autoScale.throughputGBPerHour", Config::F_agentThroughputGBPerHour},
    {"autoScale.maxAgents", Config::F_maxAgents},
    {"autoScale.backupCopyRpoMinutes", Config::F_backupCopyRpoMinutes},
    {"autoScale.averageVMSizeGB", Config::F_averageVMSizeGB},
};

}  // namespace

bool vsAppMgr::IsScaleAgentManagementEnabled() const { return Flag("autoScale"); }

bool vsAppMgr::GetAutoScaleConfigInfo(CNMessageBase& config) const {
  if (config.getTagID() != Config::TAG) {
    EvDebug::Error(kSigConfig, "Auto-scale policy asked for in a message of tag [0x%08X]", config.getTagID());
    return false;
  }
  // Everything is read and checked before the message is touched.
  std::vector<std::pair<const CNField*, int64_t>> numbers;
  std::string text;
  for (const NumberField& field : kPolicyFields) {
    if (!GetSetting(field.key, text)) continue;
    int64_t value = 0;
    if (!labkv::ParseInt64(text, value)) {
      EvDebug::Error(kSigConfig, "Auto-scale setting [%s] value [%s] is not a number", field.key, text.c_str());
      return false;
    }
    numbers.emplace_back(&field.field, value);
  }
  std::string regionList;
  const bool hasRegions = GetSetting("autoScale.regions", regionList);
  if (numbers.empty() && !hasRegions) return false;

  std::vector<std::unique_ptr<CNMessageBase>> regions;
  for (const std::string& name : labkv::SplitList(regionList)) {
    std::unique_ptr<CNMessageBase> region = CNMessageBase::Create(Region::TAG);
    region->setstring(Region::F_regionName, name);
    const std::string prefix = "autoScale.region." + name + ".";
    if (GetSetting(prefix + "existingAgents", text)) {
      int64_t existing = 0;
      if (!labkv::ParseInt64(text, existing)) {
        EvDebug::Error(kSigConfig, "Auto-scale setting [%sexistingAgents] value [%s] is not a number", prefix.c_str(),
                       text.c_str());
        return false;
      }
      region->setint64(Region::F_existingAgents, existing);
    }
    if (GetSetting(prefix + "creationJobs", text)) {
      std::vector<int64_t>& jobs = region->getlistint(Region::F_creationJobIds, true);
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

  for (const auto& number : numbers) config.setint64(*number.first, number.second);
  CNMessageList& list = config.getlistobject(Config::F_regions, true);
  for (auto& region : regions) list.push_back(CNMessagePtr(std::move(region)));
  return true;
}
