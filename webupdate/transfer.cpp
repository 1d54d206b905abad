#include "webupdate/transfer.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <vector>

#include "platform/exception.h"
#include "platform/file.h"
#include "webupdate/info_file.h"

namespace lumivora::webupdate {
namespace {

// The information text is held in memory; a server that sends more than
// this is not sending an information file.
constexpr size_t kMaxInfoTextSize = size_t{16} * 1024 * 1024;

// The file of a download. Blocks are collected and written in larger pieces;
// whatever was received is on disk once the sink is gone, whichever way the
// transfer ended. Every body byte passes through Append, in order.
class FileSink {
 public:
  using Observer = std::function<void(std::span<const uint8_t>)>;

  // Raises EFCreateError when the file cannot be created, EFOpenError when
  // a resumed one cannot be opened. From OFFSET on when it is not 0.
  FileSink(const TransferRequest& request, uint64_t offset)
      : file_(OpenTarget(request, offset)), observer_(request.onBytes) {
    pending_.reserve(kPieceSize);
  }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  ~FileSink() {
    // A transfer that already ended (cancelled, failed) keeps its outcome;
    // the partial file simply stays shorter when this fails.
    static_cast<void>(Flush());
  }

  // The write error (a full disk...) when a piece could not be written.
  std::optional<std::string> Append(std::span<const uint8_t> bytes) {
    if (observer_) {
      observer_(bytes);
    }
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return pending_.size() >= kPieceSize ? Flush() : std::nullopt;
  }

  // Writes what is pending and closes the file.
  std::optional<std::string> Close() {
    std::optional<std::string> error = Flush();
    file_.Close();
    return error;
  }

 private:
  static constexpr size_t kPieceSize = size_t{64} * 1024;

  static platform::File OpenTarget(const TransferRequest& request, uint64_t offset) {
    using Mode = platform::File::Mode;
    if (offset > 0) {
      platform::File file = platform::File::Open(request.fileName, Mode::kReadWrite);
      file.Seek(static_cast<int64_t>(offset));
      return file;
    }
    if (request.privateFile) {
      platform::DeleteFile(request.fileName);
      return platform::File::Open(request.fileName, Mode::kCreateNew);
    }
    return platform::File::Open(request.fileName, Mode::kCreate);
  }

  std::optional<std::string> Flush() {
    if (pending_.empty() || !file_.IsOpen()) {
      return std::nullopt;
    }
    try {
      file_.Write(pending_.data(), pending_.size());
    } catch (const EStreamError& failure) {
      return failure.Message() + " (" + file_.Path() + ")";
    }
    pending_.clear();
    return std::nullopt;
  }

  platform::File file_;
  Observer observer_;
  std::vector<uint8_t> pending_;
};

// A failure reported through OnDownloadError: WHY, and what the transport
// knows about it.
TransferResult Failed(const std::string& why, const platform::HttpResponse& response) {
  const std::string detail = response.Error();
  return {TransferStatus::kFailed, detail.empty() ? why : why + ": " + detail};
}

// Takes the time a fetch took from the information budget, however it ends.
class BudgetUse {
 public:
  BudgetUse(std::optional<std::chrono::milliseconds>* budget,
            std::chrono::steady_clock::time_point started)
      : budget_(budget), started_(started) {}
  BudgetUse(const BudgetUse&) = delete;
  BudgetUse& operator=(const BudgetUse&) = delete;
  ~BudgetUse() {
    if (budget_ != nullptr && budget_->has_value()) {
      **budget_ -= std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - started_);
    }
  }

