#include "core/util/SourceText.h"

#include "core/util/Cp932.h"

#include <algorithm>

namespace tw {

SourceText::SourceText(std::string page) : m_page(std::move(page)) {
    std::vector<std::size_t> unitOffsets;
    const std::u16string units = fromCp932Units(m_page, unitOffsets);
    m_view.reserve(units.size());
    m_offsets.reserve(units.size() + 1);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        m_offsets.push_back(unitOffsets[i]);
        if (unit == u'\r' && i + 1 < units.size() && units[i + 1] == u'\n') {
            ++i; // the pair is one line end of the view
        }
        m_view.push_back(unit == u'\r' ? u'\n' : unit);
    }
    m_offsets.push_back(m_page.size());
}

std::size_t SourceText::pageOffset(std::size_t position) const {
    return position < m_offsets.size() ? m_offsets[position] : m_page.size();
}

std::size_t SourceText::viewStart(std::size_t offset) const {
    // The last position whose character begins at or before the offset.
    const auto after = std::upper_bound(m_offsets.begin(), m_offsets.end(), offset);
    return after == m_offsets.begin() ? 0 : static_cast<std::size_t>(after - m_offsets.begin()) - 1;
}

std::size_t SourceText::viewEnd(std::size_t offset) const {
    const auto at = std::lower_bound(m_offsets.begin(), m_offsets.end(), offset);
    return std::min(static_cast<std::size_t>(at - m_offsets.begin()), m_view.size());
}

} // namespace tw
