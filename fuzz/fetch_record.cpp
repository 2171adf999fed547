// FetchSettings::readRecord on arbitrary bytes: blocks come from sibling programs, hand-over
// files and link lists. Every block that reads whole must write and read back equal.

#include "FuzzSupport.h"
#include "core/records/FetchSettings.h"

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tw::fuzz::roundTripBlocks<tw::FetchSettings>(
        std::string(reinterpret_cast<const char*>(data), size),
        [](const tw::FetchSettings& a, const tw::FetchSettings& b) { return a == b; });
    return 0;
}
