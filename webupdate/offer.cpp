#include "webupdate/offer.h"

#include <span>

#include "platform/file.h"

namespace lumivora::webupdate {

InfoFetch FetchInfo(const Fetcher& fetch, const std::string& url) {
  InfoFetch found;
  std::string address = url;
  for (int hops = 0;; ++hops) {
    if (hops > kMaxInfoRedirections) {
      // A chain that does not end (a file naming itself, a cycle): no
      // information.
      found.transfer = {TransferStatus::kFailed, "too many redirections"};
      return found;
    }
    TransferOutcome outcome = fetch(TransferRequest::Fetch(address));
    found.transfer = outcome.result;
    if (!outcome.result.Succeeded()) {
      return found;
    }
    found.info = ReadUpdateInfo(outcome.text);
    found.text = std::move(outcome.text);
    if (found.info->redirectionUrl.empty()) {
      return found;
    }
    address = found.info->redirectionUrl;
  }
}

OfferVerdict VerifyOffer(const ReleaseTrust& trust, const std::string& text,
                         const std::string& version) {
  OfferVerdict verdict;
  if (!trust.Enabled()) {
    return verdict;
  }
  const ReleaseVerdict checked = VerifyRelease(trust, text, version);
  if (!checked.result.Ok()) {
    verdict.result = checked.result;
    return verdict;
  }
  verdict.release = checked.statement;
  verdict.serial = checked.serial;
  return verdict;
}

DownloadResult DownloadFile(const Fetcher& fetch, const std::string& url,
                            const std::string& fileName,
                            const std::optional<ReleaseStatement>& release) {
  // Size and SHA-256 are computed as the bytes go to the file (on a worker
  // thread, beside the transfer): no second read, and no copy in memory.
  Sha256Pipeline hash;
  TransferRequest request = TransferRequest::Download(url, fileName);
  request.onBytes = [&hash](std::span<const uint8_t> bytes) { hash.Update(bytes); };
  if (release) {
    request.expectedSize = release->size;
  }
  DownloadResult download{fetch(request).result, std::nullopt};
  if (download.transfer.Succeeded()) {
    download.digest = hash.Finish();
  }
  return download;
}

platform::Result DownloadProblem(bool trusted, const std::optional<ReleaseStatement>& release,
                                 const DownloadResult& download) {
  if (!trusted) {
    return {};
  }
  if (!release || !download.digest) {
    return platform::Result::Failure("The download was not checked against a signed release.");
  }
  return DownloadMismatch(*release, download.digest->first, download.digest->second);
}

std::vector<std::string> DownloadAddresses(const std::string& url,
                                           const std::vector<std::string>& mirrors) {
  std::vector<std::string> addresses = {url};
  addresses.insert(addresses.end(), mirrors.begin(), mirrors.end());
  return addresses;
}

DownloadResult DownloadFromAddresses(const Fetcher& fetch,
                                     const std::vector<std::string>& addresses,
                                     const AddressedDownload& download) {
  DownloadResult result{{TransferStatus::kAbandoned, "no download address"}, std::nullopt};
  for (size_t attempt = 0; attempt < addresses.size(); ++attempt) {
    const bool last = attempt + 1 == addresses.size();
    if (download.before) {
      download.before(attempt, last);
    }
    result = DownloadFile(fetch, addresses[attempt], download.fileName, download.release);
    if (download.after) {
      download.after(attempt, last);
    }
    // The signature pins the content: a mirror is as good as the first
    // address when its file is the signed one, and worth nothing otherwise.
    const bool failed = result.transfer.status == TransferStatus::kFailed;
    const bool refused = result.transfer.Succeeded() &&
                         !DownloadProblem(download.trusted, download.release, result).Ok();
    if (last || (!failed && !refused)) {
      break;
    }
    platform::DeleteFile(download.fileName);
  }
  return result;
}

}  // namespace lumivora::webupdate
