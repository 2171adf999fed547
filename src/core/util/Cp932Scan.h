#pragma once

// Scanning code page 932 text one character at a time. A lead byte (0x81-0x9F, 0xE0-0xFC) takes
// the byte after it along, and that second byte may equal an ASCII character: "表" is 0x95 0x5C,
// where 0x5C is "\", and "＼" is 0x81 0x5F, where 0x5F is "_". Every search for a separator or
// a marker in a name or path goes through here, so that no such second byte is taken for one.

#include <cstddef>
#include <string_view>

namespace tw {

inline bool isCp932LeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

inline bool isCp932TrailByte(unsigned char byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

/// The length (1 or 2) of the character that begins at `pos`. A lead byte followed by no valid
/// second byte stands alone, so that a damaged text never swallows the "/" after it.
std::size_t cp932CharLength(std::string_view text, std::size_t pos);

/// The position of the first single-byte character at or after `from` (a character boundary)
/// that is one of `chars`; npos when there is none.
std::size_t findFirstCp932(std::string_view text, std::string_view chars, std::size_t from = 0);

/// The position of the last single-byte character that is one of `chars`; npos when none.
std::size_t findLastCp932(std::string_view text, std::string_view chars);

} // namespace tw
