#pragma once
// What every fuzz target shares. A target is one file tests/fuzz/<name>_fuzz.cpp that defines
// LLVMFuzzerTestOneInput and FuzzSeeds(); scripts/fuzz.sh builds each such file with this support
// and starts its corpus from FuzzSeeds() and from tests/fuzz/seeds/<name>/ when that folder exists.
// A target checks properties, not only survival: a violated one stops the run like a crash, and
// libFuzzer keeps the input.
#include <functional>
#include <string>
#include <vector>

class CNMessageBase;

// Inputs made by the system itself (serialised messages, saved files, written settings, encoded
// frames). Run with QUARN_FUZZ_WRITE_SEEDS=<folder>, a target writes them there and exits.
std::vector<std::string> FuzzSeeds();

namespace fuzz {

[[noreturn]] void Fail(const char* what, const std::string& detail);
#define FUZZ_CHECK(condition, detail)                          \
  do {                                                         \
    if (!(condition)) ::fuzz::Fail(#condition, (detail));      \
  } while (0)

// A folder of the process's own, removed at exit.
const std::string& ScratchDir();

// A file made to hold exactly `bytes`, and the bytes of a file (empty when it cannot be read).
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);

// Every message of the catalogue, filled through the public accessors: texts that need escaping or
// base64, protected texts, lists and nesting.
std::vector<std::string> CatalogueXml(bool compact);

// Serialised (both forms) and read back, the message is the same and serialises the same.
void CheckRoundTrip(CNMessageBase& message);

// Reads into `target` with `read`; the outcome must be `expected`'s (null: refused). A refused read
// leaves the target exactly as it was; an accepted one makes it equal to `expected`.
bool CheckRead(CNMessageBase& target, const std::function<bool(CNMessageBase&)>& read,
               CNMessageBase* expected);

}  // namespace fuzz
