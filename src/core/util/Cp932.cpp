#include "util/Cp932.h"

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <memory>

namespace tw {

namespace {

struct ConverterCloser {
    void operator()(UConverter* conv) const { ucnv_close(conv); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

ConverterPtr openCp932() {
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr conv(ucnv_open("windows-31j", &status));
    if (U_FAILURE(status)) {
        return nullptr;
    }
    return conv;
}

std::string fromUnicode(UConverter* conv, const icu::UnicodeString& text, UErrorCode& status) {
    std::string out(static_cast<std::size_t>(text.length()) * 2 + 1, '\0');
    const int32_t length = ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()),
                                           text.getBuffer(), text.length(), &status);
    if (U_FAILURE(status)) {
        return {};
    }
    out.resize(static_cast<std::size_t>(length));
    return out;
}

} // namespace

std::string toCp932(std::string_view utf8, bool* lossless) {
    if (lossless) {
        *lossless = true;
    }
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    ConverterPtr conv = openCp932();
    if (!conv) {
        return std::string(utf8);
    }
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setFromUCallBack(conv.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                          &status);
    std::string out = fromUnicode(conv.get(), text, status);
    if (status == U_ZERO_ERROR || status == U_STRING_NOT_TERMINATED_WARNING) {
        return out;
    }
    if (lossless) {
        *lossless = false;
    }
    status = U_ZERO_ERROR;
    ucnv_reset(conv.get());
    ucnv_setFromUCallBack(conv.get(), UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr,
                          &status);
    ucnv_setSubstChars(conv.get(), "?", 1, &status);
    return fromUnicode(conv.get(), text, status);
}

std::string fromCp932(std::string_view cp932) {
    ConverterPtr conv = openCp932();
    if (!conv) {
        return std::string(cp932);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString text(cp932.data(), static_cast<int32_t>(cp932.size()), conv.get(),
                                  status);
    std::string out;
    text.toUTF8String(out);
    return out;
}

} // namespace tw
