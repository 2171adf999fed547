// A downloaded page through the check-area path: detectCodePage, the conversion to code page
// 932 (JIS, EUC-JP, UTF-8), extractArea behind a keyword, and the conversion of the area to JIS
// as a mail body needs it. extractArea is compared with a plain walk over the characters.

#include "FuzzSupport.h"
#include "core/platform/IcuCodeConverter.h"
#include "core/watch/CheckArea.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <vector>

using tw::fuzz::require;

namespace {

bool isLead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

/// extractArea the slow way: character starts found by walking from the first byte.
std::string referenceArea(std::string_view text, std::string_view keyword, int occurrence,
                          int offset, int size) {
    if (keyword.empty() || size <= 0) {
        return {};
    }
    occurrence = std::max(occurrence, 1);
    std::vector<bool> starts(text.size() + 1, false);
    for (std::size_t pos = 0; pos < text.size();) {
        starts[pos] = true;
        pos += isLead(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size() ? 2 : 1;
    }
    int found = 0;
    for (std::size_t pos = 0; pos + keyword.size() <= text.size(); ++pos) {
        if (starts[pos] && text.substr(pos, keyword.size()) == keyword && ++found == occurrence) {
            const std::int64_t length = static_cast<std::int64_t>(text.size());
            std::int64_t start = static_cast<std::int64_t>(pos + keyword.size()) + offset;
            if (start >= length) {
                return {};
            }
            start = std::max<std::int64_t>(start, 0);
            return std::string(text.substr(
                static_cast<std::size_t>(start),
                static_cast<std::size_t>(std::min<std::int64_t>(size, length - start))));
        }
    }
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tw::IcuCodeConverter converter;
    static const std::string pagePath = tw::fuzz::temporaryFolder() + "/page.html";

    FuzzedDataProvider input(data, size);
    const int japaneseCode = input.ConsumeIntegralInRange(0, 5);
    const int occurrence = input.ConsumeIntegralInRange(-1, 4);
    const int offset = input.ConsumeIntegralInRange(-300, 300);
    const int areaSize = input.ConsumeIntegralInRange(-2, 200);
    const std::string keyword = input.ConsumeRandomLengthString(16);
    const std::string page = input.ConsumeRemainingBytesAsString();

    // The page as the checker gets it: a file, read up to its first zero byte and converted.
    {
        std::ofstream file(pagePath, std::ios::binary | std::ios::trunc);
        file.write(page.data(), static_cast<std::streamsize>(page.size()));
    }
    const std::optional<std::string> loaded = tw::loadConverted(&converter, pagePath, japaneseCode);
    require(loaded.has_value(), "a readable page always converts");

    // The same with the detected code page, in memory.
    const int codePage = tw::detectCodePage(page);
    require(codePage == 932 || codePage == 50220 || codePage == 51932 || codePage == 65001,
            "a known code page is detected");
    std::string text = page;
    if (codePage != 932) {
        require(converter.convert(codePage, 932, page, text), "conversion to 932 is supported");
    }

    for (const std::string* subject : {&*loaded, static_cast<const std::string*>(&text)}) {
        const std::string area = tw::extractArea(*subject, keyword, occurrence, offset, areaSize);
        require(area == referenceArea(*subject, keyword, occurrence, offset, areaSize),
                "extractArea agrees with the plain walk");
        std::string mail;
        require(converter.convert(932, 50220, area, mail), "932 to JIS is supported");
        std::string back;
        require(converter.convert(50220, 932, mail, back), "JIS to 932 is supported");
    }
    return 0;
}
