// The job's media streams: the archive manager's reservations, how many the job needs, which agent
// gets the next one, exchanges of reservations between media agents, returns, errors and reclaims
// from agents that stopped.
#include <algorithm>
#include <climits>
#include <cmath>
#include <map>

#include "coordinator/QuarnCoordinator.h"
#include "coordinator/QuarnScaleAgentManager.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/media/ArchiveManagerDS.h"
#include "platform/media/ZTMM.h"
#include "platform/os/HostName.h"

namespace {

const char* const kSigInitStreams = "virtual bool QuarnCoordinator::InitStreams()";
const char* const kSigRequired = "virtual void QuarnCoordinator::calculateRequiredStreams()";
const char* const kSigUpdateStreamInfo = "virtual bool QuarnCoordinator::UpdateStreamInfo()";
const char* const kSigDump = "void QuarnCoordinator::DumpStreamInfo()";
const char* const kSigDispatch = "void QuarnCoordinator::DispatchStreams()";
const char* const kSigSelect = "std::string QuarnCoordinator::SelectAgentForStream(bool, bool&)";
const char* const kSigGive = "bool QuarnCoordinator::GiveStreamToAgent(const std::string&)";
const char* const kSigAdditional = "bool QuarnCoordinator::CheckAdditionalStreams(int)";
const char* const kSigOnStream =
    "virtual bool QuarnCoordinator::OnMsgVMBackupStream(const std::string&, VirtualServer::VMBackupStream*)";
const char* const kSigReclaim = "bool QuarnCoordinator::CheckAndReclaimStreams()";
const char* const kSigReclaimErrors = "bool QuarnCoordinator::CheckAndReclaimErrorStreams()";
const char* const kSigLimit =
    "virtual void QuarnCoordinator::CalculateStreamLimitForAgent(const std::string&, VirtualServer::VMAgentStartup*)";
const char* const kSigAgentStopped = "virtual void QuarnCoordinator::OnAgentStopped(const std::string&)";
const char* const kSigToken = "bool QuarnCoordinator::SetStreamClientToken(QuarnStreamInfo&)";
const char* const kSigExchange =
    "virtual void QuarnCoordinator::ExchangeStreamReservationForClient(QuarnStreamInfo&, const std::string&)";

// The value the media-management classes are made with.
constexpr int kMediaManagementComponent = 4;

constexpr int kContentIndexLevel = 64;
constexpr time_t kDelayedDispatchSeconds = 30;
constexpr time_t kErrorRetrySlack = 60;

}  // namespace

const char* QuarnStreamInfo::StateText(int32_t state) {
  switch (state) {
    case StreamAvailable:
      return "Available";
    case StreamAssigned:
      return "Assigned";
    case StreamReleased:
      return "Released";
    case StreamError:
      return "Error";
    case StreamReclaiming:
      return "Reclaiming";
    case StreamReclaimed:
      return "Reclaimed";
    default:
      return "Unknown";
  }
}

bool QuarnCoordinator::InitStreams() {
  if (!IsSnapJob() && m_availableStreams == 0) {
    m_event.Error(kSigInitStreams, "No streams are available. Moving the job to pending");
    return false;
  }
  calculateRequiredStreams();
  m_registry.GetEntry(REG_bAllowStreamExchange, m_streamExchangeAllowed, m_streamExchangeAllowed);
  if (!m_streamExchangeAllowed) m_event.Debug(kSigInitStreams, "Stream Exchange is not allowed");
  m_registry.GetEntry(REG_nStreamDistributionMethod, m_streamDistributionMethod, m_streamDistributionMethod);
  if (m_streamDistributionMethod == 0) {
    m_event.Debug(kSigInitStreams, "Streams will be distributed by the # of VMs");
  } else if (m_streamDistributionMethod == 1) {
    m_event.Debug(kSigInitStreams, "Streams will be distributed sequentially");
  } else {
    m_streamDistributionMethod = 2;
    m_event.Debug(kSigInitStreams, "Streams will be distributed by agent resource percentage");
  }
  return true;
}

