#include "core/lists/ListImport.h"

#include "core/lists/ImportFormats.h"
#include "core/platform/CodeGuess.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/SafeFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace tw {

namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

/// The character at `i` of valid UTF-8 text; `i` moves past it.
char32_t nextCharacter(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
        return lead;
    }
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    char32_t c = lead & (0x3F >> extra);
    for (int k = 0; k < extra && i < text.size(); ++k) {
        c = (c << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
    }
    return c;
}

std::string utf8Of(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::string codePoint(char32_t c) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

bool isSpace(char32_t c) {
    return c == ' ' || c == '\t' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200B) ||
           c == 0x202F || c == 0x205F || c == 0x3000 || c == 0xFEFF;
}

/// The text 932 cannot hold, named as the site definition sheet names it; "" when it can.
std::string refusedBy932(std::string_view text, const char* field) {
    char32_t refused = 0;
    if (toCp932Exact(text, &refused)) {
        return {};
    }
    return std::string("「") + field + "」の文字「" + utf8Of(refused) + "」(" + codePoint(refused) +
           ") は保存できません";
}

std::string withCommas(unsigned long long n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

/// Why `address` cannot be a watch item's address; "" when it can.
std::string addressFault(std::string_view address) {
    if (address.empty()) {
        return "アドレスが空です";
    }
    if (address.size() > kMaxAddressBytes) {
        return "アドレスが長すぎます（" + withCommas(address.size()) + " バイト、" +
               std::to_string(kMaxAddressBytes) + " バイトまで）";
    }
    for (std::size_t i = 0; i < address.size();) {
        const char32_t c = nextCharacter(address, i);
        if (c == '\r') {
            return "アドレスに改行 (CR) があります";
        }
        if (c == '\n') {
            return "アドレスに改行 (LF) があります";
        }
        if (isSpace(c)) {
            return "アドレスに空白 (" + codePoint(c) + ") があります";
        }
        if (isControl(c)) {
            return "アドレスに制御文字 (" + codePoint(c) + ") があります";
        }
    }
    const std::size_t colon = address.find(':');
    std::string scheme(address.substr(0, colon == kNotFound ? 0 : colon));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const bool schemeWord = !scheme.empty() &&
                            std::isalpha(static_cast<unsigned char>(scheme.front())) != 0 &&
                            std::all_of(scheme.begin(), scheme.end(), [](unsigned char c) {
                                return std::isalnum(c) != 0 || c == '+' || c == '-' || c == '.';
                            });
    if (colon == kNotFound || !schemeWord) {
        return "http:// か https:// で始まるアドレスではありません";
    }
    if (scheme != "http" && scheme != "https") {
        return "http と https のほかのアドレス (" + scheme + ":) は取り込みません";
    }
    const std::string_view rest = address.substr(colon + 1);
    if (!rest.starts_with("//") || rest.size() == 2 || rest[2] == '/' || rest[2] == '?' ||
        rest[2] == '#') {
        return "アドレスにホスト名がありません";
    }
    return refusedBy932(address, "ＵＲＬ");
}

/// The name as it is stored: runs of blanks and line breaks become one space. Sets `fault` when
/// the name cannot be stored.
std::string cleanName(std::string_view name, std::string& fault) {
    std::string clean;
    std::size_t characters = 0;
    bool blank = false;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t start = i;
        const char32_t c = nextCharacter(name, i);
        if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
            blank = !clean.empty();
            continue;
        }
        if (isControl(c)) {
            fault = "名前に制御文字 (" + codePoint(c) + ") があります";
            return {};
        }
        if (blank) {
            clean += ' ';
            ++characters;
            blank = false;
        }
        clean.append(name.substr(start, i - start));
        ++characters;
    }
    if (characters > kMaxNameCharacters) {
        fault = "名前が長すぎます（" + std::to_string(characters) + " 文字、" +
                std::to_string(kMaxNameCharacters) + " 文字まで）";
        return {};
    }
    fault = refusedBy932(clean, "名前");
    return clean;
}

