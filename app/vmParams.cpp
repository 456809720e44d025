#include "app/vmParams.h"

#include "records/WinCompat.h"

namespace {

const uint32_t kCollectTag = VirtualServer::VMCollect::TAG;

}  // namespace

const char* GetVMPhaseString(phase value) {
  switch (value) {
    case PHASE_NOT_STARTED: return "NOT_STARTED";
    case PHASE_STARTED: return "STARTED";
    case PHASE_DONE: return "DONE";
    case PHASE_DONE_WITH_ERRORS: return "DONE_WITH_ERRORS";
    case PHASE_PREVIOUS_ATTEMPT: return "PREVIOUS_ATTEMPT";
    case PHASE_FAILED: return "FAILED";
    case PHASE_PENDING: return "PENDING";
    case PHASE_STOPPING: return "STOPPING";
    case PHASE_STOPPED: return "STOPPED";
    case PHASE_SKIPPED: return "SKIPPED";
  }
  return "UNKNOWN";
}

void vm_params::GetVMBasicInfo(SVMBasicInfo& info) const {
  info.vmName = vmName;
  info.vmGuid = vmGuid;
  info.text3 = collectText13;
  info.text4 = snapServerName;
  info.text5 = snapText;
  info.host = host;
  info.text7 = collect.getstring(5, 17, kCollectTag, 0xC7370D);
  info.number11 = static_cast<int32_t>(collect.getint64(22, kCollectTag, 0xAFDBBB));
  info.clientId = static_cast<int32_t>(collect.getint64(21, kCollectTag, 0xFD021D));
  info.clustered = collect.getint64(27, kCollectTag, 0x7E8819) != 0;
  info.cluster = collect.getstring(26, 68, kCollectTag, 0x7844B4);
  info.text16 = collect.getstring(22, 58, kCollectTag, 0xBD08E0);
  info.datacenter = collect.getstring(21, 54, kCollectTag, 0x0EF2B6);
  info.subclientId = static_cast<int32_t>(collect.getint64(63, kCollectTag, 0xE81AA5));
  info.text20 = collect.getstring(25, 64, kCollectTag, 0xDBE7C7);
  info.subclientGuid = collect.getstring(32, 77, kCollectTag, 0x7A11BD);
  info.jobId = static_cast<int32_t>(collect.getint64(62, kCollectTag, 0x664541));
}

bool __less_nocase_cmp::operator()(const std::string& a, const std::string& b) const {
  return _stricmp(a.c_str(), b.c_str()) < 0;
}

void SVMParamsMap::Add(const vm_params& vm) {
  // The stored key keeps the spelling of the first record; the value is replaced whole.
  auto it = map_.find(vm.vmGuid);
  if (it == map_.end())
    map_.emplace(vm.vmGuid, vm);
  else
    it->second = vm;
}

bool SVMParamsMap::Contains(const std::string& guid) const { return map_.find(guid) != map_.end(); }

vm_params* SVMParamsMap::Find(const std::string& guid) {
  auto it = map_.find(guid);
  return it == map_.end() ? nullptr : &it->second;
}

const vm_params* SVMParamsMap::Find(const std::string& guid) const {
  auto it = map_.find(guid);
  return it == map_.end() ? nullptr : &it->second;
}

bool SVMParamsMap::UpdateVMPhase(const std::string& guid, phase value) {
  vm_params* vm = Find(guid);
  if (vm == nullptr) return false;
  vm->vmPhase = value;
  return true;
}

bool SVMParamsMap::QueryVMPhase(const std::string& guid, phase& value) const {
  const vm_params* vm = Find(guid);
  if (vm == nullptr) return false;
  value = vm->vmPhase;
  return true;
}

bool SVMParamsMap::UpdateVMFailureReason(const std::string& guid, const std::string& reason) {
  vm_params* vm = Find(guid);
  if (vm == nullptr) return false;
  vm->failureReason = reason;
  return true;
}

bool SVMParamsMap::IsVMPhaseComplete(const std::string& guid) const {
  const vm_params* vm = Find(guid);
  if (vm == nullptr) return false;
  return vm->vmPhase >= PHASE_DONE && vm->vmPhase <= PHASE_FAILED;
}

vm_params& SVMParamsMap::operator[](const std::string& guid) { return map_[guid]; }
