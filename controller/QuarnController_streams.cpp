// The stream queue: the coordinator's stream grants as the agent holds them. Each grant is opened
// as a data stream (one per controller-thread pass), lent to workers and given back, and closed and
// returned to the coordinator when it is surplus, failed, or the agent ends. The number of open
// streams is published in the per-host process table.
#include <algorithm>

#include "controller/QuarnController.h"
#include "platform/archive/vsArchive.h"
#include "platform/os/ZtTime.h"
#include "worker/QuarnWorker.h"

namespace {

using namespace VirtualServer;

constexpr unsigned long kAcquireSliceMs = 5000;
constexpr unsigned long kCloseWaitMs = 180000;
constexpr unsigned long kCloseWaitQuittingMs = 20000;
constexpr uint32_t kStreamQueueTimeoutEvent = 0x48000036;

}  // namespace

int QuarnController::OpenStreamCount() {
  ZtCriticalSectionLock lock(&m_streamPoolLock);
  return m_openStreams;
}

bool QuarnController::MonitorStreams() {
  static const char* const sig = "virtual bool QuarnController::MonitorStreams()";
  ZtCriticalSectionLock messageLock(&m_streamMsgLock);

  int running = 0;
  int required = 0;
  bool checkSurplus = true;
  for (QuarnWorker* worker : Workers()) {
    if (!worker->IsRunning()) continue;
    ++running;
    const int needs = static_cast<int>(worker->GetNumStreamsRequired());
    // A worker between VMs says nothing about what the next VM will need.
    if (needs < 1) checkSurplus = false;
    required += needs;
  }
  if (required < m_runningWorkers.load() || required < 0) checkSurplus = false;
  const int granted = m_streamsGranted.load();
  if (checkSurplus && m_currentWorkers.load() == m_plannedWorkers.load() && required < granted) {
    m_event.Debug(sig, "The %d running workers only require %d of the %d streams available", running, required,
                  granted);
    CloseAndReturnStreams(granted - required);
  }

  if (m_streamError.load() && m_failedStreams.load() > 0) {
    const int failed = m_failedStreams.exchange(0);
    if (failed > 0) CloseAndReturnStreams(failed);
  }

  if (OpenStreamCount() < m_streamsGranted.load()) {
    int id = 0, rcid = 0, reservationId = 0, clientId = 0;
    if (!OpenStream(id, rcid, reservationId, clientId)) {
      m_streamError = true;
      m_streamErrorTime = static_cast<long long>(ZtClock::NowSeconds());
      --m_streamsGranted;
      ReturnStream(id, rcid, reservationId, clientId, true);
    }
    // One stream a pass: the next pass follows at once while grants wait to be opened.
    if (OpenStreamCount() < m_streamsGranted.load()) m_wakeEvent.set();
  }
  return true;
}

bool QuarnController::MonitorProcesses() {
  static const char* const sig = "virtual bool QuarnController::MonitorProcesses()";
  if (!m_agentStarted.load()) return true;
  int processes = 0, streams = 0, vms = 0;
  m_ipc.Check(processes, streams, vms);
  if (streams != m_otherStreams.load()) {
    m_event.Debug(sig, "Detected that other %d quarn processes now have %d streams running", processes, streams);
    m_otherProcesses = processes;
    m_otherStreams = streams;
    m_otherVMs = vms;
    SendAgentStatus();
  }
  return true;
}

bool QuarnController::OpenStream(int& id, int& rcid, int& reservationId, int& clientId) {
  static const char* const sig = "virtual bool QuarnController::OpenStream(int&, int&, int&, int&)";
  if (!GetUnopenedStreamInfo(id, rcid, reservationId, clientId)) return false;
  const int number = OpenStreamCount() + 1;
  const int granted = m_streamsGranted.load();
  m_event.Debug(sig, "Opening stream # [%d] of [%d]  Stream Id [%d] RCID [%d] ReservationId [%d] ClientId [%d]",
                number, granted, id, rcid, reservationId, clientId);
  vsArchive* stream = new vsArchive(m_jobMgr, m_appMgr, &m_sim, m_keymasterHostName);
  if (m_jobMgr != nullptr) m_jobMgr->lockStreams();
  if (id != 0) stream->setStream(id, rcid, reservationId, clientId);
  const int result = stream->init(true);
  if (m_jobMgr != nullptr) m_jobMgr->unlockStreams();
  if (vsArchive::isError(result)) {
    m_event.Error(sig, "Failed to open stream [%d] of [%d]", number, granted);
    delete stream;
    return false;
  }
  int open = 0;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    m_streamList.push_back(stream);
    m_freeStreams.push_back(stream);
    open = ++m_openStreams;
  }
  m_freeStreamSemaphore.release(1);
  m_ipc.UpdateStreams(open);
  if (id != 0)
    m_event.Debug(sig, "Opened stream id [%d] rcid [%d] stream # [%d] of [%d]", id, rcid, open, granted);
  else
    m_event.Debug(sig, "Opened stream # [%d] of [%d]", open, granted);
  return true;
}

