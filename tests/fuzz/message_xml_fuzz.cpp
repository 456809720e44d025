// A message from XML text, as it arrives in a frame: read without and with a target.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/MsgTestSupport.h"
#include "platform/msg/QTestMessages.h"

std::vector<std::string> FuzzSeeds() {
  std::vector<std::string> seeds = fuzz::CatalogueXml(true);
  for (std::string& pretty : fuzz::CatalogueXml(false)) seeds.push_back(std::move(pretty));
  return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string xml(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<CNMessageBase> parsed = CNMessageBase::CreateFromXml(xml, nullptr);
  if (parsed) fuzz::CheckRoundTrip(*parsed);
  const auto read = [&](CNMessageBase& target) { return target.deserialize(xml); };
  // Into a filled message of the root's type: the same outcome. Into one of another type: refused.
  std::unique_ptr<CNMessageBase> same = CNMessageBase::Create(parsed ? parsed->getTagID() : QTest::AllKinds::TAG);
  msgtest::FillAll(*same, 3, 1);
  fuzz::CheckRead(*same, read, parsed.get());
  if (parsed && parsed->getTagID() != QTest::AllKinds::TAG) {
    QTest::AllKinds other;
    msgtest::FillAll(other, 2, 1);
    fuzz::CheckRead(other, read, nullptr);
  }
  return 0;
}
