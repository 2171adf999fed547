#include "core/platform/CodeGuess.h"

#include <unicode/ucsdet.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace tw {

namespace {

/// The detector reads this much of a page: enough text to judge by, bounded time on 64 MiB.
constexpr std::size_t kDetectorSample = std::size_t{256} * 1024;

unsigned char at(std::string_view text, std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
}

/// The length of the well-formed UTF-8 sequence at `i` (no overlong form, no surrogate,
/// nothing beyond U+10FFFF, nothing cut off); 0 when there is none.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const unsigned char c = at(text, i);
    if (c < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;  // no overlong form
        high = c == 0xED ? 0x9F : 0xBF; // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF; // nothing beyond U+10FFFF
    }
    bool ok = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; ok && k < length; ++k) {
        const unsigned char next = at(text, i + k);
        ok = k == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
    }
    return ok ? length : 0;
}

/// Byte sequences of `text` that are not UTF-8 (a stray byte counts once).
std::size_t utf8Errors(std::string_view text) {
    std::size_t errors = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (const std::size_t length = utf8Length(text, i); length != 0) {
            i += length;
        } else {
            ++errors;
            ++i;
        }
    }
    return errors;
}

/// Sequences that code page 932 does not assign: bytes that begin nothing, a lead byte without
/// its trail, and the lead bytes of empty rows.
std::size_t cp932Errors(std::string_view text) {
    std::size_t errors = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const unsigned char c = at(text, i);
        if (c < 0x80 || (c >= 0xA1 && c <= 0xDF)) {
            ++i;
            continue;
        }
        const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
        const bool emptyRow = c == 0x85 || c == 0x86 || c == 0xEB || c == 0xEC || c == 0xEF;
        const unsigned char trail = at(text, i + 1);
        if (lead && !emptyRow && i + 1 < n && trail >= 0x40 && trail <= 0xFC && trail != 0x7F) {
            i += 2;
        } else {
            ++errors;
            ++i;
        }
    }
    return errors;
}

/// Sequences that are not EUC-JP: JIS X 0208 pairs, half-width katakana after 0x8E, JIS X 0212
/// after 0x8F.
std::size_t eucJpErrors(std::string_view text) {
    const auto eucByte = [](unsigned char c) { return c >= 0xA1 && c <= 0xFE; };
    std::size_t errors = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const unsigned char c = at(text, i);
        if (c < 0x80) {
            ++i;
        } else if (c == 0x8F && i + 2 < n && eucByte(at(text, i + 1)) && eucByte(at(text, i + 2))) {
            i += 3;
        } else if (i + 1 < n &&
                   ((c == 0x8E && at(text, i + 1) >= 0xA1 && at(text, i + 1) <= 0xDF) ||
                    (eucByte(c) && eucByte(at(text, i + 1))))) {
            i += 2;
        } else {
            ++errors;
            ++i;
        }
    }
    return errors;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

struct DetectorCloser {
    void operator()(UCharsetDetector* detector) const { ucsdet_close(detector); }
};

/// 51932 or 932 for a text that both decode without error, by ICU's statistics of Japanese
/// text; EUC-JP when the detector has no answer, since Shift_JIS text with kana (lead bytes
/// 0x82, 0x83) is never EUC-JP, while EUC-JP text often passes for Shift_JIS half-width kana.
int detectorChoice(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UCharsetDetector, DetectorCloser> detector(ucsdet_open(&status));
    if (U_FAILURE(status)) {
        return 51932;
    }
    const std::string_view sample = text.substr(0, kDetectorSample);
    ucsdet_setText(detector.get(), sample.data(), static_cast<int32_t>(sample.size()), &status);
    int32_t count = 0;
    const UCharsetMatch** matches = ucsdet_detectAll(detector.get(), &count, &status);
    if (U_FAILURE(status) || matches == nullptr) {
        return 51932;
    }
    int32_t euc = -1;
    int32_t sjis = -1;
    for (int32_t i = 0; i < count; ++i) {
        UErrorCode one = U_ZERO_ERROR;
        const char* name = ucsdet_getName(matches[i], &one);
        const int32_t confidence = ucsdet_getConfidence(matches[i], &one);
        if (U_FAILURE(one) || name == nullptr) {
            continue;
        }
        if (std::strcmp(name, "EUC-JP") == 0) {
            euc = std::max(euc, confidence);
        } else if (std::strcmp(name, "Shift_JIS") == 0) {
            sjis = std::max(sjis, confidence);
        }
    }
    return sjis > euc ? 932 : 51932;
}

} // namespace

bool isUtf8(std::string_view text) {
    return firstInvalidUtf8(text) == std::string_view::npos;
}

std::size_t firstInvalidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t length = utf8Length(text, i);
        if (length == 0) {
            return i;
        }
        i += length;
    }
    return std::string_view::npos;
}

int guessCodePage(std::string_view text) {
    if (isAscii(text)) {
        const bool jis = text.find("\x1b$B") != std::string_view::npos ||
                         text.find("\x1b$@") != std::string_view::npos ||
                         text.find("\x1b$(") != std::string_view::npos;
        return jis ? 50220 : 932;
    }
    const std::size_t utf8 = utf8Errors(text);
    if (utf8 == 0) {
        return 65001;
    }
    const std::size_t sjis = cp932Errors(text);
    const std::size_t euc = eucJpErrors(text);
    if (sjis == 0 && euc == 0) {
        return detectorChoice(text);
    }
    // A page with a stray byte or two still reads best in the code that fits it otherwise.
    const std::size_t fewest = std::min({utf8, sjis, euc});
    if (sjis == fewest) {
        return 932;
    }
    return utf8 == fewest ? 65001 : 51932;
}

} // namespace tw