void QuarnCoordinator::calculateRequiredStreams() {
  if (IsSnapJob() || m_jobMgr->getBkpLevel() == kContentIndexLevel) {
    m_availableStreams = 1;
    m_requiredStreams = 1;
    return;
  }
  if (m_jobMgr->isVMStubPhase()) {
    m_availableStreams = 0;
    m_requiredStreams = 0;
    return;
  }
  int allowed = m_appMgr->getMaxStreamsToUse();
  int vms = 0;
  int disks = 0;
  for (const auto& entry : m_vmMap) {
    if (entry.second.vmPhase != PHASE_NOT_STARTED) continue;
    ++vms;
    disks += static_cast<int>(std::max<int64_t>(entry.second.collect.getint64(VirtualServer::VMCollect::F_diskCount), 1));
  }
  m_event.Debug(kSigRequired, "There are [%d] VMs and [%d] Disks to be processed by a max of [%d] streams", vms, disks,
                allowed);
  allowed = std::min(allowed, disks);
  if (allowed > m_availableStreams) {
    m_unavailableStreams = allowed - m_availableStreams;
    m_event.Debug(kSigRequired,
                  "[%d] streams have been allocated, [%d] streams are allowed, [%d] additional streams will be requested",
                  m_availableStreams, allowed, m_unavailableStreams);
  } else if (allowed < m_availableStreams) {
    m_event.Debug(kSigRequired, "[%d] streams have been allocated, [%d] streams are allowed, [%d] streams will be released",
                  m_availableStreams, allowed, m_availableStreams - allowed);
  } else {
    m_event.Debug(kSigRequired, "All the streams that are required have been allocated");
  }
  m_requiredStreams = allowed;
}

bool QuarnCoordinator::UpdateStreamInfo() {
  if (IsSnapJob()) {
    // A snapshot job writes no media: one pseudo stream stands for its single data path.
    if (m_streams.empty()) {
      QuarnStreamInfo stream;
      stream.StreamId = 1;
      stream.RCID = -1;
      stream.ReservationId = -1;
      stream.MediaAgentId = m_appMgr->getPhysicalClientId();
      m_streams.push_back(stream);
    }
    return true;
  }
  GetResourceReservationArgsDS_t args;
  args.jobId = static_cast<int32_t>(m_jobMgr->getJobId());
  GetResourceReservationRetDS_t reservations;
  if (ArchiveManagerDS().getResourceReservation(&args, &reservations) != 0) {
    m_event.Error(kSigUpdateStreamInfo, "failed to get resource reservations from archive manager");
    return false;
  }
  using El = ResourceReservationEl_t;
  for (const El& element : reservations.reservations) {
    const int32_t* w = element.words;
    if (w[El::kPrimary] == 0) {
      m_event.DebugLvl(2, kSigUpdateStreamInfo,
                       "Ignoring secondary stream, StreamId = %d, RCID = %d, ReservationId = %d, MediaAgentId = %d, "
                       "InUse = %d, CopyId = %d",
                       w[El::kStreamId], w[El::kRcid], w[El::kReservationId], w[El::kMediaAgentId], w[El::kInUse],
                       w[El::kCopyId]);
      continue;
    }
    bool matched = false;
    for (QuarnStreamInfo& stream : m_streams) {
      if (stream.RCID != w[El::kRcid]) continue;
      matched = true;
      std::string changes;
      auto update = [&changes](const char* label, int32_t& field, int32_t value) {
        if (field == value) return;
        changes += std::string(label) + std::to_string(field) + "] to [" + std::to_string(value) + "]  ";
        field = value;
      };
      update("StreamId [", stream.StreamId, w[El::kStreamId]);
      update("ReservationId [", stream.ReservationId, w[El::kReservationId]);
      update("MediaAgent [", stream.MediaAgentId, w[El::kMediaAgentId]);
      if (!changes.empty())
        m_event.Debug(kSigUpdateStreamInfo, "Updated Stream RCID = %d,  %s", stream.RCID, changes.c_str());
    }
    if (matched) continue;
    QuarnStreamInfo stream;
    stream.StreamId = w[El::kStreamId];
    stream.RCID = w[El::kRcid];
    stream.ReservationId = w[El::kReservationId];
    stream.MediaAgentId = w[El::kMediaAgentId];
    if (!SetStreamClientToken(stream)) continue;
    m_streams.push_back(stream);
    m_event.Debug(kSigUpdateStreamInfo, "Added StreamId = %d, RCID = %d, ReservationId = %d, MediaAgentId = %d, InUse = %d",
                  stream.StreamId, stream.RCID, stream.ReservationId, stream.MediaAgentId, w[El::kInUse]);
  }
  DumpStreamInfo();
  return true;
}

