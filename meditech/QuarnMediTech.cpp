#include "meditech/QuarnMediTech.h"

#include <algorithm>
#include <cctype>

#include "app/QuarnUtils.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/os/FXString.h"

namespace {

const char* const kSigInitialize = "bool QuarnMediTech::Initialize(vsJobMgr*, vsAppMgr*)";
const char* const kSigRegistry = "bool QuarnMediTech::InitConfigFromRegistry(std::string&)";
const char* const kSigCensus = "bool QuarnMediTech::GetVMList(std::vector<std::string>&)";
const char* const kSigDisks = "bool QuarnMediTech::GetVMDisks(const std::string&, MediTechVMDisks&)";

constexpr uint32_t kEventToolVerbFailed = 0x5B000193;
constexpr const char* kToolName = "mbf64.exe";
// What follows the tool's path in the command the log shows; filled with the run's values only.
constexpr const char* kArgumentsFormat = "C=%s U=%s P=%s I=%s T=%s";
// A tool that neither ends nor times out by itself must not hold the job for ever: it gets its own
// time-out and this much more.
constexpr unsigned long kToolGraceSeconds = 300;
constexpr unsigned long kDefaultToolTimeoutSeconds = 90;

// Whether the text holds the words (lower case), in any letter case.
bool ContainsWords(const std::string& text, const std::string& words) {
  return FXString::ToLower(text).find(words) != std::string::npos;
}

}  // namespace

QuarnMediTech::QuarnMediTech() = default;

QuarnMediTech::~QuarnMediTech() = default;

bool QuarnMediTech::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  m_jobMgr = jobMgr;
  const bool configured = ReadConfiguration(appMgr);
  const bool taken = configured && Census();
  if (configured && !taken) m_event.Error(kSigInitialize, "Meditech Census failed");
  // Whatever kept the census from being taken, the job says so: a job pending with no cause tells the
  // administrator nothing.
  if (!taken && m_jobMgr != nullptr) {
    m_jobMgr->addPendingCauseArgument(std::string("census"));
    m_jobMgr->setPendingCauseAndEvent(kEventToolVerbFailed, 3);
  }
  return taken;
}

bool QuarnMediTech::ReadConfiguration(vsAppMgr* appMgr) {
  if (ZTPlatformInfo().getString("Base", "dBASEHOME", &m_baseDir) == 0 || m_baseDir.empty()) {
    m_event.Error(kSigInitialize, "Failed to get Base Dir");
    return false;
  }
  std::string config, listeners;
  if (appMgr == nullptr ||
      !appMgr->GetMeditechSubclientConfig(config, listeners, m_port, m_userName, m_password, m_timeout)) {
    m_event.Error(kSigInitialize, "Failed to get Meditech config from appmgr");
    const std::string why = appMgr == nullptr ? std::string() : appMgr->getLastError();
    if (!why.empty()) m_event.Error(kSigInitialize, "%s", why.c_str());
    return false;
  }
  if (!InitConfigFromRegistry(listeners)) {
    m_event.Error(kSigInitialize, "Meditech configuration initialization from registry failed");
    return false;
  }
  BuildInstanceList(listeners);
  m_commandStart = std::string("cmd /c ") + "'" + m_baseDir + "/" + kToolName + "'" + " ";
  return true;
}

bool QuarnMediTech::InitConfigFromRegistry(std::string& listeners) {
  std::string setting;
  m_registry.GetEntry(REG_sMediTechConfiguration, setting, "");
  if (setting.empty()) return true;
  std::vector<std::string> items;
  FXString::Split(setting, "|", items, 0);
  struct Target {
    const char* key;
    std::string* value;
  };
  const Target targets[] = {{"Listeners=", &listeners},
                            {"Port=", &m_port},
                            {"Username=", &m_userName},
                            {"Password=", &m_password},
                            {"Timeout=", &m_timeout}};
  for (const std::string& item : items) {
    for (const Target& target : targets) {
      if (item.find(target.key) == std::string::npos) continue;
      *target.value = item.substr(item.find('=') + 1);
      break;
    }
  }
  if (listeners.empty() || m_userName.empty() || m_password.empty()) {
    m_event.Error(kSigRegistry, "Either Listeners, Username or Password is not set in regkey");
    return false;
  }
  m_event.Debug(kSigRegistry, "Using Meditech Configuration from registry: [%s][%s][%s][%s]", listeners.c_str(),
                m_port.c_str(), m_userName.c_str(), m_timeout.c_str());
  return true;
}

void QuarnMediTech::BuildInstanceList(const std::string& listeners) {
  std::vector<std::string> items;
  FXString::Split(listeners, ";", items, 0);
  m_instanceList.clear();
  m_instances.clear();
  for (const std::string& item : items) {
    if (item.empty()) continue;
    const std::string instance = m_port.empty() ? item : item + ":" + m_port;
    if (!m_instanceList.empty()) m_instanceList += " I=";
    m_instanceList += instance;
    m_instances.push_back(instance);
  }
}

