#include "core/app/ListCommands.h"

#include "core/history/PageText.h"
#include "core/lists/ListExport.h"
#include "core/net/CFetch.h"
#include "core/net/FetchRequest.h"
#include "core/platform/CodeConverter.h"
#include "core/util/Cp932.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"
#include "core/watch/CheckArea.h"
#include "core/watch/ResultText.h"
#include "core/watch/ScheduleText.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace tw {

namespace {

/// "HH:MM" as seconds; nothing for anything else.
std::optional<int> clockTime(std::string_view text, int maxHours) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 3 || text.size() - colon != 3) {
        return std::nullopt;
    }
    int hours = 0;
    for (const char c : text.substr(0, colon)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        hours = hours * 10 + (c - '0');
    }
    const char tens = text[colon + 1];
    const char ones = text[colon + 2];
    if (tens < '0' || tens > '5' || ones < '0' || ones > '9' || hours > maxHours) {
        return std::nullopt;
    }
    return hours * 3600 + ((tens - '0') * 10 + (ones - '0')) * 60;
}

std::optional<int> positionNumber(std::string_view text) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    int n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        n = n * 10 + (c - '0');
    }
    return n >= 1 ? std::optional<int>(n) : std::nullopt;
}

/// A name on disk made absolute, so that the program that applies it finds the same file.
std::string absoluteName(const std::string& name) {
    if (name.starts_with('/')) {
        return name;
    }
    char folder[PATH_MAX];
    if (::getcwd(folder, sizeof folder) == nullptr) {
        return name;
    }
    return std::string(folder) + "/" + name;
}

std::optional<ListFormat> formatOfName(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    const std::size_t dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return std::nullopt;
    }
    std::string extension = file.substr(dot + 1);
    for (char& c : extension) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (extension == "opml" || extension == "xml") {
        return ListFormat::Opml;
    }
    if (extension == "yaml" || extension == "yml") {
        return ListFormat::Yaml;
    }
    return ListFormat::Urls;
}

// The files are lines of "key=value"; a value escapes %, CR, LF and NUL as %XX.
std::string escaped(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        if (c == '%' || c == '\r' || c == '\n' || c == '\0') {
            out += '%';
            out += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
            out += kHex[static_cast<unsigned char>(c) & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> unescaped(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        if (i + 2 >= value.size()) {
            return std::nullopt;
        }
        int byte = 0;
        for (std::size_t j = i + 1; j <= i + 2; ++j) {
            const char c = value[j];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return std::nullopt;
            }
            byte = byte * 16 + digit;
        }
        out += static_cast<char>(byte);
        i += 2;
    }
    return out;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

std::string encodeFields(const char* magic, const Fields& fields) {
    std::string out = std::string(magic) + "\n";
    for (const auto& [key, value] : fields) {
        out += key + "=" + escaped(value) + "\n";
    }
    return out;
}

std::optional<Fields> decodeFields(const char* magic, std::string_view bytes) {
    const std::string head = std::string(magic) + "\n";
    if (!bytes.starts_with(head) || !bytes.ends_with('\n')) {
        return std::nullopt;
    }
    Fields fields;
    std::size_t start = head.size();
    while (start < bytes.size()) {
        const std::size_t end = bytes.find('\n', start);
        const std::string_view line = bytes.substr(start, end - start);
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return std::nullopt;
        }
        std::optional<std::string> value = unescaped(line.substr(equals + 1));
        if (!value) {
            return std::nullopt;
        }
        fields.emplace_back(std::string(line.substr(0, equals)), std::move(*value));
        start = end + 1;
    }
    return fields;
}

int numberOf(const std::string& text) {
    if (text.empty() || text.size() > 9) {
        return -1;
    }
    int n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        n = n * 10 + (c - '0');
    }
    return n;
}

constexpr const char* kRequestMagic = "tarnwick-list-request 1";
constexpr const char* kAnswerMagic = "tarnwick-list-answer 1";

