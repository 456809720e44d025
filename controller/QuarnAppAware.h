#pragma once
#include <cstdint>
#include <map>
#include <string>

#include <xercesc/dom/DOMDocument.hpp>

#include "app/vmParams.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvEvent.h"
#include "platform/jobclient/ZTJobQuery.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/CPxError.h"
#include "platform/os/ZtMutex.h"
#include "platform/session/CZtNetworkServer.h"
#include "records/ZtCriticalSection.h"

// The application-aware workflow of one VM: submits the workflow task that backs up the applications
// inside the VM, then listens on a named session service until the workflow says go ahead, its job
// ends, or time runs out. Built on the caller's stack for one VM and attempt; its service lives only
// inside StartWorkflow. The caller holds the controller's VM-information lock throughout, so the
// workflows of a process run one at a time.
class QuarnAppAware {
 public:
  static const char* const WORKFLOW_NAME_VSA_APPAWARE;
  static const char* const WORKFLOW_JOB_OPTIONS_FORMAT;
  static constexpr int POLL_INTERVAL = 30;  // seconds between idle ticks of the service

  // vmLock guards the VM record against the controller's other threads (null: the caller has it to
  // itself); every write to the record here is made under it.
  QuarnAppAware(vsJobMgr* jobMgr, vsAppMgr* appMgr, const std::string& subclientDir, vm_params* vm,
                ZtCriticalSection* vmLock = nullptr);
  ~QuarnAppAware();
  QuarnAppAware(const QuarnAppAware&) = delete;
  QuarnAppAware& operator=(const QuarnAppAware&) = delete;

  // The whole workflow; true when it ran and did not fail.
  bool StartWorkflow();
  // The task request as XML; false only when a value cannot be carried in the workflow's inputs.
  bool AppAwareCreateWorkflowXML(std::string& xml);
  // Runs the listening service until a callback or idle tick ends it.
  CPxError StartSessionServer();

  static void XmlCallbackStatic(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle,
                                CNMessageBase* message);
  static void XdrCallbackStatic(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle,
                                unsigned long type, ztsDatabuf_v2* buffer);
  static void AcceptIdleStatic(void* context);
  void XmlCallback(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle, CNMessageBase* message);
  void XdrCallback(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle, unsigned long type,
                   ztsDatabuf_v2* buffer);
  void AcceptIdle();

  void SetWorkFlowFailed(bool failed) { m_workflowFailed = failed; }
  bool IsWorkFlowFailed() const { return m_workflowFailed; }
  uint32_t GetWorkflowJobId() const { return m_workflowJobId; }
  // The service's name: "VSAAppAwareVSASrvc_" + VM GUID + "_" + job id.
  std::string ServiceName() const;

  std::string Transcode(const XMLCh* text);
  bool SerializeVMConfigXml(xercesc::DOMDocument* document, std::string& out);

  // The job whose child jobs the workflow starts: the VM's own job with indexing version 2 (0 without
  // a VM), else the job. The VM record's lock is the caller's to hold.
  static int64_t ParentJobId(const vsJobMgr* jobMgr, const vsAppMgr* appMgr, const vm_params* vm);
  // The client id the go-ahead named for a VM (0 when none did).
  static int32_t GetClientIdForVM(const std::string& vmGuid);
  static void TEST_ClearClientIds();

 private:
  // The task file beside the subclient's files, readable by its owner only (it holds passwords).
  bool WriteTaskFile(const std::string& path, const std::string& xml);
  // The workflow's inputs text; false when a value cannot be carried.
  bool MakeWorkflowInputs(std::string& inputs);
  // Takes over a client id the go-ahead named for this VM.
  void ApplyMergedClient();

  EvEvent m_event;
  std::string m_keymasterHostName;
  std::string m_keymasterClientName;
  std::string m_text3;  // kept empty
  std::string m_vmName;
  std::string m_vmGuid;
  uint32_t m_appId = 0;
  uint32_t m_jobId = 0;
  std::string m_jobIdText;
  uint32_t m_idleTicks = 0;
  ZTJobQuery m_jobQuery;
  vsJobMgr* m_jobMgr = nullptr;  // not owned
  vsAppMgr* m_appMgr = nullptr;  // not owned
  std::string m_subclientDir;
  vm_params* m_vm = nullptr;             // not owned
  ZtCriticalSection* m_vmLock = nullptr;  // not owned
  CZtNetworkServer* m_server = nullptr;  // owned while the service runs
  uint32_t m_workflowJobId = 0;
  bool m_workflowFailed = false;

  // Filled by the go-ahead message, read after the workflow; lives for the whole process.
  static ZtMutex c_clientIdMutex;
  static std::map<std::string, int32_t, __less_nocase_cmp> c_mapVMGuidToClientId GUARDED_BY(c_clientIdMutex);
};
