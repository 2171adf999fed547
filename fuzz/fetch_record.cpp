// FetchSettings::readRecord on arbitrary bytes: blocks come from sibling programs, hand-over
// files and link lists. Every block that reads whole must write and read back equal.

#include "FuzzSupport.h"
#include "records/FetchSettings.h"

#include <cstdint>
#include <cstdio>

using tw::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
    if (!stream) {
        return 0;
    }
    const bool lone = tw::fuzz::hasLoneCarriageReturn(bytes);
    // Several blocks in a row, as a link list holds them.
    for (int block = 0; block < 16; ++block) {
        tw::FetchSettings first;
        if (first.readRecord(stream) != 1) {
            break;
        }
        const std::string text = first.toText();
        tw::FetchSettings second;
        require(second.fromText(text) == 1, "a written block reads back whole");
        require(second == first || lone, "a written block reads back equal");
        require(second.toText() == text, "a block read back writes the same text");
    }
    std::fclose(stream);
    return 0;
}