/// The title of the page fetched into `tempFolder`; the file goes again.
std::string fetchTitleInto(const std::string& address, const std::string& tempFolder) {
    FetchRequest request;
    request.targetUrl = toCp932(address);
    request.allowRelocation = 1;
    request.destFile = tempFolder + "/title.html";
    // A name is a nicety: a slow or huge page is not waited for.
    request.connectTimeoutSeconds = 5;
    request.stallTimeoutSeconds = 5;
    request.maxDownloadSeconds = 10;
    request.maxBodyBytes = std::int64_t{2} * 1024 * 1024;
    CFetch fetch;
    if (fetch.fetchToFile(request) != 0 || request.savedPath.empty()) {
        if (!request.savedPath.empty()) {
            ::unlink(systemPath(request.savedPath).c_str());
        }
        return {};
    }
    std::string bytes;
    const int problem = readRegularFile(request.savedPath, bytes, std::size_t{2} * 1024 * 1024);
    ::unlink(systemPath(request.savedPath).c_str());
    if (problem != 0) {
        return {};
    }
    const std::unique_ptr<CodeConverter> converter = createCodeConverter();
    return pageTitle(
        historyTextUtf8(converter.get(), bytes, pageCodePage(bytes, request.contentType)));
}

} // namespace

std::optional<ListRequest> parseListCommand(int argc, char** argv, int first, std::string& error) {
    const std::string command = argv[first];
    ListRequest request;
    int i = first + 1;
    const auto operand = [&](const char* what) -> std::optional<std::string> {
        if (i >= argc) {
            error = command + " needs " + what;
            return std::nullopt;
        }
        return std::string(argv[i++]);
    };
    if (command == "--list") {
        request.kind = ListRequest::Kind::List;
    } else if (command == "--add") {
        request.kind = ListRequest::Kind::Add;
        const std::optional<std::string> address = operand("an address");
        if (!address) {
            return std::nullopt;
        }
        request.address = *address;
        while (i < argc) {
            const std::string option = argv[i++];
            if (option == "--name") {
                const std::optional<std::string> name = operand("--name TEXT");
                if (!name) {
                    return std::nullopt;
                }
                request.name = *name;
                continue;
            }
            if (request.timing != ListRequest::Timing::Default &&
                (option == "--every" || option == "--at" || option == "--at-start")) {
                error = "--every, --at and --at-start do not go together";
                return std::nullopt;
            }
            if (option == "--at-start") {
                request.timing = ListRequest::Timing::AtStart;
            } else if (option == "--every" || option == "--at") {
                const std::optional<std::string> text = operand("a time, HH:MM");
                if (!text) {
                    return std::nullopt;
                }
                const bool every = option == "--every";
                // An interval is kept as a count of seconds in 32 bits, a time of day is one day.
                const std::optional<int> seconds =
                    clockTime(*text, every ? INT_MAX / 3600 - 1 : 23);
                if (!seconds || (every && *seconds == 0)) {
                    error = option + " needs a time as HH:MM" +
                            (every ? ", longer than 00:00" : ", from 00:00 to 23:59");
                    return std::nullopt;
                }
                request.timing = every ? ListRequest::Timing::Every : ListRequest::Timing::At;
                request.seconds = *seconds;
            } else {
                error = "--add does not take " + option;
                return std::nullopt;
            }
        }
        return request;
    } else if (command == "--remove" || command == "--check") {
        request.kind = command == "--remove" ? ListRequest::Kind::Remove : ListRequest::Kind::Check;
        const std::optional<std::string> text = operand("an item's number (from 1)");
        if (!text) {
            return std::nullopt;
        }
        const std::optional<int> position = positionNumber(*text);
        if (!position) {
            error = command + " needs an item's number (from 1), not " + *text;
            return std::nullopt;
        }
        request.position = *position;
    } else if (command == "--export") {
        request.kind = ListRequest::Kind::Export;
        const std::optional<std::string> file = operand("a file");
        if (!file) {
            return std::nullopt;
        }
        request.file = absoluteName(*file);
        request.format = formatOfName(*file).value_or(ListFormat::Urls);
        if (i < argc && std::strcmp(argv[i], "--format") == 0) {
            ++i;
            const std::optional<std::string> word = operand("urls, opml or yaml");
            if (!word) {
                return std::nullopt;
            }
            const std::optional<ListFormat> format = listFormatNamed(*word);
            if (!format) {
                error = "--format takes urls, opml or yaml, not " + *word;
                return std::nullopt;
            }
            request.format = *format;
        }
    } else if (command == "--import") {
        request.kind = ListRequest::Kind::Import;
        const std::optional<std::string> file = operand("a file");
        if (!file) {
            return std::nullopt;
        }
        request.file = absoluteName(*file);
    } else {
        return std::nullopt;
    }
    if (i < argc) {
        error = command + " does not take " + argv[i];
        return std::nullopt;
    }
    return request;
}

