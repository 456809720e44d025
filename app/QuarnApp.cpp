#include "app/QuarnApp.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/QuarnMessageNamespaces.h"
#include "controller/QuarnController.h"
#include "coordinator/QuarnCoordinator.h"
#include "meditech/QuarnMediTechController.h"
#include "meditech/QuarnMediTechCoordinator.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/ev/EvDebug.h"
#include "platform/ev/EvMessageContainer.h"
#include "platform/jobclient/ZTJobClient.h"
#include "platform/vminfo/VMInfoStartup.h"
#include "snap/QuarnSnapController.h"

namespace {

const char* const kSigPreInitialize = "virtual bool QuarnApp::PreInitialize(int, char**)";
const char* const kSigInitialize = "virtual bool QuarnApp::Initialize(int, char**)";
const char* const kSigInitializeAppMgr = "virtual bool QuarnApp::InitializeAppMgr()";
const char* const kSigCreateCoordinator = "virtual bool QuarnApp::CreateCoordinator()";
const char* const kSigCreateController = "virtual bool QuarnApp::CreateController()";
const char* const kSigInitializeController = "bool QuarnApp::InitializeController(int, char**)";
const char* const kSigDeinitialize = "virtual void QuarnApp::Deinitialize()";

const std::string kBannerRule(64, '=');

}  // namespace

QuarnApp::QuarnApp(int argc, char** argv)
    : VSApp(),
      m_appName("quarn"),
      m_phaseName("BACKUP"),
      m_jobId(0),
      m_event(),
      m_commandLine(argc, argv),
      m_coordinatorRole(true),
      m_jobMgrStarted(false),
      m_jobMgr(),
      m_appMgr(),
      m_coordinator(nullptr),
      m_controller(nullptr),
      m_registry() {}

QuarnApp::~QuarnApp() {
  Deinitialize();
  EvDebug::debug("= [%s] has exited [%s PHASE]", m_appName.c_str(), m_phaseName.c_str());
  EvDebug::debug("%s", kBannerRule.c_str());
}

void QuarnApp::Main(int argc, char** argv) {
  IdxMetadata::RegisterSubsystem();
  App::RegisterSubsystem();
  VirtualServer::RegisterSubsystem();
  JobManager::RegisterSubsystem();
  Indexing::RegisterSubsystem();
  EVGui::RegisterSubsystem();
  TMMsg::RegisterSubsystem();

  if (!PreInitialize(argc, argv)) return;
  if (Initialize(argc, argv)) Run(argc, argv);
  Deinitialize();
}

