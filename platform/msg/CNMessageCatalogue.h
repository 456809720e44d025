#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/msg/CNMessageDecl.h"
#include "platform/os/ThreadAnnotations.h"

// A reader/writer lock the thread-safety analysis understands.
class CAPABILITY("mutex") CNSharedLock {
 public:
  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  void LockShared() QUARN_THREAD_ANNOTATION(acquire_shared_capability()) { mu_.lock_shared(); }
  void UnlockShared() QUARN_THREAD_ANNOTATION(release_shared_capability()) { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Every message type the process knows, keyed by tag id, by (group, type) and by tag name.
// Declarations register themselves while the libraries load; afterwards the catalogue is read from
// many threads. Registration stays locked so that a late registration (tests) is still safe.
class CNMessageCatalogue {
 public:
  static CNMessageCatalogue& Instance();

  CNMessageCatalogue(const CNMessageCatalogue&) = delete;
  CNMessageCatalogue& operator=(const CNMessageCatalogue&) = delete;

  // Keeps a copy of the declaration. Refused (false, error recorded) when its tag id, (group, type)
  // pair or tag name is taken, or when the declaration itself is inconsistent (tag not of its
  // group, duplicate field numbers, indexes or names, a field name that is no XML name, a check
  // value wider than 24 bits).
  bool Register(const CNMessageDecl& decl);

  // Pointers stay valid for the life of the process.
  const CNMessageDecl* FindByTag(uint32_t tagId) const;
  const CNMessageDecl* FindByGroupType(int group, int type) const;
  const CNMessageDecl* FindByName(const std::string& tagName) const;
  std::vector<const CNMessageDecl*> All() const;

  // Records that a namespace was registered by the process frame; nothing depends on it.
  bool RegisterSubsystem(const char* nameSpace);
  bool IsSubsystemRegistered(const std::string& nameSpace) const;

  // Registration errors so far.
  std::vector<std::string> Errors() const;

  static std::string TagName(const CNMessageDecl& decl);

 private:
  CNMessageCatalogue() = default;

  bool CheckDecl(const CNMessageDecl& decl, std::string* why) const;

  mutable CNSharedLock lock_;
  std::deque<CNMessageDecl> decls_ GUARDED_BY(lock_);  // a deque keeps element addresses stable
  std::unordered_map<uint32_t, const CNMessageDecl*> byTag_ GUARDED_BY(lock_);
  std::map<std::pair<int, int>, const CNMessageDecl*> byGroupType_ GUARDED_BY(lock_);
  std::unordered_map<std::string, const CNMessageDecl*> byName_ GUARDED_BY(lock_);
  std::set<std::string> subsystems_ GUARDED_BY(lock_);
  std::vector<std::string> errors_ GUARDED_BY(lock_);
};
