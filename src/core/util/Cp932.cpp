#include "core/util/Cp932.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace tw {

namespace {

struct ConverterCloser {
    void operator()(UConverter* conv) const { ucnv_close(conv); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

/// The 932 twins of characters that the 932 table leaves out; `bestFitOnly` ones are taken
/// only when fitting web pages.
struct Twin {
    UChar32 codePoint;
    const char* bytes;
    bool bestFitOnly;
};
constexpr Twin kTwins[] = {
    {0x301C, "\x81\x60", false}, // wave dash
    {0x2016, "\x81\x61", false}, // double vertical line
    {0x2212, "\x81\x7C", false}, // minus sign
    {0x00A2, "\x81\x91", false}, // cent sign
    {0x00A3, "\x81\x92", false}, // pound sign
    {0x00AC, "\x81\xCA", false}, // not sign
    {0x2014, "\x81\x5C", false}, // em dash
    {0x00A6, "\xFA\x55", true},  // broken bar
};

/// What one conversion into 932 learns from the callback.
struct FromUnicodeState {
    bool bestFit = false;
    bool refused = false;
    UChar32 firstRefused = 0;
};

void fromUnicodeTo932(const void* context, UConverterFromUnicodeArgs* args, const UChar* units,
                      int32_t length, UChar32 codePoint, UConverterCallbackReason reason,
                      UErrorCode* status) {
    auto* state = static_cast<FromUnicodeState*>(const_cast<void*>(context));
    if (reason == UCNV_UNASSIGNED) {
        for (const Twin& twin : kTwins) {
            if (twin.codePoint == codePoint && (state->bestFit || !twin.bestFitOnly)) {
                *status = U_ZERO_ERROR;
                ucnv_cbFromUWriteBytes(args, twin.bytes, 2, 0, status);
                return;
            }
        }
    }
    if (reason <= UCNV_IRREGULAR && !state->refused) {
        state->refused = true;
        state->firstRefused = codePoint;
    }
    UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, codePoint, reason, status);
}

ConverterPtr openCp932(bool bestFit) {
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr conv(ucnv_open("windows-31j", &status));
    if (U_FAILURE(status)) {
        return nullptr;
    }
    ucnv_setFallback(conv.get(), static_cast<UBool>(bestFit));
    ucnv_setSubstChars(conv.get(), "?", 1, &status);
    return U_FAILURE(status) ? nullptr : std::move(conv);
}

/// ICU converters must not be shared between threads: each thread opens its own, once, and
/// only those it uses (the checker runs each check on a thread of its own).
class ThreadConverters {
public:
    UConverter* exact() { return get(m_exact, false); }
    UConverter* bestFit() { return get(m_bestFit, true); }
    UConverter* decoder() { return get(m_decoder, false); }

private:
    static UConverter* get(ConverterPtr& slot, bool bestFit) {
        if (!slot) {
            slot = openCp932(bestFit);
        }
        return slot.get();
    }

    ConverterPtr m_exact;
    ConverterPtr m_bestFit;
    ConverterPtr m_decoder;
};

ThreadConverters& converters() {
    thread_local ThreadConverters perThread;
    return perThread;
}

/// Converts into 932; `state` tells what was refused. Null when no converter could be opened.
std::optional<std::string> into932(std::string_view utf8, FromUnicodeState& state) {
    UConverter* conv = state.bestFit ? converters().bestFit() : converters().exact();
    if (!conv) {
        return std::nullopt;
    }
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setFromUCallBack(conv, fromUnicodeTo932, &state, nullptr, nullptr, &status);
    // Each UTF-16 unit takes at most two bytes.
    std::string out(static_cast<std::size_t>(text.length()) * 2 + 1, '\0');
    const int32_t length = ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()),
                                           text.getBuffer(), text.length(), &status);
    // The converter outlives `state`: the callback must not keep pointing at it.
    UErrorCode resetStatus = U_ZERO_ERROR;
    ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr,
                          &resetStatus);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(length));
    return out;
}

} // namespace

std::string toCp932(std::string_view utf8, bool* lossless) {
    FromUnicodeState state;
    std::optional<std::string> out = into932(utf8, state);
    if (lossless) {
        *lossless = out && !state.refused;
    }
    return out ? std::move(*out) : std::string(utf8);
}

std::optional<std::string> toCp932Exact(std::string_view utf8, char32_t* refused) {
    FromUnicodeState state;
    std::optional<std::string> out = into932(utf8, state);
    if (!out || state.refused) {
        if (refused) {
            *refused = static_cast<char32_t>(state.firstRefused);
        }
        return std::nullopt;
    }
    return out;
}

std::string toCp932BestFit(std::string_view utf8) {
    FromUnicodeState state;
    state.bestFit = true;
    std::optional<std::string> out = into932(utf8, state);
    return out ? std::move(*out) : std::string(utf8.size(), '?');
}

std::string fromCp932(std::string_view cp932) {
    UConverter* conv = converters().decoder();
    if (!conv) {
        return std::string(cp932);
    }
    ucnv_reset(conv);
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString text(cp932.data(), static_cast<int32_t>(cp932.size()), conv, status);
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::u16string fromCp932Units(std::string_view cp932, std::vector<std::size_t>& offsets) {
    offsets.clear();
    std::u16string out;
    UConverter* conv = converters().decoder();
    if (!conv) {
        for (std::size_t i = 0; i < cp932.size(); ++i) {
            out.push_back(static_cast<unsigned char>(cp932[i]));
            offsets.push_back(i);
        }
        return out;
    }
    ucnv_reset(conv);
    // No code page 932 character needs more than one unit; the extra room is for substitutes.
    out.resize(cp932.size() + 1);
    std::vector<int32_t> unitOffsets(out.size());
    const char* source = cp932.data();
    UChar* target = reinterpret_cast<UChar*>(out.data());
    UErrorCode status = U_ZERO_ERROR;
    ucnv_toUnicode(conv, &target, target + out.size(), &source, source + cp932.size(),
                   unitOffsets.data(), true, &status);
    const auto length = static_cast<std::size_t>(target - reinterpret_cast<UChar*>(out.data()));
    out.resize(length);
    offsets.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        offsets.push_back(static_cast<std::size_t>(std::max<int32_t>(unitOffsets[i], 0)));
    }
    return out;
}

} // namespace tw
