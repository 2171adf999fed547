// WatchSettings::readRecord on arbitrary bytes: the watch list file may be damaged or written by
// another version. Every block that reads whole must write and read back equal.

#include "FuzzSupport.h"
#include "core/records/WatchSettings.h"

#include <cstdint>
#include <cstdio>

namespace {

/// Equality of everything that is stored; run-time fields are not part of a block.
bool sameStored(const tw::WatchSettings& a, const tw::WatchSettings& b) {
    return static_cast<const tw::FetchSettings&>(a) == static_cast<const tw::FetchSettings&>(b) &&
           a.toText() == b.toText();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tw::fuzz::roundTripBlocks<tw::WatchSettings>(
        std::string(reinterpret_cast<const char*>(data), size), sameStored);
    return 0;
}
