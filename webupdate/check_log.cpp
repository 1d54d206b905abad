#include "webupdate/check_log.h"

#include "platform/http.h"
#include "webupdate/release_time.h"

namespace lumivora::webupdate {

std::string InfoLine(const InfoFetch& found) {
  if (found.notModified) {
    return "information: not modified (HTTP 304), nothing downloaded: no update";
  }
  if (!found.Complete()) {
    return "information: none usable" +
           (found.transfer.Succeeded() ? std::string() : ": " + found.transfer.reason);
  }
  return "information: version " + found.info->version + ", download address " +
         platform::WithoutCredentials(found.info->url) + ", " +
         std::to_string(found.info->mirrors.size()) + " mirrors";
}

std::string VerdictLine(const OfferVerdict& verdict, std::string_view text) {
  const std::string key = ReadIniValue(text, {"Setup", release_keys::kKey});
  if (!verdict.result.Ok()) {
    return "statement refused: " + verdict.result.Reason() + " (key " + key + ")";
  }
  if (!verdict.release) {
    return "statement: not checked (no root keys built in)";
  }
  const std::string serial = verdict.serial ? std::to_string(*verdict.serial) : "none";
  const std::string expiry =
      verdict.release->expires ? UtcTimeText(*verdict.release->expires) : "none";
  return "statement accepted: key " + key + ", certificate serial " + serial + ", expires " +
         expiry;
}

std::string DecisionLine(std::string_view installed, std::string_view offered,
                         VersionDecision decision) {
  std::string line =
      "version: installed " + std::string(installed) + ", offered " + std::string(offered) + ": ";
  switch (decision) {
    case VersionDecision::kFreeUpdate:
      return line + "a free update";
    case VersionDecision::kPaidUpgrade:
      return line + "a paid upgrade";
    case VersionDecision::kNotNewer:
      return line + "not newer";
    case VersionDecision::kBadRelease:
      return line + "the release recorded as bad, not installed again";
  }
  return line;
}

}  // namespace lumivora::webupdate
