#pragma once

#include <memory>
#include <string>

namespace tw {

class Notifier;

/// The notifier of the program without a window: the desktop's notification service reached
/// through a module of its own (Qt's D-Bus client and Qt itself), loaded with the first notice,
/// so that a check cycle that never tells anything never maps them. Null when the session has
/// no message bus. When the module cannot be loaded or finds no bus, the first notice says so
/// once on standard error and the rest are dropped.
///
/// The module is looked for in `programFolder`/../lib/tarnwick (installed) and beside the
/// program (the build tree).
std::unique_ptr<Notifier> makeNotifierFromModule(const std::string& programFolder);

/// The module's file name and the function it exports: `Notifier* entry()`, a new notifier the
/// caller owns, or null when there is no session bus.
inline constexpr const char* kNotifierModuleFile = "tarnwick-notify.so";
inline constexpr const char* kNotifierModuleEntry = "tarnwick_make_session_notifier";
using NotifierModuleEntry = Notifier* (*)();

} // namespace tw
