// The application-aware workflow of one VM: the workflow task, its file, its submission and the
// client a go-ahead names.
#include "controller/QuarnAppAware.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "app/QuarnUtils.h"
#include "platform/config/ZTPI_CommClient.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/jobclient/EvTask.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/os/FXString.h"
#include "records/messages/CommonMessages.h"
#include "records/messages/TMMsgMessages.h"
#include "records/messages/ZtEntitiesMessages.h"

namespace {

const char* const kSigStart = "bool QuarnAppAware::StartWorkflow()";
const char* const kSigCreateXml = "bool QuarnAppAware::AppAwareCreateWorkflowXML(std::string&)";

using VMCollect = VirtualServer::VMCollect;
using U = JobManager::VMUpdateInfo;

constexpr int64_t kKeymasterEntity = 83;
constexpr int64_t kTaskType = 3;
constexpr int64_t kTaskMode = 1;
constexpr int64_t kWorkflowOperation = 2001;
constexpr int64_t kSubTaskType = 1;
constexpr size_t kMaxHostNameLength = 1023;

// The value as XML character data. A value holding a character XML cannot carry (a control
// character other than tab, line feed and carriage return) gives false.
bool EscapeXml(const std::string& value, std::string& out) {
  out.clear();
  for (char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
        out += c;
    }
  }
  return true;
}

// A VM name as part of a file name: a separator or control character would leave the folder or
// break the name, so each becomes '_'.
std::string FileNamePart(const std::string& name) {
  std::string part = name;
  for (char& c : part)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
  return part == "." || part == ".." ? std::string("_") : part;
}

}  // namespace

const char* const QuarnAppAware::WORKFLOW_NAME_VSA_APPAWARE = "VSAAppAwareBackupWorkFlow";
const char* const QuarnAppAware::WORKFLOW_JOB_OPTIONS_FORMAT =
    "<inputs>"
    "<vmClientId class=\"java.lang.Integer\">%ld</vmClientId>"
    "<vmClientName class=\"java.lang.String\">%s</vmClientName>"
    "<vmClientHostName class=\"java.lang.String\"/>"
    "<vmGuid class=\"java.lang.String\">%s</vmGuid>"
    "<vsaAppId class=\"java.lang.Integer\">%ld</vsaAppId>"
    "<vsaJobId class=\"java.lang.Integer\">%d</vsaJobId>"
    "<backupType class=\"java.lang.String\">FULL</backupType>"
    "<vsaProxyHostName class=\"java.lang.String\"/>"
    "<vsaProxyClientName class=\"java.lang.String\">%s</vsaProxyClientName>"
    "<vmUserName class=\"java.lang.String\">%s</vmUserName>"
    "<vmUserPassword class=\"java.lang.String\">%s</vmUserPassword>"
    "<vmApplUserName class=\"java.lang.String\">%s</vmApplUserName>"
    "<vmApplUserPassword class=\"java.lang.String\">%s</vmApplUserPassword>"
    "<vmSSHKeyFilePath class=\"java.lang.String\">%s</vmSSHKeyFilePath>"
    "<vmSSHKeyPassPhrase class=\"java.lang.String\">%s</vmSSHKeyPassPhrase>"
    "</inputs>";

ZtMutex QuarnAppAware::c_clientIdMutex;
std::map<std::string, int32_t, __less_nocase_cmp> QuarnAppAware::c_mapVMGuidToClientId;

QuarnAppAware::QuarnAppAware(vsJobMgr* jobMgr, vsAppMgr* appMgr, const std::string& subclientDir, vm_params* vm,
                             ZtCriticalSection* vmLock)
    : m_jobMgr(jobMgr), m_appMgr(appMgr), m_subclientDir(subclientDir), m_vm(vm), m_vmLock(vmLock) {
  ZtCriticalSectionLock lock(m_vmLock);
  m_vmName = vm->vmName;
  m_vmGuid = vm->vmGuid;
  const bool indexingV2 = appMgr->isUseIndexingV2Enabled();
  m_appId = static_cast<uint32_t>(indexingV2 ? vm->collect.getint64(VMCollect::F_subclientId) : appMgr->getAppId());
  m_jobId = static_cast<uint32_t>(ParentJobId(jobMgr, appMgr, vm));
  m_jobIdText = FXString::Format("%d", static_cast<int>(m_jobId));
}

QuarnAppAware::~QuarnAppAware() { delete m_server; }

int64_t QuarnAppAware::ParentJobId(const vsJobMgr* jobMgr, const vsAppMgr* appMgr, const vm_params* vm) {
  if (!appMgr->isUseIndexingV2Enabled()) return jobMgr->getJobId();
  return vm != nullptr ? vm->collect.getint64(VMCollect::F_vmJobId) : 0;
}

std::string QuarnAppAware::ServiceName() const {
  return "VSAAppAwareVSASrvc_" + m_vmGuid + "_" + std::to_string(m_jobId);
}

