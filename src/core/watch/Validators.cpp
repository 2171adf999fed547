#include "core/watch/Validators.h"

#include "core/platform/Sha256.h"
#include "core/records/FetchSettings.h"
#include "core/util/FieldRules.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"

#include <cstdio>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

/// A key names one file in the folder and nothing outside it.
bool validKey(const std::string& key) {
    return !key.empty() && key != "." && key != ".." && key.find('/') == std::string::npos;
}

/// Three short lines; anything longer is not a validator file.
constexpr std::size_t kMaxFileBytes = 2048;

bool sendable(const std::string& value) {
    return value.size() <= ValidatorStore::kMaxValueBytes && !breaksHeaderLine(value);
}

} // namespace

ValidatorStore::ValidatorStore(std::string dataFolder) : m_dataFolder(std::move(dataFolder)) {}

std::string ValidatorStore::folder() const {
    return m_dataFolder + "/validators";
}

std::string ValidatorStore::pathOf(const std::string& key) const {
    return folder() + "/" + key;
}

std::string ValidatorStore::fingerprintOf(const FetchSettings& settings) {
    // Each field with its length, so that no two different requests run together alike. The
    // password is left out: a new one for the same account asks for the same page.
    Sha256 digest;
    for (const std::string* field :
         {&settings.targetUrl, &settings.formData, &settings.extraHeaders, &settings.userAgent,
          &settings.cookie, &settings.userName}) {
        digest.add(std::to_string(field->size()) + ":");
        digest.add(*field);
    }
    const auto value = digest.digest();
    return value ? Sha256::hex(*value) : std::string();
}

ValidatorStore::Validators ValidatorStore::load(const std::string& key,
                                                const std::string& fingerprint) const {
    if (!validKey(key) || fingerprint.empty()) {
        return {};
    }
    std::string text;
    if (readRegularFile(pathOf(key), text, kMaxFileBytes) != 0) {
        return {};
    }
    Validators found;
    bool matches = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return {}; // cut short
        }
        const std::string line = text.substr(start, end - start);
        if (line.starts_with("fingerprint ")) {
            matches = line.substr(12) == fingerprint;
        } else if (line.starts_with("etag ")) {
            found.etag = line.substr(5);
        } else if (line.starts_with("last-modified ")) {
            found.lastModified = line.substr(14);
        }
        start = end + 1;
    }
    if (!matches || !sendable(found.etag) || !sendable(found.lastModified)) {
        return {};
    }
    return found;
}

void ValidatorStore::save(const std::string& key, const std::string& fingerprint,
                          const Validators& validators) const {
    if (!validKey(key)) {
        return;
    }
    if (fingerprint.empty() || validators.empty() || !sendable(validators.etag) ||
        !sendable(validators.lastModified)) {
        remove(key);
        return;
    }
    ::mkdir(systemPath(folder()).c_str(), 0700);
    std::string text = "fingerprint " + fingerprint + "\n";
    if (!validators.etag.empty()) {
        text += "etag " + validators.etag + "\n";
    }
    if (!validators.lastModified.empty()) {
        text += "last-modified " + validators.lastModified + "\n";
    }
    // A file that cannot be written leaves the old one, or none: the worst is a full download.
    if (!replaceFileContents(pathOf(key), text, 0600)) {
        remove(key);
    }
}

void ValidatorStore::remove(const std::string& key) const {
    if (validKey(key)) {
        ::unlink(systemPath(pathOf(key)).c_str());
    }
}

void ValidatorStore::rename(const std::string& from, const std::string& to) const {
    if (!validKey(from) || !validKey(to) || from == to) {
        return;
    }
    if (std::rename(systemPath(pathOf(from)).c_str(), systemPath(pathOf(to)).c_str()) != 0) {
        remove(to);
    }
}

} // namespace tw
