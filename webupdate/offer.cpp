#include "webupdate/offer.h"

#include <algorithm>
#include <array>
#include <span>

#include "platform/exception.h"
#include "platform/file.h"

namespace lumivora::webupdate {

InfoFetch FetchInfo(const Fetcher& fetch, const std::string& url, const InfoValidator& condition) {
  InfoFetch found;
  std::string address = url;
  for (int hops = 0;; ++hops) {
    if (hops > kMaxInfoRedirections) {
      // A chain that does not end (a file naming itself, a cycle): no
      // information.
      found.transfer = {TransferStatus::kFailed, "too many redirections"};
      return found;
    }
    TransferRequest request = TransferRequest::Fetch(address);
    if (hops == 0) {
      request.ifNoneMatch = condition.etag;
      request.ifModifiedSince = condition.lastModified;
    }
    TransferOutcome outcome = fetch(request);
    found.transfer = outcome.result;
    found.notModified = outcome.notModified && outcome.result.Succeeded();
    if (!outcome.result.Succeeded() || found.notModified) {
      return found;
    }
    found.info = ReadUpdateInfo(outcome.text);
    found.text = std::move(outcome.text);
    if (found.info->redirectionUrl.empty()) {
      if (hops == 0) {
        found.validator = {address, outcome.etag, outcome.lastModified, "", 0};
      }
      return found;
    }
    address = found.info->redirectionUrl;
  }
}

InfoValidator InfoCondition(const InfoValidator& kept, const std::string& url,
                            const std::string& installed, const ReleaseTrust& trust, bool partial) {
  const bool expiring = kept.expires != 0 && kept.expires - kFreshValidatorMargin <= trust.now;
  if (kept.Empty() || kept.address != url || kept.installed != installed || expiring ||
      (trust.requireFresh && kept.expires == 0) || partial) {
    return {};
  }
  return kept;
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
  ResumePoint point;
  return ResumeFile(fetch, url, {fileName, release, false, nullptr}, point);
}

namespace {

// The first COUNT bytes of FILENAME into HASH; false when the file is shorter
// or cannot be read.
bool HashPrefix(const std::string& fileName, uint64_t count, Sha256Pipeline& hash) {
  try {
    platform::File file = platform::File::Open(fileName, platform::File::Mode::kRead);
    std::array<uint8_t, size_t{64} * 1024> buffer{};
    while (count > 0) {
      const size_t n =
          file.Read(buffer.data(), static_cast<size_t>(std::min<uint64_t>(count, buffer.size())));
      if (n == 0) {
        return false;
      }
      hash.Update({buffer.data(), n});
      count -= n;
    }
  } catch (const Exception&) {
    return false;
  }
  return true;
}

// A file that already holds RELEASE's size: its digest, without a transfer.
DownloadResult HashWholeFile(const std::string& fileName, uint64_t size) {
  Sha256Pipeline hash;
  if (!HashPrefix(fileName, size, hash)) {
    return {{TransferStatus::kFailed, "cannot read " + fileName}, std::nullopt, false, true};
  }
  return {{}, hash.Finish()};
}

}  // namespace

DownloadResult ResumeFile(const Fetcher& fetch, const std::string& url, const ResumeTarget& target,
                          ResumePoint& point) {
  if (target.release && point.have >= target.release->size) {
    if (point.have == target.release->size) {
      return HashWholeFile(target.fileName, point.have);
    }
    point = {};  // larger than the signed file: worth nothing
  }
  // Size and SHA-256 are computed as the bytes go to the file (on a worker
  // thread, beside the transfer): no second read of what arrives, and no
  // copy in memory. A resumed file's bytes on disk are hashed first.
  std::optional<Sha256Pipeline> hash;
  bool prefixRead = true;
  TransferRequest request = TransferRequest::Download(url, target.fileName);
  request.resumeFrom = point.have;
  request.validator = point.validator;
  request.privateFile = target.privateFile;
  request.onBodyStart = [&](uint64_t from, const std::string& validator) {
    hash.reset();
    hash.emplace();
    prefixRead = from == 0 || HashPrefix(target.fileName, from, *hash);
    point = {from, validator};
    if (target.onValidator) {
      target.onValidator(point);
    }
  };
  request.onBytes = [&hash](std::span<const uint8_t> bytes) { hash->Update(bytes); };
  if (target.release) {
    request.expectedSize = target.release->size;
  }
  const TransferOutcome outcome = fetch(request);
  DownloadResult download{outcome.result, std::nullopt, outcome.cut, outcome.startOver};
  if (outcome.bodyRead) {
    const std::optional<int64_t> size = platform::FileSize(target.fileName);
    point.have = size ? static_cast<uint64_t>(*size) : 0;
  }
  if (download.transfer.Succeeded() && hash) {
    download.digest = hash->Finish();
    if (!prefixRead) {
      download.digest->second = {};  // what was on disk could not be read: not the release
    }
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

namespace {

// One address: a cut body retried with a range after each pause, a range
// answer that cannot be used started over once.
DownloadResult DownloadFromAddress(const Fetcher& fetch, const std::string& url,
                                   const AddressedDownload& download, const ResumeTarget& target,
                                   ResumePoint& point) {
  bool startedOver = false;
  for (size_t retry = 0;; ++retry) {
    DownloadResult result = ResumeFile(fetch, url, target, point);
    if (result.startOver && !startedOver) {
      startedOver = true;
      platform::DeleteFile(target.fileName);
      point = {};
      continue;
    }
    if (!result.cut || retry >= download.retryPauses.size()) {
      return result;
    }
    if (download.pause && !download.pause(download.retryPauses[retry])) {
      result.transfer = {TransferStatus::kCancelled, "cancelled"};
      return result;
    }
  }
}

}  // namespace

DownloadResult DownloadFromAddresses(const Fetcher& fetch,
                                     const std::vector<std::string>& addresses,
                                     const AddressedDownload& download) {
  DownloadResult result{{TransferStatus::kAbandoned, "no download address"}, std::nullopt};
  const bool kept = download.resume.has_value();
  ResumePoint point = download.resume.value_or(ResumePoint{});
  const ResumeTarget target{download.fileName, download.release, kept, download.record};
  for (size_t attempt = 0; attempt < addresses.size(); ++attempt) {
    const bool last = attempt + 1 == addresses.size();
    if (download.before) {
      download.before(attempt, last);
    }
    result = DownloadFromAddress(fetch, addresses[attempt], download, target, point);
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
    // A kept partial goes on at the next address (its If-Range tells whether
    // the file there is the same); anything else starts afresh.
    if (refused || !kept) {
      platform::DeleteFile(download.fileName);
      point = {};
    }
  }
  return result;
}

}  // namespace lumivora::webupdate
