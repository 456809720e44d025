#include <sys/utsname.h>

#include <climits>

#include "app/QuarnUtils.h"
#include "platform/ev/EvEvent.h"
#include "platform/os/ZtProcess.h"
#include "records/messages/CommonMessages.h"

namespace {

constexpr int kDiskTypeAnySize1 = 13;
constexpr int kDiskTypeAnySize2 = 14;

// The proxy hosts of the lab are Linux machines, which have no Windows version to report.
bool GetWindowsVersion(std::string& name, int& major, int& minor, int& build, std::string& error) {
  struct utsname system;
  if (uname(&system) != 0) {
    error = "uname failed";
    return false;
  }
  name = system.sysname;
  major = minor = build = 0;
  error = std::string("not a Windows system: ") + system.sysname;
  return false;
}

// Splits text into words at blanks; "[" and "]" quote (blanks inside are kept, the brackets are
// dropped) and a backslash takes the next character literally.
std::vector<std::string> Tokenize(const std::string& text) {
  std::vector<std::string> tokens;
  std::string current;
  bool quoted = false, inToken = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      current += text[++i];
      inToken = true;
    } else if (c == '[' && !quoted) {
      quoted = true;
      inToken = true;
    } else if (c == ']' && quoted) {
      quoted = false;
    } else if (c == ' ' && !quoted) {
      if (inToken) tokens.push_back(current);
      current.clear();
      inToken = false;
    } else {
      current += c;
      inToken = true;
    }
  }
  if (inToken) tokens.push_back(current);
  return tokens;
}

}  // namespace

void QuarnUtils::FormatBackupDotOut(std::string& line, const std::string& vmName, const std::string& item,
                                    const std::string& reason, bool skipped, bool warning) {
  line = vmName;
  if (!item.empty()) line += "\\" + item;
  line += skipped ? " Skipped" : (warning ? " Warning" : " Failed");
  line += " ";
  line += reason;
}

int QuarnUtils::GetTransportMode(int configured) {
  switch (configured) {
    case 1: return 1;
    case 2: return 2;
    case 3: return 5;
    case 4: return 4;
    case 5: return 3;
    default: return 0;
  }
}

bool QuarnUtils::IsVMCentricSnapEngine(int engine) { return engine == 58 || engine == 59 || engine == 66 || engine == 77; }

bool QuarnUtils::IsVVOLSnapEngine(int engine) { return engine == 58 || engine == 59; }

bool QuarnUtils::IsVMCentricSnapBackupSupported(VirtualServerInstanceType type, unsigned long engine, bool flag) {
  int engineId = engine > static_cast<unsigned long>(INT_MAX) ? -1 : static_cast<int>(engine);
  switch (static_cast<int>(type)) {
    case kInstanceTypeVMware: return IsVMCentricSnapEngine(engineId);
    case kInstanceTypeHyperV: return IsVVOLSnapEngine(engineId);
    case kInstanceTypeAmazon:
    case kInstanceTypeAzureResourceManager:
    case kInstanceTypeAzureStack:
    case kInstanceTypeGoogleCloud:
    case kInstanceTypeK8s:
      return flag;
    default:
      return false;
  }
}

bool QuarnUtils::IsMultiworkerSnapBackupSupported(VirtualServerInstanceType type, bool flag) {
  return (type == kInstanceTypeAmazon || type == kInstanceTypeGoogleCloud) && flag;
}

int QuarnUtils::GetSnapBackupWorkerCount(VirtualServerInstanceType /*type*/, QuarnRegistry* reg) {
  static const char* const kSig =
      "static int QuarnUtils::GetSnapBackupWorkerCount(VirtualServerInstanceType, QuarnRegistry*)";
  int count = 5;
  if (reg != nullptr) reg->GetEntry(REG_nSnapBackupWorkerCount, count, 5);
  EvEvent log;
  log.Debug(kSig, "Snap backup worker count [%d]", count);
  return count;
}

bool QuarnUtils::IsAppConsistentSnapshotSupported(VirtualServerInstanceType type) {
  return type == kInstanceTypeVMware || type == kInstanceTypeHyperV || type == kInstanceTypeNutanix ||
         type == kInstanceTypeRhev;
}

bool QuarnUtils::IsExtentSizeValid(unsigned int size, DiskType_t type) {
  if (type == kDiskTypeAnySize1 || type == kDiskTypeAnySize2) return size != 0;
  return size != 0 && (size & (size - 1)) == 0;
}

bool QuarnUtils::IsOSWindows2016OrHigher() {
  static const char* const kSig = "static bool QuarnUtils::IsOSWindows2016OrHigher()";
  std::string name, error;
  int major = 0, minor = 0, build = 0;
  if (!GetWindowsVersion(name, major, minor, build, error)) {
    EvEvent log;
    log.Error(kSig, "Could not get operating system version. Err [%s]", error.c_str());
    return false;
  }
  return major > 9;
}

