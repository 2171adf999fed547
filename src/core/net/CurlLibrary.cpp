#include "core/net/CurlLibrary.h"

#include "core/platform/SharedLibrary.h"

#ifndef TARNWICK_CURL_SONAME
#define TARNWICK_CURL_SONAME "libcurl.so.4"
#endif

namespace tw {

namespace {

struct LoadedCurl {
    SharedLibrary library{TARNWICK_CURL_SONAME};
    CurlFunctions functions;
    bool complete = false;

    LoadedCurl() {
        CurlFunctions& f = functions;
        bool found = true;
        const auto bind = [&](auto& slot, const char* name) {
            slot = library.symbol<std::remove_reference_t<decltype(slot)>>(name);
            found = found && slot != nullptr;
        };
        bind(f.easyInit, "curl_easy_init");
        bind(f.easyCleanup, "curl_easy_cleanup");
        bind(f.easyReset, "curl_easy_reset");
        bind(f.easySetopt, "curl_easy_setopt");
        bind(f.easyGetinfo, "curl_easy_getinfo");
        bind(f.easyPause, "curl_easy_pause");
        bind(f.easyStrerror, "curl_easy_strerror");
        bind(f.multiInit, "curl_multi_init");
        bind(f.multiCleanup, "curl_multi_cleanup");
        bind(f.multiSetopt, "curl_multi_setopt");
        bind(f.multiAddHandle, "curl_multi_add_handle");
        bind(f.multiRemoveHandle, "curl_multi_remove_handle");
        bind(f.multiPerform, "curl_multi_perform");
        bind(f.multiInfoRead, "curl_multi_info_read");
        bind(f.multiPoll, "curl_multi_poll");
        bind(f.slistAppend, "curl_slist_append");
        bind(f.slistFreeAll, "curl_slist_free_all");
        bind(f.url, "curl_url");
        bind(f.urlCleanup, "curl_url_cleanup");
        bind(f.urlGet, "curl_url_get");
        bind(f.urlSet, "curl_url_set");
        bind(f.free, "curl_free");
        bind(f.getdate, "curl_getdate");
        decltype(&::curl_global_init) globalInit = nullptr;
        bind(globalInit, "curl_global_init");
        // Before any other call and before a second thread can use the library: the static
        // initialisation of the one LoadedCurl object runs this exactly once.
        complete = found && globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    }
};

LoadedCurl& loadedCurl() {
    static LoadedCurl curl;
    return curl;
}

} // namespace

const CurlFunctions* curlLibrary() {
    LoadedCurl& curl = loadedCurl();
    return curl.complete ? &curl.functions : nullptr;
}

std::string curlLibraryError() {
    LoadedCurl& curl = loadedCurl();
    if (curl.complete) {
        return {};
    }
    return curl.library.error().empty() ? std::string("curl_global_init") : curl.library.error();
}

} // namespace tw
