#include "core/util/FormData.h"

#include "core/util/TextUtil.h"

namespace tw {

std::vector<FormField> parseFormData(std::string_view text) {
    std::vector<FormField> fields;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view piece = text.substr(start, end - start);
        if (!piece.empty()) {
            const std::size_t equals = piece.find('=');
            if (equals == std::string_view::npos) {
                fields.push_back({urlDecode(piece), {}});
            } else {
                fields.push_back(
                    {urlDecode(piece.substr(0, equals)), urlDecode(piece.substr(equals + 1))});
            }
        }
        start = end + 1;
    }
    return fields;
}

std::string joinFormData(const std::vector<FormField>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            out += '&';
        }
        out += urlEncode(fields[i].name);
        out += '=';
        out += urlEncode(fields[i].value);
    }
    return out;
}

} // namespace tw
