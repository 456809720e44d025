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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
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
// a linear reader needs, and whose peak memory above the document itself is measured (not under
// the sanitizers, whose allocators keep freed memory on purpose).

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

struct Hostile {
  const char* what;
  std::string (*make)(size_t bytes);
  size_t bytes;
  bool accepted;
};

std::string AllKindsWith(size_t bytes, const std::string& before, const std::string& unit, const std::string& after) {
  std::string doc = "<QTest_AllKinds tag=\"0xC800ABCD\">" + before;
  doc.reserve(bytes + 64);
  while (doc.size() < bytes) doc += unit;
  return doc + after + "</QTest_AllKinds>";
}

const Hostile kHostile[] = {
    {"deep nesting in an unknown field",
     [](size_t bytes) {
       const size_t n = bytes / 7;
       return AllKindsWith(0, "<future>" + Repeat("<a>", n) + Repeat("</a>", n) + "</future>", "", "");
     },
     kBigDocument, false},
    {"deep message nesting",
     [](size_t bytes) {
       const std::string open = "<any><QTest_AllKinds tag=\"0xC800ABCD\">";
       const std::string close = "</QTest_AllKinds></any>";
       const size_t n = bytes / (open.size() + close.size());
       return AllKindsWith(0, Repeat(open, n) + Repeat(close, n), "", "");
     },
     kBigDocument, false},
    {"many distinct element names",
     [](size_t bytes) {
       std::string doc = "<QTest_AllKinds tag=\"0xC800ABCD\">";
       for (size_t i = 0; doc.size() < bytes; ++i) doc += "<n" + std::to_string(i) + "/>";
       return doc + "</QTest_AllKinds>";
     },
     4u << 20, true},
    {"many distinct attribute names",
     [](size_t bytes) {
       std::string doc = "<QTest_AllKinds tag=\"0xC800ABCD\"";
       for (size_t i = 0; doc.size() < bytes; ++i) doc += " a" + std::to_string(i) + "=\"\"";
       return doc + "/>";
     },
     4u << 20, true},
    {"many empty elements of a large message type",
     [](size_t bytes) {
       std::string doc = "<VirtualServer_VMCollectList tag=\"0x1A4F75B1\"><vms>";
       while (doc.size() < bytes) doc += "<VirtualServer_VMCollect tag=\"0x1A87C273\"/>";
       return doc + "</vms></VirtualServer_VMCollectList>";
     },
     kBigDocument, true},
    {"many text list items", [](size_t bytes) { return AllKindsWith(bytes, "<texts>", "<i>a</i>", "</texts>"); },
     kBigDocument, true},
    {"many small nested messages",
     [](size_t bytes) {
       return AllKindsWith(bytes, "<leaves>", "<QTest_Leaf tag=\"0xC8800001\"><count>1</count></QTest_Leaf>",
                           "</leaves>");
     },
     kBigDocument, true},
};

// Runs in the child: exits 0 when the document was read as expected within the memory bound.
void ReadWithinBounds(const Hostile& h) {
  rlimit cpu{kCpuSeconds, kCpuSeconds};
  setrlimit(RLIMIT_CPU, &cpu);
  const std::string doc = h.make(h.bytes);
  // The high-water mark starts again from here: the document itself does not count.
  std::ofstream("/proc/self/clear_refs") << "5";
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

TEST(XmlCost, HostileDocumentsCostASmallMultipleOfTheirSizeInLinearTime) {
  for (const Hostile& h : kHostile) {
    EXPECT_EXIT(ReadWithinBounds(h), ::testing::ExitedWithCode(0), "") << h.what;
  }
}

}  // namespace
