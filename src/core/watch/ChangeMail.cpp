#include "core/watch/ChangeMail.h"

#include "core/history/HistoryStore.h"
#include "core/history/VersionChange.h"
#include "core/platform/CodeConverter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/util/Cp932Scan.h"

#include <map>
#include <vector>

namespace tw {

namespace {

/// Bytes of the UTF-8 character that starts with `lead` (1 for a stray byte).
std::size_t utf8Length(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) {
        return 4;
    }
    if (lead >= 0xE0) {
        return lead < 0xF0 ? 3 : 1;
    }
    return lead >= 0xC0 ? 2 : 1;
}

/// `text` cut at a character boundary before `limit` bytes, "…" marking the cut.
std::string cutLine(std::string text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t next = end + cp932CharLength(text, end);
        if (next > limit) {
            break;
        }
        end = next;
    }
    text.resize(end);
    return text + jp("…");
}

} // namespace

std::string mailSafeText(std::string_view utf8, CodeConverter* converter) {
    const std::string substitute = jp("〓");
    // What each double-byte character makes in a round trip through ISO-2022-JP, asked once.
    std::map<std::string, bool> carried;
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t length =
            std::min(utf8Length(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
        const std::string_view character = utf8.substr(i, length);
        i += length;
        const std::optional<std::string> cp932 = toCp932Exact(character);
        if (!cp932) {
            out += substitute;
            continue;
        }
        // ASCII and half-width katakana (which the mail turns into full-width) always go.
        if (cp932->size() == 1 || converter == nullptr) {
            out += *cp932;
            continue;
        }
        auto [known, added] = carried.try_emplace(*cp932, false);
        if (added) {
            std::string jis;
            std::string back;
            known->second = converter->convert(932, 50220, *cp932, jis) &&
                            converter->convert(50220, 932, jis, back) && back == *cp932;
        }
        out += known->second ? *cp932 : substitute;
    }
    return out;
}

ChangedLines changedLines(const HistoryStore& store, const WatchSettings& item,
                          CodeConverter* converter, std::size_t maxLines) {
    ChangedLines changed;
    const std::string key = HistoryStore::keyOf(item.compareFile);
    if (key.empty()) {
        return changed;
    }
    const std::vector<HistoryVersion> versions = store.versions(key);
    // Only a change this very check kept: an older one would be news of another day.
    if (versions.size() < 2 || versions.back().checkedAt != item.lastCheck) {
        return changed;
    }
    changed.kept = true;
    DiffOptions options;
    options.context = 0;
    options.words = false;
    const VersionChange change = changeBetween(store, key, &versions[versions.size() - 2],
                                               versions.back(), converter, false, options);
    if (!change.problem.empty()) {
        changed.problem = change.problem;
        return changed;
    }
    const auto add = [&](std::string line) {
        if (changed.lines.size() < maxLines) {
            changed.lines.push_back(std::move(line));
        } else {
            changed.more = true;
        }
    };
    for (const DiffHunk& hunk : change.diff.hunks) {
        for (const DiffLine& line : hunk.lines) {
            if (line.kind == DiffLine::Kind::Removed || line.kind == DiffLine::Kind::Changed) {
                add("- " + sideText(line, true));
            }
            if (line.kind == DiffLine::Kind::Added || line.kind == DiffLine::Kind::Changed) {
                add("+ " + sideText(line, false));
            }
            if (changed.more) {
                return changed;
            }
        }
    }
    return changed;
}

std::string mailChanges(const HistoryStore& store, const WatchSettings& item,
                        CodeConverter* converter) {
    const ChangedLines changed = changedLines(store, item, converter, kMaxMailChangeLines);
    if (!changed.kept) {
        return {};
    }
    std::string text = "\n\n" + jp("【変更内容】") + "\n";
    if (!changed.problem.empty()) {
        return text + changed.problem + "\n";
    }
    if (changed.lines.empty()) {
        return text + jp("（読んで見える文章に変化はありません）") + "\n";
    }
    for (const std::string& line : changed.lines) {
        text += cutLine(mailSafeText(line, converter), kMaxMailChangeLineBytes) + "\n";
    }
    if (changed.more) {
        text += jp("…") + "\n";
    }
    return text;
}

} // namespace tw
