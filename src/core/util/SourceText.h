#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tw {

/// A page's code page 932 text as a viewer shows it: decoded to UTF-16 with every line end (CR
/// LF, a lone LF, a lone CR) written as one "\n", and the table that leads each position of the
/// viewer back to the byte of the page text it shows. Check areas are measured in those bytes,
/// so whatever is picked in the viewer is translated here, never counted in the viewer.
class SourceText {
public:
    SourceText() = default;
    explicit SourceText(std::string page);

    const std::string& page() const { return m_page; }
    const std::u16string& view() const { return m_view; }
    bool empty() const { return m_page.empty(); }

    /// The page offset of the character at viewer position `position` (the page's length at or
    /// beyond the end of the view).
    std::size_t pageOffset(std::size_t position) const;
    /// The viewer position of the character that holds page byte `offset` (a line end's
    /// second byte belongs to its line end).
    std::size_t viewStart(std::size_t offset) const;
    /// The first viewer position whose character begins at or after page byte `offset`: the
    /// end of a range that ends at `offset`, covering a character cut in two.
    std::size_t viewEnd(std::size_t offset) const;

private:
    std::string m_page;
    std::u16string m_view;
    /// One entry per view position and one for the end.
    std::vector<std::size_t> m_offsets;
};

} // namespace tw
