// The limits of the XML form, each at the limit and one past it, and the cost of hostile documents.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/msg/CNMessageXml.h"
#include "platform/msg/MsgTestSupport.h"
#include "platform/msg/QTestMessages.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

using QTest::AllKinds;
using QTest::Tree;

// The sanitizers' allocators keep freed memory on purpose: memory is not measured under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// The message is exactly as it was, and the refusal says why.
void ExpectRefusedWith(const std::string& xml, const std::string& reason) {
  AllKinds target;
  target.setint64(AllKinds::F_number, 5);
  std::string error;
  EXPECT_FALSE(target.deserialize(xml, &error));
  EXPECT_NE(error.find(reason), std::string::npos) << error;
  EXPECT_EQ(target.getint64(AllKinds::F_number), 5);
}

// A chain of AllKinds messages `depth` levels below the root, each held by the untyped field `any`;
// the deepest carries `innermost` as its fields.
std::string Chain(int depth, const std::string& innermost) {
  const std::string open = "<QTest_AllKinds tag=\"0xC800ABCD\">";
  const std::string close = "</QTest_AllKinds>";
  return open + Repeat("<number>1</number><any>" + open, depth) + innermost +
         Repeat(close + "</any>", depth) + close;
}

TEST(XmlLimits, MessageDepthAtTheLimitAndOnePastReadingAndWriting) {
  const int limit = CNMessageXml::kMaxDepth;
  AllKinds deepest;
  std::string error;
  // The deepest message at the limit, with a list item: the deepest element any declared message needs.
  ASSERT_TRUE(deepest.deserialize(Chain(limit, "<texts><i>x</i></texts>"), &error)) << error;
  AllKinds* node = &deepest;
  for (int d = 0; d < limit && node != nullptr; ++d) node = node->getObject<AllKinds>(AllKinds::F_any, false);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->getliststring(AllKinds::F_texts, false), std::vector<std::string>{"x"});
  ExpectRefusedWith(Chain(limit + 1, ""), "messages nested too deep");

  // Written: the message just read goes out; one level more does not, and the text is untouched.
  std::string xml;
  ASSERT_TRUE(deepest.serialize(xml, true));
  AllKinds back;
  ASSERT_TRUE(back.deserialize(xml, &error)) << error;
  EXPECT_EQ(msgtest::Diff(deepest, back), "");
  Tree root;
  CNMessageBase* leaf = &root;
  for (int d = 0; d < limit; ++d) {
    CNMessageList& children = leaf->getlistobject(Tree::F_children, true);
    children.emplace_back(Tree());
    leaf = children.back().get();
  }
  ASSERT_TRUE(root.serialize(xml, false));
  leaf->getlistobject(Tree::F_children, true).emplace_back(Tree());
  std::string out = "unchanged";
  EXPECT_FALSE(root.serialize(out, true));
  EXPECT_EQ(out, "unchanged");
}

TEST(XmlLimits, ElementDepthAtTheLimitAndOnePastInsideUnknownFields) {
  // In the deepest message the field is at level 2 * kMaxDepth + 2: one element inside it reaches the
  // limit, two pass it.
  const int limit = CNMessageXml::kMaxDepth;
  ASSERT_EQ(CNMessageXml::kMaxElementDepth, 2u * limit + 3);
  AllKinds ok;
  std::string error;
  EXPECT_TRUE(ok.deserialize(Chain(limit, "<future><a/></future>"), &error)) << error;
  ExpectRefusedWith(Chain(limit, "<future><a><b/></a></future>"), "elements nested too deep");
  // Shallow messages with deep unknown content: the same limit, counted from the root.
  const size_t inside = CNMessageXml::kMaxElementDepth - 2;  // below the root and the field
  EXPECT_TRUE(ok.deserialize(Chain(0, "<future>" + Repeat("<a>", inside) + Repeat("</a>", inside) + "</future>"),
                             &error))
      << error;
  ExpectRefusedWith(
      Chain(0, "<future>" + Repeat("<a>", inside + 1) + Repeat("</a>", inside + 1) + "</future>"),
      "elements nested too deep");
}

// A valid document of exactly `size` bytes: blanks pad the root.
std::string DocumentOfSize(size_t size) {
  const std::string head = "<QTest_AllKinds tag=\"0xC800ABCD\"><number>7</number>";
  const std::string tail = "</QTest_AllKinds>";
  std::string doc = head;
  doc.reserve(size);
  doc.append(size - head.size() - tail.size(), ' ');
  doc += tail;
  return doc;
}

TEST(XmlLimits, DocumentSizeAtTheLimitAndOnePastAsTextAndAsFile) {
  const size_t limit = CNMessageXml::kMaxDocumentBytes;
  std::string doc = DocumentOfSize(limit);
  AllKinds m;
  std::string error;
  ASSERT_TRUE(m.deserialize(doc, &error)) << error;
  EXPECT_EQ(m.getint64(AllKinds::F_number), 7);

  const std::string dir = msgtest::TempDir();
  const std::string path = dir + "/limit.xml";
  {
    std::ofstream(path, std::ios::binary) << doc;
  }
  vsXMLFile file(path);
  AllKinds loaded;
  EXPECT_TRUE(file.Load(loaded)) << file.LastError();
  EXPECT_EQ(loaded.getint64(AllKinds::F_number), 7);

  doc.insert(doc.size() - std::strlen("</QTest_AllKinds>"), " ");
  ASSERT_EQ(doc.size(), limit + 1);
  ExpectRefusedWith(doc, "document larger than");
  {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << doc;
  }
  loaded.setint64(AllKinds::F_number, 5);
  EXPECT_FALSE(file.Load(loaded));
  EXPECT_NE(file.LastError().find("too large"), std::string::npos) << file.LastError();
  EXPECT_EQ(loaded.getint64(AllKinds::F_number), 5);
  std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------
// Cost. Each hostile document is read in a child process whose CPU time is capped far above what
// a linear reader needs, and whose peak memory above the document itself is measured.

constexpr size_t kBigDocument = 16u << 20;
constexpr size_t kMaxMemoryPerByte = 16;
constexpr rlim_t kCpuSeconds = 20;

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, std::strlen(key), key) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}

