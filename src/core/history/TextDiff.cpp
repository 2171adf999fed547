#include "core/history/TextDiff.h"

#include <dtl/dtl.hpp>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>

namespace tw {

namespace {

/// dtl's comparison with a budget: once `left` is used up, every pair compares equal, which
/// makes dtl's search run straight to its end (its result is then thrown away). dtl has no way
/// of its own to stop early, and its time grows with the product of the texts' length and the
/// edit distance, so this is what bounds it.
/// A stop asked for from another thread empties the budget (looked at every 64Ki comparisons).
template <typename T>
class BudgetCompare : public dtl::Compare<T> {
public:
    BudgetCompare() = default;
    BudgetCompare(std::int64_t* left, const std::atomic<bool>* stop) : m_left(left), m_stop(stop) {}
    bool impl(const T& a, const T& b) const override {
        if (*m_left <= 0) {
            return true;
        }
        if ((--*m_left & 0xFFFF) == 0 && m_stop != nullptr &&
            m_stop->load(std::memory_order_relaxed)) {
            *m_left = 0;
        }
        return a == b;
    }

private:
    std::int64_t* m_left = nullptr;
    const std::atomic<bool>* m_stop = nullptr;
};

enum class Step : std::uint8_t { Same, Removed, Added };

/// The edit script from `a` to `b`, or false when the budget ran out first.
template <typename T>
bool editScript(const std::vector<T>& a, const std::vector<T>& b, std::int64_t& budget,
                const std::atomic<bool>* stop, std::vector<Step>& steps) {
    steps.clear();
    if (a.empty() || b.empty()) {
        steps.insert(steps.end(), a.size(), Step::Removed);
        steps.insert(steps.end(), b.size(), Step::Added);
        return true;
    }
    dtl::Diff<T, std::vector<T>, BudgetCompare<T>> diff(a, b, BudgetCompare<T>(&budget, stop));
    // Caps dtl's path memory (2 million points) on long inputs; it then takes a good path rather
    // than the shortest. Not on short ones: it reserves that memory up front.
    if (a.size() + b.size() > 20000) {
        diff.onHuge();
    }
    diff.compose();
    if (budget <= 0) {
        return false;
    }
    const auto sequence = diff.getSes().getSequence();
    steps.reserve(sequence.size());
    for (const auto& element : sequence) {
        switch (element.second.type) {
        case dtl::SES_ADD:
            steps.push_back(Step::Added);
            break;
        case dtl::SES_DELETE:
            steps.push_back(Step::Removed);
            break;
        default:
            steps.push_back(Step::Same);
            break;
        }
    }
    return true;
}

/// The lines of a text (without their line ends); false when there are more than `limit`.
bool splitLines(std::string_view text, std::size_t limit, std::vector<std::string_view>& lines) {
    std::size_t start = 0;
    while (start < text.size()) {
        if (lines.size() >= limit) {
            return false;
        }
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        end = end == std::string_view::npos ? text.size() : end;
        if (end > start && text[end - 1] == '\r') {
            --end;
        }
        lines.push_back(text.substr(start, end - start));
        start = next;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Words

/// Lines longer than this are not split into words: they are shown whole.
constexpr std::size_t kWordLineBytes = std::size_t{64} * 1024;
/// Comparisons allowed for the words of one pair of lines, and for all pairs of a diff.
constexpr std::int64_t kWordPairBudget = 4'000'000;
constexpr std::int64_t kWordTotalBudget = 40'000'000;

class WordSplitter {
public:
    WordSplitter() {
        UErrorCode status = U_ZERO_ERROR;
        m_iterator.reset(
            icu::BreakIterator::createWordInstance(icu::Locale::getJapanese(), status));
        if (U_FAILURE(status)) {
            m_iterator.reset();
        }
    }

    /// The words of `line` with the stretches between them (blanks, punctuation) as words of
    /// their own, so that they join back to the line.
    std::vector<std::string> split(std::string_view line) {
        std::vector<std::string> words;
        const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
            icu::StringPiece(line.data(), static_cast<int32_t>(line.size())));
        if (!m_iterator) {
            words.emplace_back(line);
            return words;
        }
        m_iterator->setText(text);
        int32_t start = m_iterator->first();
        for (int32_t end = m_iterator->next(); end != icu::BreakIterator::DONE;
             start = end, end = m_iterator->next()) {
            std::string word;
            text.tempSubStringBetween(start, end).toUTF8String(word);
            words.push_back(std::move(word));
        }
        return words;
    }

private:
    std::unique_ptr<icu::BreakIterator> m_iterator;
};

bool isBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t'; });
}

void appendSpan(std::vector<DiffSpan>& spans, DiffSpan::Kind kind, std::string_view text) {
    if (!spans.empty() && spans.back().kind == kind) {
        spans.back().text += text;
    } else {
        spans.push_back({kind, std::string(text)});
    }
}

/// The word spans of a changed pair of lines, or none when the words could not be compared
/// within the budget. Within a changed stretch the removed words come before the added ones, and
/// a blank between two changed stretches joins them, so that a phrase reads as one change.
std::vector<DiffSpan> wordSpans(WordSplitter& splitter, std::string_view before,
                                std::string_view after, std::int64_t& totalBudget,
                                const std::atomic<bool>* stop) {
    if (before.size() > kWordLineBytes || after.size() > kWordLineBytes || totalBudget <= 0) {
        return {};
    }
    const std::vector<std::string> a = splitter.split(before);
    const std::vector<std::string> b = splitter.split(after);
    std::int64_t budget = std::min(kWordPairBudget, totalBudget);
    const std::int64_t given = budget;
    std::vector<Step> steps;
    const bool done = editScript(a, b, budget, stop, steps);
    totalBudget -= given - std::max<std::int64_t>(budget, 0);
    if (!done) {
        return {};
    }

    // Stretches: a run of unchanged words, or a run of changes (removed and added kept apart).
    struct Stretch {
        std::string same;
        std::string removed;
        std::string added;
        bool changed = false;
    };
    std::vector<Stretch> stretches;
    std::size_t ia = 0;
    std::size_t ib = 0;
    for (const Step step : steps) {
        if (step == Step::Same) {
            if (stretches.empty() || stretches.back().changed) {
                stretches.emplace_back();
            }
            stretches.back().same += a[ia];
            ++ia;
            ++ib;
            continue;
        }
        if (stretches.empty() || !stretches.back().changed) {
            stretches.push_back({{}, {}, {}, true});
        }
        if (step == Step::Removed) {
            stretches.back().removed += a[ia++];
        } else {
            stretches.back().added += b[ib++];
        }
    }
    // A blank alone between two changes belongs to them.
    std::vector<Stretch> joined;
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        Stretch& s = stretches[i];
        if (!s.changed && isBlank(s.same) && !joined.empty() && joined.back().changed &&
            i + 1 < stretches.size()) {
            Stretch& next = stretches[i + 1];
            joined.back().removed += s.same + next.removed;
            joined.back().added += s.same + next.added;
            ++i;
            continue;
        }
        joined.push_back(std::move(s));
    }

