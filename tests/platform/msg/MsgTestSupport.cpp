#include "platform/msg/MsgTestSupport.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "platform/msg/QTestMessages.h"

namespace msgtest {

const char* const kHardText = "  a<b>&c\"d'e ünï 日本 €\n\ttail ";
const char* const kRawText = "cr\r\x01\x7f end";
const char* const kPassword = "p&<>\"'ä€ PlainPw";

namespace {

const CNMessageDecl* DeclOf(uint32_t tag) { return CNMessageCatalogue::Instance().FindByTag(tag); }

std::string TextFor(int seed, int number) {
  switch ((seed + number) % 4) {
    case 0: return std::string(kHardText) + std::to_string(number);
    case 1: return std::string(kRawText) + std::to_string(seed);
    case 2: return "windows\r\nline end";
    default: return "";
  }
}

// A message of the element type of a field: the declared type, or a test leaf when any type fits.
std::unique_ptr<CNMessageBase> NewElement(uint32_t nestedTag) {
  return CNMessageBase::Create(nestedTag != 0 ? nestedTag : QTest::Leaf::TAG);
}

}  // namespace

void FillAll(CNMessageBase& m, int seed, int depth) {
  const CNMessageDecl* decl = m.getDecl();
  if (decl == nullptr) return;
  const uint32_t tag = m.getTagID();
  for (const CNFieldDecl& f : decl->fields) {
    switch (f.kind) {
      case CNFieldKind::Int64:
        m.setint64(f.index, f.number, (f.number % 2 ? -1 : 1) * ((int64_t{1} << 40) + seed * 1000 + f.number), tag,
                   f.check);
        break;
      case CNFieldKind::Text:
        m.setstring(f.index, f.number, TextFor(seed, f.number), tag, f.check);
        break;
      case CNFieldKind::ProtectedText:
        m.setpstring(f.index, f.number, std::string(kPassword) + std::to_string(seed), tag, f.check);
        break;
      case CNFieldKind::TextList:
        m.setliststring(f.index, f.number, {kHardText, "", kRawText, std::to_string(seed)}, tag, f.check);
        break;
      case CNFieldKind::IntList: {
        auto& list = m.getlistint(f.index, f.number, tag, f.check, true);
        list = {INT64_MIN, -1, 0, INT64_MAX, seed};
        break;
      }
      case CNFieldKind::MessageList: {
        if (depth <= 0) {
          m.getlistobject(f.index, f.number, tag, f.check, true);  // set, but empty
          break;
        }
        CNMessageList list;
        for (int k = 0; k < 2; ++k) {
          std::unique_ptr<CNMessageBase> element = NewElement(f.nestedTag);
          FillAll(*element, seed * 7 + k + 1, depth - 1);
          list.emplace_back(std::move(element));
        }
        m.setlistobject(f.index, f.number, list, tag, f.check);
        break;
      }
      case CNFieldKind::Message: {
        if (depth <= 0) break;
        const CNMessageDecl* nested = DeclOf(f.nestedTag != 0 ? f.nestedTag : QTest::Leaf::TAG);
        if (nested == nullptr) break;
        CNMessageBase* child =
            m.getObjectAccessor(false, true, f.index, f.number, tag, f.check, nested->group, nested->type);
        if (child) FillAll(*child, seed * 11 + 3, depth - 1);
        break;
      }
    }
  }
}

std::string Diff(CNMessageBase& a, CNMessageBase& b) {
  if (a.getTagID() != b.getTagID()) return "tags differ: " + a.getTagName() + " / " + b.getTagName();
  const CNMessageDecl* decl = a.getDecl();
  if (decl != b.getDecl()) return "declarations differ for " + a.getTagName();
  if (decl == nullptr) return "";
  const uint32_t tag = a.getTagID();
  for (const CNFieldDecl& f : decl->fields) {
    const std::string where = a.getTagName() + "." + f.name;
    if (a.isSet(f.index, tag, f.check) != b.isSet(f.index, tag, f.check)) return where + ": presence differs";
    switch (f.kind) {
      case CNFieldKind::Int64:
        if (a.getint64(f.number, tag, f.check) != b.getint64(f.number, tag, f.check)) return where + ": number";
        break;
      case CNFieldKind::Text:
        if (a.getstring(f.index, f.number, tag, f.check) != b.getstring(f.index, f.number, tag, f.check)) {
          return where + ": text [" + a.getstring(f.index, f.number, tag, f.check) + "] vs [" +
                 b.getstring(f.index, f.number, tag, f.check) + "]";
        }
        break;
      case CNFieldKind::ProtectedText:
        if (a.getpstring(f.index, f.number, tag, f.check) != b.getpstring(f.index, f.number, tag, f.check)) {
          return where + ": protected text";
        }
        break;
      case CNFieldKind::TextList:
        if (a.getliststring(f.index, f.number, tag, f.check, false) !=
            b.getliststring(f.index, f.number, tag, f.check, false)) {
          return where + ": text list";
        }
        break;
      case CNFieldKind::IntList:
        if (a.getlistint(f.index, f.number, tag, f.check, false) !=
            b.getlistint(f.index, f.number, tag, f.check, false)) {
          return where + ": number list";
        }
        break;
      case CNFieldKind::MessageList: {
        CNMessageList& la = a.getlistobject(f.index, f.number, tag, f.check, false);
        CNMessageList& lb = b.getlistobject(f.index, f.number, tag, f.check, false);
        if (la.size() != lb.size()) return where + ": list sizes differ";
        for (size_t k = 0; k < la.size(); ++k) {
          std::string d = Diff(*la[k], *lb[k]);
          if (!d.empty()) return where + "[" + std::to_string(k) + "]: " + d;
        }
        break;
      }
      case CNFieldKind::Message: {
        const uint32_t nestedTag = f.nestedTag != 0 ? f.nestedTag : QTest::Leaf::TAG;
        const CNMessageDecl* nested = DeclOf(nestedTag);
        if (nested == nullptr) return where + ": nested type not declared";
        CNMessageBase* ca = a.getObjectAccessor(false, false, f.index, f.number, tag, f.check, nested->group,
                                                nested->type);
        CNMessageBase* cb = b.getObjectAccessor(false, false, f.index, f.number, tag, f.check, nested->group,
                                                nested->type);
        if ((ca == nullptr) != (cb == nullptr)) return where + ": nested presence differs";
        if (ca) {
          std::string d = Diff(*ca, *cb);
          if (!d.empty()) return where + ": " + d;
        }
        break;
      }
    }
  }
  return "";
}

std::string TempDir() {
  static std::atomic<int> counter{0};
  const char* base = std::getenv("TMPDIR");
  std::string dir = std::string(base && *base ? base : "/tmp") + "/quarn-msg-test-" + std::to_string(getpid()) +
                    "-" + std::to_string(counter++);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace msgtest
