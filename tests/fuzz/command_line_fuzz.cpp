// The command line (CCommandLineArguments): the input is the argument vector, tokens separated by
// NUL bytes. Every option is found where it first stands, a value is the token after it, and a
// lookup that finds nothing leaves the caller's value alone.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "platform/config/CCommandLineArguments.h"
#include "platform/remoteagent/RAFrame.h"
#include "support/TestArgv.h"

namespace {
std::string Joined(const std::vector<std::string>& tokens, char separator) {
  std::string text;
  for (size_t i = 0; i < tokens.size(); ++i) text += (i ? std::string(1, separator) : "") + tokens[i];
  return text;
}
}  // namespace

// Command lines as the job manager starts the host program, and as the framework starts an agent.
std::vector<std::string> FuzzSeeds() {
  using namespace remoteagent;
  const std::vector<std::vector<std::string>> lines = {
      {"quarn", "-j", "1234", "-jt", "1234:3:4", "-a", "2:7:12:55", "-t", "1", "-d", "proxyA", "-numStreams", "4",
       "-token", "0f3c9a", "-cn", "coordinator"},
      {"quarn", "-client", "-j", "1234", "-a", "2:7:12:55", kOptClient, "proxyA", kOptAddress, "127.0.0.1", kOptPort,
       "40123", kOptName, "VSController_proxyA"},
      {"quarn", "-snaptape", "-j", "-1", "-numStreams", "", "-j", "7"},
  };
  std::vector<std::string> seeds;
  for (const auto& tokens : lines) seeds.push_back(Joined(tokens, '\0'));
  return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> tokens;
  std::string token;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      tokens.push_back(token);
      token.clear();
    } else {
      token += static_cast<char>(data[i]);
    }
  }
  testsupport::Argv argv(tokens);
  const CCommandLineArguments args(argv.argc(), argv.argv());
  FUZZ_CHECK(args.Count() == static_cast<int>(tokens.size()), std::to_string(args.Count()));
  FUZZ_CHECK(args.GetCommandLineString() == Joined(tokens, ' '), args.GetCommandLineString());

  for (size_t i = 1; i < tokens.size(); ++i) {  // the program name is no option
    if (tokens[i].size() < 2 || tokens[i][0] != '-') continue;
    const std::string key = tokens[i].substr(1);
    size_t first = 1;
    while (tokens[first] != tokens[i]) ++first;
    FUZZ_CHECK(args.Find(key).GetErrorCode() == 0, key);
    std::string value = "\x01unchanged";
    const bool found = args.Find(key, value).GetErrorCode() == 0;
    const bool hasValue = first + 1 < tokens.size() && !tokens[first + 1].empty() && tokens[first + 1][0] != '-';
    FUZZ_CHECK(found == hasValue, key);
    FUZZ_CHECK(value == (found ? tokens[first + 1] : "\x01unchanged"), key + " = " + value);
  }
  if (std::find(tokens.begin(), tokens.end(), "-quarn-fuzz-absent") != tokens.end()) return 0;
  std::string value = "kept";
  FUZZ_CHECK(args.Find("quarn-fuzz-absent").GetErrorCode() != 0 &&
                 args.Find("quarn-fuzz-absent", value).GetErrorCode() != 0 &&
                 value == "kept",
             "an absent option was found");
  return 0;
}
