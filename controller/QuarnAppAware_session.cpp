// The listening service of the application-aware workflow: the workflow's go-ahead, the end of its job
// and the idle ticks that watch it.
#include "controller/QuarnAppAware.h"
#include <new>

#include "platform/session/CZtNetwork.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

const char* const kSigSession = "CPxError QuarnAppAware::StartSessionServer()";
const char* const kSigIdle = "void QuarnAppAware::AcceptIdle()";
const char* const kSigXml = "void QuarnAppAware::XmlCallback(ZtnCallback_e, CZtNetworkServer*, ZtnHandle_t, CNMessageBase*)";
const char* const kSigXdr =
    "void QuarnAppAware::XdrCallback(ZtnCallback_e, CZtNetworkServer*, ZtnHandle_t, unsigned long, ztsDatabuf_v2*)";

constexpr int32_t kErrSession = -3050;
constexpr int kSessionPortType = 4;
constexpr int kReplyTimeoutSeconds = 30;
constexpr uint32_t kWaitWithoutJobSeconds = 10800;
using GoAhead = VirtualServer::VSAAppAwareWorkflowGoAhead;

bool IsFailedState(int state) { return state == 10 || state == 11 || state == 12; }
bool IsFinishedState(int state) { return state == 4 || state == 9; }

}  // namespace

CPxError QuarnAppAware::StartSessionServer() {
  EvEvent log;
  const std::string service = ServiceName();
  log.Debug(kSigSession, "Service Name to wait on: [%s]", service.c_str());
  CSessionPort port(kSessionPortType);
  m_server = new (std::nothrow) CZtNetworkServer(&XdrCallbackStatic, &XmlCallbackStatic, service, &port);
  if (m_server == nullptr) {
    log.Error(kSigSession, "Failed to create Session Server object.");
    return CPxError(kErrSession, "Failed to create Session Server object.");
  }
  m_idleTicks = 0;
  m_server->SetIdleAcceptCallback(&AcceptIdleStatic, POLL_INTERVAL, this);
  m_server->SetCustomData(this);
  log.Debug(kSigSession, "Starting listening service :[%s]", service.c_str());
  const CPxError result = m_server->SelectData(1, 1, POLL_INTERVAL);
  delete m_server;
  m_server = nullptr;
  if (result.IsError()) {
    log.Debug(kSigSession, "Error getting data on socket: [%s]", result.AsString().c_str());
    return CPxError(result.GetErrorCode(), result.AsString());
  }
  log.Debug(kSigSession, "Stopping listening service :[%s]", service.c_str());
  return CPxError();
}

void QuarnAppAware::XmlCallbackStatic(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle,
                                      CNMessageBase* message) {
  auto* self = server != nullptr ? static_cast<QuarnAppAware*>(server->GetCustomData()) : nullptr;
  if (self != nullptr) self->XmlCallback(reason, server, handle, message);
  delete message;
}

void QuarnAppAware::XdrCallbackStatic(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle,
                                      unsigned long type, ztsDatabuf_v2* buffer) {
  auto* self = server != nullptr ? static_cast<QuarnAppAware*>(server->GetCustomData()) : nullptr;
  if (self != nullptr) self->XdrCallback(reason, server, handle, type, buffer);
  if (server != nullptr) server->CleanXdrBuffer(buffer);
  delete buffer;
}

void QuarnAppAware::AcceptIdleStatic(void* context) {
  if (context != nullptr) static_cast<QuarnAppAware*>(context)->AcceptIdle();
}

void QuarnAppAware::AcceptIdle() {
  if (m_jobMgr == nullptr || m_jobMgr->checkQuitFlag()) {
    m_event.Debug(kSigIdle, "Quit flag is set for this job. Stop waiting for workflow");
    m_server->Quit(false, false);
    return;
  }
  if (m_workflowJobId != 0) {
    const int state = m_jobQuery.getJobState(m_workflowJobId);
    m_event.Debug(kSigIdle, "Workflow Job: [%d], state [%d]", static_cast<int>(m_workflowJobId), state);
    if (IsFailedState(state) || IsFinishedState(state)) {
      m_event.Debug(kSigIdle, "Proceed with VSA Backup");
      m_server->Quit(false, false);
      if (IsFailedState(state)) SetWorkFlowFailed(true);
    }
    return;
  }
  ++m_idleTicks;
  if (static_cast<uint64_t>(m_idleTicks) * POLL_INTERVAL > kWaitWithoutJobSeconds) {
    m_server->Quit(false, false);
    m_event.Debug(kSigIdle, "Workflow Job ID is not set. Waited for 60 minutes. Now proceed with VM backup");
  }
}