std::string QuarnUtils::MaskSecret(const std::string& text, const std::string& secret) {
  if (secret.empty()) return text;
  std::string masked;
  size_t from = 0;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, from)) {
    masked.append(text, from, at - from);
    masked += "*****";
    from = at + secret.size();
  }
  masked.append(text, from, std::string::npos);
  return masked;
}

bool QuarnUtils::ExecuteCommand(const std::string& command, std::string& output, std::string maskedText) {
  static const char* const kSig =
      "static bool QuarnUtils::ExecuteCommand(const std::string&, std::string&, std::string)";
  EvEvent log;
  std::string run = command + " 2>&1";
  std::string display = MaskSecret(command, maskedText);
  output.clear();
  log.DebugLvl(1, kSig, "Executing command %s", display.c_str());
  std::string errorText;
  int exitCode = 0;
  int result = ZtProcess::system(run, output, errorText, exitCode);
  // The secret may come back in what the command prints (an echo, a usage message): the log gets
  // masked copies, the caller the raw output.
  if (result != 0) {
    // Masked as one text: a secret with a blank in it could otherwise be put together from the end
    // of one part and the start of the next.
    std::string details = MaskSecret(command + " " + output + " " + errorText, maskedText);
    log.Error(kSig, "Command failed %s", details.c_str());
    return false;
  }
  log.DebugLvl(1, kSig, "Cmd Output: %s", MaskSecret(output, maskedText).c_str());
  return true;
}

bool QuarnUtils::ExecuteProgram(const std::vector<std::string>& argv, const std::string& commandText,
                                std::string& output, const std::string& maskedText, unsigned long timeoutMs) {
  static const char* const kSig =
      "static bool QuarnUtils::ExecuteProgram(const std::vector<std::string>&, const std::string&, std::string&, "
      "const std::string&, unsigned long)";
  EvEvent log;
  output.clear();
  log.DebugLvl(1, kSig, "Executing command %s", MaskSecret(commandText, maskedText).c_str());
  int exitCode = 0;
  const int result = ZtProcess::Run(argv, output, exitCode, timeoutMs);
  if (result != 0) {
    const std::string errorText = result < 0 && exitCode < 0
                                      ? std::string("the program could not be run or did not end in time")
                                      : "exit code " + std::to_string(exitCode);
    // One masked text, as ExecuteCommand logs it.
    log.Error(kSig, "Command failed %s",
              MaskSecret(commandText + " " + output + " " + errorText, maskedText).c_str());
    return false;
  }
  log.DebugLvl(1, kSig, "Cmd Output: %s", MaskSecret(output, maskedText).c_str());
  return true;
}

bool QuarnUtils::ParseVMFileName(const char* path, CPxString& datastore, CPxString& folder, CPxString& file) {
  if (path == nullptr) return false;
  std::string text(path);
  if (text.empty() || text.find('[') == std::string::npos || text.find(']') == std::string::npos ||
      text.find('/') == std::string::npos)
    return false;
  std::vector<std::string> tokens = Tokenize(text);
  if (tokens.size() < 2) return false;
  std::string name = tokens.front();
  size_t skip = name.size() + 3;  // bracket, name, bracket, blank
  if (skip >= text.size()) return false;
  std::string rest = text.substr(skip);
  size_t slash = rest.rfind('/');
  if (slash == std::string::npos) return false;
  datastore = name;
  folder = rest.substr(0, slash);
  file = rest.substr(slash + 1);
  return true;
}

bool QuarnUtils::ExtractDiskDisplayNameFromIndexName(const std::string& indexName, VirtualServerInstanceType type,
                                                     std::string& displayName) {
  if (vsAppMgr::isServerTypeVMWare(type) || vsAppMgr::isServerTypeMS(type)) {
    size_t first = indexName.find('-');
    size_t second = first == std::string::npos ? std::string::npos : indexName.find('-', first + 1);
    if (second == std::string::npos) return false;
    displayName = indexName.substr(second + 1);
    return true;
  }
  if (vsAppMgr::isServerTypeAmazon(type) || vsAppMgr::isServerTypeAzure(type) ||
      vsAppMgr::isServerTypeOpenStack(type) || vsAppMgr::isServerTypeGoogleCloud(type)) {
    displayName = indexName;
    return true;
  }
  return false;
}

void QuarnUtils::VMGuestCredentials(VirtualServer::VMCollect& collect, const vsAppMgr& app, std::string& user,
                                    std::string& password) {
  using Credentials = Common::UserPassword;
  const Credentials* own = collect.getObject<Credentials>(VirtualServer::VMCollect::F_guestCredentials, false);
  if (own != nullptr && !own->getstring(Credentials::F_userName).empty()) {
    user = own->getstring(Credentials::F_userName);
    password = own->getpstring(Credentials::F_password);
  } else {
    user = app.GetVMGuestUserName();
    password = app.GetVMGuestPassword();
  }
}
