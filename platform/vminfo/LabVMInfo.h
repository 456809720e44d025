#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "platform/os/ZtMutex.h"
#include "platform/os/ThreadAnnotations.h"
#include "platform/vminfo/IVMInfo.h"

// The VM-information library of the lab: one hypervisor server folder,
// lab::HypervisorDir() + "/<server>" (see host/lab/LabCreate.cpp):
//   server.conf         type=<instance type>  hosts=<list>  datastores=<list>
//                       user=<name> password=<text>  (optional: a connect must name them)
//                       terminologyEvent=<event id>  (optional; 0 or absent: none)
//                       fault knob: failCode=<code> [failText=<text>] [failEvent=<event id>] makes
//                       every operation fail with that library code
//   hosts/<host>.host   optional host details: datacenter, datacenter2, cluster, faultDomain,
//                       field34 (numbers decimal)
//   vms/<vm>.vm         VM descriptions: name, guid, host, datastore, version, toolsVersion,
//                       diskCount, disk<i>.file (datastores/<datastore>/...), disk<i>.sizeBytes
// A host exists when server.conf lists it or it has a host file.
class LabVMInfo : public IVMInfo {
 public:
  // Codes of the lab's own failures. They lie in a range that the error classification does not
  // single out, so they classify as plain failures.
  static constexpr int kErrNotFound = 3001;    // no such host or VM
  static constexpr int kErrUnreadable = 3002;  // the lab's description cannot be read
  // Job event of a failure when the fault does not name one: arguments VM label and error text.
  static constexpr uint32_t kFailureEvent = 0x5B0001F0;

  // server: the folder under hypervisor/; empty means the lab's only server folder.
  explicit LabVMInfo(int instanceType, const std::string& server = std::string());
  ~LabVMInfo() override;

  int GetErrorCode() override;
  void GetErrorReport(MountCtx& ctx, std::string& text, EvMessageContainer& message) override;
  int GetInstanceType() override;
  int GetHostInfo(const std::string& hostName, VMInfoStructs::SHostInfo& info, uint64_t mask,
                  int flags) override;

  int Initialize(int flags) override;
  void RegisterCallback(Callback callback, void* context) override;
  int SetOption(const std::string& name, int64_t value) override;
  int Connect(const vsAppMgrServerCredentials& credentials, const std::string& server, const std::string& user,
              const std::vector<SHostCredentials>& hostCredentials) override;
  void GetConnectErrorMessage(std::string& text, EvMessageContainer& message) override;
  int Disconnect() override;
  int FlushInventoryCache() override;
  int Cleanup(int flags) override;
  uint32_t GetTerminology(int kind, int form) override;
  int InitializeCluster(MountCtx& ctx) override;
  // Lab views for tests.
  bool IsConnected() const;
  int64_t GetOption(const std::string& name) const;
  // Calls the registered callback as the library would; 0xFFFFFFFF without one.
  int InvokeCallback(int reason, void* data);

  // Lab operation: the inventory record of a VM named by GUID (any case) or name. Non-zero on success.
  int LoadVMInfo(const std::string& guidOrName, VMInfoStructs::SVMInfo& info);

  // Makes every following operation fail with the code (tests); code 0 clears it. eventId 0: the
  // failure has no job event.
  void SetFailure(int code, const std::string& text, uint32_t eventId = kFailureEvent);

  // Folder of the server this object reads; empty when there is none.
  std::string ServerDir() const;

 private:
  struct Fault {
    int code = 0;
    std::string text;
    uint32_t eventId = 0;
  };
  // Records a failure; always returns 0 so operations can `return Fail(...)`.
  int Fail(int code, const std::string& text, uint32_t eventId) LOCKS_EXCLUDED(mutex_);
  void Succeed() LOCKS_EXCLUDED(mutex_);
  // Reads server.conf; false (failure recorded) when it cannot. Applies the fault knob.
  bool ReadServer(std::map<std::string, std::string>& conf);
  // A fault set by SetFailure or by the knob; false when there is none.
  bool ActiveFault(const std::map<std::string, std::string>& conf, Fault& fault) LOCKS_EXCLUDED(mutex_);

  // Constant after construction.
  const int instanceType_;
  const std::string server_;

  mutable ZtMutex mutex_;
  Fault forced_ GUARDED_BY(mutex_);
  Fault last_ GUARDED_BY(mutex_);
  // The connection (LabVMInfo_link.cpp).
  bool initialized_ GUARDED_BY(mutex_) = false;
  bool connected_ GUARDED_BY(mutex_) = false;
  std::string connectedServer_ GUARDED_BY(mutex_);  // the server the credentials named
  Callback callback_ GUARDED_BY(mutex_) = nullptr;
  void* callbackContext_ GUARDED_BY(mutex_) = nullptr;
  std::map<std::string, int64_t> options_ GUARDED_BY(mutex_);
};
