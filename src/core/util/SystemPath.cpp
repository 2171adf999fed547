#include "core/util/SystemPath.h"

#include "core/util/Cp932.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <unicode/unistr.h>
#include <unistd.h>

namespace tw {

namespace {

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

/// Calls `name(component)` for each part between "/" and appends what it returns, keeping
/// every "/" (leading, doubled, trailing) as it stands.
template <typename Name>
std::string eachComponent(const std::string& text, Name name) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t slash = std::min(text.find('/', start), text.size());
        const std::string_view part(text.data() + start, slash - start);
        if (!part.empty()) {
            out += name(out, part);
        }
        if (slash < text.size()) {
            out += '/';
        }
        start = slash + 1;
    }
    return out;
}

bool isUtf8(std::string_view part) {
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(part.data(), static_cast<int32_t>(part.size())));
    std::string back;
    text.toUTF8String(back);
    return back == part; // a malformed sequence came back as U+FFFD
}

} // namespace

std::string systemPath(const std::string& text) {
    if (isAscii(text)) {
        return text;
    }
    return eachComponent(text, [](const std::string& parent, std::string_view part) {
        if (isAscii(part)) {
            return std::string(part);
        }
        std::string utf8 = fromCp932(part);
        if (utf8 == part || exists(parent + utf8)) {
            return utf8;
        }
        std::string asItStands(part);
        return exists(parent + asItStands) ? asItStands : utf8;
    });
}

std::string textPath(const std::string& diskPath) {
    if (isAscii(diskPath)) {
        return diskPath;
    }
    return eachComponent(diskPath, [](const std::string&, std::string_view part) {
        if (isAscii(part)) {
            return std::string(part);
        }
        std::optional<std::string> text;
        if (isUtf8(part)) {
            text = toCp932Exact(part);
        }
        return text ? std::move(*text) : std::string(part);
    });
}

} // namespace tw
