#pragma once

#include <string>

namespace tw::gui {

/// Where the announcement file is looked for when the settings store names no "Location": the
/// build's TARNWICK_ANNOUNCE_LOCATION, empty by default, which leaves the feed dormant.
std::string announceDefaultLocation();

/// The wait before the fetch, 30 s; a test build's hook (util/TestHooks.h) shortens it.
int announceDelayMs();

/// A test build's hook: the announcement dialog clicks "はい" itself as soon as it is shown, so
/// that a run without a user can go all the way. Always false in the program users run.
bool announceAnswersItself();

} // namespace tw::gui
