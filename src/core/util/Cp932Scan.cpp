#include "core/util/Cp932Scan.h"

namespace tw {

std::size_t cp932CharLength(std::string_view text, std::size_t pos) {
    if (pos + 1 < text.size() && isCp932LeadByte(static_cast<unsigned char>(text[pos])) &&
        isCp932TrailByte(static_cast<unsigned char>(text[pos + 1]))) {
        return 2;
    }
    return 1;
}

std::size_t findFirstCp932(std::string_view text, std::string_view chars, std::size_t from) {
    for (std::size_t pos = from; pos < text.size(); pos += cp932CharLength(text, pos)) {
        if (chars.find(text[pos]) != std::string_view::npos) {
            return pos;
        }
    }
    return std::string_view::npos;
}

std::size_t findLastCp932(std::string_view text, std::string_view chars) {
    // A trail byte is only known as one from the start of the text: scan forward.
    std::size_t last = std::string_view::npos;
    for (std::size_t pos = 0; pos < text.size(); pos += cp932CharLength(text, pos)) {
        if (chars.find(text[pos]) != std::string_view::npos) {
            last = pos;
        }
    }
    return last;
}

} // namespace tw
