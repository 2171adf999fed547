#pragma once

#include "core/records/CheckOutcome.h"
#include "core/records/FetchSettings.h"

#include <string_view>

namespace tw {

/// One watch item: how the page is fetched plus when it is checked, which part of it is
/// compared, what happens on a change and what the last check found.
class WatchSettings : public FetchSettings {
public:
    static constexpr const char* kKeyTable =
        "Chec: Timi: Date: Time: Down: Show: Last: Resu: Hidd: Exec: SUse: SFil: PopU: Keyw: "
        "KeyP: Jpco: CmpO: CmpS: CmpD: UseM: ToAd: Subj: Honb: HonE: ";
    static constexpr const char* kOpenLine = "\t//{{TOP-W\n";
    static constexpr const char* kCloseLine = "\tEND-W}}//\n";
    /// Column texts of the two words; a word's choice is the position where it is first found.
    static constexpr const char* kScheduleColumns = "daily   weekly  monthly once    ";
    static constexpr const char* kTimingColumns = "open    inter   defined ";
    /// Key position of the URL-encoded mail body line, which wins over "Honb".
    static constexpr int kMailBodyEncodedPos = 138;
    /// Stored moments (Date, Last) are read into 0 .. the last second of the year 9999 UTC, and
    /// Time into 0 .. INT_MAX: the schedule's sums then stay far from the limits of time_t.
    static constexpr std::time_t kLatestMoment = 253402300799;

    std::string schedule = "daily";
    std::string timing = "open";
    std::time_t dateValue = 0;
    int timeValue = 0;
    int downloadMode = 0;
    int showInBrowser = 0;
    std::time_t lastCheck = 0;
    /// A CheckOutcome as stored; read and set it through outcome() and setOutcome().
    int lastResult = 0;
    std::string compareFile;
    std::string runOnUpdate;
    int soundMode = 1;
    std::string soundFile = "notify.wav";
    int popUp = 1;
    int sendMail = 0;
    std::string mailTo;
    std::string mailSubject;
    std::string mailBody;
    std::string anchorKeyword;
    int anchorOccurrence = 1;
    int japaneseCode = 0;
    int areaOffset = 0;
    int areaSize = 20;
    std::string areaText;

    // Run-time only, never stored.
    /// A moment, or one of the two states below.
    std::time_t nextCheck = 0;
    static constexpr std::time_t kDueNow = 0;
    static constexpr std::time_t kNotToday = -1;
    /// Of a failed check: kErrorWithText when errorText says why, else the server's status
    /// or the fetch engine's error kind.
    static constexpr int kErrorWithText = 2;
    int errorKind = 0;
    std::string errorText;

    WatchSettings() = default;
    WatchSettings(const WatchSettings&) = default;
    WatchSettings& operator=(const WatchSettings&) = default;
    WatchSettings(WatchSettings&&) = default;
    WatchSettings& operator=(WatchSettings&&) = default;

    CheckOutcome outcome() const { return checkOutcomeFrom(lastResult); }
    void setOutcome(CheckOutcome outcome) { lastResult = static_cast<int>(outcome); }

    void reset();
    int parseLine(std::string line);
    int readRecord(std::FILE* stream);
    /// 1 when the embedded fetch block could not be written, else 0.
    int writeRecord(std::FILE* stream) const;
    void copy(const WatchSettings& from) { *this = from; }

    std::string toText() const;
    int fromText(const std::string& text);

    /// The lenient reader passes over lines it does not know, so a damaged framing line loses or
    /// merges items without a trace. This looks at a whole list file instead: the 1-based number
    /// of the first line that is neither blank, nor a key line, nor the framing line expected
    /// at its place (an opening line inside a block, a closing line outside its block, a key
    /// line outside a block); 0 when every line is in order. A file cut inside its last block
    /// is not reported here: the reader itself stops there.
    static int firstMisplacedLine(std::string_view fileText);

    /// Position of `schedule` in kScheduleColumns, or -1 when not found.
    int schedulePosition() const;
    /// Position of `timing` in kTimingColumns, or -1 when not found.
    int timingPosition() const;

    /// The words as the schedule reads them: a word is the column where it is first found in
    /// kScheduleColumns or kTimingColumns ("defined" and "define" alike); Other when it starts
    /// at no column.
    enum class ScheduleKind { Daily, Weekly, Monthly, Once, Other };
    enum class TimingKind { Open, Interval, SetTime, Other };
    ScheduleKind scheduleKind() const;
    TimingKind timingKind() const;

    bool operator==(const WatchSettings&) const = default;

private:
    bool m_mailBodyEncoded = false;
};

} // namespace tw