/// An address as a summary line can show it: control characters visible, long ones cut.
std::string shown(std::string_view text) {
    constexpr std::size_t kShownCharacters = 80;
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const char32_t c = nextCharacter(text, i);
        if (++characters > kShownCharacters) {
            out += "…";
            break;
        }
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (isControl(c)) {
            out += "\\" + codePoint(c);
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    return out;
}

/// The form two addresses are compared in (sameAddress).
std::string addressKey(std::string_view address) {
    const std::size_t scheme = address.find("://");
    if (scheme == kNotFound) {
        return std::string(address);
    }
    std::string key(address);
    const std::size_t hostStart = scheme + 3;
    std::size_t hostEnd = key.find_first_of("/?#", hostStart);
    if (hostEnd == std::string::npos) {
        hostEnd = key.size();
    }
    // The user and password before "@" keep their case; the scheme and host do not have one.
    const std::size_t at = key.rfind('@', hostEnd);
    const std::size_t lowerFrom = at != std::string::npos && at >= hostStart ? at + 1 : hostStart;
    auto lower = [](char& c) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    std::for_each(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(scheme), lower);
    std::for_each(key.begin() + static_cast<std::ptrdiff_t>(lowerFrom),
                  key.begin() + static_cast<std::ptrdiff_t>(hostEnd), lower);
    if (hostEnd == key.size() || key[hostEnd] != '/') {
        key.insert(hostEnd, "/");
    }
    return key;
}

std::string atLine(int line) {
    return line > 0 ? std::to_string(line) + " 行目 " : std::string();
}

} // namespace

ImportResult parseImport(std::string_view content) {
    ImportResult result;
    if (content.starts_with("\xEF\xBB\xBF")) {
        content.remove_prefix(3);
    }
    if (const std::size_t bad = firstInvalidUtf8(content); bad != kNotFound) {
        const std::string_view before = content.substr(0, bad);
        const std::size_t lineStart = before.rfind('\n');
        const std::size_t column = lineStart == kNotFound ? bad + 1 : bad - lineStart;
        result.error = "UTF-8 のテキストではありません（" +
                       std::to_string(std::count(before.begin(), before.end(), '\n') + 1) +
                       " 行目 " + std::to_string(column) + " バイト目）";
        return result;
    }
    result.format = importformat::detect(content);
    switch (result.format) {
    case ListFormat::Urls:
        importformat::parsePlainList(content, result);
        break;
    case ListFormat::Opml:
        importformat::parseOpml(content, result);
        break;
    case ListFormat::Yaml:
        importformat::parseYamlJobs(content, result);
        break;
    }
    if (result.ok() && result.entries.size() + result.notes.size() > kMaxImportEntries) {
        result.error = "項目が多すぎます（" + withCommas(kMaxImportEntries) + " 件まで）";
    }
    if (!result.ok()) {
        result.entries.clear();
        result.notes.clear();
        return result;
    }

    // A name that stands for a skipped job is shown as an address is.
    for (ImportNote& note : result.notes) {
        note.what = shown(note.what);
    }
    // The same checks for every format.
    std::vector<ImportEntry> usable;
    for (ImportEntry& entry : result.entries) {
        const auto trim = [](std::string& text) {
            const std::size_t first = text.find_first_not_of(" \t");
            text.erase(0, first == std::string::npos ? text.size() : first);
            text.erase(text.find_last_not_of(" \t") + 1);
        };
        trim(entry.address);
        std::string fault = addressFault(entry.address);
        if (fault.empty()) {
            entry.name = cleanName(entry.name, fault);
        }
        if (fault.empty()) {
            usable.push_back(std::move(entry));
        } else {
            result.notes.push_back(
                {ImportNote::Kind::Refused, entry.line, shown(entry.address), std::move(fault)});
        }
    }
    result.entries = std::move(usable);
    std::stable_sort(result.notes.begin(), result.notes.end(),
                     [](const ImportNote& a, const ImportNote& b) { return a.line < b.line; });
    return result;
}

