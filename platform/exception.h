// The error base of every component: an error object that carries a message
// text. Components derive their own classes (EBadZipFile, ECipher, ...) so
// that callers can tell failure kinds apart; the message is shown to the user
// unchanged, so it is kept byte for byte as raised.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace lumivora {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
  [[nodiscard]] const std::string& Message() const noexcept { return message_; }
  // The class name as the uncaught-error report shows it.
  [[nodiscard]] virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

// Declares an error class derived from BASE whose ClassName() is its own name.
// NAME and BASE are class names, which cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define LUMIVORA_DECLARE_EXCEPTION(NAME, BASE)                                      \
  class NAME : public BASE {                                                        \
   public:                                                                          \
    using BASE::BASE;                                                               \
    [[nodiscard]] const char* ClassName() const noexcept override { return #NAME; } \
  }
// NOLINTEND(bugprone-macro-parentheses)

// Errors of the file layer (stream creation, reads and writes).
LUMIVORA_DECLARE_EXCEPTION(EStreamError, Exception);
LUMIVORA_DECLARE_EXCEPTION(EFCreateError, EStreamError);
LUMIVORA_DECLARE_EXCEPTION(EFOpenError, EStreamError);
LUMIVORA_DECLARE_EXCEPTION(EReadError, EStreamError);
LUMIVORA_DECLARE_EXCEPTION(EWriteError, EStreamError);
// Errors raised by operating-system services (folders, profile files).
LUMIVORA_DECLARE_EXCEPTION(EOSError, Exception);

}  // namespace lumivora