bool QuarnCoordinator::SetStreamClientToken(QuarnStreamInfo& stream) {
  if (IsSnapJob()) return true;
  const int code = ZTMMmediaGroupOps(kMediaManagementComponent)
                       .setClientToken(stream.RCID, m_jobMgr->getJobId(), stream.StreamId, 0, stream.RCID);
  if (code != 0) {
    m_event.Error(kSigToken, "Failed to set client token on stream RCID [%d], %d", stream.RCID, code);
    return false;
  }
  return true;
}

void QuarnCoordinator::DumpStreamInfo() {
  std::map<int32_t, std::string> names;  // media agent names by client id, each looked up once
  for (const QuarnStreamInfo& stream : m_streams) {
    auto name = names.find(stream.MediaAgentId);
    if (name == names.end()) name = names.emplace(stream.MediaAgentId, m_appMgr->getClientName(stream.MediaAgentId)).first;
    m_event.Debug(kSigDump, "StreamId = %d, RCID = %d, ReservationId = %d, MediaAgent = [%s], Agent = [%s]  [%s]%s",
                  stream.StreamId, stream.RCID, stream.ReservationId, name->second.c_str(), stream.agent.c_str(),
                  QuarnStreamInfo::StateText(stream.state),
                  stream.reason.empty() ? "" : (" (" + stream.reason + ")").c_str());
  }
}

bool QuarnCoordinator::IsAgentEligibleForStreams(const QuarnAgentInfo& agent, bool& delayed) {
  if (agent.state != AgentInitialized || agent.sendFailed || agent.streamLimit == -1) return false;
  if (agent.streamsReturned > 0) {
    if (agent.streamErrors == 0) return false;
    if (agent.lastStreamReturn > agent.lastStreamError) return false;
    if (ClockSeconds() - agent.lastStreamError < static_cast<time_t>(m_reclaimDelay) + kErrorRetrySlack) {
      delayed = true;
      return false;
    }
  }
  return agent.streamsAssigned < agent.diskLoad;
}