bool QuarnController::CloseStream(int& id, int& rcid, int& reservationId, int& clientId) {
  static const char* const sig = "virtual bool QuarnController::CloseStream(int&, int&, int&, int&)";
  id = rcid = reservationId = clientId = 0;
  const int open = OpenStreamCount();
  m_event.Debug(sig, "Closing stream # [%d]. ", open);
  if (open == 0) {
    m_event.Error(sig, "Attempting to close a stream when no streams are open");
    return false;
  }
  if (m_freeStreamSemaphore.wait(CheckQuitFlag() ? kCloseWaitQuittingMs : kCloseWaitMs) == 0) {
    static const char* const text = "Timeout waiting for the stream queue semaphore";
    m_event.Error(sig, "%s", text);
    m_event << text;
    m_event.MajorEvent(kStreamQueueTimeoutEvent);
    return false;
  }
  vsArchive* stream = nullptr;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    if (m_freeStreams.empty()) {
      m_event.Error(sig, "Attempting to close a stream but no streams were in the queue (queue size = %d, list size = %d)",
                    0, static_cast<int>(m_streamList.size()));
      return false;
    }
    stream = m_freeStreams.front();
    m_freeStreams.pop_front();
    m_streamList.erase(std::find(m_streamList.begin(), m_streamList.end(), stream));
  }
  const bool closed = !vsArchive::isError(stream->close(true));
  stream->getStream(id, rcid, reservationId, clientId);
  delete stream;
  int left = 0;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    left = --m_openStreams;
  }
  m_ipc.UpdateStreams(left);
  if (id != 0) m_event.Debug(sig, "Closed stream id [%d] rcid [%d] ", id, rcid);
  return closed;
}

bool QuarnController::GetUnopenedStreamInfo(int& id, int& rcid, int& reservationId, int& clientId) {
  static const char* const sig = "bool QuarnController::GetUnopenedStreamInfo(int&, int&, int&, int&)";
  id = rcid = reservationId = clientId = 0;
  ZtCriticalSectionLock lock(&m_unopenedLock);
  if (m_unopenedGrants.empty()) {
    m_event.Debug(sig, "Unopened Stream list is empty");
    return false;
  }
  const VMBackupStream& grant = m_unopenedGrants.front();
  id = static_cast<int>(grant.getint64(VMBackupStream::F_streamId));
  rcid = static_cast<int>(grant.getint64(VMBackupStream::F_rcid));
  reservationId = static_cast<int>(grant.getint64(VMBackupStream::F_reservationId));
  clientId = static_cast<int>(grant.getint64(VMBackupStream::F_clientId));
  m_unopenedGrants.pop_front();
  return true;
}

void QuarnController::ReturnStream(int id, int rcid, int reservationId, int clientId, bool error) {
  static const char* const sig = "void QuarnController::ReturnStream(int, int, int, int, bool)";
  m_event.Debug(sig, "Returning Stream Id [%d] RCID [%d] ReservationId [%d] ClientId [%d]", id, rcid, reservationId,
                clientId);
  VMBackupStream message;
  message.setint64(VMBackupStream::F_streamCount, 1);
  message.setint64(VMBackupStream::F_streamFailed, error ? 1 : 0);
  message.setint64(VMBackupStream::F_streamId, id);
  message.setint64(VMBackupStream::F_rcid, rcid);
  message.setint64(VMBackupStream::F_reservationId, reservationId);
  message.setint64(VMBackupStream::F_clientId, clientId);
  SendToCoordinator(message);
}

void QuarnController::CloseAndReturnStreams(int count) {
  static const char* const sig = "void QuarnController::CloseAndReturnStreams(int)";
  m_event.Debug(sig, "Returning %d streams", count);
  if (count <= 0) {
    m_event.Error(sig, "Invalid # of streams (%d)", count);
    return;
  }
  const int granted = m_streamsGranted.load();
  if (count > granted) {
    m_event.Error(sig, "Closing and returning more streams (%d) than are available (%d)", count, granted);
    count = granted;
  }
  const int open = OpenStreamCount();
  int returned = 0;
  for (int unopened = granted - open; returned < count && unopened > 0; --unopened) {
    int id = 0, rcid = 0, reservationId = 0, clientId = 0;
    if (!GetUnopenedStreamInfo(id, rcid, reservationId, clientId)) break;
    ReturnStream(id, rcid, reservationId, clientId, false);
    ++returned;
  }
  const int toClose = open - (granted - count);
  if (toClose > 0) {
    m_event.Debug(sig, "Closing %d streams", toClose);
    for (int i = 0; i < toClose; ++i) {
      int id = 0, rcid = 0, reservationId = 0, clientId = 0;
      const bool closed = CloseStream(id, rcid, reservationId, clientId);
      ReturnStream(id, rcid, reservationId, clientId, m_streamError.load() || !closed);
      ++returned;
    }
  }
  if (returned < count)
    m_event.Error(sig, "%d streams were supposed to be returned; but only %d were returned", count, returned);
  m_streamsGranted -= count;
}

