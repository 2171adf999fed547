#pragma once

#include "core/ports/Notifier.h"

#include <memory>

namespace tw::notify {

/// For a program without a window (the headless mode): a notifier on the session bus with a
/// thread and an event loop of its own, so that the mode's own loop knows nothing of Qt. It
/// makes the Qt application object that QtDBus needs when there is none yet, and ends both
/// when it goes. Null when there is no session bus. Offers no change view.
std::unique_ptr<Notifier> makeSessionNotifier();

} // namespace tw::notify
