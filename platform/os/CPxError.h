#pragma once
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

// An error value of the utility layer: a code (0 success, negative an error) and optional details
// shared by copies.
class CPxError {
 public:
  struct Details {
    std::string text;      // readable description
    int32_t vsCode = 0;    // error code of the VM-information / disk layer, 0 when none
  };

  CPxError() = default;
  explicit CPxError(int32_t code) : code_(code) {}
  CPxError(int32_t code, const std::string& text, int32_t vsCode = 0)
      : code_(code), details_(std::make_shared<Details>(Details{text, vsCode})) {}

  static CPxError Success() { return CPxError(); }

  int32_t GetErrorCode() const { return code_; }
  bool IsError() const { return code_ < 0; }
  bool IsSuccess() const { return code_ >= 0; }
  std::string GetText() const { return details_ ? details_->text : std::string(); }
  int32_t GetVSCode() const { return details_ ? details_->vsCode : 0; }
  const std::shared_ptr<Details>& GetDetails() const { return details_; }
  // Readable form for logs: the text when there is one, else the code.
  std::string AsString() const {
    if (details_ && !details_->text.empty()) return details_->text;
    char text[32];
    std::snprintf(text, sizeof(text), "error %d", static_cast<int>(code_));
    return code_ == 0 ? std::string("success") : std::string(text);
  }
  // The error of a failed system call: code -errno, text "what: <system text>".
  static CPxError FromErrno(int err, const std::string& what) {
    return CPxError(-(err != 0 ? err : EIO), what + ": " + std::strerror(err != 0 ? err : EIO));
  }

 private:
  int32_t code_ = 0;
  std::shared_ptr<Details> details_;
};

namespace FXErrorUtil {
// True when the error carries the given code of the VM-information / disk layer.
inline bool IsVS(const CPxError& error, int32_t vsCode) { return error.GetVSCode() == vsCode; }
// The code of the VM-information / disk layer the error carries, 0 when none.
inline int32_t GetVS(const CPxError& error) { return error.GetVSCode(); }
// True when the error is that of a failed system call with the given error number (see FromErrno).
inline bool IsErrNo(const CPxError& error, int err) { return err > 0 && error.GetErrorCode() == -err; }
}  // namespace FXErrorUtil