void QuarnAppAware::XmlCallback(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle,
                                CNMessageBase* message) {
  const bool withSession = reason != ZTN_CALLBACK_READY;
  if (withSession && server->AcquireSession(handle).IsError()) {
    m_event.DebugLvl(-1, kSigXml, "Failed to acquire ZtSession session. [%d]", static_cast<int>(reason));
    return;
  }
  bool disconnect = false;
  if (reason == ZTN_CALLBACK_MESSAGE) {
    if (message == nullptr) {
      m_event.Debug(kSigXml, "Failed to convert the message.");
      server->Quit(false, false);
    } else if (message->getTagID() == ZTS_PM_DISCONNECT_REQ) {
      m_event.Debug(kSigXml, "Received ZTS_PM_DISCONNECT_REQ (xml).");
      handle->ReplyDisconnect(kReplyTimeoutSeconds, false);
      disconnect = true;
    } else if (message->getTagID() == GoAhead::TAG) {
      m_event.Debug(kSigXml, "Received workflow request to go ahead with VSA backup");
      const int32_t clientId = static_cast<int32_t>(message->getint64(GoAhead::F_vmClientId));
      const std::string guid = message->getstring(GoAhead::F_guid);
      {
        ZtMutexLock lock(c_clientIdMutex);
        c_mapVMGuidToClientId[guid] = clientId;
      }
      server->Quit(false, false);
    } else {
      m_event.Debug(kSigXml, "Received Message [%lu]", static_cast<unsigned long>(message->getTagID()));
    }
  } else {
    m_event.Debug(kSigXml, "Received Message. type [%x]", static_cast<unsigned>(reason));
  }
  if (withSession && server->ReleaseSession(handle).IsError())
    m_event.DebugLvl(-1, kSigXml, "Failed to release ZtSession session.");
  if (disconnect) server->Quit(false, false);
}

void QuarnAppAware::XdrCallback(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle,
                                unsigned long type, ztsDatabuf_v2* buffer) {
  if (server->AcquireSession(handle).IsError()) {
    m_event.DebugLvl(-1, kSigXdr, "Failed to acquire ZtSession session. type [%d]", static_cast<int>(type));
    return;
  }
  switch (type) {
    case ZTS_TYPE_READY:
      m_event.Debug(kSigXdr, "Ready to accept RPCs.");
      break;
    case ZTS_TYPE_NEW_CONNECTION:
      m_event.Debug(kSigXdr, "Received new connection.");
      break;
    case ZTS_TYPE_DISCONNECTED:
      m_event.Debug(kSigXdr, "Connection Disconnected 2.");
      handle->ReplyDisconnect(kReplyTimeoutSeconds, false);
      break;
    case ZTS_PM_READY:
      m_event.Debug(kSigXdr, "Ready to accept RPCs 1.");
      break;
    case ZTS_PM_DISCONNECT_REQ:
      m_event.Debug(kSigXdr, "Connection Disconnected 1.");
      handle->ReplyDisconnect(kReplyTimeoutSeconds, false);
      break;
    case ZTS_PM_CONNECTION_ABORTED:
    case ZTS_PM_CONNECTION_DROPPED:
      m_event.Debug(kSigXdr, "Connection aborted or dropped.");
      server->Quit(false, false);
      break;
    case GoAhead::TAG:
      m_event.Debug(kSigXdr, "Received workflow request to go ahead with VSA backup");
      server->Quit(false, false);
      break;
    default:
      m_event.DebugLvl(-1, kSigXdr, "Unknown message type [%lu] received", type);
      break;
  }
  if (server->ReleaseSession(handle).IsError()) m_event.DebugLvl(-1, kSigXdr, "Failed to release ZtSession session.");
}