void QuarnController::CloseAndReturnAllStreams() {
  const int granted = m_streamsGranted.load();
  if (granted < 1) return;
  CloseAndReturnStreams(granted);
  m_allStreamsReturned = true;
}

void QuarnController::CloseRemainingStreams() {
  static const char* const sig = "virtual void QuarnController::Deinitialize()";
  int listed = 0;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    listed = static_cast<int>(m_streamList.size());
  }
  if (listed == 0) return;
  // Returned or not, a stream still open here is closed: the return of one whose close timed out
  // went to the coordinator already, but its data stream (and its reservation) would stay open for
  // good. A stream a worker that never ended still holds times out again and is left to it.
  m_event.Debug(sig, "Closing %d streams in destructor", listed);
  for (int i = 0; i < listed; ++i) {
    int id = 0, rcid = 0, reservationId = 0, clientId = 0;
    CloseStream(id, rcid, reservationId, clientId);
  }
  m_event.Debug(sig, "Completed Closing all streams in destructor");
}

bool QuarnController::AcquireStream(int workerIndex, vsArchive*& stream, bool wait) {
  static const char* const sig = "virtual bool QuarnController::AcquireStream(int, vsArchive*&, bool)";
  stream = nullptr;
  for (;;) {
    if (CheckQuitFlag()) return false;
    if (m_freeStreamSemaphore.wait(kAcquireSliceMs) != 0) break;
    if (!wait) return true;
    if (m_streamError.load()) return false;
  }
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    if (m_freeStreams.empty()) {
      m_event.Error(sig, "No streams were available in the queue, (queue size = %d, list size = %d)", 0,
                    static_cast<int>(m_streamList.size()));
      return false;
    }
    stream = m_freeStreams.front();
    m_freeStreams.pop_front();
  }
  int id = 0, rcid = 0, reservationId = 0, clientId = 0;
  stream->getStream(id, rcid, reservationId, clientId);
  m_event.Debug(sig, "Worker [%d] Acquired stream id [%d] rcid [%d] ", workerIndex, id, rcid);
  return true;
}

bool QuarnController::RelinquishStream(int workerIndex, vsArchive*& stream) {
  static const char* const sig = "virtual bool QuarnController::RelinquishStream(int, vsArchive*&)";
  if (stream == nullptr) {
    m_event.Error(sig, "vsArchive object is NULL");
    return false;
  }
  bool failed = false;
  if (!CheckQuitFlag() && vsArchive::isError(stream->checkStatus())) {
    failed = true;
    m_streamError = true;
    ++m_failedStreams;
    m_streamErrorTime = static_cast<long long>(ZtClock::NowSeconds());
  }
  int id = 0, rcid = 0, reservationId = 0, clientId = 0;
  stream->getStream(id, rcid, reservationId, clientId);
  m_event.Debug(sig, "Worker [%d] Relinquishing stream id [%d] rcid [%d] %s", workerIndex, id, rcid,
                failed ? "(Stream Error)" : "");
  bool found = false;
  bool twice = false;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    found = std::find(m_streamList.begin(), m_streamList.end(), stream) != m_streamList.end();
    // Queued twice, one stream would be lent to two workers at once.
    twice = found && std::find(m_freeStreams.begin(), m_freeStreams.end(), stream) != m_freeStreams.end();
    if (found && !twice) m_freeStreams.push_back(stream);
  }
  if (!found)
    m_event.Error(sig, "Could not find stream id [%d] rcid [%d] in the stream list", id, rcid);
  else if (twice)
    m_event.Error(sig, "Worker [%d] gave back stream id [%d] rcid [%d], which was not lent", workerIndex, id, rcid);
  else
    m_freeStreamSemaphore.release(1);
  stream = nullptr;
  // A stream given back may be surplus to the agent (a pass returns it) or wanted by another worker.
  m_wakeEvent.set();
  return found && !twice;
}

bool QuarnController::CheckExtraStreamsAvailable(int& extra) {
  if (m_streamError.load()) return false;
  extra = m_streamsGranted.load() - m_runningWorkers;
  return extra >= 1;
}
