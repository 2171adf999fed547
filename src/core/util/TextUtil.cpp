#include "core/util/TextUtil.h"

#include "core/util/Cp932.h"
#include "core/util/Cp932Scan.h"
#include "core/util/ErrorText.h"
#include "core/util/SystemPath.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

void makeFolders(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            ::mkdir(path.substr(0, pos).c_str(), 0700);
        }
    }
}

std::string trimTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

template <typename T>
T parseSaturating(std::string_view text, T low, T high) {
    std::size_t i = 0;
    while (i < text.size() && isCSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate towards the sign so that the lowest value is reachable.
    T value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        const int digit = text[i] - '0';
        if (negative) {
            if (value < (low + digit) / 10) {
                return low;
            }
            value = value * 10 - digit;
        } else {
            if (value > (high - digit) / 10) {
                return high;
            }
            value = value * 10 + digit;
        }
    }
    return value;
}

} // namespace

std::string programFolder() {
    std::string folder;
    if (const char* home = std::getenv("TARNWICK_HOME"); home && *home) {
        folder = home;
    } else if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
        folder = std::string(data) + "/tarnwick";
    } else {
        const char* user = std::getenv("HOME");
        folder = std::string(user && *user ? user : "/tmp") + "/.local/share/tarnwick";
    }
    folder = trimTrailingSlashes(folder);
    makeFolders(folder);
    // The environment names it as the disk does; the program keeps every path as 932 text.
    return textPath(folder);
}

std::string fileNameOf(std::string_view path) {
    const std::size_t cut = findLastCp932(path, "/\\");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string afterLast(const std::string& text, char ch) {
    const auto pos = findLastCp932(text, std::string_view(&ch, 1));
    return pos == std::string::npos ? text : text.substr(pos + 1);
}

std::string upToLast(const std::string& text, char ch) {
    const auto pos = findLastCp932(text, std::string_view(&ch, 1));
    return pos == std::string::npos ? text : text.substr(0, pos + 1);
}

std::string schemeAndHost(const std::string& address) {
    const auto scheme = address.find("://");
    if (scheme == std::string::npos) {
        return {};
    }
    const auto slash = address.find('/', scheme + 3);
    return slash == std::string::npos ? address : address.substr(0, slash);
}

std::string extension(const std::string& path) {
    const std::string name = fileNameOf(path);
    const auto dot = findLastCp932(name, ".");
    if (dot == std::string::npos) {
        return {};
    }
    const std::string ext = name.substr(dot + 1);
    const auto query = findFirstCp932(ext, "?");
    return query == std::string::npos ? ext : ext.substr(0, query);
}

std::string changeExtension(const std::string& path, const std::string& ext) {
    const auto dot = findLastCp932(path, ".");
    const auto slash = findLastCp932(path, "/");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return path + "." + ext;
    }
    return path.substr(0, dot) + "." + ext;
}

std::string stripCounter(const std::string& path) {
    // A bare name has no folder to put in front of it.
    const auto slash = findLastCp932(path, "/");
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    while (!folder.empty() && folder.back() == '/') {
        folder.pop_back();
    }
    const std::string prefix = slash == std::string::npos ? std::string() : folder + "/";
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = findLastCp932(name, ".");
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    // "_" can be the second byte of a character ("＼" is 0x81 0x5F); digits never are.
    const auto underscore = findLastCp932(stem, "_");
    if (underscore != std::string::npos) {
        bool digits = true;
        for (std::size_t i = underscore + 1; i < stem.size(); ++i) {
            digits = digits && isDigit(stem[i]);
        }
        if (digits) {
            return prefix + stem.substr(0, underscore) + ext;
        }
    }
    return prefix + name;
}

std::string uniqueFileName(const std::string& path) {
    const auto dot = findLastCp932(path, ".");
    const auto slash = findLastCp932(path, "/");
    const bool usableDot = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = usableDot ? path.substr(0, dot) : path;
    const std::string ext = usableDot ? path.substr(dot + 1) : std::string();

    std::string candidate = path;
    for (int n = 1;; ++n) {
        // Any entry counts as taken, also a dangling symlink or a file nobody may read: writing
        // to such a name would follow the link or fail. systemPath() also finds a name an
        // earlier version wrote under its 932 bytes.
        struct stat status {};
        if (::lstat(systemPath(candidate).c_str(), &status) != 0) {
            return candidate;
        }
        candidate = stem + "_" + std::to_string(n) + (ext.empty() ? "" : "." + ext);
    }
}

int validateSaveFolder(std::string& text) {
    if (text.empty()) {
        text = jp("保存用のフォルダが指定されていません。");
        return 1;
    }
    const std::string folder = systemPath(text);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        // The words blame the name; most often the folder is only missing, which the reason
        // says.
        text = jp("保存用のフォルダ名が不正です。\n理由: ") + systemErrorText(errno);
        return 2;
    }
    if (!S_ISDIR(info.st_mode)) {
        text = jp("保存用フォルダ名はフォルダを指していません。");
        return 3;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        text = jp("保存用のフォルダが読み取り専用です。");
        return 4;
    }
    return 0;
}

std::string urlEncode(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if ((byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
            (byte >= 'A' && byte <= 'Z') || byte == '_') {
            out += ch;
        } else if (byte == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

std::string urlDecode(std::string_view text) {
    // Digits are not validated: the value rule is applied to whatever follows "%".
    auto value = [](unsigned char c) {
        if (c <= 64) {
            return c - 48;
        }
        if (c > 96) {
            return c - 87;
        }
        return c - 55;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '+') {
            out += ' ';
        } else if (ch == '%') {
            if (i + 2 >= text.size()) {
                break;
            }
            const int byte = value(static_cast<unsigned char>(text[i + 1])) * 16 +
                             value(static_cast<unsigned char>(text[i + 2]));
            out += static_cast<char>(byte & 0xff);
            i += 2;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string base64Encode(std::string_view text) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(text[i]) << 16) |
                           (static_cast<unsigned char>(text[i + 1]) << 8) |
                           static_cast<unsigned char>(text[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = text.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(text[i]) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned char>(text[i + 1]) << 8;
        }
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

int parseInt(std::string_view text) {
    return parseSaturating<int>(text, INT_MIN, INT_MAX);
}

long long parseInt64(std::string_view text) {
    return parseSaturating<long long>(text, LLONG_MIN, LLONG_MAX);
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = asciiLower(c);
    }
    return lower;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

} // namespace tw
