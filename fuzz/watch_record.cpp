// WatchSettings::readRecord on arbitrary bytes: the watch list file may be damaged or written by
// another version. Every block that reads whole must write and read back equal.

#include "FuzzSupport.h"
#include "records/WatchSettings.h"

#include <cstdint>
#include <cstdio>

using tw::fuzz::require;

namespace {

/// Equality of everything that is stored; run-time fields are not part of a block.
bool sameStored(const tw::WatchSettings& a, const tw::WatchSettings& b) {
    return static_cast<const tw::FetchSettings&>(a) == static_cast<const tw::FetchSettings&>(b) &&
           a.toText() == b.toText();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
    if (!stream) {
        return 0;
    }
    const bool lone = tw::fuzz::hasLoneCarriageReturn(bytes);
    for (int block = 0; block < 16; ++block) {
        tw::WatchSettings first;
        if (first.readRecord(stream) != 1) {
            break;
        }
        first.schedulePosition();
        first.timingPosition();
        const std::string text = first.toText();
        tw::WatchSettings second;
        require(second.fromText(text) == 1, "a written block reads back whole");
        require(lone || sameStored(first, second), "a written block reads back equal");
        require(second.toText() == text, "a block read back writes the same text");
    }
    std::fclose(stream);
    return 0;
}
