#include "core/history/VersionChange.h"

#include "core/history/PageText.h"
#include "core/util/Cp932.h"

#include <optional>
#include <system_error>
#include <thread>

namespace tw {

namespace {

/// HTML pages larger than this are compared as source: the parser's tree takes about 25 times
/// the page's size (200 MB for 8 MiB).
constexpr std::size_t kReaderBytes = std::size_t{8} << 20;

/// The text of one version as UTF-8, or none with `problem` set.
std::optional<std::string> versionText(const HistoryStore& store, const std::string& key,
                                       const HistoryVersion& version, CodeConverter* converter,
                                       std::string& problem) {
    if (!version.text) {
        problem = jp("このバージョンはテキストではないため、変更内容を表示できません。");
        return std::nullopt;
    }
    if (!version.stored) {
        problem = jp("このバージョンは大きすぎて保存されていないため、変更内容を表示できません。");
        return std::nullopt;
    }
    std::string error;
    std::optional<std::string> bytes = store.read(key, version, &error);
    if (!bytes) {
        problem = error.empty() ? jp("このバージョンを読み込めません。") : error;
        return std::nullopt;
    }
    return historyTextUtf8(converter, *bytes, version.codePage);
}

} // namespace

VersionChange changeBetween(const HistoryStore& store, const std::string& key,
                            const HistoryVersion* before, const HistoryVersion& after,
                            CodeConverter* converter, bool source, const DiffOptions& options) {
    VersionChange change;
    if (before != nullptr && !before->text && after.text) {
        change.problem = jp("前のバージョンはテキストではないため、変更内容を表示できません。");
        return change;
    }
    std::optional<std::string> newText = versionText(store, key, after, converter, change.problem);
    if (!newText) {
        return change;
    }
    std::string oldText;
    if (before != nullptr) {
        std::string problem;
        std::optional<std::string> text = versionText(store, key, *before, converter, problem);
        if (!text) {
            change.problem = jp("前のバージョン: ") + problem;
            change.beforeFailed = true;
            return change;
        }
        oldText = std::move(*text);
    }
    // Both sides the same way: the reader's text of both, or the source of both.
    const bool html = after.html || (before != nullptr && before->html);
    if (html && !source) {
        if (newText->size() <= kReaderBytes && oldText.size() <= kReaderBytes) {
            // The parser takes most of the time of a large page: the two sides at once.
            std::thread oldSide;
            if (before != nullptr && before->html) {
                try {
                    oldSide = std::thread([&oldText] { oldText = readerText(oldText); });
                } catch (const std::system_error&) {
                    oldText = readerText(oldText); // no thread to be had: one after the other
                }
            }
            if (after.html) {
                *newText = readerText(*newText);
            }
            if (oldSide.joinable()) {
                oldSide.join();
            }
        } else {
            change.asSource = true;
        }
    }
    change.diff = diffTexts(oldText, *newText, options);
    if (change.diff.tooLarge) {
        change.problem = jp("差分が大きすぎます。");
    }
    return change;
}

} // namespace tw