void QuarnCoordinator::DispatchStreams() {
  if (CheckQuitFlag() || m_assignedStreams >= m_availableStreams) return;
  m_event.Debug(kSigDispatch, "There are [%d] streams to be dispatched", m_availableStreams - m_assignedStreams);
  UpdateStreamInfo();

  while (m_assignedStreams < m_availableStreams) {
    if (CheckQuitFlag()) return;
    bool delayed = false;
    int eligible = 0;
    int atLimit = 0;
    for (auto& entry : m_agents) {
      QuarnAgentInfo& agent = entry.second;
      if (!IsAgentEligibleForStreams(agent, delayed)) continue;
      ++eligible;
      if (agent.streamsAssigned + agent.streamsOfOtherProcesses >= agent.streamLimit) {
        ++atLimit;
        if (!agent.streamLimitLogged) {
          m_event.Debug(kSigDispatch, "Agent [%s] has reached it's stream limit of [%d] streams", entry.first.c_str(),
                        agent.streamLimit);
          agent.streamLimitLogged = true;
          m_event << entry.first;
          m_event.MinorEvent(0x5B0000F0);
        }
      }
    }
    bool enforceLimit = true;
    if (eligible > 0 && atLimit == eligible) {
      bool hardLimit = false;
      m_registry.GetEntry(REG_bHardStreamLimit, hardLimit, false);
      if (m_hypervisorBoundLimit || hardLimit) {
        m_event.Debug(kSigDispatch, "All agents are at the stream limit, stream will be released");
        if (m_assignedStreams == 0 && !m_streamLimitReached) {
          m_event.Debug(kSigDispatch, "No streams have been assigned, job will go to pending");
          m_jobMgr->setPendingCause(0x5B0000F4);
          m_streamLimitReached = true;
        }
      } else {
        m_event.Debug(kSigDispatch, "All agents are at the stream limit, disabling stream limit");
        enforceLimit = false;
      }
    }

    const bool excess = m_assignedStreams >= m_requiredStreams;
    const std::string agent = excess ? std::string() : SelectAgentForStream(enforceLimit, delayed);
    if (!agent.empty()) {
      // A failed grant leaves the agent ineligible (send failed) or one stream fewer available, so
      // the next pass moves on.
      GiveStreamToAgent(agent);
      continue;
    }
    if (IsScaleAgentMgmtEnabled() && IsAnyAgentBeingCreated()) {
      m_event.Debug(kSigDispatch, "No Agent selected for stream, not releasing the stream as new agents are being created.");
      return;
    }
    if (delayed) {
      m_event.Debug(kSigDispatch, "No Agent selected for stream, holding stream for delayed dispatch");
      m_streamRedispatchTime = ClockSeconds() + kDelayedDispatchSeconds;
      m_streamRedispatchPending = true;
      return;
    }
    if (excess)
      m_event.Debug(kSigDispatch,
                    "Releasing excessive stream.  [%d] streams are assigned, [%d] streams are available, max of [%d] "
                    "streams are required",
                    m_assignedStreams, m_availableStreams, m_requiredStreams);
    else
      m_event.Debug(kSigDispatch, "No Agent selected for stream, stream will be released.  [%d] streams are assigned.",
                    m_assignedStreams);
    auto last = std::find_if(m_streams.rbegin(), m_streams.rend(),
                             [](const QuarnStreamInfo& s) { return s.state == StreamAvailable; });
    if (last == m_streams.rend()) {
      m_event.Error(kSigDispatch, "Could not find an available stream to release");
    } else if (m_availableStreams < 2) {
      m_event.Debug(kSigDispatch, "Holding Stream Id [%d] reservation on last stream", last->StreamId);
      std::string host, client;
      int first = 0, second = 0;
      DemangleHostName(m_jobMgr->getMediaAgent(), host, client, first, second);
      ExchangeStreamReservationForClient(*last, client);
    } else {
      m_event.Debug(kSigDispatch, "Releasing Stream Id [%d], [%d] streams are still reserved", last->StreamId,
                    m_availableStreams - 1);
      last->state = StreamReleased;
      if (!m_jobMgr->isVMContentIndexMode()) m_jobMgr->freeStream(last->StreamId, last->RCID, last->ReservationId);
    }
    --m_availableStreams;
  }
}

