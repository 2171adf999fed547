#include "core/records/WatchSettings.h"

#include "core/util/TextUtil.h"

#include <algorithm>
#include <cctype>

namespace tw {

namespace {

std::time_t storedMoment(const std::string& value) {
    return std::clamp<std::time_t>(static_cast<std::time_t>(parseInt64(value)), 0,
                                   WatchSettings::kLatestMoment);
}

bool isBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r\n\v\f") == std::string_view::npos;
}

/// Four letters or digits and a colon, as every key of every block is written.
bool isKeyLine(std::string_view line) {
    const auto start = line.find_first_not_of(" \t\v\f");
    if (start == std::string_view::npos || line.size() - start < 5) {
        return false;
    }
    line.remove_prefix(start);
    for (int i = 0; i < 4; ++i) {
        const unsigned char ch = static_cast<unsigned char>(line[i]);
        if (!std::isalnum(ch)) {
            return false;
        }
    }
    return line[4] == ':' && (line.size() == 5 || line[5] == ' ');
}

} // namespace

void WatchSettings::reset() {
    *this = WatchSettings();
}

int WatchSettings::parseLine(std::string line) {
    std::string key;
    std::string value;
    if (!record::splitKeyLine(line, key, value)) {
        return -1;
    }
    const int pos = record::keyPosition(kKeyTable, key);
    switch (pos) {
    case 0:
        schedule = value;
        break;
    case 6:
        timing = value;
        break;
    case 12:
        dateValue = storedMoment(value);
        break;
    case 18:
        timeValue = std::max(parseInt(value), 0);
        break;
    case 24:
        downloadMode = parseInt(value);
        break;
    case 30:
        showInBrowser = parseInt(value);
        break;
    case 36:
        lastCheck = storedMoment(value);
        break;
    case 42:
        lastResult = parseInt(value);
        break;
    case 48:
        compareFile = value;
        break;
    case 54:
        runOnUpdate = value;
        break;
    case 60:
        soundMode = parseInt(value);
        break;
    case 66:
        soundFile = value;
        break;
    case 72:
        popUp = parseInt(value);
        break;
    case 78:
        anchorKeyword = value;
        break;
    case 84:
        anchorOccurrence = parseInt(value);
        break;
    case 90:
        japaneseCode = parseInt(value);
        break;
    case 96:
        areaOffset = parseInt(value);
        break;
    case 102:
        areaSize = parseInt(value);
        break;
    case 108:
        areaText = urlDecode(value);
        break;
    case 114:
        sendMail = parseInt(value);
        break;
    case 120:
        mailTo = value;
        break;
    case 126:
        mailSubject = value;
        break;
    case 132:
        // The one-line copy is for older readers; the encoded body wins wherever it stands.
        if (!m_mailBodyEncoded) {
            mailBody = value;
        }
        break;
    case kMailBodyEncodedPos:
        mailBody = urlDecode(value);
        m_mailBodyEncoded = true;
        break;
    default:
        return -1;
    }
    return pos;
}

int WatchSettings::readRecord(std::FILE* stream) {
    reset();
    std::string line;
    for (;;) {
        if (!record::readLine(stream, line)) {
            return 0;
        }
        if (line.compare(0, 11, kOpenLine) == 0) {
            break;
        }
    }
    if (FetchSettings::readRecord(stream) == 0) {
        return 0;
    }
    while (record::readLine(stream, line)) {
        if (line.compare(0, 11, kCloseLine) == 0) {
            m_mailBodyEncoded = false;
            return 1;
        }
        parseLine(line);
    }
    m_mailBodyEncoded = false;
    return 0;
}

