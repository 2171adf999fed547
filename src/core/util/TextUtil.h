#pragma once

// Free helpers on byte strings (code page 932) and paths shared by the whole program.
// Paths use "/" as the folder separator of this machine. Paths are code page 932 text like every
// other text of the program (a function that touches the disk finds the name there itself), and
// every cut of one steps over double-byte characters (util/Cp932Scan.h).

#include <string>
#include <string_view>

namespace tw {

/// The data folder: $TARNWICK_HOME, else $XDG_DATA_HOME/tarnwick, else ~/.local/share/tarnwick.
/// Created on first use; returned as code page 932 text (textPath) without a trailing "/".
std::string programFolder();

/// The text after the last "/" or "\" (names from shared files may come from Windows); the
/// whole text when neither occurs.
std::string fileNameOf(std::string_view path);
std::string afterLast(const std::string& text, char ch);
std::string upToLast(const std::string& text, char ch);
std::string schemeAndHost(const std::string& address);
std::string extension(const std::string& path);
std::string changeExtension(const std::string& path, const std::string& ext);
std::string stripCounter(const std::string& path);
/// `path` when no entry of that name exists, else the first free of stem_1.ext, stem_2.ext...
std::string uniqueFileName(const std::string& path);

/// 0 when `text` names a usable folder; otherwise replaces `text` with the message (code
/// page 932) and returns its code: 1 empty, 2 status unreadable, 3 not a folder, 4 not writable.
int validateSaveFolder(std::string& text);

std::string urlEncode(std::string_view text);
std::string urlDecode(std::string_view text);
std::string base64Encode(std::string_view text);

/// Letter case of ASCII only: every other byte (code page 932 lead and trail bytes, UTF-8)
/// stays as it is, whatever the C library's locale says.
char asciiLower(char c);
std::string asciiLower(std::string_view text);
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

/// C library atoi semantics without undefined behaviour: values beyond the 32-bit range saturate.
int parseInt(std::string_view text);
/// The same for 64-bit values (times).
long long parseInt64(std::string_view text);

} // namespace tw
