#include "core/platform/IcuCodeConverter.h"

#include "core/util/Cp932.h"

#include <unicode/ucnv.h>

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <unordered_map>

namespace tw {

namespace {

constexpr char kSubstitute = '?';
constexpr std::string_view kEscKanji = "\x1b$B";
constexpr std::string_view kEscAscii = "\x1b(B";

// ---------------------------------------------------------------------------------------------
// Code page 932 and JIS X 0208 arithmetic

bool isLead932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool isTrail932(unsigned char c) {
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}
bool isHalfKana(unsigned char c) {
    return c >= 0xA1 && c <= 0xDF;
}
bool isJisByte(unsigned char c) {
    return c >= 0x21 && c <= 0x7E;
}

/// JIS X 0208 row and cell bytes (0x21..0x7E each) as the 932 double byte.
void appendJisAs932(unsigned j1, unsigned j2, std::string& out) {
    const unsigned s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
    const unsigned s2 = j2 + ((j1 & 1) != 0 ? (j2 >= 0x60 ? 0x20 : 0x1F) : 0x7E);
    out += static_cast<char>(s1);
    out += static_cast<char>(s2);
}

/// The 932 double byte as JIS X 0208 row and cell bytes. Lead bytes from 0xF0 on (the user-defined
/// area and the IBM extensions) lie beyond row 94 and have no such form.
bool jisOf932(unsigned s1, unsigned s2, unsigned& j1, unsigned& j2) {
    if (s1 >= 0xF0) {
        return false;
    }
    if (s1 >= 0xE0) {
        s1 -= 0x40;
    }
    j1 = (s1 - 0x81) * 2 + 0x21;
    if (s2 >= 0x9F) {
        ++j1;
        j2 = s2 - 0x7E;
    } else {
        j2 = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// ICU helpers

struct ConverterCloser {
    void operator()(UConverter* conv) const { ucnv_close(conv); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

ConverterPtr openConverter(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr conv(ucnv_open(name, &status));
    if (U_FAILURE(status)) {
        return nullptr;
    }
    return conv;
}

/// Converts `in` from `source` to `target` through UTF-16, in pieces, substituting what either
/// side cannot handle.
bool icuConvert(UConverter* target, UConverter* source, std::string_view in, std::string& out) {
    std::array<UChar, 4096> pivot{};
    UChar* pivotSource = pivot.data();
    UChar* pivotTarget = pivot.data();
    std::array<char, 65536> buffer{};
    const char* src = in.data();
    const char* srcLimit = in.data() + in.size();
    bool reset = true;
    for (;;) {
        char* dst = buffer.data();
        UErrorCode status = U_ZERO_ERROR;
        ucnv_convertEx(target, source, &dst, buffer.data() + buffer.size(), &src, srcLimit,
                       pivot.data(), &pivotSource, &pivotTarget, pivot.data() + pivot.size(),
                       static_cast<UBool>(reset), true, &status);
        reset = false;
        out.append(buffer.data(), static_cast<std::size_t>(dst - buffer.data()));
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            continue;
        }
        return U_SUCCESS(status);
    }
}

/// The ICU converters one conversion needs, opened on first use and owned by that conversion
/// alone, so that conversions on several threads never share one.
class IcuSession {
public:
    UConverter* utf8() {
        return get(m_utf8, [] { return openConverter("UTF-8"); });
    }
    UConverter* eucJp() {
        return get(m_eucJp, [] { return openConverter("EUC-JP"); });
    }

    /// A JIS X 0212 character (row and cell bytes 0x21..0x7E) in 932, or "?" when 932 lacks it.
    void appendJis0212(unsigned j1, unsigned j2, std::string& out) {
        const char euc[3] = {'\x8F', static_cast<char>(j1 | 0x80), static_cast<char>(j2 | 0x80)};
        std::string decoded;
        if (eucJp() != nullptr && utf8() != nullptr &&
            icuConvert(utf8(), eucJp(), std::string_view(euc, 3), decoded) && !decoded.empty()) {
            out += toCp932BestFit(decoded);
        } else {
            out += kSubstitute;
        }
    }

private:
    template <typename Open>
    static UConverter* get(ConverterPtr& slot, Open open) {
        if (!slot) {
            slot = open();
        }
        return slot.get();
    }

    ConverterPtr m_utf8;
    ConverterPtr m_eucJp;
};

// ---------------------------------------------------------------------------------------------
// Tables

/// Full-width 932 codes of the half-width katakana 0xA1..0xDF.
const std::array<std::uint16_t, 63>& fullWidthKana() {
    static const std::array<std::uint16_t, 63> table = [] {
        std::array<std::uint16_t, 63> codes{};
        const std::string full =
            jp("。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテト"
               "ナニヌネノハヒフヘホマミムメモヤユヨラリルレロワン゛゜");
        for (std::size_t i = 0; i < codes.size() && 2 * i + 1 < full.size(); ++i) {
            codes[i] = static_cast<std::uint16_t>((static_cast<unsigned char>(full[2 * i]) << 8) |
                                                  static_cast<unsigned char>(full[2 * i + 1]));
        }
        return codes;
    }();
    return table;
}

/// The full-width 932 code of the half-width katakana at in[i], taking a following voiced or
/// semi-voiced mark into it; `used` tells how many bytes that took.
std::uint16_t foldHalfKana(std::string_view in, std::size_t i, std::size_t& used) {
    const auto c = static_cast<unsigned char>(in[i]);
    std::uint16_t code = fullWidthKana()[c - 0xA1];
    used = 1;
    if (i + 1 < in.size()) {
        const auto mark = static_cast<unsigned char>(in[i + 1]);
        const bool voiceable = (c >= 0xB6 && c <= 0xC4) || (c >= 0xCA && c <= 0xCE);
        if (mark == 0xDE && voiceable) {
            code += 1;
            used = 2;
        } else if (mark == 0xDE && c == 0xB3) {
            code = 0x8394; // VU
            used = 2;
        } else if (mark == 0xDF && c >= 0xCA && c <= 0xCE) {
            code += 2;
            used = 2;
        }
    }
    return code;
}

/// For the IBM extension characters (lead bytes 0xFA..0xFC), the same character's code in the
/// rows that JIS can carry (JIS X 0208, NEC row 13, NEC-selected IBM extensions); 0 when none.
std::uint16_t jisEquivalentOf932(unsigned s1, unsigned s2) {
    static const std::unordered_map<UChar, std::uint16_t> byUnicode = [] {
        std::unordered_map<UChar, std::uint16_t> map;
        ConverterPtr conv = openConverter("windows-31j");
        if (!conv) {
            return map;
        }
        UErrorCode status = U_ZERO_ERROR;
        ucnv_setToUCallBack(conv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                            &status);
        // Ascending order, so that JIS X 0208 wins over a duplicate in the NEC rows.
        for (unsigned lead = 0x81; lead <= 0xEF; ++lead) {
            if (lead == 0xA0) {
                lead = 0xE0;
            }
            for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
                const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                UChar unit[2] = {};
                status = U_ZERO_ERROR;
                ucnv_reset(conv.get());
                const int32_t n = ucnv_toUChars(conv.get(), unit, 2, bytes, 2, &status);
                if (U_SUCCESS(status) && n == 1) {
                    map.emplace(unit[0], static_cast<std::uint16_t>((lead << 8) | trail));
                }
            }
        }
        return map;
    }();

    ConverterPtr conv = openConverter("windows-31j");
    if (!conv) {
        return 0;
    }
    const char bytes[2] = {static_cast<char>(s1), static_cast<char>(s2)};
    UChar unit[2] = {};
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setToUCallBack(conv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    const int32_t n = ucnv_toUChars(conv.get(), unit, 2, bytes, 2, &status);
    if (U_FAILURE(status) || n != 1) {
        return 0;
    }
    const auto found = byUnicode.find(unit[0]);
    return found == byUnicode.end() ? 0 : found->second;
}

/// JIS X 0208 row and cell of the 932 double byte, falling back on the IBM extension twins.
bool jisOf932Char(unsigned s1, unsigned s2, unsigned& j1, unsigned& j2) {
    if (jisOf932(s1, s2, j1, j2)) {
        return true;
    }
    if (s1 >= 0xFA) {
        const std::uint16_t twin = jisEquivalentOf932(s1, s2);
        return twin != 0 && jisOf932(twin >> 8, twin & 0xFF, j1, j2);
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Into 932

/// ISO-2022-JP and its relatives (JIS7 with ESC ( I or SO/SI katakana, JIS8 katakana bytes,
/// JIS X 0212) into 932.
std::string jisTo932(std::string_view in, IcuSession& icu) {
    enum class Set { Ascii, Kanji, Kana, Jis0212, Unknown };
    std::string out;
    out.reserve(in.size());
    Set set = Set::Ascii;
    bool shiftedOut = false;
    std::size_t i = 0;
    const std::size_t n = in.size();
    auto at = [&](std::size_t k) { return k < n ? static_cast<unsigned char>(in[k]) : 0u; };
    while (i < n) {
        const unsigned char c = at(i);
        if (c == 0x1B) {
            const unsigned char a = at(i + 1);
            const unsigned char b = at(i + 2);
            if (a == '(' && (b == 'B' || b == 'J' || b == 'H')) {
                set = Set::Ascii;
                i += 3;
            } else if (a == '(' && b == 'I') {
                set = Set::Kana;
                i += 3;
            } else if (a == '$' && (b == '@' || b == 'B')) {
                set = Set::Kanji;
                i += 3;
            } else if (a == '$' && b == '(' &&
                       (at(i + 3) == '@' || at(i + 3) == 'B' || at(i + 3) == 'O' ||
                        at(i + 3) == 'Q')) {
                // JIS X 0213 plane 1 (O, Q) holds JIS X 0208 at the same places.
                set = Set::Kanji;
                i += 4;
            } else if (a == '$' && b == '(' && at(i + 3) == 'D') {
                set = Set::Jis0212;
                i += 4;
            } else if (a == '&' && b == '@') {
                i += 3; // revision announcer before ESC $ B
            } else if (a == '$' && (b == 'A' || (b == '(' && at(i + 3) >= 0x40))) {
                set = Set::Unknown; // another country's double-byte set
                i += (b == '(') ? 4 : 3;
            } else {
                out += kSubstitute;
                ++i;
            }
            continue;
        }
        if (c == 0x0E) {
            shiftedOut = true;
            ++i;
            continue;
        }
        if (c == 0x0F) {
            shiftedOut = false;
            ++i;
            continue;
        }
        if (c >= 0x80) {
            out += isHalfKana(c) ? static_cast<char>(c) : kSubstitute; // JIS8 katakana
            ++i;
            continue;
        }
        if (!isJisByte(c)) {
            out += static_cast<char>(c); // controls and space keep their meaning in every set
            ++i;
            continue;
        }
        if (shiftedOut || set == Set::Kana) {
            out += c <= 0x5F ? static_cast<char>(c | 0x80) : kSubstitute;
            ++i;
            continue;
        }
        if (set == Set::Ascii) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const unsigned char c2 = at(i + 1);
        if (!isJisByte(c2)) {
            out += kSubstitute;
            ++i;
            continue;
        }
        if (set == Set::Kanji) {
            appendJisAs932(c, c2, out);
        } else if (set == Set::Jis0212) {
            icu.appendJis0212(c, c2, out);
        } else {
            out += kSubstitute;
        }
        i += 2;
    }
    return out;
}

std::string eucJpTo932(std::string_view in, IcuSession& icu) {
    std::string out;
    out.reserve(in.size());
    const std::size_t n = in.size();
    auto at = [&](std::size_t k) { return k < n ? static_cast<unsigned char>(in[k]) : 0u; };
    auto isEucByte = [](unsigned char c) { return c >= 0xA1 && c <= 0xFE; };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = at(i);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (c == 0x8E && isHalfKana(at(i + 1))) {
            out += static_cast<char>(at(i + 1));
            i += 2;
        } else if (c == 0x8F && isEucByte(at(i + 1)) && isEucByte(at(i + 2))) {
            icu.appendJis0212(at(i + 1) & 0x7F, at(i + 2) & 0x7F, out);
            i += 3;
        } else if (isEucByte(c) && isEucByte(at(i + 1))) {
            appendJisAs932(c & 0x7F, at(i + 1) & 0x7F, out);
            i += 2;
        } else {
            out += kSubstitute;
            ++i;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Out of 932

/// 932 into ISO-2022-JP for mail: only ASCII and JIS X 0208 (with the NEC rows as 932 has
/// them), half-width katakana made full-width, every line and the text ending in ASCII.
std::string cp932ToJis(std::string_view in) {
    std::string out;
    out.reserve(in.size() + in.size() / 4);
    bool kanji = false;
    auto toAscii = [&] {
        if (kanji) {
            out += kEscAscii;
            kanji = false;
        }
    };
    auto putJis = [&](unsigned j1, unsigned j2) {
        if (!kanji) {
            out += kEscKanji;
            kanji = true;
        }
        out += static_cast<char>(j1);
        out += static_cast<char>(j2);
    };
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        const auto c = static_cast<unsigned char>(in[i]);
        unsigned j1 = 0;
        unsigned j2 = 0;
        if (c < 0x80) {
            toAscii();
            out += static_cast<char>(c);
            ++i;
        } else if (isHalfKana(c)) {
            std::size_t used = 1;
            const std::uint16_t code = foldHalfKana(in, i, used);
            jisOf932(code >> 8, code & 0xFF, j1, j2);
            putJis(j1, j2);
            i += used;
        } else if (isLead932(c) && i + 1 < n && isTrail932(static_cast<unsigned char>(in[i + 1])) &&
                   jisOf932Char(c, static_cast<unsigned char>(in[i + 1]), j1, j2)) {
            putJis(j1, j2);
            i += 2;
        } else {
            toAscii();
            out += kSubstitute;
            i += (isLead932(c) && i + 1 < n && isTrail932(static_cast<unsigned char>(in[i + 1])))
                     ? 2
                     : 1;
        }
    }
    toAscii();
    return out;
}

std::string cp932ToEucJp(std::string_view in) {
    std::string out;
    out.reserve(in.size() + in.size() / 4);
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        const auto c = static_cast<unsigned char>(in[i]);
        const bool pair =
            isLead932(c) && i + 1 < n && isTrail932(static_cast<unsigned char>(in[i + 1]));
        unsigned j1 = 0;
        unsigned j2 = 0;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (isHalfKana(c)) {
            out += '\x8E';
            out += static_cast<char>(c);
        } else if (pair && jisOf932Char(c, static_cast<unsigned char>(in[i + 1]), j1, j2)) {
            out += static_cast<char>(j1 | 0x80);
            out += static_cast<char>(j2 | 0x80);
        } else {
            out += kSubstitute;
        }
        i += pair ? 2 : 1;
    }
    return out;
}

std::string to932(int fromCodePage, std::string_view in, IcuSession& icu) {
    switch (fromCodePage) {
    case 50220:
        return jisTo932(in, icu);
    case 51932:
        return eucJpTo932(in, icu);
    case 65001:
        return toCp932BestFit(in);
    default:
        return std::string(in);
    }
}

std::string from932(int toCodePage, std::string_view in) {
    switch (toCodePage) {
    case 50220:
        return cp932ToJis(in);
    case 51932:
        return cp932ToEucJp(in);
    case 65001:
        return fromCp932(in);
    default:
        return std::string(in);
    }
}

} // namespace

bool IcuCodeConverter::isSupported(int codePage) {
    return codePage == 932 || codePage == 50220 || codePage == 51932 || codePage == 65001;
}

bool IcuCodeConverter::convert(int fromCodePage, int toCodePage, std::string_view in,
                               std::string& out) {
    if (!isSupported(fromCodePage) || !isSupported(toCodePage)) {
        return false;
    }
    try {
        IcuSession icu;
        if (fromCodePage == toCodePage) {
            out.assign(in);
        } else if (toCodePage == 932) {
            out = to932(fromCodePage, in, icu);
        } else if (fromCodePage == 932) {
            out = from932(toCodePage, in);
        } else {
            out = from932(toCodePage, to932(fromCodePage, in, icu));
        }
        return true;
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}

std::unique_ptr<CodeConverter> createCodeConverter() {
    // EUC-JP's table (only JIS X 0212 needs it) is loaded by the first page that has such a
    // character; here its name is only looked up, which costs no table.
    UErrorCode status = U_ZERO_ERROR;
    if (!openConverter("windows-31j") || !openConverter("UTF-8") ||
        ucnv_countAliases("EUC-JP", &status) == 0 || U_FAILURE(status)) {
        return nullptr;
    }
    return std::make_unique<IcuCodeConverter>();
}

} // namespace tw
