// The connection's life of the lab's VM-information library: set-up, connect with the subclient's
// credentials, disconnect, clean-up, options and callbacks.
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabFaults.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr int kErrNotInitialized = 3003;
constexpr int kErrAuthentication = 3004;
constexpr int kErrNotConnected = 3005;

std::string Other(const lab::ServerRecord& record, const std::string& key) {
  auto it = record.other.find(key);
  return it == record.other.end() ? std::string() : it->second;
}

}  // namespace

int LabVMInfo::Initialize(int flags) {
  if (Faulted("vminfo.Initialize")) return 0;
  ZtMutexLock lock(mutex_);
  initialized_ = true;
  return 1;
}

void LabVMInfo::RegisterCallback(Callback callback, void* context) {
  ZtMutexLock lock(mutex_);
  callback_ = callback;
  callbackContext_ = context;
}

int LabVMInfo::InvokeCallback(int reason, void* data) {
  Callback callback = nullptr;
  void* context = nullptr;
  {
    ZtMutexLock lock(mutex_);
    callback = callback_;
    context = callbackContext_;
  }
  return callback == nullptr ? static_cast<int>(0xFFFFFFFFu) : callback(reason, context, data);
}

int LabVMInfo::SetOption(const std::string& name, int64_t value) {
  ZtMutexLock lock(mutex_);
  options_[name] = value;
  return 1;
}

int64_t LabVMInfo::GetOption(const std::string& name) const {
  ZtMutexLock lock(mutex_);
  auto it = options_.find(name);
  return it == options_.end() ? -1 : it->second;
}

int LabVMInfo::Connect(const vsAppMgrServerCredentials& credentials, const std::string& server,
                       const std::string& user, const std::vector<SHostCredentials>& hostCredentials) {
  {
    ZtMutexLock lock(mutex_);
    connected_ = false;
    if (!initialized_) {
      last_ = Failure{kErrNotInitialized, "The VM-information object is not initialized", kFailureEvent};
      return 0;
    }
    if (server_.empty()) connectedServer_ = server;
  }
  if (Faulted("vminfo.Connect")) return 0;
  std::string name;
  if (!FindServer(name)) return 0;
  lab::ServerRecord record;
  std::string error;
  if (!lab::ReadServerRecord(name, record, error))
    return Fail(kErrUnreadable, "Cannot read the hypervisor server description: " + error);
  const std::string wantedUser = Other(record, "user");
  if (!wantedUser.empty() && (wantedUser != user || Other(record, "password") != credentials.password))
    return Fail(kErrAuthentication, "Authentication failed for user [" + user + "] on [" + name + "]");
  ZtMutexLock lock(mutex_);
  connected_ = true;
  last_ = Failure();
  return 1;
}

void LabVMInfo::GetConnectErrorMessage(std::string& text, EvMessageContainer& message) {
  Failure last;
  std::string server;
  {
    ZtMutexLock lock(mutex_);
    last = last_;
    server = server_.empty() ? connectedServer_ : server_;
  }
  text = last.text;
  message.SetMessageID(last.eventId, true);
  if (last.eventId != 0) message << server << last.text;
}

bool LabVMInfo::IsConnected() const {
  ZtMutexLock lock(mutex_);
  return connected_;
}

int LabVMInfo::Disconnect() {
  ZtMutexLock lock(mutex_);
  connected_ = false;
  return 1;
}

int LabVMInfo::FlushInventoryCache() { return 1; }

int LabVMInfo::Cleanup(int flags) {
  const bool failed = Faulted("vminfo.Cleanup");
  ZtMutexLock lock(mutex_);
  connected_ = false;
  initialized_ = false;
  return failed ? 0 : 1;
}

int LabVMInfo::VerifyAccount() {
  if (!IsConnected()) return Fail(kErrNotConnected, "The VM-information object is not connected");
  if (Faulted("vminfo.VerifyAccount")) return 0;
  Succeed();
  return 1;
}

int LabVMInfo::CheckSnapPrivileges() {
  if (!IsConnected()) return Fail(kErrNotConnected, "The VM-information object is not connected");
  if (Faulted("vminfo.CheckSnapPrivileges")) return 0;
  Succeed();
  return 1;
}

std::string LabVMInfo::GetErrorText() {
  ZtMutexLock lock(mutex_);
  return last_.text;
}

uint32_t LabVMInfo::GetTerminology(int kind, int form) {
  std::string name, error;
  lab::ServerRecord record;
  uint32_t id = 0;
  if (!FindServer(name) || !lab::ReadServerRecord(name, record, error)) return 0;
  const std::string text = Other(record, "terminologyEvent");
  return !text.empty() && lab::ParseFaultEventId(text, id) ? id : 0;
}

int LabVMInfo::InitializeCluster(MountCtx& ctx) {
  if (!IsConnected()) return Fail(kErrNotConnected, "The VM-information object is not connected");
  if (Faulted("vminfo.InitializeCluster")) return 0;
  std::string name, error;
  lab::ServerRecord record;
  if (!FindServer(name) || !lab::ReadServerRecord(name, record, error))
    return Fail(kErrUnreadable, "Cannot read the hypervisor server description: " + error);
  return 1;
}
