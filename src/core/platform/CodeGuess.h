#pragma once

// Telling the Japanese code of a text from its bytes, for pages that name none.

#include <cstddef>
#include <string_view>

namespace tw {

/// True when `text` is well-formed UTF-8: no stray continuation byte, no overlong form, no
/// surrogate, nothing beyond U+10FFFF, no sequence cut off at the end.
bool isUtf8(std::string_view text);
/// Where the first byte that begins no well-formed UTF-8 sequence stands; npos when none does.
std::size_t firstInvalidUtf8(std::string_view text);

/// The code page of a Japanese text judged by its bytes alone, for a page that names none:
/// 932 for text of ASCII only (nothing to convert); 50220 for 7-bit text with a JIS X 0208
/// escape sequence; 65001 for well-formed UTF-8; otherwise 51932 or 932, whichever decodes
/// with fewer errors. When both decode without one, ICU's charset detector decides between
/// them (EUC-JP when it cannot). A text that fits none of them best stays 932, as the bytes
/// are.
int guessCodePage(std::string_view text);

} // namespace tw
