#pragma once

// The one place where the program's code page 932 texts meet Unicode (UTF-8).

#include <string>
#include <string_view>

namespace tw {

/// UTF-8 to code page 932. Characters that 932 cannot hold become "?" and clear *lossless.
std::string toCp932(std::string_view utf8, bool* lossless = nullptr);
/// Code page 932 to UTF-8; undecodable bytes become U+FFFD.
std::string fromCp932(std::string_view cp932);

/// Japanese literals are written in UTF-8 in the sources; this turns one into code page 932.
inline std::string jp(std::string_view utf8) {
    return toCp932(utf8);
}

} // namespace tw
