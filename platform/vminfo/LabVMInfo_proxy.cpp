// The proxy's own view of the lab's hypervisor: the VM it is, its stream limit, the datastores it
// reaches and its attachments to shared shadows.
#include <map>

#include "platform/jobmgr/LabKeyValue.h"
#include "platform/lab/Lab.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

std::string Value(const std::map<std::string, std::string>& values, const std::string& key) {
  auto it = values.find(key);
  return it == values.end() ? std::string() : it->second;
}

}  // namespace

int LabVMInfo::GetProxyVMInfo(VMInfoStructs::SVMInfo& info, int, int) {
  // A proxy that is a VM of the lab's hypervisor carries its client's name.
  VMInfoStructs::SVMInfo record;
  if (LoadVMInfo(lab::FocusClient(), record) == 0) return 0;
  info = record;
  return 1;
}

int LabVMInfo::GetStreamLimit() {
  std::map<std::string, std::string> conf;
  if (!ReadServer(conf)) return 0;
  int64_t limit = 0;
  const std::string text = Value(conf, "streamLimit");
  if (!text.empty() && (!labkv::ParseInt64(text, limit) || limit < 0 || limit > 0x7FFFFFFF)) {
    Fail(kErrUnreadable, "server.conf: streamLimit [" + text + "] is not usable", kFailureEvent);
    return 0;
  }
  Succeed();
  return static_cast<int>(limit);
}

int LabVMInfo::GetDatastoreList(std::vector<VMInfoStructs::SDatastoreInfo>& datastores) {
  std::map<std::string, std::string> conf;
  if (!ReadServer(conf)) return 0;
  std::vector<VMInfoStructs::SDatastoreInfo> found;
  for (const std::string& name : labkv::SplitList(Value(conf, "datastores"))) {
    VMInfoStructs::SDatastoreInfo datastore;
    datastore.name = name;
    found.push_back(datastore);
  }
  datastores = found;
  Succeed();
  return 1;
}

void LabVMInfo::ReleaseSession() {}

int LabVMInfo::AttachSharedShadow(MountCtx& ctx) {
  std::map<std::string, std::string> conf;
  if (!ReadServer(conf)) return 0;
  if (ctx.sharedShadowText1.empty() && ctx.sharedShadowText2.empty())
    return Fail(kErrNotFound, "No shared shadow is named", kFailureEvent);
  // Recorded so that a test can see which proxies joined which shadow.
  if (!lab::AppendLineLocked(ServerDir() + "/sharedshadow.log",
                             "attach " + lab::FocusClient() + " " + ctx.sharedShadowText1 + " " + ctx.sharedShadowText2))
    return Fail(kErrUnreadable, "Cannot record the attachment to the shared shadow", kFailureEvent);
  Succeed();
  return 1;
}