int32_t QuarnAppAware::GetClientIdForVM(const std::string& vmGuid) {
  ZtMutexLock lock(c_clientIdMutex);
  auto it = c_mapVMGuidToClientId.find(vmGuid);
  return it == c_mapVMGuidToClientId.end() ? 0 : it->second;
}

void QuarnAppAware::TEST_ClearClientIds() {
  ZtMutexLock lock(c_clientIdMutex);
  c_mapVMGuidToClientId.clear();
}

bool QuarnAppAware::StartWorkflow() {
  m_workflowJobId = 0;
  ZTPI_CommClient platform;
  m_keymasterHostName = platform.getKeymasterHostName();
  if (m_keymasterHostName.empty() || m_keymasterHostName.size() > kMaxHostNameLength) {
    m_event.Error(kSigStart, "Failed to get Keymaster hostname.");
    return false;
  }
  m_keymasterClientName = platform.getKeymasterClientName();
  if (m_keymasterClientName.empty()) {
    m_event.Error(kSigStart, "Failed to get Keymaster clientname.");
    return false;
  }
  m_jobQuery.setPlatformType(4);
  if (!m_jobQuery.init(m_keymasterHostName)) {
    m_event.Error(kSigStart, "Failed to initialize job query");
    return false;
  }
  std::string xml;
  if (!AppAwareCreateWorkflowXML(xml)) {
    m_event.Error(kSigStart, "Failed to create Workflow XML");
    return false;
  }
  const std::string path = m_subclientDir + "/" + "Workflow_" + m_jobIdText + FileNamePart(m_vmName) + ".xml";
  m_event.Debug(kSigStart, "Workflow XML file [%s]", path.c_str());
  if (!WriteTaskFile(path, xml)) return false;

  EvTask task(static_cast<long long>(m_jobId), 0, nullptr, false);
  std::vector<long long> jobIds;
  int outValue = 0;
  std::string errorText;
  const int code = task.TaskRequest(xml, jobIds, outValue, 1, errorText, TMMsg::CreateTaskReq::TAG, 0, 0, false, false);
  if (code != 0) {
    m_event.Error(kSigStart, "Failed to create workflow task with code [%d]: %s", code, errorText.c_str());
    return false;
  }
  m_event.Debug(kSigStart, "Task response [%s]", xml.c_str());
  if (jobIds.empty()) {
    m_event.Error(kSigStart, "No job ID reported. Failed to get workflow job id. Continue with backup");
    return false;
  }
  m_workflowJobId = static_cast<uint32_t>(jobIds.front());
  m_event.Debug(kSigStart, "Workflow job id: %d", static_cast<int>(m_workflowJobId));
  {
    ZtCriticalSectionLock lock(m_vmLock);
    m_vm->updateInfo.setint64(U::F_workflowJobId, m_workflowJobId);
  }

  if (StartSessionServer().IsError()) SetWorkFlowFailed(true);
  ApplyMergedClient();
  return !m_workflowFailed;
}

