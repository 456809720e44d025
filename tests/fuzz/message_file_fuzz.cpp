// A message file (vsXMLFile): loaded into a filled message, saved again and reloaded.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/MsgTestSupport.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/VirtualServerMessages.h"

std::vector<std::string> FuzzSeeds() {
  std::vector<std::string> seeds;
  const std::string path = fuzz::ScratchDir() + "/seed.xml";
  for (const CNMessageDecl* decl : CNMessageCatalogue::Instance().All()) {
    std::unique_ptr<CNMessageBase> message = CNMessageBase::Create(decl->tagId);
    msgtest::FillAll(*message, static_cast<int>(seeds.size() % 4) + 1, 2);
    if (vsXMLFile(path).Save(*message)) seeds.push_back(fuzz::ReadBytes(path));
  }
  return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string path = fuzz::ScratchDir() + "/message.xml";
  fuzz::WriteBytes(path, content);
  std::unique_ptr<CNMessageBase> expected = CNMessageBase::CreateFromXml(content, nullptr);
  std::unique_ptr<CNMessageBase> target =
      CNMessageBase::Create(expected ? expected->getTagID() : VirtualServer::VMAgentStartup::TAG);
  msgtest::FillAll(*target, 2, 1);
  vsXMLFile file(path);
  if (!fuzz::CheckRead(*target, [&](CNMessageBase& m) { return file.Load(m); }, expected.get())) {
    FUZZ_CHECK(!file.LastError().empty(), "a refused load without a reason");
    return 0;
  }
  // Saved, the file holds the file form of the message and loads back the same.
  FUZZ_CHECK(file.Save(*target), file.LastError());
  std::string xml;
  FUZZ_CHECK(target->serialize(xml, false) && fuzz::ReadBytes(path) == xml, xml);
  std::unique_ptr<CNMessageBase> reloaded = CNMessageBase::Create(target->getTagID());
  FUZZ_CHECK(file.Load(*reloaded), file.LastError());
  FUZZ_CHECK(msgtest::Diff(*target, *reloaded).empty(), msgtest::Diff(*target, *reloaded));
  return 0;
}
