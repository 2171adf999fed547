#pragma once

#include <string>

namespace tw {

class FetchSettings;

/// The validators (ETag, Last-Modified) of the page an item last downloaded in full, kept so
/// that the next check can ask the server whether it changed since (a conditional request).
/// Each item that has them has a small private file <data folder>/validators/<key>, the key
/// being that of its history (the name of its stored copy). The file also holds a fingerprint
/// of what identifies the request (address, form data, extra headers, user agent, cookie, user
/// name): validators of another request are never sent, so an edit of any of these drops them.
/// Stateless apart from the folder: any thread, one caller per item at a time.
class ValidatorStore {
public:
    struct Validators {
        std::string etag;
        std::string lastModified;
        bool empty() const { return etag.empty() && lastModified.empty(); }
        bool operator==(const Validators&) const = default;
    };

    explicit ValidatorStore(std::string dataFolder);

    /// What identifies the item's request; empty when it cannot be computed (nothing is then
    /// kept nor sent).
    static std::string fingerprintOf(const FetchSettings& settings);

    /// The item's validators when its file is sound and made for that fingerprint; else none.
    Validators load(const std::string& key, const std::string& fingerprint) const;
    /// Keeps them, replacing what was kept (crash-safe); empty validators remove the file.
    /// Values a header line cannot carry, or longer than kMaxValueBytes, are not kept.
    void save(const std::string& key, const std::string& fingerprint,
              const Validators& validators) const;
    /// Forgets the item (it was deleted, or its copy no longer matches them).
    void remove(const std::string& key) const;
    /// The item's stored copy got a new name: its validators follow.
    void rename(const std::string& from, const std::string& to) const;

    std::string folder() const;

    static constexpr std::size_t kMaxValueBytes = 512;

private:
    std::string pathOf(const std::string& key) const;

    std::string m_dataFolder;
};

} // namespace tw
