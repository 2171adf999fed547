#pragma once

// The one place where the program's code page 932 texts meet Unicode (UTF-8).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

/// UTF-8 to code page 932. Besides 932's own table, the characters that Linux input methods
/// type for 932's glyphs become those glyphs: U+301C, U+2016, U+2212, U+00A2, U+00A3, U+00AC
/// and U+2014. Anything else 932 cannot hold clears *lossless and stands as "?" in the result;
/// a caller that must not keep such a text takes toCp932Exact().
std::string toCp932(std::string_view utf8, bool* lossless = nullptr);
/// The same, but nothing when a character has no place in 932; *refused is then the first one.
std::optional<std::string> toCp932Exact(std::string_view utf8, char32_t* refused = nullptr);
/// UTF-8 to code page 932 for web pages, the way Windows fits them: also every fallback of the
/// 932 table (variant kanji, U+00A5, U+203E, U+00A6...); what is left becomes "?".
std::string toCp932BestFit(std::string_view utf8);
/// Code page 932 to UTF-8; undecodable bytes become U+FFFD.
std::string fromCp932(std::string_view cp932);

/// Code page 932 to UTF-16 with, for each unit, the offset in `cp932` of the byte that begins
/// its character; undecodable bytes become U+FFFD.
std::u16string fromCp932Units(std::string_view cp932, std::vector<std::size_t>& offsets);

/// Japanese literals are written in UTF-8 in the sources; this turns one into code page 932.
inline std::string jp(std::string_view utf8) {
    return toCp932(utf8);
}

} // namespace tw