// A document made of `head`, then `open` repeated until it is about `bytes` long (with '#' standing
// for the repetition's number), `close` as many times, and `tail`.
struct Hostile {
  const char* what;
  size_t bytes;
  bool accepted;
  const char *head, *open, *close, *tail;

  std::string Make() const {
    std::string doc = head;
    doc.reserve(bytes + 64);
    const std::string unit = open;
    const size_t mark = unit.find('#');
    size_t n = 0;
    for (; doc.size() + n * std::strlen(close) < bytes; ++n) {
      doc += mark == std::string::npos ? unit : unit.substr(0, mark) + std::to_string(n) + unit.substr(mark + 1);
    }
    return doc + Repeat(close, n) + tail;
  }
};

#define ALLKINDS "<QTest_AllKinds tag=\"0xC800ABCD\">"
const Hostile kHostile[] = {
    {"deep nesting in an unknown field", kBigDocument, false, ALLKINDS "<future>", "<a>", "</a>",
     "</future></QTest_AllKinds>"},
    {"deep message nesting", kBigDocument, false, ALLKINDS, "<any>" ALLKINDS, "</QTest_AllKinds></any>",
     "</QTest_AllKinds>"},
    {"many distinct element names", 4u << 20, true, ALLKINDS, "<n#/>", "", "</QTest_AllKinds>"},
    {"many distinct attribute names", 4u << 20, true, "<QTest_AllKinds tag=\"0xC800ABCD\"", " a#=\"\"", "", "/>"},
    {"many empty elements of a large message type", kBigDocument, true,
     "<VirtualServer_VMCollectList tag=\"0x1A4F75B1\"><vms>", "<VirtualServer_VMCollect tag=\"0x1A87C273\"/>", "",
     "</vms></VirtualServer_VMCollectList>"},
    {"many text list items", kBigDocument, true, ALLKINDS "<texts>", "<i>a</i>", "", "</texts></QTest_AllKinds>"},
    {"many small nested messages", kBigDocument, true, ALLKINDS "<leaves>",
     "<QTest_Leaf tag=\"0xC8800001\"><count>1</count></QTest_Leaf>", "", "</leaves></QTest_AllKinds>"},
};
#undef ALLKINDS

// Runs in the child: exits 0 when the document was read as expected within the memory bound.
void ReadWithinBounds(const Hostile& h) {
  rlimit cpu{kCpuSeconds, kCpuSeconds};
  setrlimit(RLIMIT_CPU, &cpu);
  const std::string doc = h.Make();
  // The high-water mark starts again from here: the document itself does not count.
  std::ofstream reset("/proc/self/clear_refs");
  if (!(reset << "5" << std::flush)) {
    std::fprintf(stderr, "cannot reset the peak memory mark\n");
    std::_Exit(2);
  }
  const long before = StatusKb("VmRSS:");
  std::unique_ptr<CNMessageBase> message = CNMessageBase::CreateFromXml(doc, nullptr);
  const long extra = (StatusKb("VmHWM:") - before) * 1024;
  if ((message != nullptr) != h.accepted) {
    std::fprintf(stderr, "%s: %s\n", h.what, h.accepted ? "refused" : "accepted");
    std::_Exit(1);
  }
  if (!kSanitized && (before < 0 || extra > static_cast<long>(kMaxMemoryPerByte * doc.size()))) {
    std::fprintf(stderr, "%s: %ld bytes above a %zu-byte document\n", h.what, extra, doc.size());
    std::_Exit(1);
  }
  std::_Exit(0);
}

// Runs in the child: with too little memory left for the message (a third to two thirds of what it
// needs, so that the parser's own allocations or the message's fail), the document is refused.
void ReadWithTooLittleMemory(const Hostile& h) {
  const std::string doc = h.Make();
  const rlim_t base = static_cast<rlim_t>(StatusKb("VmSize:")) * 1024;
  for (rlim_t times = 1; times <= 3; ++times) {
    rlimit space{base + times * doc.size(), base + 3 * doc.size()};
    setrlimit(RLIMIT_AS, &space);
    std::string error;
    if (CNMessageBase::CreateFromXml(doc, &error) != nullptr || error != "XML reader ran out of memory") {
      std::fprintf(stderr, "%zu times the document: %s\n", static_cast<size_t>(times), error.c_str());
      std::_Exit(1);
    }
  }
  std::_Exit(0);
}

TEST(XmlCost, RunningOutOfMemoryRefusesTheDocument) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than any limit leaves";
  EXPECT_EXIT(ReadWithTooLittleMemory(kHostile[6]), ::testing::ExitedWithCode(0), "");
}

TEST(XmlCost, HostileDocumentsCostASmallMultipleOfTheirSizeInLinearTime) {
  for (const Hostile& h : kHostile) {
    EXPECT_EXIT(ReadWithinBounds(h), ::testing::ExitedWithCode(0), "") << h.what;
  }
}

}  // namespace
