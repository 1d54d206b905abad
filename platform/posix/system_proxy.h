// The proxy the user's desktop and environment name for one address, asked
// of libproxy (http_proxy, https_proxy, no_proxy, the desktop's settings, a
// PAC file or WPAD). libproxy is loaded with the first question, as libcurl
// is; without it libcurl reads the environment itself.
#pragma once

#include <optional>
#include <string>

namespace lumivora::platform::posix {

// The soname of libproxy 0.4 (Debian's libproxy1v5).
constexpr const char* kProxyLibrary = "libproxy.so.1";

// The proxy for URL as libcurl takes it ("http://host:port", credentials
// included when the setting carries them), the empty text for a direct
// connection, or nullopt when libproxy is not there (libcurl's own reading of
// the environment applies).
std::optional<std::string> SystemProxyFor(const std::string& url);

}  // namespace lumivora::platform::posix