std::vector<std::string> QuarnMediTech::Arguments(const std::string& verb) const {
  std::vector<std::string> argv = {m_baseDir + "/" + kToolName, "C=" + verb, "U=" + m_userName, "P=" + m_password};
  // A shell would have split the instance list at its blanks: one argument per listener.
  if (m_instances.empty()) argv.push_back("I=");
  for (const std::string& instance : m_instances) argv.push_back("I=" + instance);
  argv.push_back("T=" + m_timeout);
  return argv;
}

std::string QuarnMediTech::CommandText(const std::string& verb) const {
  return m_commandStart + FXString::Format(kArgumentsFormat, verb.c_str(), m_userName.c_str(), m_password.c_str(),
                                           m_instanceList.c_str(), m_timeout.c_str());
}

bool QuarnMediTech::ExecuteMbfCmd(const std::string& verb, std::string& output) {
  unsigned long seconds = kDefaultToolTimeoutSeconds;
  try {
    seconds = std::stoul(m_timeout);
  } catch (...) {
    // The tool judges its own argument; the wait keeps the default.
  }
  const unsigned long limitMs = (std::min(seconds, 86400UL) + kToolGraceSeconds) * 1000UL;
  return QuarnUtils::ExecuteProgram(Arguments(verb), CommandText(verb), output, m_password, limitMs);
}

bool QuarnMediTech::Quiesce(std::string* output) {
  std::string unused;
  return ExecuteMbfCmd("quiesce", output != nullptr ? *output : unused);
}

bool QuarnMediTech::UnQuiesce(std::string* output) {
  std::string unused;
  return ExecuteMbfCmd("unquiesce", output != nullptr ? *output : unused);
}

bool QuarnMediTech::Census() {
  std::string output;
  const bool ran = ExecuteMbfCmd("census", output);
  ZtCriticalSectionLock lock(&m_censusLock);
  m_censusOutput = ran ? output : std::string();
  return ran;
}

bool QuarnMediTech::SaysAlreadyQuiesced(const std::string& output) { return ContainsWords(output, "already quiesced"); }

bool QuarnMediTech::SaysNotQuiesced(const std::string& output) { return ContainsWords(output, "not quiesced"); }

std::string QuarnMediTech::Masked(const std::string& text) const { return QuarnUtils::MaskSecret(text, m_password); }

void QuarnMediTech::TEST_SetCensusOutput(const std::string& output) {
  ZtCriticalSectionLock lock(&m_censusLock);
  m_censusOutput = output;
}

bool QuarnMediTech::IsMBFBanner(const std::string& line) {
  return line.empty() || line.find("MEDITECH Backup Facilitator") != std::string::npos ||
         line.find("Medical Information Technology, Inc") != std::string::npos;
}

bool QuarnMediTech::DecodeMBFDiskGUID(const std::string& hex, std::string& guid) {
  if (hex.size() % 2 != 0) return false;
  std::string decoded;
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
      return false;
    decoded += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  for (char& c : decoded) {
    if (c == '_') c = '-';
  }
  guid.swap(decoded);
  return true;
}

bool QuarnMediTech::ColonInsidePassword(const std::string& line, size_t colon) const {
  if (m_password.empty()) return false;
  for (size_t at = line.find(m_password); at != std::string::npos && at < colon; at = line.find(m_password, at + 1)) {
    if (at + m_password.size() > colon) return true;
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> QuarnMediTech::CensusEntries(const char* sig) {
  std::string output;
  {
    ZtCriticalSectionLock lock(&m_censusLock);
    output = m_censusOutput;
  }
  std::vector<std::string> lines;
  FXString::Split(output, "\n", lines, 0);
  std::vector<std::pair<std::string, std::string>> entries;
  for (std::string& line : lines) {
    // A tool on another system may end its lines with "\r\n".
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (IsMBFBanner(line)) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || ColonInsidePassword(line, colon)) {
      m_event.Error(sig, "Invalid mbf census output: %s", Masked(line).c_str());
      continue;
    }
    entries.emplace_back(line.substr(0, colon), line);
  }
  return entries;
}

bool QuarnMediTech::GetVMList(std::vector<std::string>& names) {
  std::vector<std::string> seen;
  for (const auto& entry : CensusEntries(kSigCensus)) {
    if (std::find(seen.begin(), seen.end(), entry.first) == seen.end()) seen.push_back(entry.first);
  }
  names.insert(names.end(), seen.begin(), seen.end());
  return true;
}

bool QuarnMediTech::GetVMDisks(const std::string& vmName, MediTechVMDisks& disks) {
  disks.Reset(vmName);
  for (const auto& entry : CensusEntries(kSigDisks)) {
    const std::string& line = entry.second;
    const size_t equals = line.find('=');
    if (entry.first != vmName || equals == std::string::npos) continue;
    std::string text = line.substr(equals + 1);
    if (!text.empty() && text.back() == ',') text.pop_back();
    std::vector<std::string> items;
    FXString::Split(text, "|", items, 0);
    for (const std::string& item : items) {
      if (item.empty()) continue;
      std::string guid;
      if (!DecodeMBFDiskGUID(item, guid)) {
        // The whole line, masked: an item alone may hold a piece of the password.
        m_event.Error(kSigDisks, "A census disk of MediTech VM [%s] is not a hexadecimal disk GUID: %s", vmName.c_str(),
                      Masked(line).c_str());
        return false;
      }
      disks.Insert(guid, Masked(guid));
    }
  }
  return true;
}
