// The update check's steps as lines of the diagnostic log, made from what the
// cores returned: the information files, the verdict on the statement, the
// version decision. Addresses are logged without their credentials.
#pragma once

#include <string>
#include <string_view>

#include "webupdate/info_file.h"
#include "webupdate/offer.h"

namespace lumivora::webupdate {

// The version, download address and mirrors the chain of information files
// ended at, or why it gave none.
std::string InfoLine(const InfoFetch& found);
// The signing key the information text TEXT names, the certificate's serial
// and the expiry of an accepted statement, or the refusal.
std::string VerdictLine(const OfferVerdict& verdict, std::string_view text);
// The installed and the offered version, and what the offer is.
std::string DecisionLine(std::string_view installed, std::string_view offered,
                         VersionDecision decision);

}  // namespace lumivora::webupdate