    std::vector<DiffSpan> spans;
    for (const Stretch& s : joined) {
        if (!s.changed) {
            appendSpan(spans, DiffSpan::Kind::Same, s.same);
            continue;
        }
        if (!s.removed.empty()) {
            appendSpan(spans, DiffSpan::Kind::Removed, s.removed);
        }
        if (!s.added.empty()) {
            appendSpan(spans, DiffSpan::Kind::Added, s.added);
        }
    }
    return spans;
}

// ---------------------------------------------------------------------------------------------
// Pairing the removed and added lines of a change

/// The pairs of code points of a line (its first 4 KiB), sorted, for a quick likeness.
std::vector<std::uint64_t> bigrams(std::string_view line) {
    std::vector<std::uint64_t> pairs;
    const auto* s = reinterpret_cast<const std::uint8_t*>(line.data());
    const auto length = static_cast<int32_t>(std::min<std::size_t>(line.size(), 4096));
    int32_t i = 0;
    UChar32 previous = -1;
    while (i < length) {
        UChar32 c = 0;
        U8_NEXT(s, i, length, c);
        if (previous >= 0) {
            pairs.push_back((static_cast<std::uint64_t>(previous) << 32) |
                            static_cast<std::uint32_t>(c));
        }
        previous = c;
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

/// How alike two lines are (0..1): the share of the shorter line's code point pairs that the
/// other has too, so that a sentence added to a line still pairs it; none when they share less
/// than a quarter of the longer one's pairs.
double likeness(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
    if (a.empty() || b.empty()) {
        return 0.0;
    }
    std::size_t common = 0;
    auto ia = a.begin();
    auto ib = b.begin();
    while (ia != a.end() && ib != b.end()) {
        if (*ia < *ib) {
            ++ia;
        } else if (*ib < *ia) {
            ++ib;
        } else {
            ++common;
            ++ia;
            ++ib;
        }
    }
    if (common * 4 < std::max(a.size(), b.size())) {
        return 0.0;
    }
    return static_cast<double>(common) / static_cast<double>(std::min(a.size(), b.size()));
}

/// Lines that share less than this are shown as one removed and one added line.
constexpr double kPairLikeness = 0.6;
/// How far ahead among the added lines a partner for a removed line is looked for.
constexpr std::size_t kPairWindow = 16;
/// Changes with more lines on either side are shown as removed and added lines only.
constexpr std::size_t kPairBlockLines = 2000;

struct Texts {
    const std::vector<std::string_view>& a;
    const std::vector<std::string_view>& b;
};

/// The lines of one change: old lines [oldBegin, oldEnd) replaced by new lines [newBegin,
/// newEnd), removed and added lines that are alike paired into word-level lines.
void changeLines(const Texts& texts, std::size_t oldBegin, std::size_t oldEnd, std::size_t newBegin,
                 std::size_t newEnd, const DiffOptions& options, WordSplitter& splitter,
                 std::int64_t& wordBudget, std::vector<DiffLine>& out) {
    auto removed = [&](std::size_t i) {
        out.push_back({DiffLine::Kind::Removed,
                       i + 1,
                       0,
                       {{DiffSpan::Kind::Removed, std::string(texts.a[i])}}});
    };
    auto added = [&](std::size_t j) {
        out.push_back(
            {DiffLine::Kind::Added, 0, j + 1, {{DiffSpan::Kind::Added, std::string(texts.b[j])}}});
    };
    const std::size_t oldCount = oldEnd - oldBegin;
    const std::size_t newCount = newEnd - newBegin;
    if (!options.words || oldCount == 0 || newCount == 0 || oldCount > kPairBlockLines ||
        newCount > kPairBlockLines) {
        for (std::size_t i = oldBegin; i < oldEnd; ++i) {
            removed(i);
        }
        for (std::size_t j = newBegin; j < newEnd; ++j) {
            added(j);
        }
        return;
    }
    std::vector<std::vector<std::uint64_t>> newPairs(newCount);
    std::vector<bool> newPairsMade(newCount, false);
    std::size_t nextNew = newBegin;
    std::size_t nextOld = oldBegin;
    for (std::size_t i = oldBegin; i < oldEnd && nextNew < newEnd; ++i) {
        const std::vector<std::uint64_t> oldPairs = bigrams(texts.a[i]);
        std::size_t best = newEnd;
        double bestLikeness = kPairLikeness;
        for (std::size_t j = nextNew; j < newEnd && j < nextNew + kPairWindow; ++j) {
            if (!newPairsMade[j - newBegin]) {
                newPairs[j - newBegin] = bigrams(texts.b[j]);
                newPairsMade[j - newBegin] = true;
            }
            const double l = likeness(oldPairs, newPairs[j - newBegin]);
            if (l >= bestLikeness) {
                best = j;
                bestLikeness = l;
            }
        }
        if (best == newEnd) {
            continue;
        }
        std::vector<DiffSpan> spans =
            wordSpans(splitter, texts.a[i], texts.b[best], wordBudget, options.stop);
        if (spans.empty()) {
            continue;
        }
        for (; nextOld < i; ++nextOld) {
            removed(nextOld);
        }
        for (; nextNew < best; ++nextNew) {
            added(nextNew);
        }
        out.push_back({DiffLine::Kind::Changed, i + 1, best + 1, std::move(spans)});
        nextOld = i + 1;
        nextNew = best + 1;
    }
    for (; nextOld < oldEnd; ++nextOld) {
        removed(nextOld);
    }
    for (; nextNew < newEnd; ++nextNew) {
        added(nextNew);
    }
}

struct Change {
    std::size_t oldBegin, oldEnd, newBegin, newEnd;
};

bool stopped(const DiffOptions& options) {
    return options.stop != nullptr && options.stop->load(std::memory_order_relaxed);
}

} // namespace

TextDiff diffTexts(std::string_view before, std::string_view after, const DiffOptions& options) {
    TextDiff result;
    std::vector<std::string_view> a;
    std::vector<std::string_view> b;
    if (!splitLines(before, options.maxLines, a) || !splitLines(after, options.maxLines, b)) {
        result.tooLarge = true;
        return result;
    }

    // Common lines at both ends are left out of the search; the rest become numbers.
    std::size_t head = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) {
        ++head;
    }
    std::size_t tail = 0;
    while (tail < a.size() - head && tail < b.size() - head &&
           a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) {
        ++tail;
    }
    std::vector<std::uint32_t> ida;
    std::vector<std::uint32_t> idb;
    {
        std::unordered_map<std::string_view, std::uint32_t> ids;
        ids.reserve(a.size() + b.size() - 2 * (head + tail));
        auto number = [&](std::string_view line) {
            return ids.emplace(line, static_cast<std::uint32_t>(ids.size())).first->second;
        };
        ida.reserve(a.size() - head - tail);
        idb.reserve(b.size() - head - tail);
        for (std::size_t i = head; i < a.size() - tail; ++i) {
            ida.push_back(number(a[i]));
        }
        for (std::size_t i = head; i < b.size() - tail; ++i) {
            idb.push_back(number(b[i]));
        }
        // Every line one text has more often than the other is an edit: when they alone pass
        // the bound, the search is not even started (a page rewritten as a whole).
        std::vector<std::int32_t> balance(ids.size(), 0);
        for (const std::uint32_t id : ida) {
            ++balance[id];
        }
        for (const std::uint32_t id : idb) {
            --balance[id];
        }
        std::size_t lowerBound = 0;
        for (const std::int32_t count : balance) {
            lowerBound += static_cast<std::size_t>(count < 0 ? -count : count);
        }
        if (lowerBound > options.maxEditLines) {
            result.tooLarge = true;
            return result;
        }
    }

    // dtl's time is about (lines) x (edit distance): allowed for the bound of edit lines on a
    // page of 20,000 lines, a few hundred milliseconds.
    std::int64_t budget =
        std::max<std::int64_t>(static_cast<std::int64_t>(ida.size() + idb.size()) * 64,
                               static_cast<std::int64_t>(options.maxEditLines) * 2000);
    std::vector<Step> steps;
    if (!editScript(ida, idb, budget, options.stop, steps) || stopped(options)) {
        result.tooLarge = true;
        return result;
    }
    ida = {};
    idb = {};
    std::size_t edits = 0;
    std::vector<Change> changes;
    {
        std::size_t ia = head;
        std::size_t ib = head;
        for (std::size_t s = 0; s < steps.size();) {
            if (steps[s] == Step::Same) {
                ++ia;
                ++ib;
                ++s;
                continue;
            }
            Change change{ia, ia, ib, ib};
            for (; s < steps.size() && steps[s] != Step::Same; ++s) {
                if (steps[s] == Step::Removed) {
                    ++ia;
                } else {
                    ++ib;
                }
                ++edits;
            }
            change.oldEnd = ia;
            change.newEnd = ib;
            changes.push_back(change);
        }
    }
    if (edits > options.maxEditLines) {
        result.tooLarge = true;
        return result;
    }

    // Hunks: changes closer than twice the context share one.
    WordSplitter splitter;
    std::int64_t wordBudget = kWordTotalBudget;
    const Texts texts{a, b};
    const std::size_t context = options.context;
    std::size_t shownOld = 0; // old lines up to here are in a hunk or counted as hidden
    for (std::size_t c = 0; c < changes.size();) {
        DiffHunk hunk;
        const std::size_t start = changes[c].oldBegin - std::min(context, changes[c].oldBegin);
        const std::size_t first = std::max(start, shownOld);
        hunk.hiddenBefore = first - shownOld;
        std::size_t ia = first;
        std::size_t ib = changes[c].newBegin - (changes[c].oldBegin - first);
        for (;;) {
            const Change& change = changes[c];
            for (; ia < change.oldBegin; ++ia, ++ib) {
                hunk.lines.push_back({DiffLine::Kind::Same,
                                      ia + 1,
                                      ib + 1,
                                      {{DiffSpan::Kind::Same, std::string(a[ia])}}});
            }
            changeLines(texts, change.oldBegin, change.oldEnd, change.newBegin, change.newEnd,
                        options, splitter, wordBudget, hunk.lines);
            ia = change.oldEnd;
            ib = change.newEnd;
            ++c;
            if (c == changes.size() || changes[c].oldBegin - ia > 2 * context) {
                break;
            }
        }
        const std::size_t end = std::min(a.size(), ia + context);
        for (; ia < end; ++ia, ++ib) {
            hunk.lines.push_back({DiffLine::Kind::Same,
                                  ia + 1,
                                  ib + 1,
                                  {{DiffSpan::Kind::Same, std::string(a[ia])}}});
        }
        shownOld = ia;
        result.hunks.push_back(std::move(hunk));
    }
    result.hiddenAfter = changes.empty() ? 0 : a.size() - shownOld;
    if (stopped(options)) {
        result = {};
        result.tooLarge = true;
    }
    return result;
}

std::string sideText(const DiffLine& line, bool old) {
    std::string text;
    for (const DiffSpan& span : line.spans) {
        if (span.kind == DiffSpan::Kind::Same ||
            span.kind == (old ? DiffSpan::Kind::Removed : DiffSpan::Kind::Added)) {
            text += span.text;
        }
    }
    return text;
}

namespace {

std::string range(std::size_t start, std::size_t count) {
    // A side without lines names the line before the change.
    const std::size_t first = count == 0 ? start : start + 1;
    return count == 1 ? std::to_string(first) : std::to_string(first) + "," + std::to_string(count);
}

} // namespace

std::string unifiedDiff(const TextDiff& diff, const std::string& oldLabel,
                        const std::string& newLabel) {
    std::string out;
    if (diff.hunks.empty()) {
        return out;
    }
    out += "--- " + oldLabel + "\n+++ " + newLabel + "\n";
    std::size_t oldBefore = 0; // old and new lines before the current hunk
    std::size_t newBefore = 0;
    for (const DiffHunk& hunk : diff.hunks) {
        oldBefore += hunk.hiddenBefore;
        newBefore += hunk.hiddenBefore;
        std::size_t oldCount = 0;
        std::size_t newCount = 0;
        for (const DiffLine& line : hunk.lines) {
            oldCount += line.kind != DiffLine::Kind::Added ? 1 : 0;
            newCount += line.kind != DiffLine::Kind::Removed ? 1 : 0;
        }
        out += "@@ -" + range(oldBefore, oldCount) + " +" + range(newBefore, newCount) + " @@\n";
        // A run of changed lines as all its old lines, then all its new ones.
        for (std::size_t i = 0; i < hunk.lines.size();) {
            if (hunk.lines[i].kind == DiffLine::Kind::Same) {
                out += " " + sideText(hunk.lines[i], true) + "\n";
                ++i;
                continue;
            }
            std::size_t end = i;
            while (end < hunk.lines.size() && hunk.lines[end].kind != DiffLine::Kind::Same) {
                ++end;
            }
            for (std::size_t k = i; k < end; ++k) {
                if (hunk.lines[k].kind != DiffLine::Kind::Added) {
                    out += "-" + sideText(hunk.lines[k], true) + "\n";
                }
            }
            for (std::size_t k = i; k < end; ++k) {
                if (hunk.lines[k].kind != DiffLine::Kind::Removed) {
                    out += "+" + sideText(hunk.lines[k], false) + "\n";
                }
            }
            i = end;
        }
        oldBefore += oldCount;
        newBefore += newCount;
    }
    return out;
}

} // namespace tw
