#include "app/Siblings.h"

#include "app/CTarnwickApp.h"
#include "platform/Desktop.h"
#include "platform/MessageBus.h"
#include "platform/RegistryKey.h"
#include "ports/Prompter.h"
#include "util/Cp932.h"
#include "util/SystemPath.h"

#include <cstdio>
#include <sys/stat.h>

namespace tw {

namespace {

constexpr const char* kIdentifier = "Identifier";
constexpr const char* kIdTime = "IdTime";
constexpr const char* kState = "State";
constexpr const char* kPosition = "Position";
constexpr const char* kVersion = "Version";
constexpr const char* kUrl = "URL";
constexpr const char* kClosed = "closed";

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

/// Reads the one record of a hand-over file. Only a file that held a whole record is deleted:
/// the name comes from a shared value, and anything else there is not ours to remove.
std::optional<FetchSettings> takeHandOverFile(const std::string& name) {
    const std::string path = systemPath(name);
    if (!isRegularFile(path)) {
        return std::nullopt;
    }
    FetchSettings record;
    if (record.readFile(path, "r") != 1) {
        return std::nullopt;
    }
    std::remove(path.c_str());
    return record;
}

} // namespace

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
    helper.writeString(kIdentifier, "");
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
