#include "core/app/ChangesCommand.h"

#include "core/history/HistoryStore.h"
#include "core/history/VersionChange.h"
#include "core/platform/CodeConverter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/SafeFile.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

namespace tw {

namespace {

/// A watch list is never near this large; a larger file is not read.
constexpr std::size_t kMaxListBytes = std::size_t{256} << 20;

/// The items of the watch list as they stand in its file; none with `error` set when it cannot
/// be read. Nothing is written, not even a copy of a damaged file: the running program owns it.
std::optional<std::vector<WatchSettings>> readItems(const std::string& path, std::string& error) {
    std::string data;
    if (const int failure = readRegularFile(path, data, kMaxListBytes); failure != 0) {
        error = failure == ENOENT ? jp("ウォッチリストがありません: ") + path
                                  : jp("ウォッチリストを読み込めません: ") + path + "\n" +
                                        systemErrorText(failure);
        return std::nullopt;
    }
    std::vector<WatchSettings> items;
    if (data.empty()) {
        return items;
    }
    std::FILE* file = fmemopen(data.data(), data.size(), "rb");
    if (!file) {
        error = jp("ウォッチリストを読み込めません: ") + path + "\n" + systemErrorText(errno);
        return std::nullopt;
    }
    for (;;) {
        WatchSettings item;
        if (item.readRecord(file) == 0) {
            break;
        }
        items.push_back(std::move(item));
    }
    std::fclose(file);
    return items;
}

/// The item named on the command line: a position from 1, else an exact name.
const WatchSettings* findItem(const std::vector<WatchSettings>& items, const std::string& which) {
    const bool number =
        !which.empty() && which.size() < 10 &&
        std::all_of(which.begin(), which.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (number) {
        const std::size_t position = static_cast<std::size_t>(std::stoul(which));
        if (position >= 1 && position <= items.size()) {
            return &items[position - 1];
        }
    }
    const std::string name = toCp932(which);
    const auto found = std::find_if(items.begin(), items.end(),
                                    [&](const WatchSettings& item) { return item.name == name; });
    return found == items.end() ? nullptr : &*found;
}

std::string timeText(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

// What is printed here goes straight to a UTF-8 terminal, so its texts are UTF-8; texts of the
// core (code page 932) pass fromCp932().

std::string kindText(const HistoryVersion& v) {
    if (!v.text) {
        return "テキストではありません（大きさとSHA-256のみ）";
    }
    std::string code;
    switch (v.codePage) {
    case 932:
        code = "Shift_JIS";
        break;
    case 51932:
        code = "EUC-JP";
        break;
    case 50220:
        code = "ISO-2022-JP";
        break;
    case 65001:
        code = "UTF-8";
        break;
    default:
        code = "?";
        break;
    }
    std::string kind = v.area ? "チェック範囲" : v.html ? "HTML" : "テキスト";
    kind += "（" + code + "）";
    if (!v.stored) {
        kind += " 大きすぎるため大きさとSHA-256のみ";
    }
    return kind;
}

void say(std::FILE* err, const std::string& cp932) {
    std::fprintf(err, "tarnwick: %s\n", fromCp932(cp932).c_str());
}

} // namespace

int runChangesCommand(const std::string& dataFolder, const std::string& which, bool listHistory,
                      std::FILE* out, std::FILE* err) {
    std::string error;
    const auto items = readItems(dataFolder + "/WatchList.twl", error);
    if (!items) {
        say(err, error);
        return 1;
    }
    const WatchSettings* item = findItem(*items, which);
    if (!item) {
        say(err, jp("その項目はウォッチリストにありません: ") + toCp932(which) + jp("（") +
                     std::to_string(items->size()) + jp(" 項目）"));
        return 1;
    }
    const std::string title = fromCp932(item->name.empty() ? item->targetUrl : item->name);
    const std::string key = HistoryStore::keyOf(item->compareFile);
    const HistoryStore store(dataFolder, {});
    std::vector<std::string> problems;
    const std::vector<HistoryVersion> versions =
        key.empty() ? std::vector<HistoryVersion>() : store.versions(key, &problems);
    for (const std::string& problem : problems) {
        say(err, problem);
    }
    if (versions.empty()) {
        std::fprintf(err, "tarnwick: %s: %s\n", title.c_str(),
                     fromCp932(jp("変更履歴がありません")).c_str());
        return 1;
    }

    if (listHistory) {
        for (std::size_t i = 0; i < versions.size(); ++i) {
            const HistoryVersion& v = versions[i];
            std::fprintf(out, "%zu\t%s\t%lld\t%s\n", i + 1, timeText(v.checkedAt).c_str(),
                         static_cast<long long>(v.size), kindText(v).c_str());
        }
        return 0;
    }
    if (versions.size() < 2) {
        std::fprintf(err, "tarnwick: %s: %s\n", title.c_str(),
                     "変更はまだありません（記録されている版は1つだけです。--history で一覧）");
        return 1;
    }
    const HistoryVersion& before = versions[versions.size() - 2];
    const HistoryVersion& after = versions.back();
    const std::unique_ptr<CodeConverter> converter = createCodeConverter();
    const VersionChange change = changeBetween(store, key, &before, after, converter.get(), false);
    if (!change.problem.empty()) {
        std::fprintf(err, "tarnwick: %s: %s\n", title.c_str(), fromCp932(change.problem).c_str());
        return 1;
    }
    if (change.asSource) {
        std::fprintf(err, "tarnwick: %s: %s\n", title.c_str(),
                     "ページが大きいため、ソースのまま比較しました");
    }
    const std::string oldLabel = title + "\t" + timeText(before.checkedAt);
    const std::string newLabel = title + "\t" + timeText(after.checkedAt);
    std::string text = unifiedDiff(change.diff, oldLabel, newLabel);
    if (text.empty()) {
        // Only the markup changed: nothing a reader sees.
        text = "--- " + oldLabel + "\n+++ " + newLabel + "\n";
        std::fprintf(err, "tarnwick: %s: %s\n", title.c_str(),
                     "読んで見える文章に変化はありません（ページのソースだけが変わりました）");
    }
    std::fwrite(text.data(), 1, text.size(), out);
    return std::ferror(out) ? 1 : 0;
}

} // namespace tw
