#include "core/app/SettingsArchive.h"

#include "core/util/Cp932.h"

namespace tw {

namespace {

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

/// UTF-16LE to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::string& bytes) {
    std::string out;
    const auto unit = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                          static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    };
    const std::size_t count = bytes.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t code = unit(i);
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < count && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        appendUtf8(out, code);
    }
    return out;
}

} // namespace

void SettingsArchive::writeInt(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        m_bytes += static_cast<char>((bits >> shift) & 0xFF);
    }
}

void SettingsArchive::writeString(const std::string& text) {
    const std::uint64_t length = text.size();
    const auto put16 = [this](std::uint32_t value) {
        m_bytes += static_cast<char>(value & 0xFF);
        m_bytes += static_cast<char>((value >> 8) & 0xFF);
    };
    if (length < 0xFF) {
        m_bytes += static_cast<char>(length);
    } else if (length < 0xFFFE) {
        m_bytes += '\xFF';
        put16(static_cast<std::uint32_t>(length));
    } else {
        m_bytes += '\xFF';
        put16(0xFFFF);
        writeInt(static_cast<std::int32_t>(static_cast<std::uint32_t>(length)));
    }
    m_bytes += text;
}

void SettingsArchive::fail(const std::string& reason) {
    if (!m_failed) {
        m_reason = reason.empty() ? jp("値が正しくありません") : reason;
    }
    m_failed = true;
}

bool SettingsArchive::readBytes(std::size_t count, std::string& out) {
    if (m_failed || count > remaining()) {
        fail(jp("ファイルが途中で終わっています"));
        return false;
    }
    out.assign(m_bytes, m_pos, count);
    m_pos += count;
    return true;
}

bool SettingsArchive::readUnsigned(int size, std::uint64_t& value) {
    std::string raw;
    if (!readBytes(static_cast<std::size_t>(size), raw)) {
        return false;
    }
    value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(raw[static_cast<std::size_t>(i)]);
    }
    return true;
}

bool SettingsArchive::readLength(std::uint64_t& length, bool& utf16) {
    if (!readUnsigned(1, length) || length < 0xFF) {
        return !m_failed;
    }
    if (!readUnsigned(2, length)) {
        return false;
    }
    if (length == 0xFFFE && !utf16) {
        utf16 = true;
        return readLength(length, utf16);
    }
    if (length < 0xFFFF) {
        return true;
    }
    return readUnsigned(4, length);
}

bool SettingsArchive::readInt(std::int32_t& value) {
    std::uint64_t bits = 0;
    if (!readUnsigned(4, bits)) {
        return false;
    }
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
    return true;
}

bool SettingsArchive::readString(std::string& text) {
    std::uint64_t length = 0;
    bool utf16 = false;
    if (!readLength(length, utf16)) {
        return false;
    }
    // Checked against what is left before anything is allocated: a damaged or hostile length
    // ends reading instead of asking for gigabytes.
    const std::uint64_t size = utf16 ? length * 2 : length;
    if (size > remaining()) {
        fail(jp("文字列の長さがファイルの残りを超えています"));
        return false;
    }
    std::string raw;
    readBytes(static_cast<std::size_t>(size), raw);
    text = utf16 ? toCp932(utf16ToUtf8(raw)) : std::move(raw);
    return true;
}

} // namespace tw