bool QuarnApp::PreInitialize(int argc, char** argv) {
  ZTPI_Focus::setFocusClientNameFromArgs(argc, argv);

  std::string value;
  if (!m_commandLine.Find("ci").IsError()) m_jobMgr.setVMContentIndexMode(true);
  if (!m_commandLine.Find("j", value).IsError()) {
    // Read as 64 bits: job ids outgrow an int, and a truncated id would tag the log with another job.
    m_jobId = std::strtoll(value.c_str(), nullptr, 10);
    m_jobMgr.setJobId(value);
  }
  if (!m_commandLine.Find("stubPhase").IsError()) {
    m_jobMgr.setVMStubPhase(true);
    m_phaseName = "STUB";
  }

  if (!InitializeLogFile()) return false;

  if (!m_commandLine.Find("jt", value).IsError()) m_jobMgr.setJobMgrToken(value);
  if (!m_commandLine.Find("t", value).IsError()) m_jobMgr.setBkpLevel(std::atoi(value.c_str()));
  if (!m_commandLine.Find("d", value).IsError()) m_jobMgr.setMediaAgent(value);
  if (!m_commandLine.Find("r", value).IsError()) m_jobMgr.setPrevRefTime(std::atoi(value.c_str()));
  if (!m_commandLine.Find("af", value).IsError()) m_jobMgr.setPrevMasterArchFile(std::atoi(value.c_str()));
  if (!m_commandLine.Find("afc", value).IsError()) m_jobMgr.setPrevMasterAFileCTime(std::atoi(value.c_str()));
  if (!m_commandLine.Find("snap").IsError()) {
    m_jobMgr.setSnapBackup(true);
    m_jobMgr.setProgBarModeSnapOnlyBackup();
  }
  if (!m_commandLine.Find("snaptape").IsError()) m_jobMgr.setSnapToTape(true);
  if (!m_commandLine.Find("snapcatalog").IsError()) m_jobMgr.setSnapCatalogMode(true);
  if (!m_commandLine.Find("snapJID", value).IsError()) m_jobMgr.setSnapBkpJobId(std::atoi(value.c_str()));
  if (!m_commandLine.Find("fsj", value).IsError())
    m_jobMgr.setLastSuccessfulSnapBkpJobId(std::atoi(value.c_str()));
  if (!m_commandLine.Find("isj", value).IsError())
    m_jobMgr.setLastIncrementalSnapBkpJobId(std::atoi(value.c_str()));
  if (!m_commandLine.Find("pcd").IsError()) m_jobMgr.setCopyParentJobToTape(false);
  if (!m_commandLine.Find("stub").IsError()) {
    m_event.Debug(kSigPreInitialize, "[VMArchiving] VM archiving [Turbo Enabled]");
    m_jobMgr.setTurboEnabled(true);
  }
  if (!m_commandLine.Find("stubPhase").IsError())
    m_event.Debug(kSigPreInitialize, "[VMArchiving] VM archiving [Stub Phase]");
  if (!m_commandLine.Find("co").IsError()) {
    m_event.Debug(kSigPreInitialize, "This is the Commit phase of the job");
    m_jobMgr.setCommitPhase(true);
    m_jobMgr.setCommitFlag();
  }
  if (!m_commandLine.Find("lastAttempt").IsError()) {
    m_event.Debug(kSigPreInitialize, "This is the last attempt of the job");
    m_jobMgr.setLastAttempt(true);
  }
  if (!m_commandLine.Find("srcJob", value).IsError())
    m_jobMgr.setFileIndexingJobBasedOnBackupLevel(std::atoi(value.c_str()));
  if (!m_commandLine.Find("forceFull").IsError()) {
    m_event.Debug(kSigPreInitialize, "Forcing FULL backup based on job manager argument forceFull");
    m_jobMgr.setBkpLevel(1);
  }

  StartupVMInfo();
  return true;
}

bool QuarnApp::InitializeLogFile() {
  if (!EvEvent::initialize(2, EvDebug::getLogId(m_appName), 0, nullptr, std::string())) return false;
  EvDebug::setDefaultLogFileSize(10);
  EvDebug::setDefaultMaxVersion(5);
  EvDebug::refreshAllParams();
  EvEvent::setJobId(m_jobId);
  EvDebug::debug("%s", kBannerRule.c_str());
  // The job token opens the job manager to whoever holds it: it never reaches the log.
  EvDebug::debug("= %s [%s PHASE] has started %s", m_appName.c_str(), m_phaseName.c_str(),
                 m_commandLine.GetCommandLineString({"jt"}).c_str());
  EvDebug::debug("%s", kBannerRule.c_str());
  return true;
}