 private:
  std::optional<std::chrono::milliseconds>* budget_;
  std::chrono::steady_clock::time_point started_;
};

bool IsSuccessStatus(int status) {
  return status >= 200 && status <= 299;
}

constexpr int kPartialContent = 206;
constexpr int kNotModified = 304;
constexpr int kRangeNotSatisfiable = 416;

// The validator a later If-Range may name: a strong ETag, else the
// Last-Modified date (RFC 9110 13.1.5: a weak entity tag never).
std::string ValidatorOf(const platform::HttpResponse& response) {
  const std::optional<std::string> tag = response.Header("ETag");
  if (tag && !tag->empty() && !tag->starts_with("W/")) {
    return *tag;
  }
  return response.Header("Last-Modified").value_or(std::string());
}

// Whether a 206 answer's "Content-Range: bytes FIRST-LAST/TOTAL" is the rest
// of the file from FROM on, TOTAL being the signed size (when there is one)
// and the announced length the range's.
bool RangeFits(const platform::HttpResponse& response, uint64_t from,
               std::optional<uint64_t> expectedSize, std::optional<uint64_t> announced) {
  const std::string text = response.Header("Content-Range").value_or(std::string());
  const size_t dash = text.find('-');
  const size_t slash = text.find('/');
  if (!text.starts_with("bytes ") || dash == std::string::npos || slash == std::string::npos ||
      slash < dash) {
    return false;
  }
  const std::optional<int64_t> first = DecimalInt64(text.substr(6, dash - 6));
  const std::optional<int64_t> last = DecimalInt64(text.substr(dash + 1, slash - dash - 1));
  const std::optional<int64_t> total = DecimalInt64(text.substr(slash + 1));
  if (!first || !last || !total || *first < 0 || *last < *first || *total <= *last) {
    return false;
  }
  const auto size = static_cast<uint64_t>(*total);
  return static_cast<uint64_t>(*first) == from && static_cast<uint64_t>(*last) + 1 == size &&
         (!expectedSize || size == *expectedSize) && (!announced || *announced == size - from);
}

// A download asked from RESUMEFROM: whether the answer goes on there (206
// with the range asked for: OFFSET is set), starts the file afresh (200) or
// cannot be used (the transfer fails and the file must start over).
std::optional<TransferResult> CheckRange(const TransferRequest& request,
                                         const platform::HttpResponse& response,
                                         TransferOutcome& outcome) {
  const int status = response.StatusCode();
  if (status == kRangeNotSatisfiable ||
      (status == kPartialContent &&
       (request.resumeFrom == 0 ||
        !RangeFits(response, request.resumeFrom, request.expectedSize, outcome.announced)))) {
    outcome.startOver = true;
    return Failed("the range answer does not fit: HTTP status " + std::to_string(status) + " " +
                      response.Header("Content-Range").value_or(std::string()),
                  response);
  }
  if (status == kPartialContent) {
    outcome.offset = request.resumeFrom;
  }
  return std::nullopt;
}

}  // namespace

platform::TransferLimits DefaultTransferLimits(TransferMode mode) {
  platform::TransferLimits limits;
  limits.connect = std::chrono::seconds(60);
  limits.lowSpeedTime = std::chrono::seconds(60);
  if (mode == TransferMode::kFetchToMemory) {
    limits.overall = std::chrono::minutes(2);
    limits.lowSpeedBytesPerSecond = 1;
  } else {
    limits.overall = std::chrono::milliseconds(0);
    limits.lowSpeedBytesPerSecond = 1024;
  }
  return limits;
}

