#pragma once

// Small helpers shared by the fuzz targets.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tw::fuzz {

/// Ends the run as a finding (libFuzzer saves the input) when a property does not hold.
inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

/// True when `bytes` hold a CR that does not end a line. Writing a record turns such a CR in a
/// value into a blank, as every line break in a value; only the written form round-trips then.
inline bool hasLoneCarriageReturn(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) {
            return true;
        }
    }
    return false;
}

/// Reads up to 16 blocks of `Record` from `bytes`, as a list file holds them; every block that
/// reads whole must write, read back whole and equal (`same`), and write the same text again.
template <typename Record, typename Same>
void roundTripBlocks(std::string bytes, Same same) {
    std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
    if (!stream) {
        return;
    }
    const bool lone = hasLoneCarriageReturn(bytes);
    for (int block = 0; block < 16; ++block) {
        Record first;
        if (first.readRecord(stream) != 1) {
            break;
        }
        const std::string text = first.toText();
        Record second;
        require(second.fromText(text) == 1, "a written block reads back whole");
        require(lone || same(first, second), "a written block reads back equal");
        require(second.toText() == text, "a block read back writes the same text");
    }
    std::fclose(stream);
}

/// A private temporary folder for the whole run, removed when the process exits normally;
/// targets keep what they write there small and overwrite it each run.
std::string temporaryFolder();

} // namespace tw::fuzz
