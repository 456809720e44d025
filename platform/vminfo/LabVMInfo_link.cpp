// The connection's life of the lab's VM-information library: set-up, connect with the subclient's
// credentials, disconnect, clean-up, options and callbacks.
#include <cerrno>
#include <cstdlib>

#include "platform/jobmgr/LabKeyValue.h"
#include "platform/lab/Lab.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr int kErrNotInitialized = 3003;
constexpr int kErrAuthentication = 3004;
constexpr int kErrNotConnected = 3005;

std::string Value(const std::map<std::string, std::string>& values, const std::string& key) {
  auto it = values.find(key);
  return it == values.end() ? std::string() : it->second;
}

}  // namespace

int LabVMInfo::Initialize(int flags) {
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
      last_ = Fault{kErrNotInitialized, "The VM-information object is not initialized", kFailureEvent};
      return 0;
    }
    if (server_.empty()) connectedServer_ = server;
  }
  std::map<std::string, std::string> conf;
  if (!ReadServer(conf)) return 0;
  const std::string wantedUser = Value(conf, "user");
  if (!wantedUser.empty() && (wantedUser != user || Value(conf, "password") != credentials.password))
    return Fail(kErrAuthentication, "Authentication failed for user [" + user + "] on [" + server + "]",
                kFailureEvent);
  ZtMutexLock lock(mutex_);
  connected_ = true;
  last_ = Fault();
  return 1;
}

void LabVMInfo::GetConnectErrorMessage(std::string& text, EvMessageContainer& message) {
  Fault last;
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
  ZtMutexLock lock(mutex_);
  connected_ = false;
  initialized_ = false;
  return 1;
}

uint32_t LabVMInfo::GetTerminology(int kind, int form) {
  std::map<std::string, std::string> conf;
  if (!ReadServer(conf)) return 0;
  const std::string text = Value(conf, "terminologyEvent");
  if (text.empty()) return 0;
  errno = 0;
  char* end = nullptr;
  unsigned long long id = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || id > 0xFFFFFFFFULL) return 0;
  return static_cast<uint32_t>(id);
}

int LabVMInfo::InitializeCluster(MountCtx& ctx) {
  if (!IsConnected()) return Fail(kErrNotConnected, "The VM-information object is not connected", kFailureEvent);
  std::map<std::string, std::string> conf;
  return ReadServer(conf) ? 1 : 0;
}
