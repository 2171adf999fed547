#pragma once

#include <cstddef>
#include <string>

namespace tw {

class Prompter;

/// One key of the per-user settings store shared with the sibling programs. The key
/// "Software\Orvane\X\Y" is the folder <config>/Orvane/X/Y; a value is the file of the same name
/// holding the value's bytes exactly (strings without a terminating zero). Values are written as
/// the program's own files are (replaceFileContents: a temporary file flushed and renamed, then
/// the folder flushed), so another process never reads half a value. The key is opened
/// (and a writable one created) on construction and stays so; a key that could not be opened is
/// unusable: reads give 0 or "", writes -1. Operations may run on several threads at once.
class RegistryKey {
public:
    /// Largest string value readString returns, terminating zero included; longer values read
    /// as "" rather than cut, since a cut path would name another file.
    static constexpr std::size_t kStringBufferSize = 260;
    static constexpr const char* kErrorCaption =
        "予期せぬエラーです。\nアプリケーションでは対処できません。";

    /// Opens the key `path` ("Software\Orvane\Tarnwick"). A writable key that cannot be created
    /// is reported through `prompter` (when given) with the system's text for the error. A
    /// read-only key is never created: a missing one is silently unusable.
    /// `configRoot` empty means configFolder().
    RegistryKey(std::string path, bool readOnly, Prompter* prompter = nullptr,
                std::string configRoot = {});

    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    const std::string& path() const { return m_path; }
    /// The folder that stands for the key; "" when the path cannot be mapped.
    const std::string& folder() const { return m_folder; }
    bool opened() const { return m_opened; }
    bool readOnly() const { return m_readOnly; }

    /// Bytes read into `buffer`; 0 when unusable, missing or larger than `size`.
    std::size_t readBinary(const std::string& name, void* buffer, std::size_t size) const;
    /// 0 written; -1 when unusable, read-only or the write failed.
    int writeBinary(const std::string& name, const void* bytes, std::size_t count);
    /// The value's text up to its first zero byte; "" when unusable, missing or too long.
    std::string readString(const std::string& name) const;
    /// True when the value is missing or an empty string (nothing before a first zero byte), and
    /// when the key is unusable; false for a value with text, one too long or unreadable.
    bool emptyOrMissing(const std::string& name) const;
    /// 0 written; -1 when unusable, read-only or the write failed.
    int writeString(const std::string& name, const std::string& text);
    /// Makes the key's written values durable (each write already is; kept for callers that
    /// ask for it, as the registry's flush).
    void flush();

    /// The folder for a key path below `configRoot`; "" for a path that does not start with
    /// "Software\" or holds an empty, "." or ".." part.
    static std::string folderFor(const std::string& path, const std::string& configRoot);

private:
    std::string valuePath(const std::string& name) const;
    bool readValue(const std::string& name, std::string& bytes, std::size_t limit) const;
    int writeValue(const std::string& name, const char* bytes, std::size_t count);

    std::string m_path;
    std::string m_folder;
    bool m_readOnly;
    bool m_opened = false;
};

} // namespace tw
