#include "core/records/FetchSettings.h"

#include "core/util/TextUtil.h"

#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tw {

namespace record {

bool readLine(std::FILE* stream, std::string& line) {
    line.clear();
    // A line at a time from the stream's buffer: a character at a time costs a lock each, and a
    // list of thousands of items is read at every start.
    thread_local std::unique_ptr<char, decltype(&std::free)> buffer(nullptr, &std::free);
    thread_local std::size_t capacity = 0;
    char* data = buffer.release();
    const ssize_t length = ::getline(&data, &capacity, stream);
    buffer.reset(data);
    if (length > 0) {
        line.assign(data, static_cast<std::size_t>(length));
    }
    if (line.size() >= 2 && line[line.size() - 2] == '\r' && line.back() == '\n') {
        line.erase(line.size() - 2, 1);
    }
    return !line.empty();
}

bool writeText(std::FILE* stream, const std::string& text) {
    std::string out;
    out.reserve(text.size() + 64);
    for (const char ch : text) {
        if (ch == '\n') {
            out += '\r';
        }
        out += ch;
    }
    return std::fwrite(out.data(), 1, out.size(), stream) == out.size();
}

std::string oneLine(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char ch = value[i];
        if (ch == '\r' || ch == '\n') {
            if (ch == '\r' && i + 1 < value.size() && value[i + 1] == '\n') {
                ++i;
            }
            out += ' ';
        } else {
            out += ch;
        }
    }
    return out;
}

bool splitKeyLine(std::string& line, std::string& key, std::string& value) {
    const auto start = line.find_first_not_of(" \t\r\n\v\f");
    if (start == std::string::npos) {
        return false;
    }
    line.erase(0, start);
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    if (line.size() <= 5) {
        return false;
    }
    key = line.substr(0, 6);
    value = line.size() > 6 ? line.substr(6) : std::string();
    return true;
}

int keyPosition(const char* table, const std::string& key) {
    if (key.size() != 6) {
        return -1;
    }
    const std::string_view keys(table);
    for (std::size_t pos = 0; pos + 6 <= keys.size(); pos += 6) {
        if (keys.substr(pos, 6) == key) {
            return static_cast<int>(pos);
        }
    }
    return -1;
}

int flagValue(const std::string& value) {
    return value == "0" ? 0 : 1;
}

void appendLine(std::string& text, const char* key, const std::string& value) {
    text += key;
    text += value;
    text += '\n';
}

void appendLine(std::string& text, const char* key, long long value) {
    text += key;
    text += std::to_string(value);
    text += '\n';
}

} // namespace record

void FetchSettings::reset() {
    *this = FetchSettings();
}

int FetchSettings::parseLine(std::string line) {
    std::string key;
    std::string value;
    if (!record::splitKeyLine(line, key, value)) {
        return -1;
    }
    const int pos = record::keyPosition(kKeyTable, key);
    switch (pos) {
    case 0:
        destFile = value;
        break;
    case 6:
        targetUrl = value;
        break;
    case 12:
        referer = value;
        break;
    case 18:
        userAgent = value;
        break;
    case 24:
        userName = value;
        break;
    case 30:
        password = value;
        break;
    case 36:
        cookie = value;
        break;
    case 42:
        proxy = value;
        break;
    case 48:
        noProxyForLocal = record::flagValue(value);
        break;
    case 54:
        useCache = record::flagValue(value);
        break;
    case 60:
        threads = parseInt(value);
        break;
    case 66:
        allowRelocation = record::flagValue(value);
        break;
    case 72:
        itemTag = value;
        break;
    case 78:
        method = value;
        break;
    case 84:
        formData = value;
        break;
    case 90:
        lastModified = static_cast<std::time_t>(parseInt64(value));
        break;
    case 96:
        loadValue = static_cast<std::time_t>(parseInt64(value));
        break;
    case 102:
        name = value;
        break;
    case 108:
        threads = parseInt(value);
        break;
    case 114:
        extraHeaders = urlDecode(value);
        break;
    default:
        return -1;
    }
    return pos;
}

int FetchSettings::readRecord(std::FILE* stream) {
    FetchSettings::reset();
    std::string line;
    for (;;) {
        if (!record::readLine(stream, line)) {
            return 0;
        }
        if (line.compare(0, 9, kOpenLine) == 0) {
            break;
        }
    }
    while (record::readLine(stream, line)) {
        if (line.compare(0, 9, kCloseLine) == 0) {
            return 1;
        }
        FetchSettings::parseLine(line);
    }
    return 0;
}

std::string FetchSettings::toText() const {
    using record::oneLine;
    std::string text;
    text.reserve(512 + targetUrl.size() + formData.size() + extraHeaders.size() * 3);
    auto textLine = [&text](const char* key, const std::string& value) {
        record::appendLine(text, key, oneLine(value));
    };
    auto numberLine = [&text](const char* key, long long value) {
        record::appendLine(text, key, value);
    };
    text += kOpenLine;
    textLine("Dest: ", destFile);
    textLine("Targ: ", targetUrl);
    textLine("Refe: ", referer);
    textLine("Agen: ", userAgent);
    textLine("User: ", userName);
    textLine("Pass: ", password);
    textLine("Cook: ", cookie);
    textLine("Prox: ", proxy);
    numberLine("ByPa: ", noProxyForLocal);
    numberLine("Cash: ", useCache);
    numberLine("Relo: ", allowRelocation);
    textLine("Fram: ", itemTag);
    textLine("Meth: ", method);
    textLine("Argu: ", formData);
    numberLine("Modi: ", lastModified);
    numberLine("Load: ", loadValue);
    textLine("Name: ", name);
    numberLine("Thre: ", threads);
    textLine("Head: ", urlEncode(extraHeaders));
    text += kCloseLine;
    return text;
}

int FetchSettings::writeRecord(std::FILE* stream) const {
    return record::writeText(stream, toText()) ? 0 : 1;
}

int FetchSettings::fromText(const std::string& text) {
    return record::readFromText(static_cast<FetchSettings&>(*this), text);
}

int FetchSettings::readFile(const std::string& path, const char* mode) {
    std::FILE* file = std::fopen(path.c_str(), mode);
    if (!file) {
        return 0;
    }
    int ok;
    if (mode[0] == 'w') {
        ok = FetchSettings::writeRecord(file) == 0 ? 1 : 0;
        ok = (std::fclose(file) == 0) ? ok : 0;
    } else {
        ok = FetchSettings::readRecord(file);
        std::fclose(file);
    }
    return ok;
}

int FetchSettings::requiredHelperVersion() const {
    return (!referer.empty() || !formData.empty() || !userName.empty() || !extraHeaders.empty())
               ? 150
               : 0;
}

} // namespace tw