bool QuarnAppAware::WriteTaskFile(const std::string& path, const std::string& xml) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  // A file left by an earlier attempt keeps its old mode through O_TRUNC: narrow it as well.
  if (fd < 0 || fchmod(fd, 0600) != 0) {
    m_event.Error(kSigStart, "Failed to create Workflow XML file [%s].Error[%s]", path.c_str(), std::strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  size_t done = 0;
  while (done < xml.size()) {
    const ssize_t written = write(fd, xml.data() + done, xml.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      m_event.Error(kSigStart, "Failed to write to Workflow XML file [%s].Error[%s]", path.c_str(),
                    std::strerror(written < 0 ? errno : EIO));
      close(fd);
      return false;
    }
    done += static_cast<size_t>(written);
  }
  close(fd);
  return true;
}

void QuarnAppAware::ApplyMergedClient() {
  const int32_t merged = GetClientIdForVM(m_vmGuid);
  ZtCriticalSectionLock lock(m_vmLock);
  const int64_t current = m_vm->updateInfo.getint64(U::F_clientId);
  if (merged <= 0 || merged == current) return;
  m_event.Debug(kSigStart, "Application discovery has merged the discovered VM client[%d] with the client[%d]",
                static_cast<int>(current), merged);
  m_vm->updateInfo.setint64(U::F_clientId, merged);
  m_vm->collect.setint64(VMCollect::F_vmClientId, merged);
}

bool QuarnAppAware::MakeWorkflowInputs(std::string& inputs) {
  int64_t vmClientId = 0;
  std::string guestUser, guestPassword, applUser, applPassword, keyPath, passPhrase;
  {
    ZtCriticalSectionLock lock(m_vmLock);
    VMCollect& collect = m_vm->collect;
    vmClientId = collect.getint64(VMCollect::F_vmClientId);
    QuarnUtils::VMGuestCredentials(collect, *m_appMgr, guestUser, guestPassword);
    auto* appl = collect.getObject<Common::UserPassword>(VMCollect::F_appCredentials, false);
    if (appl != nullptr && !appl->getstring(Common::UserPassword::F_userName).empty()) {
      applUser = appl->getstring(Common::UserPassword::F_userName);
      applPassword = appl->getpstring(Common::UserPassword::F_password);
    } else {
      m_appMgr->GetVMGuestApplUser(applUser, applPassword);
    }
    auto* key = collect.getObject<VirtualServer::SSHKeyDetails>(VMCollect::F_sshKey, false);
    if (key != nullptr && !key->getstring(VirtualServer::SSHKeyDetails::F_keyFilePath).empty()) {
      keyPath = key->getstring(VirtualServer::SSHKeyDetails::F_keyFilePath);
      auto* phrase = key->getObject<Common::UserPassword>(VirtualServer::SSHKeyDetails::F_credentials, false);
      if (phrase != nullptr) passPhrase = phrase->getpstring(Common::UserPassword::F_password);
    } else {
      m_appMgr->GetVMGuestSSHKeyDetails(keyPath, passPhrase);
    }
  }
  std::string clientName;
  ZTClient::getName(vmClientId, clientName);

  // Every text goes into the inputs as XML character data: a name or password holding markup
  // would otherwise change the inputs the workflow reads.
  const std::string values[] = {clientName,   m_vmGuid,      ZTPI_Focus::getFocusClientName(true),
                                guestUser,    guestPassword, applUser,
                                applPassword, keyPath,       passPhrase};
  std::string escaped[9];
  for (size_t i = 0; i < 9; ++i)
    if (!EscapeXml(values[i], escaped[i])) return false;
  inputs = FXString::Format(WORKFLOW_JOB_OPTIONS_FORMAT, static_cast<long>(vmClientId), escaped[0].c_str(),
                            escaped[1].c_str(), static_cast<long>(m_appId), static_cast<int>(m_jobId),
                            escaped[2].c_str(), escaped[3].c_str(), escaped[4].c_str(), escaped[5].c_str(),
                            escaped[6].c_str(), escaped[7].c_str(), escaped[8].c_str());
  return true;
}

bool QuarnAppAware::AppAwareCreateWorkflowXML(std::string& xml) {
  std::string inputs;
  if (!MakeWorkflowInputs(inputs)) return false;

  TMMsg::CreateTaskReq request;
  auto* task = request.getObject<TMMsg::TaskInfo>(TMMsg::CreateTaskReq::F_taskInfo, true);
  auto* header = task->getObject<TMMsg::TaskHeader>(TMMsg::TaskInfo::F_taskHeader, true);
  header->setint64(TMMsg::TaskHeader::F_taskType, kTaskType);
  header->setint64(TMMsg::TaskHeader::F_taskMode, kTaskMode);

  using E = ZtEntities::GenericEntity;
  E entity;
  entity.setint64(E::F_entityType, kKeymasterEntity);
  entity.setstring(E::F_clientName, m_keymasterClientName);
  int64_t keymasterId = 0;
  ZTClient::getId(m_keymasterClientName, keymasterId);
  entity.setint64(E::F_clientId, keymasterId);
  ZTPlatformInfo settings;
  unsigned long long workflowId = 0;
  settings.getNumber("VirtualServer", "AppAwareWorkflowID", &workflowId);
  if (workflowId != 0) {
    entity.setint64(E::F_workflowId, static_cast<int64_t>(workflowId));
    m_event.Debug(kSigCreateXml, "Setting workflow Id: [%d]", static_cast<int>(workflowId));
  } else {
    std::string name = WORKFLOW_NAME_VSA_APPAWARE;
    settings.getString("VirtualServer", "AppAwareWorkflowName", &name);
    entity.setstring(E::F_workflowName, name);
    m_event.Debug(kSigCreateXml, "Setting workflow name: [%s]", name.c_str());
  }
  task->getlistobject(TMMsg::TaskInfo::F_entities, true).emplace_back(entity);

  TMMsg::SubTaskInfo subTaskInfo;
  auto* subTask = subTaskInfo.getObject<TMMsg::SubTask>(TMMsg::SubTaskInfo::F_subTask, true);
  subTask->setint64(TMMsg::SubTask::F_operationType, kWorkflowOperation);
  subTask->setint64(TMMsg::SubTask::F_subTaskType, kSubTaskType);
  auto* options = subTaskInfo.getObject<TMMsg::TaskOptions>(TMMsg::SubTaskInfo::F_options, true);
  options->setstring(TMMsg::TaskOptions::F_workflowInputs, inputs);
  task->getlistobject(TMMsg::TaskInfo::F_subTasks, true).emplace_back(subTaskInfo);
  return request.serialize(xml, false);
}
