#pragma once

// Where a process's resident memory lies, summed by mapping from /proc/self/smaps into the
// groups that tell whose it is: the process's own anonymous memory (the main malloc arena,
// the arenas glibc gives worker threads, thread stacks, other anonymous mappings), Qt with the
// display libraries under it, fonts, ICU, crypto and TLS, libcurl with its protocol libraries,
// sound, the C and C++ runtime, the program itself and everything else.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>

#include <malloc.h>
#include <unistd.h>

namespace tw::bench {

enum class MappingGroup {
    MainArena,
    ThreadArenas,
    Stacks,
    OtherAnonymous,
    Qt,
    Display,
    Fonts,
    Icu,
    Crypto,
    Curl,
    Sound,
    Runtime,
    Program,
    Other,
    Count
};

constexpr std::size_t kMappingGroups = static_cast<std::size_t>(MappingGroup::Count);

inline const char* mappingGroupName(MappingGroup group) {
    switch (group) {
    case MappingGroup::MainArena:
        return "  main arena [heap]";
    case MappingGroup::ThreadArenas:
        return "  threads' arenas";
    case MappingGroup::Stacks:
        return "  thread stacks";
    case MappingGroup::OtherAnonymous:
        return "  other anonymous";
    case MappingGroup::Qt:
        return "Qt libraries, plug-ins";
    case MappingGroup::Display:
        return "X11, xcb, GL, D-Bus";
    case MappingGroup::Fonts:
        return "fonts, FreeType, HarfBuzz";
    case MappingGroup::Icu:
        return "ICU";
    case MappingGroup::Crypto:
        return "crypto/TLS";
    case MappingGroup::Curl:
        return "libcurl, its protocols";
    case MappingGroup::Sound:
        return "sound (canberra, ALSA)";
    case MappingGroup::Runtime:
        return "libc, libstdc++, ld.so";
    case MappingGroup::Program:
        return "the program's own code";
    case MappingGroup::Other:
    case MappingGroup::Count:
        break;
    }
    return "other";
}

/// Resident and proportional kilobytes of each group.
struct MappingFigures {
    std::array<long, kMappingGroups> rss{};
    std::array<long, kMappingGroups> pss{};
    /// malloc's view of all arenas: kilobytes handed out, and free inside what it holds.
    long mallocInUse = 0;
    long mallocFree = 0;

