#pragma once
#include <string>

class CNMessageBase;

// A message kept in an XML file.
class vsXMLFile {
 public:
  explicit vsXMLFile(const std::string& path);

  // Strict like CNMessageBase::deserialize: a failure leaves the message unchanged.
  bool Load(CNMessageBase& message);
  // Atomic: readers see the old file or the new one, never a part. A save that is not synced may be
  // lost to a crash of the machine (the file then holds an earlier save).
  bool Save(const CNMessageBase& message, bool synced = true);
  bool Exists() const;
  // True when the file is gone afterwards (also when it was not there).
  bool Delete();

  const std::string& Path() const { return path_; }
  // Why the last Load or Save failed.
  const std::string& LastError() const { return error_; }

 private:
  std::string path_;
  std::string error_;
};
