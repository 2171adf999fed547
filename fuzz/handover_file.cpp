// The hand-over file the download helper leaves for this program, read with
// FetchSettings::readFile as pickUpHandOver does. What reads whole must write and read back
// equal through a file.

#include "FuzzSupport.h"
#include "core/records/FetchSettings.h"

#include <cstdint>
#include <fstream>

using tw::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string inPath = tw::fuzz::temporaryFolder() + "/handover.in";
    static const std::string outPath = tw::fuzz::temporaryFolder() + "/handover.out";
    {
        std::ofstream file(inPath, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    tw::FetchSettings record;
    if (record.readFile(inPath, "r") != 1) {
        return 0;
    }
    record.requiredHelperVersion();
    require(record.writeFile(outPath, "w") == 1, "a record that was read can be written");
    tw::FetchSettings back;
    require(back.readFile(outPath, "r") == 1, "a written hand-over file reads whole");
    require(back == record || tw::fuzz::hasLoneCarriageReturn(
                                  std::string(reinterpret_cast<const char*>(data), size)),
            "a written hand-over file reads back equal");
    require(back.toText() == record.toText(), "a hand-over file read back writes the same text");
    return 0;
}