    long rssOf(MappingGroup group) const { return rss[static_cast<std::size_t>(group)]; }
    long ownRss() const {
        return rssOf(MappingGroup::MainArena) + rssOf(MappingGroup::ThreadArenas) +
               rssOf(MappingGroup::Stacks) + rssOf(MappingGroup::OtherAnonymous);
    }
    long totalRss() const {
        long sum = 0;
        for (const long kb : rss) {
            sum += kb;
        }
        return sum;
    }
};

namespace detail {

inline bool contains(std::string_view text, std::initializer_list<std::string_view> parts) {
    for (const std::string_view part : parts) {
        if (text.find(part) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

/// The library's file name without its folder, e.g. "libQt6Gui.so.6.4.2".
inline std::string_view baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

inline MappingGroup fileGroup(std::string_view path, std::string_view self) {
    if (path == self) {
        return MappingGroup::Program;
    }
    const std::string_view name = baseName(path);
    const auto starts = [&](std::initializer_list<std::string_view> prefixes) {
        for (const std::string_view prefix : prefixes) {
            if (name.substr(0, prefix.size()) == prefix) {
                return true;
            }
        }
        return false;
    };
    if (starts({"libQt6", "libqxcb", "libqgtk", "libqxdg", "libqico", "libqsvg", "libqjpeg",
                "libqgif", "libcomposeplatforminputcontext", "libibusplatforminputcontext",
                "libqxcb-glx", "libmd4c", "libdouble-conversion", "libb2", "libpcre2-16"}) ||
        contains(path, {"/qt6/plugins/"})) {
        return MappingGroup::Qt;
    }
    if (contains(path, {"/fonts/", "fontconfig"}) ||
        starts({"libfreetype", "libharfbuzz", "libfontconfig", "libgraphite2", "libpng"})) {
        return MappingGroup::Fonts;
    }
    if (starts({"libicu"})) {
        return MappingGroup::Icu;
    }
    if (starts({"libcrypto", "libssl", "libgnutls", "libnettle", "libhogweed", "libgmp",
                "libp11-kit", "libtasn1", "libkrb5", "libk5crypto", "libgssapi", "libcom_err",
                "libkeyutils", "libgcrypt", "libgpg-error"}) ||
        contains(path, {"ossl-modules", "pkcs11"})) {
        return MappingGroup::Crypto;
    }
    if (starts({"libcurl", "libnghttp2", "libidn2", "libunistring", "librtmp", "libssh2", "libpsl",
                "libldap", "liblber", "libsasl2", "libbrotli", "libresolv"})) {
        return MappingGroup::Curl;
    }
    if (starts(
            {"libcanberra", "libasound", "libvorbis", "libogg", "libtdb", "libltdl", "libpulse"})) {
        return MappingGroup::Sound;
    }
    if (starts({"libX", "libxcb", "libxkb", "libGL", "libEGL", "libOpenGL", "libdbus", "libglib",
                "libgthread", "libgobject", "libICE", "libSM", "libsystemd"}) ||
        contains(path, {"/memfd:", "/SYSV", "/dev/dri", "/dev/shm"})) {
        return MappingGroup::Display;
    }
    if (starts({"libc.so", "libc-", "libstdc++", "libm.so", "libgcc_s", "ld-linux", "libpthread",
                "libdl", "librt"}) ||
        contains(path, {"/locale/", "gconv"})) {
        return MappingGroup::Runtime;
    }
    return MappingGroup::Other;
}

} // namespace detail

/// The figures of the calling process now.
inline MappingFigures mappingFigures() {
    MappingFigures figures;
    std::string self;
    {
        char buffer[4096];
        const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (length > 0) {
            self.assign(buffer, static_cast<std::size_t>(length));
        }
    }
    const struct mallinfo2 info = ::mallinfo2();
    figures.mallocInUse = static_cast<long>(info.uordblks + info.hblkhd) / 1024;
    figures.mallocFree = static_cast<long>(info.fordblks) / 1024;
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    MappingGroup group = MappingGroup::Other;
    // A thread's stack is an anonymous mapping right above its guard page (no access at all).
    bool afterGuard = false;
    while (std::getline(smaps, line)) {
        const auto colon = line.find(':');
        const auto dash = line.find('-');
        if (dash != std::string::npos && (colon == std::string::npos || dash < colon) &&
            line.find(' ') > dash) {
            // "start-end perms offset dev inode [path]"
            std::istringstream fields(line);
            std::string range;
            std::string perms;
            std::string offset;
            std::string device;
            std::string inode;
            fields >> range >> perms >> offset >> device >> inode;
            std::string path;
            std::getline(fields >> std::ws, path);
            const std::uint64_t start = std::strtoull(range.c_str(), nullptr, 16);
            const std::uint64_t end = std::strtoull(range.c_str() + dash + 1, nullptr, 16);
            const bool guard = perms.rfind("---", 0) == 0;
            if (path == "[heap]") {
                group = MappingGroup::MainArena;
            } else if (path == "[stack]") {
                group = MappingGroup::Stacks;
            } else if (path.empty() || path.rfind("[anon", 0) == 0) {
                // glibc puts every secondary arena at a multiple of its 64 MiB heap size.
                constexpr std::uint64_t kArenaAlign = 64ULL << 20;
                if (start % kArenaAlign == 0 && end - start <= kArenaAlign) {
                    group = MappingGroup::ThreadArenas;
                } else if (afterGuard && end - start >= (256ULL << 10)) {
                    group = MappingGroup::Stacks;
                } else {
                    group = MappingGroup::OtherAnonymous;
                }
            } else if (path.front() == '[') {
                group = MappingGroup::Runtime; // [vdso], [vvar], [vsyscall]
            } else {
                group = detail::fileGroup(path, self);
            }
            // A stack's guard is a page or a few; a longer inaccessible stretch is reserved
            // address space (an arena's unused end, say).
            afterGuard = guard && path.empty() && end - start <= (64ULL << 10);
            continue;
        }
        const auto index = static_cast<std::size_t>(group);
        if (line.rfind("Rss:", 0) == 0) {
            figures.rss[index] += std::atol(line.c_str() + 4);
        } else if (line.rfind("Pss:", 0) == 0) {
            figures.pss[index] += std::atol(line.c_str() + 4);
        }
    }
    return figures;
}

/// Prints one line per group with each column's RSS, then the totals; `titles` name the columns.
template <std::size_t N>
void printMappingTable(const std::array<const char*, N>& titles,
                       const std::array<MappingFigures, N>& columns) {
    std::printf("%-28s", "resident kB by mapping");
    for (const char* title : titles) {
        std::printf(" %12s", title);
    }
    std::printf("\n%-28s", "own memory (anonymous)");
    for (const MappingFigures& figures : columns) {
        std::printf(" %12ld", figures.ownRss());
    }
    std::printf("\n");
    for (std::size_t g = 0; g < kMappingGroups; ++g) {
        std::printf("%-28s", mappingGroupName(static_cast<MappingGroup>(g)));
        for (const MappingFigures& figures : columns) {
            std::printf(" %12ld", figures.rss[g]);
        }
        std::printf("\n");
    }
    std::printf("%-28s", "total");
    for (const MappingFigures& figures : columns) {
        std::printf(" %12ld", figures.totalRss());
    }
    std::printf("\n%-28s", "malloc: in use");
    for (const MappingFigures& figures : columns) {
        std::printf(" %12ld", figures.mallocInUse);
    }
    std::printf("\n%-28s", "malloc: free in its arenas");
    for (const MappingFigures& figures : columns) {
        std::printf(" %12ld", figures.mallocFree);
    }
    std::printf("\n");
}

} // namespace tw::bench
