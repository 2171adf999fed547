// The notifier of the program without a window, as a module it loads with its first notice.

#include "core/app/NotifierModule.h"
#include "gui/notify/SessionNotifier.h"

extern "C" __attribute__((visibility("default"))) tw::Notifier* tarnwick_make_session_notifier() {
    return tw::notify::makeSessionNotifier().release();
}

static_assert(std::is_same_v<decltype(&tarnwick_make_session_notifier), tw::NotifierModuleEntry>);