namespace {

// The response's status and length; ANNOUNCED is set to its Content-Length.
// Succeeded when the body may be read.
TransferResult CheckResponse(const TransferRequest& request, const platform::HttpResponse& response,
                             TransferOutcome& outcome) {
  const std::optional<std::string> contentLength = response.ContentLength();
  const bool haveLength = contentLength && contentLength->size() < kContentLengthBufferSize;
  if (!haveLength && request.mode == TransferMode::kDownloadToFile) {
    return Failed("no Content-Length in the response", response);
  }
  if (haveLength) {
    const std::optional<int64_t> total = DecimalInt64(*contentLength);
    if (!total || *total < 0) {
      return {TransferStatus::kAbandoned, "Content-Length is not a number"};
    }
    outcome.announced = static_cast<uint64_t>(*total);
  }
  if (request.mode == TransferMode::kDownloadToFile) {
    if (std::optional<TransferResult> refused = CheckRange(request, response, outcome)) {
      return *refused;
    }
    outcome.validator = ValidatorOf(response);
  }
  // An error page (or no response at all) is never the information text or
  // the new file.
  const int status = response.StatusCode();
  if (status == 0) {
    return Failed("no response", response);
  }
  if (!IsSuccessStatus(status)) {
    return Failed("HTTP status " + std::to_string(status), response);
  }
  // A server that announces another file than the signed one is not sending
  // it: nothing of its body is written (a range was checked above).
  if (request.mode == TransferMode::kDownloadToFile && request.expectedSize &&
      outcome.offset == 0 && outcome.announced != request.expectedSize) {
    // Said as a download of the wrong size is said once it is whole.
    outcome.refusal = platform::Result::Failure("The download has " + *contentLength +
                                                " bytes, but the signed release has " +
                                                std::to_string(*request.expectedSize) + ".");
    return Failed("Content-Length " + *contentLength + " is not the signed size " +
                      std::to_string(*request.expectedSize),
                  response);
  }
  return {};
}

// Appends one block of the body to the file or the text; the error, if any.
std::optional<TransferResult> KeepBlock(std::optional<FileSink>& file, std::string& text,
                                        std::span<const uint8_t> received) {
  if (file) {
    if (const std::optional<std::string> error = file->Append(received)) {
      return TransferResult{TransferStatus::kFailed, *error};
    }
  } else {
    if (text.size() + received.size() > kMaxInfoTextSize) {
      return TransferResult{TransferStatus::kFailed, "information file larger than 16 MiB"};
    }
    text.append(reinterpret_cast<const char*>(received.data()), received.size());
  }
  return std::nullopt;
}

// The body, never more than the announced bytes of it.
TransferResult ReadBody(const TransferContext& context, const TransferRequest& request,
                        platform::HttpResponse& response, TransferOutcome& outcome) {
  outcome.bodyRead = true;
  std::optional<FileSink> file;
  if (request.mode == TransferMode::kDownloadToFile) {
    if (request.onBodyStart) {
      request.onBodyStart(outcome.offset, outcome.validator);
    }
    try {
      file.emplace(request, outcome.offset);
    } catch (const EStreamError& error) {
      return {TransferStatus::kAbandoned, error.Message()};
    }
  }
  const std::optional<uint64_t> announced = outcome.announced;
  std::array<uint8_t, kReadBlockSize> block{};
  for (;;) {
    if (context.cancelled != nullptr && *context.cancelled) {
      return {TransferStatus::kCancelled, "cancelled"};
    }
    outcome.lastRead = static_cast<uint32_t>(response.Read(block));
    if (outcome.lastRead == 0) {
      break;
    }
    const std::span<const uint8_t> received(block.data(), outcome.lastRead);
    // A body longer than its Content-Length (a chunked one may be) ends the
    // transfer at its first excess byte, before that block is kept.
    if (announced && received.size() > *announced - outcome.received) {
      return Failed("more than the announced " + std::to_string(*announced) + " bytes", response);
    }
    if (std::optional<TransferResult> error = KeepBlock(file, outcome.text, received)) {
      return *error;
    }
    outcome.received += outcome.lastRead;
    if (context.onBlock) {
      context.onBlock(outcome);
    }
  }
  if (response.LimitPassed()) {
    outcome.cut = true;
    return Failed("transfer given up", response);
  }
  if (!file) {
    return outcome.received != 0 ? TransferResult{} : Failed("empty response", response);
  }
  if (const std::optional<std::string> error = file->Close()) {
    return {TransferStatus::kFailed, *error};
  }
  if (outcome.received != announced) {
    outcome.cut = true;
    return Failed("received " + std::to_string(outcome.received) + " of " +
                      std::to_string(announced.value_or(0)) + " bytes",
                  response);
  }
  return {};
}

// NAME VALUE as a header line of HTTP, unless VALUE is empty or cannot go on
// the wire (then the file is simply asked without that condition).
void AddCondition(platform::HttpRequest& http, const char* name, const std::string& value) {
  const std::string line = name + value;
  if (!value.empty() && platform::UsableHeaderLine(line)) {
    http.headers.push_back(line);
  }
}

// Whether REQUEST is an information file's, asked on a condition.
bool Conditional(const TransferRequest& request) {
  return request.mode == TransferMode::kFetchToMemory &&
         (!request.ifNoneMatch.empty() || !request.ifModifiedSince.empty());
}

// The request on the wire: the component's fixed values, the credentials and
// the limits (an information file within what is left of its budget).
std::optional<platform::HttpRequest> WireRequest(const TransferContext& context,
                                                 const TransferRequest& request,
                                                 TransferResult& refused) {
  const UrlParts parts = SplitUrl(request.url);
  if (parts.port < 0 || parts.port > 65535) {
    refused = {TransferStatus::kAbandoned, "port out of range"};
    return std::nullopt;
  }
  platform::HttpRequest http;
  http.secure = parts.secure;
  http.hostName = parts.hostName;
  http.port = parts.port;
  http.path = parts.path;
  http.userName = context.userName;
  http.password = context.password;
  http.userAgent = kUserAgent;
  http.referrer = kReferrer;
  http.accept = kAcceptTypes;
  http.http10 = true;
  http.reload = true;
  http.maxRedirections = kMaxHttpRedirections;
  http.limits = request.limits.value_or(context.limitsRule(request.mode));
  const std::string condition = "If-Range: " + request.validator;
  // A validator that cannot go on the wire asks for no range: the whole file.
  if (request.mode == TransferMode::kDownloadToFile && request.resumeFrom > 0 &&
      (request.validator.empty() || platform::UsableHeaderLine(condition))) {
    http.headers.push_back("Range: bytes=" + std::to_string(request.resumeFrom) + "-");
    if (!request.validator.empty()) {
      http.headers.push_back(condition);
    }
  }
  if (request.mode == TransferMode::kFetchToMemory) {
    AddCondition(http, "If-None-Match: ", request.ifNoneMatch);
    AddCondition(http, "If-Modified-Since: ", request.ifModifiedSince);
  }
  const std::optional<std::chrono::milliseconds>* budget = context.infoBudget;
  if (request.mode == TransferMode::kFetchToMemory && budget != nullptr && budget->has_value()) {
    if ((*budget)->count() <= 0) {
      refused = {TransferStatus::kFailed, "the time for information files has been used up"};
      return std::nullopt;
    }
    http.limits.overall =
        http.limits.overall.count() == 0 ? **budget : std::min(http.limits.overall, **budget);
  }
  return http;
}

}  // namespace