std::string encodeRequest(const ListRequest& request) {
    return encodeFields(kRequestMagic,
                        {{"kind", std::to_string(static_cast<int>(request.kind))},
                         {"address", request.address},
                         {"name", request.name},
                         {"timing", std::to_string(static_cast<int>(request.timing))},
                         {"seconds", std::to_string(request.seconds)},
                         {"position", std::to_string(request.position)},
                         {"file", request.file},
                         {"format", listFormatName(request.format)}});
}

std::optional<ListRequest> decodeRequest(std::string_view bytes) {
    const std::optional<Fields> fields = decodeFields(kRequestMagic, bytes);
    if (!fields || fields->size() != 8) {
        return std::nullopt;
    }
    const auto value = [&](std::size_t i) { return (*fields)[i].second; };
    ListRequest request;
    const int kind = numberOf(value(0));
    const int timing = numberOf(value(3));
    const int seconds = numberOf(value(4));
    const int position = numberOf(value(5));
    const std::optional<ListFormat> format = listFormatNamed(value(7));
    if (kind < 0 || kind > static_cast<int>(ListRequest::Kind::Import) || timing < 0 ||
        timing > static_cast<int>(ListRequest::Timing::AtStart) || seconds < 0 || position < 0 ||
        !format) {
        return std::nullopt;
    }
    request.kind = static_cast<ListRequest::Kind>(kind);
    request.address = value(1);
    request.name = value(2);
    request.timing = static_cast<ListRequest::Timing>(timing);
    request.seconds = seconds;
    request.position = position;
    request.file = value(6);
    request.format = *format;
    return request;
}

std::string encodeAnswer(const ListAnswer& answer) {
    return encodeFields(
        kAnswerMagic,
        {{"code", std::to_string(answer.code)}, {"out", answer.out}, {"err", answer.err}});
}

std::optional<ListAnswer> decodeAnswer(std::string_view bytes) {
    const std::optional<Fields> fields = decodeFields(kAnswerMagic, bytes);
    if (!fields || fields->size() != 3 || numberOf((*fields)[0].second) < 0) {
        return std::nullopt;
    }
    return ListAnswer{numberOf((*fields)[0].second), (*fields)[1].second, (*fields)[2].second};
}

std::string fetchPageTitle(const std::string& address) {
    const char* base = std::getenv("TMPDIR");
    std::string folder = std::string(base && *base ? base : "/tmp") + "/tarnwick-title-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        return {};
    }
    std::string title = fetchTitleInto(address, textPath(folder));
    ::rmdir(folder.c_str());
    return title;
}

std::string listRow(int position, const WatchSettings& item) {
    return std::to_string(position + 1) + "\t" + fromCp932(describeSchedule(item)) + "\t" +
           fromCp932(item.name) + "\t" + fromCp932(item.targetUrl) + "\t" +
           // An item never checked has no result yet (its stored one reads as an error).
           (item.lastCheck == 0 ? std::string() : fromCp932(resultRow(item).result)) + "\n";
}

