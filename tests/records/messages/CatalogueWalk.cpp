#include "tests/records/messages/CatalogueWalk.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <filesystem>

// Linking these makes sure every table of the system is registered.
#include "records/messages/AppMessages.h"
#include "records/messages/CommonMessages.h"
#include "records/messages/EVGuiMessages.h"
#include "records/messages/IdaMessages.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/IndexingMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/TMMsgMessages.h"
#include "records/messages/VirtualServerMessages.h"
#include "records/messages/ZtEntitiesMessages.h"

namespace catalogue_walk {

namespace {

const CNMessageDecl* DeclOf(uint32_t tag) { return CNMessageCatalogue::Instance().FindByTag(tag); }

template <class T>
const T& Pick(const std::vector<T>& values, int number) {
  return values[static_cast<size_t>(number) % values.size()];
}

}  // namespace

const std::vector<Namespace>& SystemNamespaces() {
  static const std::vector<Namespace> namespaces = {
      {"TMMsg", 12},      {"ZtEntities", 18}, {"Common", 20},      {"JobManager", 21}, {"Ida", 22},
      {"VirtualServer", 26}, {"App", 30},     {"Indexing", 48},    {"EVGui", 60},      {"IdxMetadata", 101}};
  return namespaces;
}

std::vector<const CNMessageDecl*> SystemMessages() {
  // Touch a generated class of every table so that no linker drops a registration.
  (void)Common::UserPassword::TAG;
  std::vector<const CNMessageDecl*> result;
  for (const CNMessageDecl* d : CNMessageCatalogue::Instance().All()) {
    for (const Namespace& ns : SystemNamespaces()) {
      if (std::string(d->nameSpace) == ns.name) result.push_back(d);
    }
  }
  return result;
}

bool IsTextKind(CNFieldKind kind) { return kind == CNFieldKind::Text || kind == CNFieldKind::ProtectedText; }

Values RichValues() {
  return Values{{INT64_MAX, -7, 4294967295LL, INT64_MIN, 1120, 9007199254740993LL, 0},
                {"web<01> & \"db\" 'x'", "Überwachung – 日本語 ✓", "[datastore1] vm/vm.vmx", "LAB\\backup",
                 "  padded  ", "two\nlines"},
                "p&<>\"'äß€-secret"};
}

Values ExtremeValues() {
  return Values{{INT64_MIN, INT64_MAX, -1, 0},
                {"", " ", "\t\r\n", "ctl\x01\x1f\x7f", "bad\xff\xfe utf8", "]]> <!-- -->"},
                ""};
}

void Fill(CNMessageBase& m, const Values& v, int depth) {
  const CNMessageDecl* decl = m.getDecl();
  if (decl == nullptr) return;
  const uint32_t tag = m.getTagID();
  for (const CNFieldDecl& f : decl->fields) {
    switch (f.kind) {
      case CNFieldKind::Int64:
        m.setint64(f.index, f.number, Pick(v.numbers, f.number), tag, f.check);
        break;
      case CNFieldKind::Text:
        m.setstring(f.index, f.number, Pick(v.texts, f.number), tag, f.check);
        break;
      case CNFieldKind::ProtectedText:
        m.setpstring(f.index, f.number, v.password, tag, f.check);
        break;
      case CNFieldKind::TextList:
        m.setliststring(f.index, f.number, {Pick(v.texts, f.number), Pick(v.texts, f.number + 1), ""}, tag,
                        f.check);
        break;
      case CNFieldKind::IntList:
        m.getlistint(f.index, f.number, tag, f.check, true) = {Pick(v.numbers, f.number), Pick(v.numbers, 1), 0};
        break;
      case CNFieldKind::MessageList: {
        CNMessageList& list = m.getlistobject(f.index, f.number, tag, f.check, true);
        for (int k = 0; k < 2 && depth > 0; ++k) {
          std::unique_ptr<CNMessageBase> element = CNMessageBase::Create(f.nestedTag);
          Fill(*element, v, depth - 1);
          list.emplace_back(std::move(element));
        }
        break;
      }
      case CNFieldKind::Message: {
        const CNMessageDecl* nested = DeclOf(f.nestedTag);
        if (nested == nullptr || depth <= 0) break;
        CNMessageBase* child =
            m.getObjectAccessor(false, true, f.index, f.number, tag, f.check, nested->group, nested->type);
        if (child != nullptr) Fill(*child, v, depth - 1);
        break;
      }
    }
  }
}

std::string Diff(CNMessageBase& a, CNMessageBase& b) {
  if (a.getTagID() != b.getTagID()) return "types differ: " + a.getTagName() + " / " + b.getTagName();
  const CNMessageDecl* decl = a.getDecl();
  if (decl == nullptr || decl != b.getDecl()) return "not of a declared type: " + a.getTagName();
  const uint32_t tag = a.getTagID();
  for (const CNFieldDecl& f : decl->fields) {
    const std::string where = a.getTagName() + "." + f.name;
    if (a.isSet(f.index, tag, f.check) != b.isSet(f.index, tag, f.check)) return where + ": presence differs";
    switch (f.kind) {
      case CNFieldKind::Int64:
        if (a.getint64(f.number, tag, f.check) != b.getint64(f.number, tag, f.check)) return where + " differs";
        break;
      case CNFieldKind::Text: {
        const std::string x = a.getstring(f.index, f.number, tag, f.check);
        const std::string y = b.getstring(f.index, f.number, tag, f.check);
        if (x != y) return where + ": [" + x + "] became [" + y + "]";
        break;
      }
      case CNFieldKind::ProtectedText:
        if (a.getpstring(f.index, f.number, tag, f.check) != b.getpstring(f.index, f.number, tag, f.check)) {
          return where + " differs";
        }
        break;
      case CNFieldKind::TextList:
        if (a.getliststring(f.index, f.number, tag, f.check, false) !=
            b.getliststring(f.index, f.number, tag, f.check, false)) {
          return where + " differs";
        }
        break;
      case CNFieldKind::IntList:
        if (a.getlistint(f.index, f.number, tag, f.check, false) !=
            b.getlistint(f.index, f.number, tag, f.check, false)) {
          return where + " differs";
        }
        break;
      case CNFieldKind::MessageList: {
        CNMessageList& x = a.getlistobject(f.index, f.number, tag, f.check, false);
        CNMessageList& y = b.getlistobject(f.index, f.number, tag, f.check, false);
        if (x.size() != y.size()) return where + ": list sizes differ";
        for (size_t k = 0; k < x.size(); ++k) {
          if (!x[k] || !y[k]) return where + ": empty element";
          const std::string d = Diff(*x[k], *y[k]);
          if (!d.empty()) return where + "[" + std::to_string(k) + "]." + d;
        }
        break;
      }
      case CNFieldKind::Message: {
        const CNMessageDecl* nested = DeclOf(f.nestedTag);
        if (nested == nullptr) return where + ": nested type not declared";
        CNMessageBase* x =
            a.getObjectAccessor(false, false, f.index, f.number, tag, f.check, nested->group, nested->type);
        CNMessageBase* y =
            b.getObjectAccessor(false, false, f.index, f.number, tag, f.check, nested->group, nested->type);
        if ((x == nullptr) != (y == nullptr)) return where + ": nested message present on one side only";
        if (x != nullptr) {
          const std::string d = Diff(*x, *y);
          if (!d.empty()) return where + "." + d;
        }
        break;
      }
    }
  }
  return "";
}

std::vector<std::string> UnsetFields(CNMessageBase& m) {
  std::vector<std::string> unset;
  const CNMessageDecl* decl = m.getDecl();
  if (decl == nullptr) return unset;
  const uint32_t tag = m.getTagID();
  for (const CNFieldDecl& f : decl->fields) {
    const std::string where = m.getTagName() + "." + f.name;
    if (!m.isSet(f.index, tag, f.check)) {
      unset.push_back(where);
      continue;
    }
    std::vector<CNMessageBase*> children;
    if (f.kind == CNFieldKind::MessageList) {
      for (CNMessagePtr& p : m.getlistobject(f.index, f.number, tag, f.check, false)) children.push_back(p.get());
      if (children.empty()) unset.push_back(where + "[]");
    } else if (f.kind == CNFieldKind::Message) {
      const CNMessageDecl* nested = DeclOf(f.nestedTag);
      if (nested != nullptr) {
        children.push_back(
            m.getObjectAccessor(false, false, f.index, f.number, tag, f.check, nested->group, nested->type));
      }
    }
    for (CNMessageBase* child : children) {
      if (child == nullptr) continue;
      for (std::string& name : UnsetFields(*child)) unset.push_back(std::move(name));
    }
  }
  return unset;
}

int NestingDepth(uint32_t tag) {
  const CNMessageDecl* decl = DeclOf(tag);
  int deepest = 0;
  if (decl == nullptr) return deepest;
  for (const CNFieldDecl& f : decl->fields) {
    // The declared tables hold no recursive types; a self-reference would recurse here.
    if (f.nestedTag != 0 && f.nestedTag != tag) deepest = std::max(deepest, 1 + NestingDepth(f.nestedTag));
  }
  return deepest;
}

std::string TempDir() {
  static std::atomic<int> counter{0};
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("quarn-catalogue-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

}  // namespace catalogue_walk
