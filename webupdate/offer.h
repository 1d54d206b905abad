// The two network steps of an update as values: fetching an offer (the
// information file, its "RedirectionURL" hops and the verified statement) and
// downloading the offered file (its size and SHA-256 checked against the
// statement). Each returns what it found; nothing is kept between calls.
// TWebUpdate runs them with its events; a caller without events passes a
// fetcher that calls RunTransfer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "webupdate/info_file.h"
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
  // True when the chain ended at a file within kMaxInfoRedirections hops.
  [[nodiscard]] bool Complete() const {
    return transfer.Succeeded() && info && info->redirectionUrl.empty();
  }
};

// Fetches the information file at URL and follows its "RedirectionURL" hops.
InfoFetch FetchInfo(const Fetcher& fetch, const std::string& url);

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
};
// Downloads URL to FILENAME, computing size and SHA-256 as the bytes go to
// the file; with RELEASE, a Content-Length other than its size is refused.
DownloadResult DownloadFile(const Fetcher& fetch, const std::string& url,
                            const std::string& fileName,
                            const std::optional<ReleaseStatement>& release);
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
};
// Downloads the file from ADDRESSES in order (DownloadFile for each, between
// BEFORE and AFTER) until one attempt is not to be left for the next
// address: an attempt whose transfer failed (kFailed: no response, an error
// page, a size other than the announced or the signed one, a cut or stalled
// body) or whose file is not the signed release (DownloadProblem) has its
// file deleted and the next address is tried; a cancelled or abandoned
// transfer, a good file and the last address end the list. Returns the last
// attempt's result, so that a single address behaves as DownloadFile.
DownloadResult DownloadFromAddresses(const Fetcher& fetch,
                                     const std::vector<std::string>& addresses,
                                     const AddressedDownload& download);

}  // namespace lumivora::webupdate
