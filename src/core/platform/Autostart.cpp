#include "core/platform/Autostart.h"

#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"

#include <cerrno>
#include <climits>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

/// The seconds the session waits before starting us: the panel with its tray is up by then, so
/// that --tray finds it.
constexpr int kStartDelaySeconds = 10;

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

/// One argument of an Exec line: quoted, with the quoting's and the string value's escapes.
std::string execArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (const char ch : argument) {
        switch (ch) {
        case '"':
        case '`':
        case '$':
            // Escaped for the quoting; its backslash escaped again as in any string value.
            quoted += "\\\\";
            quoted += ch;
            break;
        case '\\':
            quoted += "\\\\\\\\";
            break;
        default:
            quoted += ch;
        }
    }
    return quoted + "\"";
}

std::string failure(const char* what, const std::string& path, int error) {
    return jp(what) + "\n" + textPath(path) + "\n" + jp("理由: ") + systemErrorText(error);
}

/// Makes `folder` when it is missing; 0 or the errno of the failure.
int makeFolder(const std::string& folder, mode_t mode) {
    if (::mkdir(folder.c_str(), mode) == 0 || errno == EEXIST) {
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0) {
            return errno;
        }
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    }
    return errno;
}

} // namespace

std::string autostartFile(const std::string& configFolder) {
    return configFolder + "/autostart/tarnwick.desktop";
}

bool autostartEnabled(const std::string& file) {
    std::string text;
    if (readRegularFile(file, text, 1 << 16) != 0) {
        return false;
    }
    bool inEntry = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line = trimmed(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.starts_with('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inEntry || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trimmed(line.substr(0, equals));
        const std::string_view value = trimmed(line.substr(equals + 1));
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            return false;
        }
    }
    return true;
}

std::string runningProgram() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
        return {};
    }
    std::string program(buffer, static_cast<std::size_t>(length));
    // The window's program is started through `tarnwick` beside it, which a user recognises in
    // the entry and which keeps working should the window one move.
    const std::string suffix = "/tarnwick-window";
    if (program.ends_with(suffix)) {
        std::string launcher = program.substr(0, program.size() - suffix.size()) + "/tarnwick";
        if (::access(launcher.c_str(), X_OK) == 0) {
            return launcher;
        }
    }
    return program;
}

std::string autostartEntry(const std::string& programDiskPath) {
    if (programDiskPath.empty() || programDiskPath.front() != '/') {
        return {};
    }
    for (const char ch : programDiskPath) {
        // A percent sign would be written %%, which GLib's desktops do not undo before they look
        // for the program: the entry would silently start nothing there.
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f || ch == '%') {
            return {};
        }
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tarnwick\n"
           "Comment=Watch web pages and get told when one has changed\n"
           "Comment[ja]=ウェブページを定期的にチェックして、更新されたらお知らせします\n"
           "Exec=" +
           execArgument(programDiskPath) +
           " --tray\n"
           "Icon=tarnwick\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n"
           "X-GNOME-Autostart-Delay=" +
           std::to_string(kStartDelaySeconds) + "\n";
}

std::string setAutostart(const std::string& configFolder, bool enabled,
                         const std::string& programDiskPath) {
    const std::string file = autostartFile(configFolder);
    if (!enabled) {
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            return failure("ログイン時に起動しない設定にできませんでした。", file, errno);
        }
        return {};
    }
    const std::string entry = autostartEntry(programDiskPath);
    if (entry.empty()) {
        return jp("ログイン時に起動する設定にできませんでした。\n") +
               jp("プログラムの場所が分からないか、起動の設定に書けない文字を含んでいます。\n") +
               textPath(programDiskPath);
    }
    const std::string folder = configFolder + "/autostart";
    // The configuration folder is private by the desktop's rules; the autostart folder as usual.
    for (const auto& [path, mode] : {std::pair{configFolder, 0700}, std::pair{folder, 0755}}) {
        if (const int error = makeFolder(path, static_cast<mode_t>(mode)); error != 0) {
            return failure("ログイン時に起動する設定にできませんでした。", path, error);
        }
    }
    if (!replaceDiskFile(file, entry, 0644)) {
        return failure("ログイン時に起動する設定にできませんでした。", file, errno);
    }
    return {};
}

} // namespace tw
