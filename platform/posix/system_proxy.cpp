#include "platform/posix/system_proxy.h"

#include <dlfcn.h>

#include <array>
#include <memory>
#include <string_view>

namespace lumivora::platform::posix {
namespace {

// libproxy's C interface (proxy.h), resolved at run time.
struct ProxyLibrary {
  using NewFactory = void* (*)();
  using GetProxies = char** (*)(void* factory, const char* url);
  using FreeProxies = void (*)(char** proxies);
  NewFactory newFactory = nullptr;
  GetProxies getProxies = nullptr;
  FreeProxies freeProxies = nullptr;
  void* factory = nullptr;  // kept for the process: it caches the PAC file
};

template <typename Function>
bool Resolve(void* library, const char* name, Function& function) {
  // POSIX gives dlsym's result as an object pointer; these are functions.
  function = reinterpret_cast<Function>(  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
      ::dlsym(library, name));
  return function != nullptr;
}

const ProxyLibrary* Library() {
  static const ProxyLibrary* const loaded = []() -> const ProxyLibrary* {
    void* library = ::dlopen(kProxyLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      return nullptr;
    }
    static ProxyLibrary proxy;
    if (!Resolve(library, "px_proxy_factory_new", proxy.newFactory) ||
        !Resolve(library, "px_proxy_factory_get_proxies", proxy.getProxies) ||
        !Resolve(library, "px_proxy_factory_free_proxies", proxy.freeProxies)) {
      return nullptr;
    }
    proxy.factory = proxy.newFactory();
    return proxy.factory != nullptr ? &proxy : nullptr;
  }();
  return loaded;
}

// The kinds of proxy libcurl can use; libproxy's "socks://" is SOCKS 5.
std::optional<std::string> CurlProxy(std::string_view proxy) {
  if (proxy.starts_with("direct://")) {
    return std::string();
  }
  if (proxy.starts_with("socks://")) {
    return "socks5://" + std::string(proxy.substr(8));
  }
  constexpr std::array<std::string_view, 5> kSchemes{"http://", "https://", "socks4://",
                                                     "socks4a://", "socks5://"};
  for (const std::string_view scheme : kSchemes) {
    if (proxy.starts_with(scheme)) {
      return std::string(proxy);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> SystemProxyFor(const std::string& url) {
  const ProxyLibrary* library = Library();
  if (library == nullptr) {
    return std::nullopt;
  }
  const auto release = [library](char** proxies) { library->freeProxies(proxies); };
  const std::unique_ptr<char*, decltype(release)> proxies(
      library->getProxies(library->factory, url.c_str()), release);
  // The first one libcurl can use, in libproxy's order; none is a direct
  // connection, as libproxy itself falls back to.
  for (char** proxy = proxies.get(); proxy != nullptr && *proxy != nullptr; ++proxy) {
    if (std::optional<std::string> usable = CurlProxy(*proxy)) {
      return usable;
    }
  }
  return std::string();
}

}  // namespace lumivora::platform::posix
