#pragma once

#include <cstdint>
#include <string>

namespace tw {

/// The binary archive of the settings file: little-endian 32-bit integers and strings stored as
/// their byte length and bytes. A length below 255 is one byte; up to 65533 it is 0xFF and a
/// 16-bit length; beyond, 0xFF, 0xFFFF and a 32-bit length. On reading, 0xFF followed by 0xFFFE
/// announces a UTF-16 string (its length in characters follows in the same scheme); it is
/// turned into code page 932. Written strings are always code page 932 bytes.
///
/// Reading trusts nothing: a value or a length that goes beyond the data still held ends reading
/// there (failed() turns true and every further read fails, leaving its target untouched).
class SettingsArchive {
public:
    /// An archive to write into.
    SettingsArchive() = default;
    /// An archive that reads `bytes`.
    explicit SettingsArchive(std::string bytes) : m_bytes(std::move(bytes)) {}

    void writeInt(std::int32_t value);
    void writeString(const std::string& text);
    /// What was written so far.
    const std::string& bytes() const { return m_bytes; }

    bool readInt(std::int32_t& value);
    bool readString(std::string& text);
    bool failed() const { return m_failed; }
    /// Marks the data damaged from here on, for a value that is in range but makes no sense;
    /// `reason` (code page 932) says what was wrong, unless an earlier failure said it already.
    void fail(const std::string& reason = {});
    /// Why reading failed, in Japanese (code page 932); empty while it has not.
    const std::string& reason() const { return m_reason; }
    /// Bytes not read yet.
    std::size_t remaining() const { return m_bytes.size() - m_pos; }

private:
    bool readBytes(std::size_t count, std::string& out);
    bool readUnsigned(int size, std::uint64_t& value);
    bool readLength(std::uint64_t& length, bool& utf16);

    std::string m_bytes;
    std::size_t m_pos = 0;
    bool m_failed = false;
    std::string m_reason;
};

} // namespace tw
