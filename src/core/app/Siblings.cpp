#include "core/app/Siblings.h"

#include "core/app/CTarnwickApp.h"
#include "core/platform/Desktop.h"
#include "core/platform/MessageBus.h"
#include "core/platform/RegistryKey.h"
#include "core/ports/Prompter.h"
#include "core/util/Cp932.h"
#include "core/util/FileDescriptor.h"
#include "core/util/SystemPath.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr const char* kIdentifier = "Identifier";
constexpr const char* kIdTime = "IdTime";
constexpr const char* kState = "State";
constexpr const char* kPosition = "Position";
constexpr const char* kVersion = "Version";
constexpr const char* kUrl = "URL";
constexpr const char* kClosed = "closed";

/// The program's own files in its data folder: a hand-over name never stands for one of them,
/// whatever way it reaches it.
constexpr const char* kOwnFiles[] = {
    "WatchList.twl",
    "WatchList.twl.damaged",
    CTarnwickApp::kSettingsFileName,
    "tarnwick.conf",
    "announce.dat",
    "imagetest.htm",
    ".tarnwick.lock",
    CTarnwickApp::kDamagedSettingsName,
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// A file a hand-over can be: a regular file of this user that no other name links to.
bool handOverShape(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1;
}

/// Reads at most `limit` + 1 bytes, so that a file grown beyond the limit shows.
bool readUpTo(int fd, std::size_t limit, std::string& bytes) {
    bytes.clear();
    char chunk[65536];
    while (bytes.size() <= limit) {
        const std::size_t want = std::min(sizeof chunk, limit + 1 - bytes.size());
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

} // namespace

bool Siblings::isHandOverName(const std::string& name) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const auto isLetterOrDigit = [&](char c) {
        return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    };
    const std::size_t underscore = name.find('_');
    const std::string stem = name.substr(0, underscore);
    if (stem.empty() || !std::all_of(stem.begin(), stem.end(), isLetterOrDigit)) {
        return false;
    }
    if (underscore == std::string::npos) {
        return true;
    }
    const std::string number = name.substr(underscore + 1);
    return !number.empty() && std::all_of(number.begin(), number.end(), isDigit);
}

bool Siblings::isOwnFile(const struct stat& info) const {
    for (const char* name : kOwnFiles) {
        struct stat own {};
        if (::stat(systemPath(m_dataFolder + "/" + name).c_str(), &own) == 0 &&
            sameFile(own, info)) {
            return true;
        }
    }
    return false;
}

std::optional<FetchSettings> Siblings::takeHandOverFile(const std::string& name) {
    // A relative name would depend on where the program was started.
    const std::size_t slash = name.rfind('/');
    if (name.empty() || name.front() != '/' || !isHandOverName(name.substr(slash + 1))) {
        return std::nullopt;
    }
    const std::string base = name.substr(slash + 1);
    const std::string path = systemPath(name);
    // The name is ASCII: it ends the path on disk as it stands.
    if (path.size() <= base.size() ||
        path.compare(path.size() - base.size() - 1, std::string::npos, "/" + base) != 0) {
        return std::nullopt;
    }
    // Looked at, opened and deleted by name within the folder, so that the file that was
    // checked is the file that is read and the file that goes.
    const FileDescriptor folder(::open(path.substr(0, path.size() - base.size()).c_str(),
                                       O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat found {};
    if (folder < 0 || ::fstatat(folder, base.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0 ||
        !handOverShape(found) || isOwnFile(found)) {
        return std::nullopt;
    }
    // Non-blocking: should a FIFO take the file's place meanwhile, the open must not wait.
    const FileDescriptor file(
        ::openat(folder, base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (file < 0 || ::fstat(file, &opened) != 0 || !handOverShape(opened) ||
        !sameFile(found, opened)) {
        return std::nullopt;
    }
    // The size first: a file too large is never read at all.
    const auto tooLarge = [&] {
        m_prompter.showMessage(jp(kHandOverTooLarge) + "\n" + name, Prompter::Icon::Warning);
        return std::nullopt;
    };
    if (static_cast<std::uint64_t>(opened.st_size) > kMaxHandOverBytes) {
        return tooLarge();
    }
    std::string bytes;
    if (!readUpTo(file, kMaxHandOverBytes, bytes)) {
        return std::nullopt;
    }
    if (bytes.size() > kMaxHandOverBytes) {
        return tooLarge();
    }
    FetchSettings record;
    if (record.fromText(bytes) != 1) {
        return std::nullopt;
    }
    struct stat now {};
    if (::fstatat(folder, base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, opened)) {
        ::unlinkat(folder, base.c_str(), 0);
    }
    return record;
}

SiblingKeys SiblingKeys::of(CTarnwickApp& app) {
    return {app.ownKey, app.quaylinkKey, app.brindleKey, app.locationKey};
}

Siblings::Siblings(CTarnwickApp& app, Shell& shell, const Clock& clock)
    : Siblings(SiblingKeys::of(app), shell, app.prompter(), app.programFolder(),
               app.paths().runtimeFolder, clock) {}

Siblings::Siblings(SiblingKeys keys, Shell& shell, Prompter& prompter, std::string dataFolder,
                   std::string busFolder, const Clock& clock)
    : m_keys(keys), m_shell(shell), m_prompter(prompter), m_dataFolder(std::move(dataFolder)),
      m_busFolder(std::move(busFolder)), m_clock(clock) {}

int Siblings::quaylinkVersion() const {
    return CTarnwickApp::versionNumber(m_keys.quaylinkKey.readString(kVersion));
}

void Siblings::encodeIdTime(std::time_t moment, unsigned char bytes[4]) {
    const auto value = static_cast<std::uint32_t>(static_cast<std::uint64_t>(moment));
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint32_t Siblings::decodeIdTime(const unsigned char bytes[4]) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

Siblings::Claim Siblings::claimSlot(const std::string& path) {
    RegistryKey& own = m_keys.ownKey;
    // A path the slot cannot hold whole would be read back as empty and never taken.
    if (!own.opened() || path.empty() || path.size() >= RegistryKey::kStringBufferSize) {
        if (!own.opened()) {
            m_prompter.showMessage(jp(kRegistryBroken), Prompter::Icon::Error);
        }
        return Claim::Failed;
    }
    const std::time_t now = m_clock.now();
    if (!own.readString(kIdentifier).empty()) {
        unsigned char placed[4] = {};
        if (own.readBinary(kIdTime, placed, sizeof placed) == sizeof placed) {
            // Modulo 2^32, so the four bytes keep working after 2038; a claim time in the future
            // (clock set back, damaged value) comes out huge and counts as stale instead of
            // blocking every display until that moment.
            const std::uint32_t age =
                static_cast<std::uint32_t>(static_cast<std::uint64_t>(now)) - decodeIdTime(placed);
            if (age < static_cast<std::uint32_t>(kClaimSeconds)) {
                return Claim::Busy;
            }
        }
    }
    unsigned char stamp[4];
    encodeIdTime(now, stamp);
    if (own.writeString(kIdentifier, path) != 0 ||
        own.writeBinary(kIdTime, stamp, sizeof stamp) != 0) {
        own.writeString(kIdentifier, "");
        m_prompter.showMessage(jp(kRegistryBroken), Prompter::Icon::Error);
        return Claim::Failed;
    }
    return Claim::Placed;
}

int Siblings::handOverToQuaylink(const std::string& path) {
    switch (claimSlot(path)) {
    case Claim::Busy:
        return 1;
    case Claim::Failed:
        return -1;
    case Claim::Placed:
        break;
    }
    if (quaylinkVersion() >= kRecordHelperVersion) {
        if (m_keys.quaylinkKey.readString(kState) != kClosed || launchQuaylink() == 0) {
            broadcast(kTarnwickToHelper);
            return 0;
        }
    }
    return oldHelperPath();
}

int Siblings::oldHelperPath() {
    // An old helper takes only an address: take the hand-over back and pass that on.
    RegistryKey& own = m_keys.ownKey;
    const std::string taken = own.readString(kIdentifier);
    if (taken.empty()) {
        return -1;
    }
    own.writeString(kIdentifier, "");
    const std::optional<FetchSettings> record = takeHandOverFile(taken);
    if (!record) {
        return -1;
    }
    if (record->requiredHelperVersion() == kRecordHelperVersion) {
        m_prompter.showMessage(jp(kNeedHelper150), Prompter::Icon::Information);
    }
    const std::string& address = record->targetUrl;
    const bool placed = putLocationUrl(address) == 0;
    const std::string state = m_keys.quaylinkKey.readString(kState);
    if (!placed || state == kClosed || state.empty()) {
        if (launchQuaylink() != 0) {
            // Nobody will take the address now; left in the slot it would block every later
            // display through an old helper.
            if (placed && m_keys.locationKey.readString(kUrl) == address) {
                m_keys.locationKey.writeString(kUrl, "");
            }
            return m_shell.open(address, {}) ? 0 : -1;
        }
    }
    broadcast(kBrindleToHelper);
    return 0;
}

std::optional<FetchSettings> Siblings::pickUpHandOver() {
    RegistryKey& helper = m_keys.quaylinkKey;
    const std::string path = helper.readString(kIdentifier);
    // An empty slot stays untouched: a burst of messages must not become a burst of writes.
    if (!path.empty() || !helper.emptyOrMissing(kIdentifier)) {
        helper.writeString(kIdentifier, "");
    }
    if (path.empty()) {
        return std::nullopt;
    }
    return takeHandOverFile(path);
}

void Siblings::startBrindle() {
    if (m_keys.brindleKey.readString(kState) == kClosed && launchBrindle() != 0) {
        m_prompter.showMessage(jp(kBrindleNotInstalled), Prompter::Icon::Warning);
    }
    broadcast(kHelperToBrindle);
}

void Siblings::startQuaylink() {
    if (m_keys.quaylinkKey.readString(kState) == kClosed && launchQuaylink() != 0) {
        m_prompter.showMessage(jp(kQuaylinkNotInstalled), Prompter::Icon::Warning);
    }
    broadcast(kBrindleToHelper);
}

int Siblings::launchQuaylink() {
    std::string folder = m_keys.quaylinkKey.readString(kPosition);
    if (folder.empty()) {
        folder = m_dataFolder;
    }
    return launch(folder, kQuaylinkExecutable);
}

int Siblings::launchBrindle() {
    return launch(m_keys.brindleKey.readString(kPosition), kBrindleExecutable);
}

int Siblings::launch(const std::string& folder, const char* executable) {
    // Only the sibling's own folder: a bare name would let the shell search PATH for it.
    if (folder.empty()) {
        return 1;
    }
    std::string base = folder;
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    const std::string program = (base == "/" ? std::string() : base) + "/" + executable;
    return m_shell.launch(program, {}, folder) ? 0 : 1;
}

int Siblings::putLocationUrl(const std::string& address) {
    RegistryKey& location = m_keys.locationKey;
    if (!location.opened() || !location.readString(kUrl).empty()) {
        return 1;
    }
    return location.writeString(kUrl, address) == 0 ? 0 : 1;
}

void Siblings::broadcast(const char* name) {
    MessageBus::broadcast(name, m_busFolder);
}

} // namespace tw
