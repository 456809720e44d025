#include "fuzz/FuzzSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/msg/CNMessageBase.h"
#include "platform/msg/MsgTestSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* folder = std::getenv("QUARN_FUZZ_WRITE_SEEDS");
  if (folder == nullptr || *folder == '\0') return 0;
  std::filesystem::create_directories(folder);
  int n = 0;
  for (const std::string& seed : FuzzSeeds()) {
    fuzz::WriteBytes(std::string(folder) + "/seed-" + std::to_string(n++), seed);
  }
  std::printf("%d seeds written to %s\n", n, folder);
  std::exit(n > 0 ? 0 : 1);
}

namespace fuzz {

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what, detail.c_str());
  std::abort();
}

const std::string& ScratchDir() {
  static const std::string* dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quarn-fuzz-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) Fail("mkdtemp", pattern);
    std::atexit([] { std::filesystem::remove_all(ScratchDir()); });
    return new std::string(pattern);
  }();
  return *dir;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> CatalogueXml(bool compact) {
  std::vector<std::string> texts;
  for (const CNMessageDecl* decl : CNMessageCatalogue::Instance().All()) {
    std::unique_ptr<CNMessageBase> message = CNMessageBase::Create(decl->tagId);
    msgtest::FillAll(*message, static_cast<int>(texts.size() % 4) + 1, 2);
    std::string xml;
    if (message->serialize(xml, compact)) texts.push_back(xml);
  }
  return texts;
}

void CheckRoundTrip(CNMessageBase& message) {
  for (bool compact : {true, false}) {
    std::string xml;
    FUZZ_CHECK(message.serialize(xml, compact), message.getTagName());
    std::string error;
    std::unique_ptr<CNMessageBase> back = CNMessageBase::CreateFromXml(xml, &error);
    FUZZ_CHECK(back != nullptr, error + "\n" + xml);
    FUZZ_CHECK(msgtest::Diff(message, *back).empty(), msgtest::Diff(message, *back) + "\n" + xml);
    std::string again;
    FUZZ_CHECK(back->serialize(again, compact) && again == xml, xml + "\n" + again);
  }
}

bool CheckRead(CNMessageBase& target, const std::function<bool(CNMessageBase&)>& read,
               CNMessageBase* expected) {
  CNMessagePtr before(target);
  std::string text;
  FUZZ_CHECK(target.serialize(text, true), target.getTagName());
  const bool ok = read(target);
  FUZZ_CHECK(ok == (expected != nullptr), ok ? "accepted" : "refused");
  if (ok) {
    FUZZ_CHECK(msgtest::Diff(target, *expected).empty(), msgtest::Diff(target, *expected));
  } else {
    std::string after;
    FUZZ_CHECK(target.serialize(after, true) && after == text, text + "\n" + after);
    FUZZ_CHECK(msgtest::Diff(target, *before).empty(), msgtest::Diff(target, *before));
  }
  return ok;
}

}  // namespace fuzz
