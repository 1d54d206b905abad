// How an operation inside the program's layers tells its caller that it
// failed. The described components raise their exception classes with their
// messages at their own surfaces; inside, every check returns a Result:
// success, or a failure with its reason, a sentence for the user or for the
// record (empty only where the caller's own sentence says it all). A failure
// that comes in kinds carries its kind beside the Result (a transfer's
// status, a decoder's fault).
#pragma once

#include <string>
#include <utility>

namespace lumivora::platform {

class [[nodiscard]] Result {
 public:
  Result() = default;  // success
  static Result Failure(std::string reason) {
    Result failure;
    failure.failed_ = true;
    failure.reason_ = std::move(reason);
    return failure;
  }
  [[nodiscard]] bool Ok() const { return !failed_; }
  [[nodiscard]] const std::string& Reason() const { return reason_; }
  bool operator==(const Result&) const = default;

 private:
  bool failed_ = false;
  std::string reason_;
};

}  // namespace lumivora::platform
