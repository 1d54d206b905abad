// libcurl, loaded with the first transfer rather than with the program: a
// start that checks for no update loads neither it nor the thirty libraries
// it needs. Only its header is used at build time.
#pragma once

#include <curl/curl.h>

namespace lumivora::platform::posix {

// The soname of libcurl's ABI 4 (every libcurl since 7.16).
constexpr const char* kCurlLibrary = "libcurl.so.4";

// The libcurl functions the transport (http_curl.cpp) calls.
struct CurlLibrary {
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_pause) easy_pause = nullptr;
  decltype(&curl_easy_strerror) easy_strerror = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&curl_multi_init) multi_init = nullptr;
  decltype(&curl_multi_add_handle) multi_add_handle = nullptr;
  decltype(&curl_multi_perform) multi_perform = nullptr;
  decltype(&curl_multi_poll) multi_poll = nullptr;
  decltype(&curl_multi_info_read) multi_info_read = nullptr;
  decltype(&curl_multi_remove_handle) multi_remove_handle = nullptr;
  decltype(&curl_multi_cleanup) multi_cleanup = nullptr;
  decltype(&curl_slist_append) slist_append = nullptr;
  decltype(&curl_slist_free_all) slist_free_all = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
};

// libcurl, loaded and initialised once (it stays loaded), or nullptr when it
// is missing or lacks a function (a libcurl before 7.66).
const CurlLibrary* Curl();

}  // namespace lumivora::platform::posix