bool QuarnApp::Initialize(int argc, char** argv) {
  if (!VSApp::Initialize()) return false;

  if (!m_commandLine.Find("client").IsError()) {
    m_coordinatorRole = false;
    m_jobMgr.setNonCtrlMonitor();
  }

  QuarnRegistry::Startup();

  m_event.Debug(kSigInitialize, "Initializing Job manager object");
  int jobMgrCode = m_jobMgr.initBackup();
  if (vsJobMgr::isError(jobMgrCode)) {
    m_event.Error(kSigInitialize, "Job manager initialization failed");
    return false;
  }
  m_jobMgrStarted = true;

  std::string appId;
  if (m_commandLine.Find("a", appId).IsError()) {
    m_event.Error(kSigInitialize, "Missing -a option");
    return false;
  }
  m_appMgr.setAppIdStr(appId);

  if (!InitializeAppMgr()) {
    // The event is looked up with the code the application manager itself returned: the job
    // manager's code is a success by now and would name no event.
    EvMessageContainer container;
    if (m_appMgr.getRetCodeEvent(m_appMgrRetCode, container))
      m_jobMgr.setPendingCauseAndEvent(container, 3);
    return false;
  }

  if (m_jobMgr.isFailbackBackup()) {
    uint64_t replicationId = m_jobMgr.getReplicationIdForFailback();
    std::string text;
    uint64_t sourceInstanceId = 0;
    uint64_t destinationInstanceId = 0;
    if (!m_appMgr.queryReplicationSettingsForFailback(replicationId, 1, text, sourceInstanceId) ||
        !m_appMgr.queryReplicationSettingsForFailback(replicationId, 2, text, destinationInstanceId)) {
      m_event.Error(kSigInitialize, "Failed to get failback information from KM DB for failback");
      return false;
    }
    m_event.Debug(kSigInitialize, "Source instance id [%lu] destination instance id [%lu] of Failback VM.",
                  static_cast<unsigned long>(sourceInstanceId), static_cast<unsigned long>(destinationInstanceId));
    if (m_appMgr.getInstanceType(sourceInstanceId) != m_appMgr.getInstanceType(destinationInstanceId))
      m_appMgr.setIsCrossVendorFailback(true);
    m_appMgr.queryMemberServersForInstance(destinationInstanceId);
  }

  if (m_jobMgr.isSnapToTape() && m_appMgr.IsProxyServerDetailsSet()) {
    int code = m_appMgr.querySnapFailoverESXHostsProperties(false);
    if (vsAppMgr::isRetCodeError(code)) {
      m_event.Error(kSigInitialize, "Querying Snap Failover Host Details failed (%d)", code);
      if (code == 6) {
        m_event.Error(kSigInitialize, "Unable to get credentails for vCenter Instance");
        return false;
      }
    }
  }

  if (!m_jobMgr.isVMContentIndexMode()) {
    m_jobMgr.initBackupMetadaCollectionDefault(
        m_appMgr.getInstanceType(), m_appMgr.isTaskOptionsNeedToBeHonoredForLVM(),
        m_appMgr.IsCollectFileDetailsSet(), m_appMgr.IsCollectFileDetailsForSnapSet(),
        m_appMgr.isUseIndexingV2Enabled());
    m_appMgr.queryVMArchivingSettings();
  } else {
    m_appMgr.AddFBRMAInMemberServerList();
    m_event.Error(kSigInitialize, "Content indexing parent backup job [%lu]",
                  static_cast<unsigned long>(m_jobMgr.getSourceParentBackupJobToProcess()));
  }

  if (!CreateCoordinator()) return false;
  if (!InitializeController(argc, argv)) return false;
  if (!m_coordinatorRole) return true;

  // An override of CreateCoordinator may report success without adopting an object.
  if (m_coordinator == nullptr) {
    m_event.Error(kSigInitialize, "Failed to allocate a QuarnCoordinator");
    return false;
  }
  std::string numStreams;
  if (!m_commandLine.Find("numStreams", numStreams).IsError())
    m_coordinator->SetAvailableStreams(std::atoi(numStreams.c_str()));
  return m_coordinator->Initialize(&m_jobMgr, &m_appMgr, m_controller);
}

bool QuarnApp::InitializeAppMgr() {
  m_appMgrRetCode = m_appMgr.querySettings();
  if (vsAppMgr::isRetCodeError(m_appMgrRetCode)) {
    m_event.Error(kSigInitializeAppMgr, "App manager initialization failed (%d)", m_appMgrRetCode);
    return false;
  }
  return true;
}

bool QuarnApp::CreateCoordinator() {
  QuarnCoordinator* coordinator = nullptr;
  if (m_appMgr.IsMeditechSubclient())
    coordinator = new (std::nothrow) QuarnMediTechCoordinator();
  else
    coordinator = new (std::nothrow) QuarnCoordinator();
  if (coordinator == nullptr) {
    m_event.Error(kSigCreateCoordinator, "Failed to allocate a QuarnCoordinator");
    return false;
  }
  AdoptCoordinator(coordinator);
  return true;
}

