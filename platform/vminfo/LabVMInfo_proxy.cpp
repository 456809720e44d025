// The proxy's own view of the lab's hypervisor: the VM it is (its lab machine's), the host it runs
// on, its stream limit, the datastores it reaches and its attachments to shared shadows.
#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabMachine.h"
#include "platform/vminfo/LabVMInfo.h"

bool LabVMInfo::ReadProxyMachine(lab::MachineRecord& machine) {
  std::string error;
  switch (lab::ReadMachineRecord(lab::FocusClient(), machine, error)) {
    case lab::RecordRead::kRead: return true;
    case lab::RecordRead::kMissing:
      Fail(kErrNotFound, "Client [" + lab::FocusClient() + "] has no machine record");
      return false;
    default:
      Fail(kErrUnreadable, "Cannot read the machine of client [" + lab::FocusClient() + "]: " + error);
      return false;
  }
}

int LabVMInfo::GetProxyHostInfo(VMInfoStructs::SHostInfo& info) {
  lab::MachineRecord machine;
  if (!ReadProxyMachine(machine)) return 0;
  if (machine.hypervisorHost.empty()) return Fail(kErrNotFound, "This proxy runs on no hypervisor host");
  return GetHostInfo(machine.hypervisorHost, info, 0, 0);
}

int LabVMInfo::GetProxyVMInfo(VMInfoStructs::SVMInfo& info, int, int) {
  if (Faulted("vminfo.GetProxyVMInfo")) return 0;
  lab::MachineRecord machine;
  if (!ReadProxyMachine(machine)) return 0;
  if (!machine.IsVM()) return Fail(kErrNotFound, "This proxy is not a virtual machine");
  return LoadVMInfo(machine.vmGuid, info);
}

int LabVMInfo::GetStreamLimit() {
  if (Faulted("vminfo.GetStreamLimit")) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::ServerRecord record;
  std::string error;
  int64_t limit = 0;
  if (!lab::ReadServerRecord(server, record, error) || !lab::ServerStreamLimit(record, limit, error))
    return Fail(kErrUnreadable, "Cannot read the stream limit of the hypervisor server: " + error);
  Succeed();
  return static_cast<int>(limit);
}

int LabVMInfo::GetDatastoreList(std::vector<VMInfoStructs::SDatastoreInfo>& datastores) {
  if (Faulted("vminfo.GetDatastoreList")) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::ServerRecord record;
  std::string error;
  if (!lab::ReadServerRecord(server, record, error))
    return Fail(kErrUnreadable, "Cannot read the hypervisor server description: " + error);
  std::vector<VMInfoStructs::SDatastoreInfo> found;
  for (const std::string& name : record.datastores) {
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
  if (Faulted("vminfo.AttachSharedShadow")) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  if (ctx.sharedShadowText1.empty() && ctx.sharedShadowText2.empty())
    return Fail(kErrNotFound, "No shared shadow is named");
  if (!lab::AppendSharedShadowAttachment(server, lab::FocusClient(), ctx.sharedShadowText1, ctx.sharedShadowText2))
    return Fail(kErrUnreadable, "Cannot record the attachment to the shared shadow");
  Succeed();
  return 1;
}