std::optional<WatchSettings> newItemFor(const ListRequest& request,
                                        const std::vector<WatchSettings>& existing,
                                        std::string& error) {
    error = checkImportAddress(request.address);
    if (!error.empty()) {
        return std::nullopt;
    }
    std::string fault;
    const std::string name = checkImportName(request.name, fault);
    if (!fault.empty()) {
        error = fault;
        return std::nullopt;
    }
    for (const WatchSettings& item : existing) {
        if (sameAddress(fromCp932(item.targetUrl), request.address)) {
            error = "このアドレスはウォッチリストにあります: " + fromCp932(item.name);
            return std::nullopt;
        }
    }
    // The defaults of a new item, as the site definition sheet starts one; the timing as its
    // timing tab stores it.
    WatchSettings item;
    item.targetUrl = toCp932(request.address);
    item.name = toCp932(name.empty() ? request.address : name);
    switch (request.timing) {
    case ListRequest::Timing::Default:
        break;
    case ListRequest::Timing::AtStart:
        item.timing = "open";
        break;
    case ListRequest::Timing::Every:
        item.timing = "inter";
        item.timeValue = request.seconds;
        break;
    case ListRequest::Timing::At:
        item.timing = "define";
        item.timeValue = request.seconds;
        break;
    }
    return item;
}

ListAnswer applyListRequest(const ListRequest& request, ListHolder& holder) {
    const std::vector<WatchSettings> items = holder.items();
    ListAnswer answer;
    std::string why;
    switch (request.kind) {
    case ListRequest::Kind::List:
        for (std::size_t i = 0; i < items.size(); ++i) {
            answer.out += listRow(static_cast<int>(i), items[i]);
        }
        return answer;
    case ListRequest::Kind::Add: {
        std::optional<WatchSettings> item = newItemFor(request, items, why);
        if (!item) {
            return ListAnswer::failed("追加できません: " + why);
        }
        const WatchItemId id = holder.add(*item);
        if (id == 0 || !holder.commit(why)) {
            return ListAnswer::failed("追加できません: " + why);
        }
        answer.out = listRow(holder.positionOf(id), *item);
        return answer;
    }
    case ListRequest::Kind::Remove: {
        if (request.position < 1 || static_cast<std::size_t>(request.position) > items.size()) {
            return ListAnswer::failed("項目 " + std::to_string(request.position) +
                                      " はありません（" + std::to_string(items.size()) + " 件）");
        }
        if (!holder.remove(holder.idAt(request.position - 1)) || !holder.commit(why)) {
            return ListAnswer::failed("削除できません: " + why);
        }
        answer.out = listRow(request.position - 1, items[request.position - 1]);
        return answer;
    }
    case ListRequest::Kind::Export:
        why = writeExport(request.file, items, request.format);
        if (!why.empty()) {
            return ListAnswer::failed("書き出せません: " + request.file + ": " + why);
        }
        answer.out = std::to_string(items.size()) + " 件を " + listFormatName(request.format) +
                     " 形式で書き出しました: " + request.file + "\n";
        return answer;
    case ListRequest::Kind::Import: {
        const ImportPlan plan = planImport(readImportFile(request.file), items);
        answer.code = plan.ok() ? 0 : 1;
        for (const WatchSettings& item : plan.toAdd) {
            if (holder.add(item) == 0) {
                return ListAnswer::failed("取り込めません");
            }
        }
        if (!plan.toAdd.empty() && !holder.commit(why)) {
            return ListAnswer::failed("取り込めません: " + why);
        }
        (plan.ok() ? answer.out : answer.err) = importSummary(plan);
        return answer;
    }
    case ListRequest::Kind::Check:
        break;
    }
    return ListAnswer::failed("この操作はここではできません");
}

} // namespace tw
