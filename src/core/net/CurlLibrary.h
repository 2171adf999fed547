#pragma once

#include <curl/curl.h>

#include <string>
#include <type_traits>

namespace tw {

/// The libcurl functions the program calls, from the library opened the first time a request
/// or an address needs it. libcurl is not linked: loading it brings its TLS, Kerberos, LDAP,
/// SSH and IDN libraries with their initialisers, megabytes that a window with nothing due
/// never uses.
struct CurlFunctions {
    decltype(&::curl_easy_init) easyInit = nullptr;
    decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&::curl_easy_reset) easyReset = nullptr;
    decltype(&::curl_easy_setopt) easySetopt = nullptr;
    decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&::curl_easy_pause) easyPause = nullptr;
    decltype(&::curl_easy_strerror) easyStrerror = nullptr;
    decltype(&::curl_multi_init) multiInit = nullptr;
    decltype(&::curl_multi_cleanup) multiCleanup = nullptr;
    decltype(&::curl_multi_setopt) multiSetopt = nullptr;
    decltype(&::curl_multi_add_handle) multiAddHandle = nullptr;
    decltype(&::curl_multi_remove_handle) multiRemoveHandle = nullptr;
    decltype(&::curl_multi_perform) multiPerform = nullptr;
    decltype(&::curl_multi_info_read) multiInfoRead = nullptr;
    decltype(&::curl_multi_poll) multiPoll = nullptr;
    decltype(&::curl_slist_append) slistAppend = nullptr;
    decltype(&::curl_slist_free_all) slistFreeAll = nullptr;
    decltype(&::curl_url) url = nullptr;
    decltype(&::curl_url_cleanup) urlCleanup = nullptr;
    decltype(&::curl_url_get) urlGet = nullptr;
    decltype(&::curl_url_set) urlSet = nullptr;
    decltype(&::curl_free) free = nullptr;
    decltype(&::curl_getdate) getdate = nullptr;

    /// curl_easy_setopt with the value's type checked against the option's at compile time, as
    /// libcurl's own header does for direct calls: a long, a data pointer, a function pointer or
    /// a curl_off_t, by the option's number range.
    template <CURLoption Option, typename Value>
    CURLcode set(CURL* handle, Value value) const {
        if constexpr (Option < CURLOPTTYPE_OBJECTPOINT) {
            static_assert(std::is_same_v<Value, long>, "this option takes a long");
        } else if constexpr (Option < CURLOPTTYPE_FUNCTIONPOINT) {
            static_assert(std::is_pointer_v<Value> &&
                              !std::is_function_v<std::remove_pointer_t<Value>>,
                          "this option takes a data pointer");
        } else if constexpr (Option < CURLOPTTYPE_OFF_T) {
            static_assert(std::is_pointer_v<Value> &&
                              std::is_function_v<std::remove_pointer_t<Value>>,
                          "this option takes a function pointer");
        } else {
            static_assert(Option < CURLOPTTYPE_BLOB && std::is_same_v<Value, curl_off_t>,
                          "this option takes a curl_off_t");
        }
        return easySetopt(handle, Option, value);
    }
};

/// libcurl, opened and initialised (curl_global_init) once, by whichever thread asks first;
/// null when it cannot be opened or lacks a function.
const CurlFunctions* curlLibrary();
/// Why curlLibrary() is null: the dynamic loader's words.
std::string curlLibraryError();

} // namespace tw
