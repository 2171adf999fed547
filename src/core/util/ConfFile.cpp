#include "core/util/ConfFile.h"

#include "core/util/SafeFile.h"
#include "core/util/TextUtil.h"

#include <cerrno>
#include <charconv>

namespace tw {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool breaksLine(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

} // namespace

ConfFile::Load ConfFile::load(const std::string& path) {
    m_lines.clear();
    m_byteOrderMark = false;
    m_loadError = 0;
    std::string bytes;
    const int error = readRegularFile(path, bytes, kMaxBytes);
    if (error == ENOENT) {
        return Load::Missing;
    }
    if (error != 0) {
        m_loadError = error;
        return Load::Unreadable;
    }
    parse(bytes);
    return Load::Read;
}

bool ConfFile::save(const std::string& path) const {
    if (m_loadError != 0) {
        errno = m_loadError;
        return false;
    }
    errno = 0;
    if (!replaceFileContents(path, text(), 0600)) {
        if (errno == 0) {
            errno = EIO;
        }
        return false;
    }
    return true;
}

void ConfFile::parse(std::string_view text) {
    m_lines.clear();
    m_byteOrderMark = text.starts_with(kByteOrderMark);
    if (m_byteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    std::string section;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (raw.ends_with('\r')) {
            raw.remove_suffix(1);
        }
        Line line;
        line.raw = raw;
        const std::string_view content = trimmed(raw);
        if (content.starts_with('[')) {
            const std::size_t close = content.find(']');
            const std::string_view rest =
                close == std::string_view::npos ? content : trimmed(content.substr(close + 1));
            const std::string_view name = close == std::string_view::npos
                                              ? std::string_view()
                                              : trimmed(content.substr(1, close - 1));
            if (!name.empty() && (rest.empty() || rest.front() == '#' || rest.front() == ';')) {
                section = name;
                line.header = true;
            } else {
                // The keys below a damaged section line belong to no section this program
                // reads, rather than to the one before it.
                section = "\n";
            }
        } else if (!content.empty() && content.front() != '#' && content.front() != ';') {
            // A line without "=" or without a name is damaged: kept, but read as nothing.
            const std::size_t equals = content.find('=');
            if (equals != std::string_view::npos && !trimmed(content.substr(0, equals)).empty()) {
                line.key = trimmed(content.substr(0, equals));
                line.value = trimmed(content.substr(equals + 1));
            }
        }
        line.section = section;
        m_lines.push_back(std::move(line));
    }
}

std::string ConfFile::text() const {
    std::string out(m_byteOrderMark ? kByteOrderMark : std::string_view());
    for (const Line& line : m_lines) {
        out += line.raw;
        out += '\n';
    }
    return out;
}

long ConfFile::find(std::string_view section, std::string_view key) const {
    for (long i = static_cast<long>(m_lines.size()) - 1; i >= 0; --i) {
        const Line& line = m_lines[static_cast<std::size_t>(i)];
        if (!line.key.empty() && equalsIgnoringAsciiCase(line.section, section) &&
            equalsIgnoringAsciiCase(line.key, key)) {
            return i;
        }
    }
    return -1;
}

std::optional<std::string> ConfFile::value(std::string_view section, std::string_view key) const {
    const long at = find(section, key);
    if (at < 0) {
        return std::nullopt;
    }
    return m_lines[static_cast<std::size_t>(at)].value;
}

long long ConfFile::number(std::string_view section, std::string_view key, long long fallback,
                           long long min, long long max) const {
    const std::optional<std::string> text = value(section, key);
    if (!text || text->empty()) {
        return fallback;
    }
    long long number = 0;
    const char* first = text->data();
    const char* last = first + text->size();
    if (*first == '+') {
        ++first;
    }
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last || number < min || number > max) {
        return fallback;
    }
    return number;
}

bool ConfFile::set(std::string_view section, std::string_view key, std::string_view value) {
    section = trimmed(section);
    key = trimmed(key);
    value = trimmed(value);
    if (key.empty() || breaksLine(section) || breaksLine(key) || breaksLine(value) ||
        section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos ||
        key.front() == '#' || key.front() == ';' || key.front() == '[') {
        return false;
    }
    Line line;
    line.raw = std::string(key) + "=" + std::string(value);
    line.section = section;
    line.key = key;
    line.value = value;
    if (const long at = find(section, key); at >= 0) {
        m_lines[static_cast<std::size_t>(at)] = std::move(line);
        return true;
    }
    // After the section's last setting, so that a comment or blank line that introduces the
    // next section stays with it.
    long insertAt = -1;
    bool sectionSeen = section.empty();
    for (long i = 0; i < static_cast<long>(m_lines.size()); ++i) {
        const Line& other = m_lines[static_cast<std::size_t>(i)];
        if (equalsIgnoringAsciiCase(other.section, section)) {
            if (other.header || !other.key.empty() || insertAt < 0) {
                insertAt = i + 1;
            }
            sectionSeen = true;
        }
    }
    if (!sectionSeen) {
        if (!m_lines.empty() && !trimmed(m_lines.back().raw).empty()) {
            m_lines.push_back(Line{"", m_lines.back().section, "", "", false});
        }
        Line header;
        header.raw = "[" + std::string(section) + "]";
        header.section = section;
        header.header = true;
        m_lines.push_back(std::move(header));
        insertAt = static_cast<long>(m_lines.size());
    } else if (insertAt < 0) {
        insertAt = 0; // no line yet before the first section
    }
    m_lines.insert(m_lines.begin() + insertAt, std::move(line));
    return true;
}

} // namespace tw
