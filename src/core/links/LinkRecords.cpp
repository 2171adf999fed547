#include "core/links/LinkRecords.h"

namespace tw {

void LinkRecords::clear() {
    std::string().swap(m_text);
    std::vector<std::uint64_t>().swap(m_start);
    std::vector<std::uint32_t>().swap(m_length);
    m_unused = 0;
}

void LinkRecords::appendText(std::string_view block) {
    m_start.push_back(m_text.size());
    m_length.push_back(static_cast<std::uint32_t>(block.size()));
    m_text.append(block);
}

void LinkRecords::append(const FetchSettings& record) {
    appendText(blockOf(record));
}

void LinkRecords::set(std::size_t index, const FetchSettings& record) {
    store(index, blockOf(record));
}

void LinkRecords::store(std::size_t index, std::string_view block) {
    m_unused += m_length[index];
    m_start[index] = m_text.size();
    m_length[index] = static_cast<std::uint32_t>(block.size());
    m_text.append(block);
    compactIfWasteful();
}

void LinkRecords::erase(std::size_t index) {
    m_unused += m_length[index];
    m_start.erase(m_start.begin() + static_cast<std::ptrdiff_t>(index));
    m_length.erase(m_length.begin() + static_cast<std::ptrdiff_t>(index));
    compactIfWasteful();
}

void LinkRecords::erase(const std::vector<int>& indices) {
    std::size_t kept = 0;
    std::size_t next = 0;
    for (std::size_t i = 0; i < m_start.size(); ++i) {
        if (next < indices.size() && static_cast<std::size_t>(indices[next]) == i) {
            m_unused += m_length[i];
            ++next;
            continue;
        }
        m_start[kept] = m_start[i];
        m_length[kept] = m_length[i];
        ++kept;
    }
    m_start.resize(kept);
    m_length.resize(kept);
    compactIfWasteful();
}

void LinkRecords::reorder(const std::vector<int>& order) {
    std::vector<std::uint64_t> start;
    std::vector<std::uint32_t> length;
    start.reserve(order.size());
    length.reserve(order.size());
    for (const int old : order) {
        start.push_back(m_start.at(static_cast<std::size_t>(old)));
        length.push_back(m_length.at(static_cast<std::size_t>(old)));
    }
    m_start = std::move(start);
    m_length = std::move(length);
}

std::string_view LinkRecords::text(std::size_t index) const {
    return std::string_view(m_text).substr(m_start[index], m_length[index]);
}

FetchSettings LinkRecords::record(std::size_t index) const {
    FetchSettings record;
    record::readFromText(record, std::string(text(index)));
    return record;
}

std::string_view LinkRecords::value(std::size_t index, std::string_view key) const {
    // The record reader's rules for one key line: a CR LF end counts as LF, leading white space
    // is dropped, six characters are the key, and a later line of the same key wins.
    std::string_view block = text(index);
    std::string_view found;
    while (!block.empty()) {
        const auto end = block.find('\n');
        std::string_view line = block.substr(0, end);
        block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const auto start = line.find_first_not_of(" \t\r\n\v\f");
        if (start == std::string_view::npos) {
            continue;
        }
        line.remove_prefix(start);
        if (line.size() > 5 && line.substr(0, 6) == key) {
            found = line.substr(6);
        }
    }
    return found;
}

std::size_t LinkRecords::memoryBytes() const {
    return m_text.capacity() + m_start.capacity() * sizeof(std::uint64_t) +
           m_length.capacity() * sizeof(std::uint32_t);
}

std::string LinkRecords::blockOf(const FetchSettings& record) {
    const std::string text = record.toText();
    std::string block;
    block.reserve(text.size() + 24);
    for (const char ch : text) {
        if (ch == '\n') {
            block += '\r';
        }
        block += ch;
    }
    return block;
}

void LinkRecords::compactIfWasteful() {
    // Edits append their new text; once half of the buffer is left over, it is rebuilt.
    if (m_unused < (std::size_t{1} << 20) || m_unused * 2 < m_text.size()) {
        return;
    }
    std::string text;
    text.reserve(m_text.size() - m_unused);
    for (std::size_t i = 0; i < m_start.size(); ++i) {
        const std::uint64_t start = text.size();
        text.append(this->text(i));
        m_start[i] = start;
    }
    m_text = std::move(text);
    m_unused = 0;
}

} // namespace tw