void QuarnApp::AdoptCoordinator(QuarnCoordinator* coordinator) {
  std::lock_guard<std::mutex> lock(m_objectsMutex);
  m_coordinator = coordinator;
}

void QuarnApp::AdoptController(QuarnController* controller) {
  std::lock_guard<std::mutex> lock(m_objectsMutex);
  m_controller = controller;
}

bool QuarnApp::CreateController() {
  QuarnController* controller = nullptr;
  if (m_jobMgr.isSnapBackup() || m_jobMgr.isSnapToTape() || m_jobMgr.isSnapCatalogMode())
    controller = new (std::nothrow) QuarnSnapController(m_coordinatorRole);
  else if (m_appMgr.IsMeditechSubclient())
    controller = new (std::nothrow) QuarnMediTechController(m_coordinatorRole);
  else
    controller = new (std::nothrow) QuarnController(m_coordinatorRole);
  if (controller == nullptr) {
    m_event.Error(kSigCreateController, "Failed to allocate a QuarnController");
    return false;
  }
  AdoptController(controller);
  return true;
}

bool QuarnApp::InitializeController(int argc, char** argv) {
  if (!CreateController()) return false;
  if (m_controller == nullptr) {
    m_event.Error(kSigInitializeController, "Failed to allocate a QuarnController");
    return false;
  }
  if (!m_coordinatorRole && !m_controller->ConnectToServer(argc, argv)) return false;
  return m_controller->Initialize(&m_jobMgr, &m_appMgr);
}

bool QuarnApp::Run(int argc, char** argv) {
  if (!m_coordinatorRole) return m_controller != nullptr && m_controller->Run(argc, argv);
  return m_coordinator != nullptr && m_coordinator->Run();
}

void QuarnApp::Deinitialize() {
  if (m_coordinatorRole && m_coordinator != nullptr) m_coordinator->Deinitialize();

  QuarnController* controller = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    controller = m_controller;
    m_controller = nullptr;
  }
  delete controller;

  if (m_jobMgrStarted) {
    if (m_coordinatorRole) SetJobPhaseResult();
    m_jobMgr.deinit();
    m_jobMgrStarted = false;
  }

  ZTJobClient::terminateAllSessions();
  CleanAppMgrClientSessionPool();

  QuarnCoordinator* coordinator = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    coordinator = m_coordinator;
    m_coordinator = nullptr;
  }
  delete coordinator;

  ShutdownVMInfo();
  VSApp::Deinitialize();
}

void QuarnApp::SetJobPhaseResult() {
  bool completedWithErrors = false;
  bool failJob = false;
  bool setupFailed = false;
  bool resumeImmediately = false;
  bool success = m_coordinator != nullptr &&
                 m_coordinator->CheckJobPhaseSuccess(completedWithErrors, failJob, setupFailed, resumeImmediately);
  if (success) {
    if (completedWithErrors)
      m_jobMgr.phasePartialSuccess();
    else
      m_jobMgr.phaseSuccessful(false);
    return;
  }

  bool resumed = false;
  if (resumeImmediately) {
    int interval = 120;
    m_registry.GetEntry(REG_nAutoResumeIntervalSeconds, interval, 120);
    char text[256];
    std::snprintf(text, sizeof(text),
                  "Job will auto resume in %d seconds to backup remaining virtual machines.", interval);
    m_event.Debug(kSigDeinitialize, "%s", text);
    resumed = m_jobMgr.StopAndAutoResume(interval, text);
  }
  if (!resumeImmediately || !resumed) m_jobMgr.phaseFailed(failJob, setupFailed);
}

void QuarnApp::OnServiceShutdown() {
  // Runs on the signal watcher thread; the lock keeps Deinitialize from deleting the objects under us.
  std::lock_guard<std::mutex> lock(m_objectsMutex);
  if (m_controller != nullptr) m_controller->SetQuitFlag();
  if (m_coordinator != nullptr) m_coordinator->OnServiceShutdown();
}