std::string QuarnCoordinator::SelectAgentForStream(bool enforceLimit, bool& delayed) {
  std::string best;
  int bestRatio = 0;
  int bestPercentage = -1;
  int bestAssigned = 0;
  int bestRemaining = 0;
  int warmUp = 0;
  if (IsScaleAgentMgmtEnabled() && !m_autoScaleFinished && m_scaleAgentManager != nullptr) {
    const int count = m_scaleAgentManager->AgentCreationJobCount() + static_cast<int>(m_agents.size());
    if (count > 0) warmUp = static_cast<int>(std::lround(static_cast<float>(m_availableStreams) / count + 0.5f));
    m_event.Debug(kSigSelect, "Auto scale agent count : [%d] Available Streams : [%d] Stream limit per agent during warmup [%d]",
                  count, m_availableStreams, warmUp);
  }
  CTimeStamp now;
  now.Now();
  for (auto& entry : m_agents) {
    QuarnAgentInfo& agent = entry.second;
    if (!IsAgentEligibleForStreams(agent, delayed)) continue;
    const int load = agent.streamsAssigned + agent.streamsOfOtherProcesses;
    if (enforceLimit) {
      if (load >= agent.streamLimit) continue;
      if (warmUp >= 1 && !m_autoScaleFinished &&
          (now - m_autoScaleStart).AsSeconds() < static_cast<double>(m_autoScaleStreamHoldTime) && load >= warmUp)
        continue;
    }
    const int remaining = static_cast<int>(agent.staticVMs.size() + agent.distributedVMs.size()) - agent.completedCount;
    if (remaining < 1) continue;
    // A limit of 0 (or a disabled agent's) would divide by zero: count such an agent as fully used.
    const int percentage =
        agent.streamLimit > 0 ? static_cast<int>(static_cast<float>(load) / agent.streamLimit * 100.0f) : 100;
    int ratio = 0;
    bool take = false;
    if (m_streamDistributionMethod == 1) {
      take = best.empty() && agent.streamsReturned == 0;
    } else if (m_streamDistributionMethod == 0 || m_streamDistributionMethod == 2) {
      if (agent.streamsAssigned > 0) {
        if (best.empty() || bestAssigned > 0) {
          if (m_streamDistributionMethod == 2) {
            take = best.empty() || percentage < bestPercentage;
          } else {
            ratio = std::max(remaining / agent.streamsAssigned, 1);
            take = ratio > bestRatio;
          }
        }
      } else if (!best.empty() && bestAssigned > 0) {
        take = true;
      } else if (m_streamDistributionMethod == 0) {
        take = remaining > bestRemaining;
      } else {
        take = bestPercentage == -1 || percentage < bestPercentage;
      }
    }
    if (!take) continue;
    best = entry.first;
    bestRatio = ratio;
    bestPercentage = percentage;
    bestAssigned = agent.streamsAssigned;
    bestRemaining = remaining;
  }
  if (!best.empty())
    m_event.Debug(kSigSelect,
                  "Selecting agent [%s] for stream as it has [%d] streams, [%d] VMs remaining and is using %d%% of its "
                  "stream resources",
                  best.c_str(), bestAssigned, bestRemaining, bestPercentage);
  return best;
}

bool QuarnCoordinator::GiveStreamToAgent(const std::string& agentName) {
  auto it = std::find_if(m_streams.begin(), m_streams.end(),
                         [](const QuarnStreamInfo& s) { return s.state == StreamAvailable; });
  if (it == m_streams.end()) {
    m_event.Error(kSigGive, "Could not find an available stream in the stream info list");
    --m_availableStreams;
    DumpStreamInfo();
    return false;
  }
  m_event.Debug(kSigGive, "Sending Stream Id [%d] RCID [%d] to agent [%s]", it->StreamId, it->RCID, agentName.c_str());
  ExchangeStreamReservationForClient(*it, agentName);
  VirtualServer::VMBackupStream grant;
  grant.setint64(VirtualServer::VMBackupStream::F_streamCount, 1);
  grant.setint64(VirtualServer::VMBackupStream::F_streamId, it->StreamId);
  grant.setint64(VirtualServer::VMBackupStream::F_rcid, it->RCID);
  grant.setint64(VirtualServer::VMBackupStream::F_reservationId, it->ReservationId);
  grant.setint64(VirtualServer::VMBackupStream::F_clientId, it->MediaAgentId);
  if (!SendMsgToAgent(agentName, grant)) {
    m_event.Error(kSigGive, "Failed to send Streams to Agent [%s]", agentName.c_str());
    return false;
  }
  it->state = StreamAssigned;
  it->agent = agentName;
  QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent != nullptr) ++agent->streamsAssigned;
  ++m_assignedStreams;
  m_event.Debug(kSigGive, "Number of streams allocated for the agent [%s] are [%d]", agentName.c_str(),
                agent != nullptr ? agent->streamsAssigned : 0);
  return true;
}

