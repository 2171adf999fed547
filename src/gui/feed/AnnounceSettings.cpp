#include "gui/feed/AnnounceSettings.h"

#include "core/util/TestHooks.h"

#include <cstdlib>

#ifndef TARNWICK_ANNOUNCE_LOCATION
#define TARNWICK_ANNOUNCE_LOCATION ""
#endif

namespace tw::gui {

std::string announceDefaultLocation() {
    return TARNWICK_ANNOUNCE_LOCATION;
}

int announceDelayMs() {
    constexpr int kDelayMs = 30000;
    const auto value = testHook(TestHook::AnnounceDelayMs);
    if (!value) {
        return kDelayMs;
    }
    char* end = nullptr;
    const long delay = std::strtol(value->c_str(), &end, 10);
    return *end == '\0' && delay >= 0 && delay <= kDelayMs ? static_cast<int>(delay) : kDelayMs;
}

bool announceAnswersItself() {
    return testHook(TestHook::AnnounceAnswer) == "yes";
}

} // namespace tw::gui
