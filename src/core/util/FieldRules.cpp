#include "core/util/FieldRules.h"

#include <algorithm>
#include <cstring>

namespace tw {

bool breaksHeaderLine(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool breaksHeaderLines(std::string_view lines) {
    while (!lines.empty() &&
           (lines.back() == '\0' || std::strchr(" \t\r\n\v\f", lines.back()) != nullptr)) {
        lines.remove_suffix(1);
    }
    std::size_t start = 0;
    while (start < lines.size()) {
        std::size_t end = lines.find("\r\n", start);
        if (end == std::string_view::npos) {
            end = lines.size();
        }
        if (breaksHeaderLine(lines.substr(start, end - start))) {
            return true;
        }
        start = end + 2;
    }
    return false;
}

bool breaksMailAddress(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '<' || c == '>' || c == ' ' || byte < 0x20 || byte == 0x7f;
    });
}

} // namespace tw