void QuarnCoordinator::ExchangeStreamReservationForClient(QuarnStreamInfo& stream, const std::string& client) {
  if (!m_streamExchangeAllowed || m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode()) return;
  QuarnAgentInfo* agent = FindAgent(client);
  if (agent == nullptr || !agent->dataPathMediaAgent) return;
  const int clientId = m_appMgr->getClientId(client);
  if (clientId == 0) {
    m_event.Error(kSigExchange, "Failed to lookup client id for [%s]", client.c_str());
    return;
  }
  const int32_t rcid = stream.RCID;
  const int32_t reservationId = stream.ReservationId;
  if (clientId == stream.MediaAgentId) {
    m_event.Debug(kSigExchange, "Not Exchanging reservation on stream RCID [%d] as it is already reserved on [%d][%s]",
                  stream.RCID, clientId, client.c_str());
  } else {
    m_event.Debug(kSigExchange, "Exchanging reservation on stream RCID [%d] from [%d][%s] to [%d][%s]", stream.RCID,
                  stream.MediaAgentId, m_appMgr->getClientName(stream.MediaAgentId).c_str(), clientId, client.c_str());
    ZTMMreserveMount reserve(kMediaManagementComponent);
    reserve.setContextId(m_jobMgr->getJobId());
    const int code = reserve.exchangeMAAndDPReservation(clientId, 0, 0, reservationId, rcid);
    if (code != 0) {
      m_event.Error(kSigExchange, "Failed to exchange reservation id on stream [%d], %d", stream.StreamId, code);
      agent->dataPathMediaAgent = false;
    } else {
      stream.RCID = reserve.getRcId();
      stream.ReservationId = reserve.getReservationId();
      stream.MediaAgentId = clientId;
    }
  }
  unsigned long long regionBased = 0;
  if (!m_jobMgr->isFailbackBackup() ||
      !ZTPlatformInfo().getNumber("VirtualServer", "EnableRegionBasedBackups", &regionBased) || regionBased == 0)
    return;
  m_event.Debug(kSigExchange, "Exchanging storage policy based on region");
  ZTMMreserveMount reserve(kMediaManagementComponent);
  reserve.setContextId(m_jobMgr->getJobId());
  if (reserve.exchangeMAAndDPReservationByProxy(clientId, 0, 0, reservationId, rcid) != 0)
    m_event.Error(kSigExchange, "Failed to exchange storage policy");
}

bool QuarnCoordinator::CheckAdditionalStreams(int disksRemaining) {
  if (m_additionalStreamRequest != 0) {
    int received = 0;
    int status = m_jobMgr->checkStatusOfAdditionalResourceRequest(received);
    if (vsJobMgr::isError(status)) {
      m_event.Debug(kSigAdditional,
                    "Request for allocation of additional streams failed. The job will continue with available streams");
      m_unavailableStreams = 0;
    } else if (received == -1) {
      return true;
    } else if (received >= 1) {
      m_unavailableStreams -= received;
      m_availableStreams += received;
      m_event.Debug(kSigAdditional, "Received [%d] additional streams, there are now [%d] streams available", received,
                    m_availableStreams);
      DispatchStreams();
    }
    m_additionalStreamRequest = 0;
  }
  m_unavailableStreams = std::min(m_unavailableStreams, disksRemaining);
  if (m_unavailableStreams >= 1) {
    if (vsJobMgr::isError(m_jobMgr->allocateAdditionalStreams(m_unavailableStreams))) {
      m_event.Debug(kSigAdditional, "Error requesting for additional streams.. The job will continue with available streams");
      m_unavailableStreams = 0;
    } else {
      m_additionalStreamRequest = m_unavailableStreams;
    }
  }
  return true;
}