TransferOutcome RunTransfer(const TransferContext& context, const TransferRequest& request) {
  const BudgetUse budgetUse(
      request.mode == TransferMode::kFetchToMemory ? context.infoBudget : nullptr,
      std::chrono::steady_clock::now());
  TransferOutcome outcome;
  const std::optional<platform::HttpRequest> http = WireRequest(context, request, outcome.result);
  if (!http) {
    return outcome;
  }
  const std::unique_ptr<platform::HttpResponse> response = context.transport.Get(*http);
  if (context.cancelled != nullptr && *context.cancelled) {
    outcome.result = {TransferStatus::kCancelled, "cancelled"};
    return outcome;
  }
  if (request.mode == TransferMode::kFetchToMemory) {
    outcome.etag = response->Header("ETag").value_or(std::string());
    outcome.lastModified = response->Header("Last-Modified").value_or(std::string());
    // Unchanged since the validators asked on: nothing is read. A 304 to a
    // request without a condition stays an error.
    if (Conditional(request) && response->StatusCode() == kNotModified) {
      outcome.notModified = true;
      return outcome;
    }
  }
  outcome.result = CheckResponse(request, *response, outcome);
  if (outcome.result.Succeeded()) {
    outcome.result = ReadBody(context, request, *response, outcome);
  }
  if (!outcome.result.Succeeded()) {
    outcome.text.clear();
  }
  return outcome;
}

}  // namespace lumivora::webupdate
