// The relocation step of the fetch engine: the next address made from the current one and the
// Location header a server sent. Input: the current address, a line feed, the header value.
// A relocation never leaves HTTP(S), and a relative one stays on the current server.

#include "FuzzSupport.h"
#include "core/net/CFetch.h"
#include "core/util/TextUtil.h"

#include <cstdint>

using tw::fuzz::require;

namespace {

bool startsWithHttpScheme(const std::string& text) {
    std::string head = text.substr(0, 8);
    for (char& ch : head) {
        ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    }
    return head.starts_with("http://") || head.starts_with("https://");
}

std::string trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto split = bytes.find('\n');
    if (split == std::string::npos) {
        return 0;
    }
    const std::string address = bytes.substr(0, split);
    // As the header lookup hands it over: one line, trimmed, never empty.
    const std::string location = trimmed(bytes.substr(split + 1));
    if (location.empty() || location.find('\n') != std::string::npos) {
        return 0;
    }
    const std::string next = tw::CFetch::relocationAddress(address, location);

    // Scheme and host (with port), up to the path, query or fragment.
    const auto hostStart = address.find("://") + 3;
    const std::string server = address.substr(0, address.find_first_of("/?#", hostStart));
    if (!startsWithHttpScheme(address) || server.size() <= hostStart) {
        return 0; // only addresses with a server are ever fetched
    }
    require(startsWithHttpScheme(next), "a relocation stays on HTTP(S)");
    if (startsWithHttpScheme(location)) {
        require(next == location, "an absolute Location is taken as it is");
    } else {
        require(next.starts_with(server + "/"), "a relative Location stays on the current server");
        require(next.ends_with(location), "a relative Location is appended");
        const std::string base = next.substr(0, next.size() - location.size());
        require(base.find_first_of("?#") == std::string::npos,
                "a relative Location replaces the query and fragment");
    }
    return 0;
}