bool QuarnCoordinator::OnMsgVMBackupStream(const std::string& agentName, VirtualServer::VMBackupStream* message) {
  using Stream = VirtualServer::VMBackupStream;
  QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent == nullptr) {
    // Only agents the coordinator registered hold streams; a stranger's return changes nothing.
    m_event.Error(kSigOnStream, "Agent [%s] is not recognized", agentName.c_str());
    return true;
  }
  const int64_t count64 = message->getint64(Stream::F_streamCount);
  const int count = static_cast<int>(std::max<int64_t>(std::min<int64_t>(count64, INT32_MAX), INT32_MIN));
  if (count64 < 0 || count64 > agent->streamsAssigned) {
    m_event.Debug(kSigOnStream, "Agent [%s] has returned an invalid # of streams (%d of %d)", agentName.c_str(), count,
                  agent->streamsAssigned);
    return false;
  }
  const int32_t streamId = static_cast<int32_t>(message->getint64(Stream::F_streamId));
  const int32_t rcid = static_cast<int32_t>(message->getint64(Stream::F_rcid));
  const bool failed = message->getint64(Stream::F_streamFailed) != 0;
  if (count == 1)
    m_event.Debug(kSigOnStream, "Agent [%s] has returned StreamId [%d], RCID [%d], ReservationId[%d]", agentName.c_str(),
                  streamId, rcid, static_cast<int>(message->getint64(Stream::F_reservationId)));
  else
    m_event.Debug(kSigOnStream, "Agent [%s] has returned [%d] streams", agentName.c_str(), count);
  const time_t now = ClockSeconds();
  agent->streamsAssigned -= count;
  agent->streamsReturned += count;
  agent->lastStreamReturn = now;

  if (count == 1 && streamId != 0) {
    bool found = false;
    for (QuarnStreamInfo& stream : m_streams) {
      if (stream.RCID != rcid) continue;
      found = true;
      stream.agent.clear();
      stream.state = failed ? StreamError : StreamAvailable;
    }
    if (!found)
      m_event.Error(kSigOnStream, "Stream [%d] was returned by Agent [%s] but the stream was not found in the list",
                    streamId, agentName.c_str());
    if (failed) m_lastStreamError = now;
  }
  if (failed) {
    m_event.Debug(kSigOnStream, "Agent [%s] has reported a stream error, releasing [%d] streams to job manager",
                  agentName.c_str(), count);
    if (count == 1 && streamId != 0)
      m_jobMgr->freeStream(streamId, rcid, static_cast<int32_t>(message->getint64(Stream::F_reservationId)));
    else
      m_jobMgr->freeNStreams(count);
    m_streamErrors += count;
    m_availableStreams -= count;
    m_assignedStreams -= count;
    agent->streamErrors += count;
    agent->lastStreamError = now;
    return true;
  }
  m_assignedStreams -= count;
  DispatchStreams();
  return true;
}

void QuarnCoordinator::ReclaimStreamsOfAgent(const std::string& agentName, QuarnAgentInfo& record) {
  bool reclaimed = false;
  for (auto it = m_streams.rbegin(); it != m_streams.rend(); ++it) {
    if (it->state != StreamAssigned || it->agent != agentName) continue;
    m_event.Debug(kSigAgentStopped,
                  IsSnapJob() ? "Reclaiming Snap Stream Id [%d] RCID [%d] from agent [%s]"
                              : "Reclaiming Stream Id [%d] RCID [%d] from agent [%s]",
                  it->StreamId, it->RCID, agentName.c_str());
    it->state = StreamReclaiming;
    reclaimed = true;
  }
  record.streamsAssigned = 0;
  if (reclaimed) {
    m_reclaimPending = true;
    m_reclaimStart = ClockSeconds();
  }
}

bool QuarnCoordinator::CheckAndReclaimStreams() {
  if (!m_reclaimPending && m_reclaimStart == 0) return false;
  const bool snap = IsSnapJob();
  if (!snap && ClockSeconds() - m_reclaimStart < static_cast<time_t>(m_reclaimDelay)) return false;
  int count = 0;
  for (auto it = m_streams.rbegin(); it != m_streams.rend(); ++it) {
    if (it->state != StreamReclaiming) continue;
    m_event.Debug(kSigReclaim, "Reclaimed Stream Id [%d] RCID [%d] from agent [%s]", it->StreamId, it->RCID,
                  it->agent.c_str());
    if (snap) {
      it->state = StreamAvailable;
    } else {
      m_jobMgr->freeStream(it->StreamId, it->RCID, it->ReservationId);
      m_jobMgr->resetPendingCause();
      it->state = StreamReclaimed;
      it->reason = "agent failed";
    }
    it->agent.clear();
    ++count;
  }
  if (count == 0) return false;
  m_assignedStreams -= count;
  if (!snap) {
    m_availableStreams -= count;
    m_unavailableStreams += count;
  }
  m_event.Debug(kSigReclaim,
                "[%d] streams have been reclaimed, there are now [%d] available streams and [%d] unavailable streams.  "
                "[%d] streams are assigned to agents",
                count, m_availableStreams, m_unavailableStreams, m_assignedStreams);
  m_reclaimPending = false;
  m_reclaimStart = 0;
  if (snap) DispatchStreams();
  return true;
}

