#include "platform/posix/curl_library.h"

#include <dlfcn.h>

namespace lumivora::platform::posix {
namespace {

template <typename Function>
bool Resolve(void* library, const char* name, Function& function) {
  // POSIX gives dlsym's result as an object pointer; these are functions.
  function = reinterpret_cast<Function>(  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
      ::dlsym(library, name));
  return function != nullptr;
}

}  // namespace

const CurlLibrary* Curl() {
  static const CurlLibrary* const loaded = []() -> const CurlLibrary* {
    void* library = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      return nullptr;
    }
    static CurlLibrary curl;
    const bool complete = Resolve(library, "curl_global_init", curl.global_init) &&
                          Resolve(library, "curl_easy_init", curl.easy_init) &&
                          Resolve(library, "curl_easy_setopt", curl.easy_setopt) &&
                          Resolve(library, "curl_easy_pause", curl.easy_pause) &&
                          Resolve(library, "curl_easy_strerror", curl.easy_strerror) &&
                          Resolve(library, "curl_easy_cleanup", curl.easy_cleanup) &&
                          Resolve(library, "curl_multi_init", curl.multi_init) &&
                          Resolve(library, "curl_multi_add_handle", curl.multi_add_handle) &&
                          Resolve(library, "curl_multi_perform", curl.multi_perform) &&
                          Resolve(library, "curl_multi_poll", curl.multi_poll) &&
                          Resolve(library, "curl_multi_info_read", curl.multi_info_read) &&
                          Resolve(library, "curl_multi_remove_handle", curl.multi_remove_handle) &&
                          Resolve(library, "curl_multi_cleanup", curl.multi_cleanup) &&
                          Resolve(library, "curl_slist_append", curl.slist_append) &&
                          Resolve(library, "curl_slist_free_all", curl.slist_free_all) &&
                          Resolve(library, "curl_easy_getinfo", curl.easy_getinfo);
    if (!complete || curl.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      return nullptr;
    }
    return &curl;
  }();
  return loaded;
}

}  // namespace lumivora::platform::posix
