#include "records/WatchSettings.h"

#include "util/TextUtil.h"

namespace tw {

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
        dateValue = static_cast<std::time_t>(parseInt64(value));
        break;
    case 18:
        timeValue = parseInt(value);
        break;
    case 24:
        downloadMode = parseInt(value);
        break;
    case 30:
        showInBrowser = parseInt(value);
        break;
    case 36:
        lastCheck = static_cast<std::time_t>(parseInt64(value));
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

int WatchSettings::schedulePosition() const {
    const auto pos = std::string_view(kScheduleColumns).find(schedule);
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

int WatchSettings::timingPosition() const {
    const auto pos = std::string_view(kTimingColumns).find(timing);
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

} // namespace tw
