#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace tw {

/// How one web page is retrieved; also the unit exchanged with the fetch engine, the display
/// bridge, the sibling programs and the link list file, always in the same framed text form.
/// Texts are bytes in code page 932.
class FetchSettings {
public:
    static constexpr const char* kKeyTable =
        "Dest: Targ: Refe: Agen: User: Pass: Cook: Prox: ByPa: Cash: Seri: Relo: Fram: Meth: "
        "Argu: Modi: Load: Name: Thre: Head: ";
    static constexpr const char* kOpenLine = "\t//{{TOP\n";
    static constexpr const char* kCloseLine = "\tEND}}//\n";

    std::string userName;
    std::string password;
    std::string userAgent;
    std::string referer;
    std::string targetUrl;
    std::string method;
    std::string formData;
    std::string destFile;
    std::string cookie;
    std::string itemTag;
    std::time_t lastModified = -1;
    std::time_t loadValue = 0;
    std::string name;
    std::string proxy;
    int noProxyForLocal = 1;
    int useCache = 1;
    int threads = 0;
    int allowRelocation = 0;
    std::string extraHeaders;

    FetchSettings() = default;
    virtual ~FetchSettings() = default;
    FetchSettings(const FetchSettings&) = default;
    FetchSettings& operator=(const FetchSettings&) = default;
    FetchSettings(FetchSettings&&) = default;
    FetchSettings& operator=(FetchSettings&&) = default;

    void reset();
    /// Sets the field the line names; returns its key position (0 to 114), or -1.
    int parseLine(std::string line);
    /// 1 when a whole block was read, else 0 (the fields read so far stay set).
    int readRecord(std::FILE* stream);
    /// 0 on success, 1 when the opening or closing line could not be written.
    int writeRecord(std::FILE* stream) const;
    /// Mode beginning with "w" writes one block, any other reads one; 1 on success, else 0.
    int readFile(const std::string& path, const char* mode);
    int writeFile(const std::string& path, const char* mode) { return readFile(path, mode); }
    void copy(const FetchSettings& from) { *this = from; }
    /// 150 when the page needs the download helper 1.50 to be shown with its full request.
    int requiredHelperVersion() const;

    /// The block as text, as writeRecord would write it.
    std::string toText() const;
    /// Reads one block from text; 1 on success as readRecord.
    int fromText(const std::string& text);

    bool operator==(const FetchSettings&) const = default;
};

namespace record {

/// Reads one line whole, including its line feed when present; a CR LF end becomes LF.
/// Returns false at end of stream with nothing read.
bool readLine(std::FILE* stream, std::string& line);
/// Writes text with each LF as CR LF; false when the stream refused it.
bool writeText(std::FILE* stream, const std::string& text);
/// A value safe to write unencoded: every line break becomes one blank.
std::string oneLine(const std::string& value);
/// Splits a key line into its six-character key and value after the usual trimming; false when
/// the line is too short to hold a key.
bool splitKeyLine(std::string& line, std::string& key, std::string& value);
int keyPosition(const char* table, const std::string& key);
int flagValue(const std::string& value);
/// Appends a key line: the key, the value and a line feed.
void appendLine(std::string& text, const char* key, const std::string& value);
void appendLine(std::string& text, const char* key, long long value);

/// Reads one block of `record` from text with its readRecord; 1 on success.
template <typename Record>
int readFromText(Record& record, const std::string& text) {
    std::FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (!stream) {
        record.reset();
        return 0;
    }
    const int result = record.readRecord(stream);
    std::fclose(stream);
    return result;
}

} // namespace record

} // namespace tw