bool QuarnCoordinator::CheckAndReclaimErrorStreams() {
  if (m_streamErrors < 1 && m_lastStreamError == 0) return false;
  if (ClockSeconds() - m_lastStreamError < static_cast<time_t>(m_reclaimDelay)) return false;
  int count = 0;
  for (auto it = m_streams.rbegin(); it != m_streams.rend(); ++it) {
    if (it->state != StreamError) continue;
    m_event.Debug(kSigReclaimErrors, "Reclaimed Stream Id [%d] RCID [%d] from agent [%s]", it->StreamId, it->RCID,
                  it->agent.c_str());
    it->state = StreamReclaimed;
    it->reason = "stream error";
    it->agent.clear();
    ++count;
  }
  if (count == 0) return false;
  if (!IsSnapJob()) m_unavailableStreams += count;
  m_event.Debug(kSigReclaimErrors,
                "[%d] streams have been reclaimed, there are now [%d] available streams and [%d] unavailable streams.  "
                "[%d] streams are assigned to agents",
                count, m_availableStreams, m_unavailableStreams, m_assignedStreams);
  if (IsSnapJob()) DispatchStreams();
  return true;
}

void QuarnCoordinator::CalculateStreamLimitForAgent(const std::string& agentName, VirtualServer::VMAgentStartup* message) {
  using Startup = VirtualServer::VMAgentStartup;
  QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent == nullptr) return;
  const char* wording = "bound";
  // A disabled agent's -1 may travel as its unsigned 32-bit pattern: both mean -1.
  int64_t limit = message->getint64(Startup::F_streamLimit);
  if (limit == 0xFFFFFFFFLL) limit = -1;
  if (m_jobMgr->isSnapBackup()) {
    agent->streamLimit = m_requiredStreams;
    wording = "set for snap";
  } else if (limit != 0) {
    agent->streamLimit = static_cast<int32_t>(std::max<int64_t>(std::min<int64_t>(limit, INT32_MAX), -1));
    const int64_t source = message->getint64(Startup::F_streamLimitSource);
    if (source == 2) {
      wording = "hypervisor bound";
      m_hypervisorBoundLimit = true;
    } else if (source == 1 && limit == -1) {
      m_event.Debug(kSigLimit, "Agent [%s] is disabled", agentName.c_str());
      return;
    } else {
      wording = "forced";
    }
  } else {
    uint32_t memoryPerStream = 100;
    uint32_t streamsPerCPU = 10;
    m_registry.GetEntry(REG_nMemoryMBPerStream, memoryPerStream, 100u);
    m_registry.GetEntry(REG_nStreamsPerCPU, streamsPerCPU, 10u);
    // No memory figure per stream means memory sets no bound.
    const int64_t memoryLimit =
        memoryPerStream == 0 ? INT32_MAX : message->getint64(Startup::F_memoryMB) / memoryPerStream;
    const int64_t cpuLimit = message->getint64(Startup::F_cpuCount) * streamsPerCPU;
    wording = memoryLimit < cpuLimit ? "memory bound" : (cpuLimit < memoryLimit ? "cpu bound" : "bound");
    agent->streamLimit = static_cast<int32_t>(
        std::max<int64_t>(std::min<int64_t>(std::min(memoryLimit, cpuLimit), INT32_MAX), INT32_MIN));
  }
  m_event.Debug(kSigLimit, "Agent [%s] stream limit is %s to [%d] streams", agentName.c_str(), wording,
                agent->streamLimit);
}
