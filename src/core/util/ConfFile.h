#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

/// The program's own settings file (tarnwick.conf in the data folder): settings that no sibling
/// program reads. UTF-8 text in INI lines: "[section]", "key=value", comment lines beginning
/// with "#" or ";" (after a value, "#" is part of the value), blank lines. Section and key names
/// compare without regard to ASCII letter case; names and values are trimmed of blanks; of a key
/// given twice the last counts.
///
/// Every line read is kept and written back in its place: comments, sections and keys this
/// version does not know, and damaged lines (which reading ignores), so that a user's edits and
/// the settings of a later version survive a save. set() changes or adds only its own line.
class ConfFile {
public:
    enum class Load {
        Read,      ///< the file was read
        Missing,   ///< there is none: every setting has its default
        Unreadable ///< it exists but could not be read (see loadError()); defaults apply and
                   ///< save() refuses to write over it
    };
    /// Larger files are not read (Unreadable, EFBIG): a settings file is never that long.
    static constexpr std::size_t kMaxBytes = 1 << 20;

    /// Reads the file at `path` (code page 932 text, as every path the program keeps),
    /// replacing what this object held.
    Load load(const std::string& path);
    /// The errno of the last load that gave Unreadable, else 0.
    int loadError() const { return m_loadError; }

    /// Writes the lines crash-safe (a temporary file beside it, flushed, renamed over it), mode
    /// 0600. False with errno set when it could not, and after a load that gave Unreadable, so
    /// that a file this object never saw is not replaced by a few lines.
    bool save(const std::string& path) const;

    /// Takes `text` as the file's contents (a UTF-8 byte order mark is kept but not read).
    void parse(std::string_view text);
    /// The file's contents as save() writes them: every line ending in LF.
    std::string text() const;

    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    /// A whole decimal number between `min` and `max`; `fallback` when the key is missing or
    /// its value is anything else.
    long long number(std::string_view section, std::string_view key, long long fallback,
                     long long min, long long max) const;
    /// Sets the value, changing the key's line or adding one at the end of its section (and the
    /// section at the end of the file). False, and nothing changed, for a section, key or value
    /// that a line cannot hold (a line break; "]" in a section, "=" in a key, an empty name).
    bool set(std::string_view section, std::string_view key, std::string_view value);

private:
    struct Line {
        std::string raw;
        std::string section; ///< the section the line stands in ("" before the first)
        std::string key;     ///< set for a key line only
        std::string value;
        bool header = false; ///< a "[section]" line
    };

    /// The key's line that counts (the last one), or -1.
    long find(std::string_view section, std::string_view key) const;

    std::vector<Line> m_lines;
    bool m_byteOrderMark = false;
    int m_loadError = 0;
};

} // namespace tw
