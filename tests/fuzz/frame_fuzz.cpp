// A stream of framework frames, split at every point: the reader yields the same frames and the
// same end (a fault, or bytes waiting) however the bytes arrive. Each frame re-encodes to its own
// bytes, a hello reads back into its body, and a message read from a frame survives the trip back.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/remoteagent/RAFrame.h"

namespace {

using remoteagent::FrameReader;

struct Outcome {
  std::vector<std::pair<char, std::string>> frames;
  bool fault = false;
  size_t buffered = 0;
};

void Drain(FrameReader& reader, Outcome& outcome) {
  char kind;
  std::string body;
  while (!outcome.fault) {
    const FrameReader::Result result = reader.Next(kind, body);
    if (result == FrameReader::Result::kNeedMore) return;
    if (result == FrameReader::Result::kFault) {
      outcome.fault = true;
      return;
    }
    outcome.frames.emplace_back(kind, body);
  }
}

// The stream delivered whole.
Outcome Read(const std::string& stream) {
  FrameReader reader;
  Outcome outcome;
  reader.Append(stream.data(), stream.size());
  Drain(reader, outcome);
  if (!outcome.fault) outcome.buffered = reader.Buffered();
  return outcome;
}

// Whether the stream, delivered in pieces that end at `cuts`, yields exactly `expected`.
bool ReadsAs(const std::string& stream, const size_t* cuts, size_t count, const Outcome& expected) {
  FrameReader reader;
  size_t at = 0;
  size_t next = 0;
  bool fault = false;
  char kind;
  std::string body;
  for (size_t c = 0; c < count && !fault; ++c) {
    reader.Append(stream.data() + at, cuts[c] - at);
    at = cuts[c];
    for (;;) {
      const FrameReader::Result result = reader.Next(kind, body);
      if (result == FrameReader::Result::kNeedMore) break;
      if (result == FrameReader::Result::kFault) {
        fault = true;
        break;
      }
      if (next >= expected.frames.size() || expected.frames[next].first != kind ||
          expected.frames[next].second != body) {
        return false;
      }
      ++next;
    }
  }
  return next == expected.frames.size() && fault == expected.fault && (fault || reader.Buffered() == expected.buffered);
}

}  // namespace

// Frames as agents and servers send them: hello, accept, messages, stop and bye.
std::vector<std::string> FuzzSeeds() {
  using namespace remoteagent;
  std::string hello, accept, stop, bye;
  EncodeFrame(kHello, MakeHelloBody("proxyA", NewLaunchKey()), hello);
  EncodeFrame(kAccept, "", accept);
  EncodeFrame(kStop, "", stop);
  EncodeFrame(kBye, "", bye);
  std::vector<std::string> seeds;
  std::string all = hello + accept;
  for (const std::string& xml : fuzz::CatalogueXml(true)) {
    std::string frame;
    if (!EncodeFrame(kMessage, xml, frame)) continue;
    if (seeds.size() < 16) seeds.push_back(hello + accept + frame + bye);
    if (all.size() < 8192) all += frame;
  }
  seeds.push_back(all + stop + bye);
  return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  const Outcome whole = Read(stream);
  // Every split point of a short stream; a long one at evenly spaced points.
  const size_t step = size <= 1024 ? 1 : size / 256;
  for (size_t cut = 0; cut <= size; cut += step) {
    const size_t cuts[] = {cut, size};
    FUZZ_CHECK(ReadsAs(stream, cuts, 2, whole), "split at " + std::to_string(cut));
  }
  std::vector<size_t> bytes;
  for (size_t i = 1; i <= size; ++i) bytes.push_back(i);
  FUZZ_CHECK(ReadsAs(stream, bytes.data(), bytes.size(), whole), "byte by byte");

  std::string encoded;
  for (const auto& [kind, body] : whole.frames) {
    std::string frame;
    FUZZ_CHECK(remoteagent::EncodeFrame(kind, body, frame), "a frame read cannot be written");
    encoded += frame;
    std::string name, key;
    if (kind == remoteagent::kHello && remoteagent::ParseHello(body, name, key)) {
      FUZZ_CHECK(remoteagent::MakeHelloBody(name, key) == body, name);
    }
    if (kind != remoteagent::kMessage) continue;
    std::unique_ptr<CNMessageBase> message = CNMessageBase::CreateFromXml(body, nullptr);
    if (!message) continue;
    std::string xml, again;
    FUZZ_CHECK(message->serialize(xml, true) && remoteagent::EncodeFrame(kind, xml, frame), body);
    const Outcome back = Read(frame);
    FUZZ_CHECK(back.frames.size() == 1 && back.frames[0].second == xml, xml);
    std::unique_ptr<CNMessageBase> reread = CNMessageBase::CreateFromXml(xml, nullptr);
    FUZZ_CHECK(reread && reread->serialize(again, true) && again == xml, xml);
  }
  FUZZ_CHECK(stream.compare(0, encoded.size(), encoded) == 0, "frames do not re-encode to their bytes");
  return 0;
}
