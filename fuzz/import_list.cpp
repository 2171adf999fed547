// An imported list in any of its formats (plain list, OPML, urls.yaml): parsed by yaml-cpp and
// pugixml from what another program or person wrote. Every entry taken must be a storable
// address and name, and what is exported from the planned items reads back to the same items.

#include "FuzzSupport.h"
#include "core/lists/ListExport.h"
#include "core/lists/ListImport.h"

#include <cctype>
#include <cstdint>

using tw::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const tw::ImportResult result = tw::parseImport(bytes);
    require(result.ok() || (result.entries.empty() && result.notes.empty()),
            "a refused file brings nothing");
    for (const tw::ImportEntry& entry : result.entries) {
        std::string scheme = entry.address.substr(0, entry.address.find("://"));
        for (char& c : scheme) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        require(scheme == "http" || scheme == "https", "an address taken is http or https");
        require(entry.address.find_first_of(std::string("\r\n \t\0", 5)) == std::string::npos,
                "an address taken holds no line break, blank or NUL");
    }
    const tw::ImportPlan plan = tw::planImport(result, {});
    for (const tw::ListFormat format :
         {tw::ListFormat::Urls, tw::ListFormat::Opml, tw::ListFormat::Yaml}) {
        const tw::ImportPlan again =
            tw::planImport(tw::parseImport(tw::exportText(plan.toAdd, format)), {});
        require(again.ok(), "an export reads back");
        require(again.toAdd.size() == plan.toAdd.size(), "an export reads back whole");
        for (std::size_t i = 0; i < plan.toAdd.size(); ++i) {
            require(again.toAdd[i].targetUrl == plan.toAdd[i].targetUrl,
                    "an address reads back as written");
            require(format == tw::ListFormat::Urls || again.toAdd[i].name == plan.toAdd[i].name,
                    "a name reads back as written");
        }
    }
    return 0;
}
