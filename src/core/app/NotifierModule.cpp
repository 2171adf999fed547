#include "core/app/NotifierModule.h"

#include "core/platform/SharedLibrary.h"
#include "core/ports/Notifier.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace tw {

namespace {

bool sessionBusLikely() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
        return true;
    }
    // A systemd user session's bus, which need not be named in the environment.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 &&
           S_ISSOCK(info.st_mode);
}

class ModuleNotifier : public Notifier {
public:
    explicit ModuleNotifier(std::string programFolder) : m_folder(std::move(programFolder)) {}

    void notify(const Notice& notice) override {
        if (!m_loaded) {
            load();
        }
        if (m_notifier) {
            m_notifier->notify(notice);
        }
    }

    void setActionHandler(ActionHandler handler) override {
        if (m_notifier) {
            m_notifier->setActionHandler(std::move(handler));
        } else {
            m_handler = std::move(handler);
        }
    }

private:
    void load() {
        m_loaded = true;
        std::string why;
        for (const std::string& path : {m_folder + "/../lib/tarnwick/" + kNotifierModuleFile,
                                        m_folder + "/" + kNotifierModuleFile}) {
            struct stat info {};
            if (::stat(path.c_str(), &info) != 0) {
                continue;
            }
            // Opened for good (SharedLibrary never closes): the module's threads and Qt's
            // handlers must not outlive its code.
            m_library = std::make_unique<SharedLibrary>(path.c_str());
            const auto entry = m_library->symbol<NotifierModuleEntry>(kNotifierModuleEntry);
            if (!entry) {
                why = m_library->error();
                break;
            }
            m_notifier.reset(entry());
            if (!m_notifier) {
                why = "no session bus";
                break;
            }
            if (m_handler) {
                m_notifier->setActionHandler(std::move(m_handler));
            }
            return;
        }
        std::fprintf(stderr, "tarnwick: notices cannot reach the desktop (%s)\n",
                     why.empty() ? "the notification module is not installed" : why.c_str());
    }

    std::string m_folder;
    bool m_loaded = false;
    ActionHandler m_handler;
    std::unique_ptr<SharedLibrary> m_library;
    std::unique_ptr<Notifier> m_notifier;
};

} // namespace

std::unique_ptr<Notifier> makeNotifierFromModule(const std::string& programFolder) {
    if (!sessionBusLikely()) {
        return nullptr;
    }
    return std::make_unique<ModuleNotifier>(programFolder);
}

} // namespace tw