ImportResult readImportFile(const std::string& diskPath) {
    ImportResult result;
    struct stat info {};
    const int fd = openRegularFile(diskPath, &info);
    if (fd < 0) {
        const int error = errno;
        if (error == EISDIR && S_ISDIR(info.st_mode)) {
            result.error = "フォルダです。読み込むファイルを指定してください";
        } else if (error == EISDIR && S_ISFIFO(info.st_mode)) {
            result.error = "名前付きパイプ (FIFO) です。通常のファイルを指定してください";
        } else if (error == EISDIR) {
            result.error = "通常のファイルではありません（デバイスなど）";
        } else {
            result.error = fromCp932(systemErrorText(error));
        }
        return result;
    }
    std::string content;
    int error = 0;
    if (static_cast<unsigned long long>(info.st_size) > kMaxImportBytes) {
        error = EFBIG;
    } else {
        error = readToEnd(fd, content, kMaxImportBytes);
    }
    ::close(fd);
    if (error == EFBIG) {
        // Named by the size found, which a file still growing may have passed since.
        const auto size = std::max<unsigned long long>(
            static_cast<unsigned long long>(info.st_size), kMaxImportBytes + 1ULL);
        result.error = "ファイルが大きすぎます（" + withCommas(size) + " バイト、" +
                       std::to_string(kMaxImportBytes / (std::size_t{1024} * 1024)) + " MB まで）";
        return result;
    }
    if (error != 0) {
        result.error = fromCp932(systemErrorText(error));
        return result;
    }
    return parseImport(content);
}

std::string checkImportAddress(std::string_view address) {
    return addressFault(address);
}

std::string checkImportName(std::string_view name, std::string& fault) {
    fault.clear();
    return cleanName(name, fault);
}

bool sameAddress(std::string_view a, std::string_view b) {
    return addressKey(a) == addressKey(b);
}

std::size_t ImportPlan::count(ImportNote::Kind kind) const {
    return static_cast<std::size_t>(std::count_if(
        notes.begin(), notes.end(), [kind](const ImportNote& note) { return note.kind == kind; }));
}

ImportPlan planImport(const ImportResult& result, const std::vector<WatchSettings>& existing) {
    ImportPlan plan;
    if (!result.ok()) {
        plan.error = result.error;
        return plan;
    }
    plan.notes = result.notes;
    // The line of the file where an address was first found; 0 for the watch list's.
    std::unordered_map<std::string, int> seen;
    for (const WatchSettings& item : existing) {
        seen.emplace(addressKey(fromCp932(item.targetUrl)), 0);
    }
    for (const ImportEntry& entry : result.entries) {
        const auto [found, added] = seen.emplace(addressKey(entry.address), entry.line);
        if (!added) {
            plan.notes.push_back({ImportNote::Kind::Duplicate, entry.line, shown(entry.address),
                                  found->second == 0
                                      ? std::string("ウォッチリストにあります")
                                      : atLine(found->second) + "と同じアドレスです"});
            continue;
        }
        // The defaults of a new item, as the site definition sheet starts one.
        WatchSettings item;
        item.targetUrl = toCp932(entry.address);
        item.name = toCp932(entry.name.empty() ? entry.address : entry.name);
        plan.toAdd.push_back(std::move(item));
    }
    std::stable_sort(plan.notes.begin(), plan.notes.end(),
                     [](const ImportNote& a, const ImportNote& b) { return a.line < b.line; });
    return plan;
}

std::string importSummary(const ImportPlan& plan, std::size_t maxLines) {
    if (!plan.ok()) {
        return "取り込めませんでした: " + plan.error + "\n";
    }
    std::string text = std::to_string(plan.toAdd.size()) + " 件を追加しました";
    const std::size_t duplicates = plan.count(ImportNote::Kind::Duplicate);
    const std::size_t skipped = plan.count(ImportNote::Kind::Skipped);
    const std::size_t refused = plan.count(ImportNote::Kind::Refused);
    if (!plan.notes.empty()) {
        text += "（重複で飛ばした " + std::to_string(duplicates) + " 件、対象外 " +
                std::to_string(skipped) + " 件、取り込めない " + std::to_string(refused) + " 件）";
    }
    text += "。\n";
    std::size_t lines = 0;
    for (const ImportNote& note : plan.notes) {
        if (lines == maxLines) {
            text += "  ほか " + std::to_string(plan.notes.size() - lines) + " 件\n";
            break;
        }
        const char* kind = note.kind == ImportNote::Kind::Duplicate ? "重複"
                           : note.kind == ImportNote::Kind::Skipped ? "対象外"
                                                                    : "不可";
        text +=
            "  " + atLine(note.line) + "[" + kind + "] " + note.what + ": " + note.reason + "\n";
        ++lines;
    }
    return text;
}

} // namespace tw
