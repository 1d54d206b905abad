// The rules that both HTTP transports apply alike: which addresses they
// accept, and when a running transfer is given up.
#include "platform/http.h"

#include <algorithm>

#include "platform/text.h"

namespace lumivora::platform {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

std::string DurationText(milliseconds duration) {
  if (duration.count() % 1000 == 0) {
    return std::to_string(duration.count() / 1000) + " s";
  }
  return std::to_string(duration.count()) + " ms";
}

}  // namespace

bool UsableHostName(std::string_view host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && std::string_view("@/?#\\:[]%").find(c) == std::string_view::npos;
  });
}

bool UsablePath(std::string_view path) {
  return !path.empty() && path.front() == '/' && std::none_of(path.begin(), path.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7f;
  });
}

bool UsableHeaderLine(std::string_view line) {
  const size_t colon = line.find(':');
  return colon != std::string_view::npos && colon > 0 &&
         std::none_of(line.begin(), line.end(),
                      [](char c) {
                        const auto u = static_cast<unsigned char>(c);
                        return (u < 0x20 && c != '\t') || u == 0x7f;
                      }) &&
         line.substr(0, colon).find_first_of(" \t") == std::string_view::npos;
}

void ResponseHeaders::Add(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
    line.remove_suffix(1);
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 || line.front() == ' ' ||
      line.front() == '\t' || line.starts_with("HTTP/")) {
    return;
  }
  std::string_view value = line.substr(colon + 1);
  const size_t first = value.find_first_not_of(" \t");
  value = first == std::string_view::npos ? std::string_view() : value.substr(first);
  value = value.substr(0, value.find_last_not_of(" \t") + 1);
  fields_.emplace_back(std::string(line.substr(0, colon)), std::string(value));
}

std::optional<std::string> ResponseHeaders::Find(std::string_view name) const {
  for (const auto& [key, value] : fields_) {
    if (EqualsIgnoreCase(key, name)) {
      return value;
    }
  }
  return std::nullopt;
}

std::string WithoutCredentials(std::string_view url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
  const size_t end = std::min(url.find_first_of("/?#", start), url.size());
  const size_t at = url.substr(start, end - start).rfind('@');
  if (at == std::string_view::npos) {
    return std::string(url);
  }
  return std::string(url.substr(0, start)) + std::string(url.substr(start + at + 1));
}

TransferWatch::TransferWatch(const TransferLimits& limits, Clock::time_point start)
    : limits_(limits), start_(start), markTime_(start) {}

std::string TransferWatch::Check(uint64_t received, Clock::time_point now) {
  if (limits_.overall.count() > 0 && now - start_ >= limits_.overall) {
    return "time limit of " + DurationText(limits_.overall) + " passed";
  }
  if (limits_.lowSpeedTime.count() <= 0) {
    return {};
  }
  const uint64_t needed = uint64_t{limits_.lowSpeedBytesPerSecond} *
                          static_cast<uint64_t>(limits_.lowSpeedTime.count()) / 1000;
  if (received - markBytes_ >= std::max<uint64_t>(needed, 1)) {
    markTime_ = now;
    markBytes_ = received;
    return {};
  }
  if (now - markTime_ >= limits_.lowSpeedTime) {
    return "less than " + std::to_string(needed) + " bytes in " +
           DurationText(limits_.lowSpeedTime);
  }
  return {};
}

milliseconds TransferWatch::WaitLimit(milliseconds longest, Clock::time_point now) const {
  milliseconds wait = longest;
  const auto until = [&](Clock::time_point deadline) {
    wait = std::min(wait, duration_cast<milliseconds>(deadline - now) + milliseconds(1));
  };
  if (limits_.overall.count() > 0) {
    until(start_ + limits_.overall);
  }
  if (limits_.lowSpeedTime.count() > 0) {
    until(markTime_ + limits_.lowSpeedTime);
  }
  return std::max(wait, milliseconds(0));
}

}  // namespace lumivora::platform
