// One GET of the update component, as a value: the request's fixed values
// and limits, the checks on the response, and the body read block by block
// into memory or into a file. Nothing is kept between two transfers; what a
// transfer found (the status, the announced length, the bytes received, the
// body of an information file) is its returned outcome.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/http.h"
#include "platform/result.h"

namespace lumivora::webupdate {

// Fixed values of every request the component sends.
inline constexpr const char* kUserAgent = "TWebUpdate";
inline constexpr const char* kReferrer = "I am a FReferer";
inline constexpr const char* kAcceptTypes = "Accept: */*";
// Bytes read per block of a transfer; each block is reported.
inline constexpr size_t kReadBlockSize = 1025;
// The Content-Length value is read into a buffer of this size (with its NUL).
inline constexpr size_t kContentLengthBufferSize = 1024;
// Redirections the transport follows within one transfer.
inline constexpr int kMaxHttpRedirections = 10;
// The two kinds of transfer.
enum class TransferMode {
  // The update information file: the body is kept in memory; a response
  // without Content-Length is read to its end.
  kFetchToMemory,
  // The new file: a Content-Length is required and the body goes to a file,
  // which is complete exactly when the byte count matches it.
  kDownloadToFile,
};

// How a transfer ended.
enum class TransferStatus {
  kSucceeded,
  kCancelled,  // the cancel flag was set; no error event
  kFailed,     // reported through the component's OnDownloadError
  // Ended without an error event, as the transfer's callers expect of an
  // address whose port is out of range, a Content-Length that is not a
  // number, a local file that cannot be created, and an error raised by an
  // event handler.
  kAbandoned,
};

struct TransferResult {
  TransferStatus status = TransferStatus::kSucceeded;
  std::string reason;  // why it did not succeed; empty when it did
  [[nodiscard]] bool Succeeded() const { return status == TransferStatus::kSucceeded; }
};

// One GET of the component.
struct TransferRequest {
  TransferMode mode = TransferMode::kFetchToMemory;
  std::string url;
  std::string fileName;  // kDownloadToFile: the local file, created or replaced
  // When to give up; the context's rule for the mode when not set.
  std::optional<platform::TransferLimits> limits;
  // kDownloadToFile: sees every body byte, in order, as it goes to the file.
  std::function<void(std::span<const uint8_t> bytes)> onBytes;
  // kDownloadToFile: the signed size of the file. A Content-Length other than
  // it is refused before any body byte is written.
  std::optional<uint64_t> expectedSize;
  // kDownloadToFile, resuming: the file already holds this many bytes, and
  // only the rest is asked for ("Range: bytes=N-", RFC 9110 14.2), on the
  // condition that the file is still the one VALIDATOR (its ETag or
  // Last-Modified) names ("If-Range", 13.1.5). A 206 answer goes on at byte
  // N; a 200 answer (range ignored, or the file changed) is the whole file
  // and the file starts afresh.
  uint64_t resumeFrom = 0;
  std::string validator;
  // kDownloadToFile: a file started afresh is made readable by its user
  // only (whatever was at the path is deleted first).
  bool privateFile = false;
  // kDownloadToFile: once the response is accepted, before the first body
  // byte: where in the file the body goes (0: the whole file, afresh) and
  // the response's validator.
  std::function<void(uint64_t from, const std::string& validator)> onBodyStart;
  // kFetchToMemory: asked on the condition that the file changed since the
  // validators of an earlier fetch (RFC 9110 13.1.2 If-None-Match, 13.1.3
  // If-Modified-Since; empty: not sent). A 304 answer is then success with
  // no body, and notModified set.
  std::string ifNoneMatch;
  std::string ifModifiedSince;

  static TransferRequest Fetch(std::string url) {
    TransferRequest request;
    request.url = std::move(url);
    return request;
  }
  static TransferRequest Download(std::string url, std::string fileName) {
    TransferRequest request;
    request.mode = TransferMode::kDownloadToFile;
    request.url = std::move(url);
    request.fileName = std::move(fileName);
    return request;
  }
};

// What one transfer found. The counts are 64-bit whatever the size.
struct TransferOutcome {
  TransferResult result;
  // The response's Content-Length, when it had a usable one.
  std::optional<uint64_t> announced;
  // Whether the body was read (the response was accepted), the body bytes
  // received, and the size of the last read (0 once the body ended).
  bool bodyRead = false;
  uint64_t received = 0;
  uint32_t lastRead = 0;
  // kFetchToMemory: the body when the transfer succeeded.
  std::string text;
  // For the user: a server that announced another size than the signed one.
  platform::Result refusal;
  // kDownloadToFile: the position in the file where this body began (the
  // resumed bytes before it), and the response's validator: its ETag when
  // strong, else its Last-Modified (empty: none).
  uint64_t offset = 0;
  std::string validator;
  // The accepted body ended early (the connection dropped or stalled): what
  // arrived is on disk and a range request may go on from it.
  bool cut = false;
  // A range answer that cannot be used (416, or a Content-Range other than
  // the one asked for with the signed size): the file must start afresh.
  bool startOver = false;
  // kFetchToMemory: the response's ETag and Last-Modified (empty: none), and
  // whether it was a 304 to a conditional request.
  std::string etag;
  std::string lastModified;
  bool notModified = false;
};

// A server that cannot be reached, stops sending or only trickles does not
// hold the dialog: the information file must arrive within 2 minutes, and a
// download that gets less than 1 KiB/s for 60 seconds is given up.
platform::TransferLimits DefaultTransferLimits(TransferMode mode);
// The limits of each kind of transfer the component runs itself.
using TransferLimitsRule = platform::TransferLimits (*)(TransferMode mode);

// What a transfer works with; all of it outlives the call.
struct TransferContext {
  platform::HttpTransport& transport;
  std::string userName;
  std::string password;
  TransferLimitsRule limitsRule = DefaultTransferLimits;
  // The time information files may still take together (redirections and
  // further checks included); each fetch uses up what it took. None: no
  // limit.
  std::optional<std::chrono::milliseconds>* infoBudget = nullptr;
  // Set by a Cancel; checked after the response arrives and before each block.
  const bool* cancelled = nullptr;
  // After each block of the body: the outcome so far (the owner shows
  // progress and processes pending messages). May raise, which ends the
  // transfer and leaves RunTransfer.
  std::function<void(const TransferOutcome& sofar)> onBlock;
};

// Runs REQUEST to its end.
TransferOutcome RunTransfer(const TransferContext& context, const TransferRequest& request);

}  // namespace lumivora::webupdate
