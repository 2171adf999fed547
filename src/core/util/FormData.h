#pragma once

// The form data sent with a request ("name=value&name=value", percent-encoded, code page 932
// bytes), taken apart into pairs for editing and put back together.

#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct FormField {
    std::string name;
    std::string value;

    bool operator==(const FormField&) const = default;
};

/// Splits at "&" (empty pieces skipped) and decodes each name and value. A piece without "="
/// is a name with an empty value; its name is decoded as well, so that parsing and joining
/// again never encodes an already encoded name a second time.
std::vector<FormField> parseFormData(std::string_view text);

/// Encodes every name and value and joins them as "name=value" with "&"; a field with an empty
/// value keeps its "=". No fields give the empty text.
std::string joinFormData(const std::vector<FormField>& fields);

} // namespace tw
