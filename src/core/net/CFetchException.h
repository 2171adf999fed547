#pragma once

#include <optional>
#include <string>
#include <utility>

namespace tw {

/// Ends a fetch step with an error kind (1 address unusable, 2 failure with a text, -1 cancelled
/// or refused). Thrown and caught inside CFetch only: it never leaves fetchToFile or
/// queryLastModified. A text, when present, becomes the request's errorText; without one the
/// request's errorText stays as it is.
class CFetchException {
public:
    explicit CFetchException(int kind) : m_kind(kind) {}
    CFetchException(int kind, std::string text) : m_kind(kind), m_text(std::move(text)) {}

    int kind() const { return m_kind; }
    const std::optional<std::string>& text() const { return m_text; }

private:
    int m_kind;
    std::optional<std::string> m_text;
};

} // namespace tw
