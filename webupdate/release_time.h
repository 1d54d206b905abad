// The times of signed releases: a statement's expiry (the information file's
// "ReleaseExpires", docs/signing.md) as UTC date-times in the one form of
// ISO 8601 / RFC 3339 that the statement carries, 2027-01-31T12:00:00Z, held
// as Unix time (seconds since 1970-01-01T00:00:00Z, no leap seconds).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumivora::webupdate {

// How far the launcher's clock may be behind the vendor's: a statement is
// refused only once its expiry lies more than this in the past.
inline constexpr int64_t kClockSkewSeconds = int64_t{10} * 60;

// TEXT as "YYYY-MM-DDTHH:MM:SSZ" (exactly 20 characters, a real date of the
// years 1970 to 9999); nullopt for anything else, so that a value read
// formats back to the same text.
std::optional<int64_t> ParseUtcTime(std::string_view text);
// TIME as "YYYY-MM-DDTHH:MM:SSZ" (what ParseUtcTime reads).
std::string UtcTimeText(int64_t time);
// TIME for people: "2027-01-31 12:00 UTC".
std::string ShownUtcTime(int64_t time);
// TIME's UTC day: "2027-01-31".
std::string UtcDateText(int64_t time);

}  // namespace lumivora::webupdate