std::string WatchSettings::toText() const {
    using record::oneLine;
    std::string text;
    text.reserve(1024 + areaText.size() * 3 + mailBody.size() * 4);
    auto textLine = [&text](const char* key, const std::string& value) {
        record::appendLine(text, key, value);
    };
    auto numberLine = [&text](const char* key, long long value) {
        record::appendLine(text, key, value);
    };
    text += kOpenLine;
    text += FetchSettings::toText();
    textLine("Chec: ", oneLine(schedule));
    textLine("Timi: ", oneLine(timing));
    numberLine("Date: ", dateValue);
    numberLine("Time: ", timeValue);
    numberLine("Down: ", downloadMode);
    numberLine("Show: ", showInBrowser);
    numberLine("Last: ", lastCheck);
    numberLine("Resu: ", lastResult);
    textLine("Hidd: ", oneLine(compareFile));
    textLine("Exec: ", oneLine(runOnUpdate));
    numberLine("SUse: ", soundMode);
    textLine("SFil: ", oneLine(soundFile));
    numberLine("PopU: ", popUp);
    textLine("Keyw: ", oneLine(anchorKeyword));
    numberLine("KeyP: ", anchorOccurrence);
    numberLine("Jpco: ", japaneseCode);
    numberLine("CmpO: ", areaOffset);
    numberLine("CmpS: ", areaSize);
    textLine("CmpD: ", urlEncode(areaText));
    numberLine("UseM: ", sendMail);
    textLine("ToAd: ", oneLine(mailTo));
    textLine("Subj: ", oneLine(mailSubject));
    textLine("Honb: ", oneLine(mailBody));
    textLine("HonE: ", urlEncode(mailBody));
    text += kCloseLine;
    return text;
}

int WatchSettings::writeRecord(std::FILE* stream) const {
    // Only a failure inside the embedded fetch block is reported, as callers expect.
    const std::string text = toText();
    const std::size_t fetchEnd = text.find(FetchSettings::kCloseLine) + 9;
    if (!record::writeText(stream, text.substr(0, fetchEnd))) {
        return 1;
    }
    record::writeText(stream, text.substr(fetchEnd));
    return 0;
}

int WatchSettings::fromText(const std::string& text) {
    return record::readFromText(*this, text);
}

int WatchSettings::firstMisplacedLine(std::string_view fileText) {
    enum class Place { Outside, WatchHead, Fetch, WatchTail };
    // The framing lines without their line feed, in the order a block holds them.
    const std::string_view watchOpen(kOpenLine, std::char_traits<char>::length(kOpenLine) - 1);
    const std::string_view watchClose(kCloseLine, std::char_traits<char>::length(kCloseLine) - 1);
    const std::string_view fetchOpen(FetchSettings::kOpenLine,
                                     std::char_traits<char>::length(FetchSettings::kOpenLine) - 1);
    const std::string_view fetchClose(
        FetchSettings::kCloseLine, std::char_traits<char>::length(FetchSettings::kCloseLine) - 1);
    Place place = Place::Outside;
    int number = 0;
    while (!fileText.empty()) {
        ++number;
        const auto end = fileText.find('\n');
        std::string_view line = fileText.substr(0, end);
        fileText.remove_prefix(end == std::string_view::npos ? fileText.size() : end + 1);
        if (end == std::string_view::npos) {
            break; // a last line without its line feed is the reader's cut block, or blanks
        }
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (isBlank(line)) {
            continue;
        }
        bool inOrder;
        if (line == watchOpen) {
            inOrder = place == Place::Outside;
            place = Place::WatchHead;
        } else if (line == fetchOpen) {
            inOrder = place == Place::WatchHead;
            place = Place::Fetch;
        } else if (line == fetchClose) {
            inOrder = place == Place::Fetch;
            place = Place::WatchTail;
        } else if (line == watchClose) {
            inOrder = place == Place::WatchTail;
            place = Place::Outside;
        } else {
            inOrder = (place == Place::Fetch || place == Place::WatchTail) && isKeyLine(line);
        }
        if (!inOrder) {
            return number;
        }
    }
    return 0;
}

int WatchSettings::schedulePosition() const {
    const auto pos = std::string_view(kScheduleColumns).find(schedule);
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

int WatchSettings::timingPosition() const {
    const auto pos = std::string_view(kTimingColumns).find(timing);
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

WatchSettings::ScheduleKind WatchSettings::scheduleKind() const {
    switch (schedulePosition()) {
    case 0:
        return ScheduleKind::Daily;
    case 8:
        return ScheduleKind::Weekly;
    case 16:
        return ScheduleKind::Monthly;
    case 24:
        return ScheduleKind::Once;
    default:
        return ScheduleKind::Other;
    }
}

WatchSettings::TimingKind WatchSettings::timingKind() const {
    switch (timingPosition()) {
    case 0:
        return TimingKind::Open;
    case 8:
        return TimingKind::Interval;
    case 16:
        return TimingKind::SetTime;
    default:
        return TimingKind::Other;
    }
}

} // namespace tw
