// The stream queue: the coordinator's stream grants as the agent holds them.
//
// This build keeps the grants and gives them back; it opens no data stream yet (the data path comes
// with the backup of disks), so no worker is ever lent a stream and every grant goes back to the
// coordinator unopened.
#include "controller/QuarnController.h"
#include "platform/os/ZtTime.h"

namespace {

using namespace VirtualServer;

constexpr unsigned long kAcquireSliceMs = 5000;

}  // namespace

bool QuarnController::MonitorStreams() { return true; }

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
  id = rcid = reservationId = clientId = 0;
  return false;
}

bool QuarnController::CloseStream(int& id, int& rcid, int& reservationId, int& clientId) {
  static const char* const sig = "virtual bool QuarnController::CloseStream(int&, int&, int&, int&)";
  id = rcid = reservationId = clientId = 0;
  int open = 0;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    open = m_openStreams;
  }
  m_event.Debug(sig, "Closing stream # [%d]. ", open);
  if (open == 0) {
    m_event.Error(sig, "Attempting to close a stream when no streams are open");
    return false;
  }
  return false;
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
  int open = 0;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    open = m_openStreams;
  }
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

bool QuarnController::AcquireStream(int workerIndex, vsArchive*& stream, bool wait) {
  static const char* const sig = "virtual bool QuarnController::AcquireStream(int, vsArchive*&, bool)";
  stream = nullptr;
  for (;;) {
    if (CheckQuitFlag()) return false;
    if (m_freeStreamSemaphore.wait(kAcquireSliceMs) != 0) break;
    if (!wait) return true;
    if (m_streamError.load()) return false;
  }
  ZtCriticalSectionLock lock(&m_streamPoolLock);
  if (m_freeStreams.empty()) {
    m_event.Error(sig, "No streams were available in the queue, (queue size = %d, list size = %d)", 0,
                  static_cast<int>(m_streamList.size()));
    return false;
  }
  stream = m_freeStreams.front();
  m_freeStreams.pop_front();
  m_event.Debug(sig, "Worker [%d] Acquired stream", workerIndex);
  return true;
}

bool QuarnController::RelinquishStream(int workerIndex, vsArchive*& stream) {
  static const char* const sig = "virtual bool QuarnController::RelinquishStream(int, vsArchive*&)";
  if (stream == nullptr) {
    m_event.Error(sig, "vsArchive object is NULL");
    return false;
  }
  bool found = false;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    for (vsArchive* listed : m_streamList) found = found || listed == stream;
    if (found) m_freeStreams.push_back(stream);
  }
  if (found)
    m_freeStreamSemaphore.release(1);
  else
    m_event.Error(sig, "Worker [%d] gave back a stream that is not in the stream list", workerIndex);
  stream = nullptr;
  return found;
}

bool QuarnController::CheckExtraStreamsAvailable(int& extra) {
  if (m_streamError.load()) return false;
  extra = m_streamsGranted.load() - m_runningWorkers;
  return extra >= 1;
}
