#include "core/platform/DesktopSoundPlayer.h"

#include "core/platform/SharedLibrary.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#ifdef TARNWICK_HAVE_CANBERRA
#include <canberra.h>
#endif

namespace tw {

namespace {

bool isFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string installedShareFolder() {
    char exe[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) {
        return {};
    }
    std::string folder(exe, static_cast<std::size_t>(length));
    folder = folder.substr(0, folder.rfind('/')); // .../bin
    folder = folder.substr(0, folder.rfind('/')); // prefix
    // Joined with the program's 932 names like every other folder.
    return folder.empty() ? std::string() : textPath(folder + "/share/tarnwick");
}

#ifdef TARNWICK_HAVE_CANBERRA
constexpr uint32_t kSoundId = 1;

#ifndef TARNWICK_CANBERRA_SONAME
#define TARNWICK_CANBERRA_SONAME "libcanberra.so.0"
#endif

/// libcanberra, opened at the first sound rather than linked: it brings the sound file decoders
/// and its own database library, which a window that plays nothing never needs.
struct Canberra {
    SharedLibrary library{TARNWICK_CANBERRA_SONAME};
    decltype(&::ca_context_create) create = library.symbol<decltype(create)>("ca_context_create");
    decltype(&::ca_context_destroy) destroy =
        library.symbol<decltype(destroy)>("ca_context_destroy");
    decltype(&::ca_context_change_props) changeProps =
        library.symbol<decltype(changeProps)>("ca_context_change_props");
    decltype(&::ca_context_cancel) cancel = library.symbol<decltype(cancel)>("ca_context_cancel");
    decltype(&::ca_context_play) play = library.symbol<decltype(play)>("ca_context_play");

    bool complete() const { return create && destroy && changeProps && cancel && play; }
};

/// The library, opened once by whichever thread plays first; null when it cannot be.
const Canberra* canberra() {
    static const Canberra library;
    return library.complete() ? &library : nullptr;
}
#endif

} // namespace

DesktopSoundPlayer::DesktopSoundPlayer(std::string dataFolder, std::string shareFolder)
    : m_dataFolder(dataFolder.empty() ? programFolder() : std::move(dataFolder)),
      m_shareFolder(shareFolder.empty() ? installedShareFolder() : std::move(shareFolder)) {}

DesktopSoundPlayer::~DesktopSoundPlayer() {
#ifdef TARNWICK_HAVE_CANBERRA
    if (m_context) {
        canberra()->destroy(static_cast<ca_context*>(m_context));
    }
#endif
}

std::string DesktopSoundPlayer::resolve(const std::string& file) const {
    if (file.empty()) {
        return {};
    }
    if (file.find('/') != std::string::npos) {
        const std::string path = systemPath(file);
        return isFile(path) ? path : std::string();
    }
    for (const std::string& folder : {m_dataFolder, m_shareFolder}) {
        if (folder.empty()) {
            continue;
        }
        std::string name = folder;
        name += '/';
        name += file;
        if (std::string path = systemPath(name); isFile(path)) {
            return path;
        }
    }
    return {};
}

void DesktopSoundPlayer::play(const std::string& file) {
    if (file.empty()) {
        return;
    }
#ifdef TARNWICK_HAVE_CANBERRA
    const std::string path = resolve(file);
    std::lock_guard lock(m_mutex);
    const Canberra* sound = canberra();
    if (!m_context && !m_failed) {
        ca_context* context = nullptr;
        m_failed = !sound || sound->create(&context) != CA_SUCCESS;
        if (!m_failed) {
            // Named so that the desktop's mixer shows whose sound it is.
            sound->changeProps(context, CA_PROP_APPLICATION_NAME, "Tarnwick", nullptr);
        }
        m_context = context;
    }
    if (!m_context) {
        return;
    }
    auto* context = static_cast<ca_context*>(m_context);
    sound->cancel(context, kSoundId);
    if (path.empty()) {
        sound->play(context, kSoundId, CA_PROP_EVENT_ID, "dialog-information", nullptr);
    } else {
        sound->play(context, kSoundId, CA_PROP_MEDIA_FILENAME, path.c_str(),
                    CA_PROP_CANBERRA_CACHE_CONTROL, "never", nullptr);
    }
#endif
}

} // namespace tw
