// The two network steps of an update as values: fetching an offer (the
// information file, its "RedirectionURL" hops and the verified statement) and
// downloading the offered file (its size and SHA-256 checked against the
// statement). Each returns what it found; nothing is kept between calls.
// TWebUpdate runs them with its events; a caller without events passes a
// fetcher that calls RunTransfer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "webupdate/info_file.h"
#include "webupdate/partial_store.h"
#include "webupdate/release_signature.h"
#include "webupdate/sha256.h"
#include "webupdate/transfer.h"

namespace lumivora::webupdate {

// "RedirectionURL" hops of the information file followed within one check.
inline constexpr int kMaxInfoRedirections = 10;

// Runs one transfer (RunTransfer, or an owner's transfer with its events).
using Fetcher = std::function<TransferOutcome(const TransferRequest& request)>;

// What a fetch of the information file found.
struct InfoFetch {
  // The last transfer of the chain.
  TransferResult transfer;
  // The values of the last file read, if any was; with an empty
  // redirectionUrl when the chain ended at it.
  std::optional<UpdateInfo> info;
  // Its text.
  std::string text;
  // The first address answered 304 to the condition: the file is the one
  // the condition's validators name, and nothing was read.
  bool notModified = false;
  // The first file's address and validators when the chain ended at it (a
  // chain with hops is never asked on a condition: a later file may change
  // while the first stays).
  InfoValidator validator;
  // True when the chain ended at a file within kMaxInfoRedirections hops.
  [[nodiscard]] bool Complete() const {
    return transfer.Succeeded() && info && info->redirectionUrl.empty();
  }
};

// Fetches the information file at URL and follows its "RedirectionURL" hops;
// the first address is asked on CONDITION's validators, when it has any.
InfoFetch FetchInfo(const Fetcher& fetch, const std::string& url,
                    const InfoValidator& condition = {});

// A kept statement whose expiry is this close is fetched in full, so that the
// vendor's refreshed one arrives before it passes.
inline constexpr int64_t kFreshValidatorMargin = int64_t{24} * 60 * 60;
// The condition a check's first information file at URL is asked on: KEPT,
// unless it has no validator, is of another address or installed version,
// its statement's expiry is within kFreshValidatorMargin of TRUST's time or
// passed (or it has none while TRUST requires fresh statements), or a
// partial download is kept (PARTIAL); else none.
InfoValidator InfoCondition(const InfoValidator& kept, const std::string& url,
                            const std::string& installed, const ReleaseTrust& trust, bool partial);

// The statement of an information file checked against TRUST.
struct OfferVerdict {
  platform::Result result;                  // a failure: why the offer may not be taken
  std::optional<ReleaseStatement> release;  // the signed release (trust enabled)
  std::optional<uint64_t> serial;           // the signing certificate's serial
};
// Checks TEXT's statement for VERSION; an offer is always taken when TRUST
// holds no root keys.
OfferVerdict VerifyOffer(const ReleaseTrust& trust, const std::string& text,
                         const std::string& version);

// A download of the offered file into FILENAME.
struct DownloadResult {
  TransferResult transfer;
  // Size and SHA-256 of what was written, when the transfer succeeded.
  std::optional<std::pair<uint64_t, Sha256Digest>> digest;
  // The transfer's body ended early (a range may go on), or its range
  // answer could not be used (the file starts over).
  bool cut = false;
  bool startOver = false;
};
// Downloads URL to FILENAME, computing size and SHA-256 as the bytes go to
// the file; with RELEASE, a Content-Length other than its size is refused.
DownloadResult DownloadFile(const Fetcher& fetch, const std::string& url,
                            const std::string& fileName,
                            const std::optional<ReleaseStatement>& release);
// The same going on from POINT: the bytes already in FILENAME are asked no
// more (a range with If-Range on POINT's validator) and are hashed from the
// file first; a 200 answer starts the file and the hash afresh. POINT is left
// where the file stands afterwards; ONVALIDATOR sees it when a response's
// body begins. A file that already has RELEASE's size is only hashed. With
// PRIVATEFILE, a file started afresh is the user's only.
struct ResumeTarget {
  std::string fileName;
  std::optional<ReleaseStatement> release;
  bool privateFile = false;
  std::function<void(const ResumePoint& point)> onValidator;
};
DownloadResult ResumeFile(const Fetcher& fetch, const std::string& url, const ResumeTarget& target,
                          ResumePoint& point);
// Whether DOWNLOAD is the signed RELEASE, and why not; success when nothing
// is trusted (TRUSTED false).
platform::Result DownloadProblem(bool trusted, const std::optional<ReleaseStatement>& release,
                                 const DownloadResult& download);

// The addresses of the offered file in the order they are tried: "URL",
// then its mirrors.
std::vector<std::string> DownloadAddresses(const std::string& url,
                                           const std::vector<std::string>& mirrors);

// What a download over several addresses checks each file against, and the
// owner's work around each attempt (events, progress): the attempt's
// position in the list and whether it is the last.
struct AddressedDownload {
  std::string fileName;
  bool trusted = false;
  std::optional<ReleaseStatement> release;
  std::function<void(size_t attempt, bool last)> before;
  std::function<void(size_t attempt, bool last)> after;
  // A partial kept across starts (PartialStore): the download goes on from
  // it, the file of a cut transfer is kept for the next address, and each
  // new validator is recorded through RECORD. None: the file is new.
  std::optional<ResumePoint> resume;
  std::function<void(const ResumePoint& point)> record;
  // The pauses before the retries of a cut transfer at the same address,
  // each going on from the bytes received; PAUSE waits one (false: the wait
  // was cancelled, and so is the download).
  std::vector<std::chrono::milliseconds> retryPauses = DefaultRetryPauses();
  std::function<bool(std::chrono::milliseconds wait)> pause;

  static std::vector<std::chrono::milliseconds> DefaultRetryPauses() {
    return {std::chrono::seconds(1), std::chrono::seconds(2), std::chrono::seconds(4)};
  }
};
// Downloads the file from ADDRESSES in order (ResumeFile for each, between
// BEFORE and AFTER) until one attempt is not to be left for the next
// address. Within an attempt, a cut or stalled body is retried with a range
// after each of the retry pauses, and a range answer that cannot be used
// starts the file over once. An attempt whose transfer failed (kFailed: no
// response, an error page, a size other than the announced or the signed
// one, a body still cut) or whose file is not the signed release
// (DownloadProblem) is left for the next address: a refused file is deleted,
// and so is a failed one unless it is a kept partial. A cancelled or
// abandoned transfer, a good file and the last address end the list. Returns
// the last attempt's result, so that a single address behaves as
// DownloadFile.
DownloadResult DownloadFromAddresses(const Fetcher& fetch,
                                     const std::vector<std::string>& addresses,
                                     const AddressedDownload& download);

}  // namespace lumivora::webupdate
