// The settings file (TARNWICK.INI) through SettingsArchive and CTarnwickApp::deserializeSettings:
// the file may be damaged or written by another version. What reads without failure must save
// and load back equal.

#include "FuzzSupport.h"
#include "core/app/CTarnwickApp.h"
#include "core/app/SettingsArchive.h"
#include "core/ports/Prompter.h"

#include <cstdint>
#include <sys/stat.h>

using tw::fuzz::require;

namespace {

class SilentPrompter : public tw::Prompter {
public:
    void showMessage(const std::string&, Icon) override {}
    bool ask(const std::string&) override { return false; }
    bool authenticate(std::string&, std::string&, const AuthChallenge&, int) override {
        return false;
    }
};

tw::AppPaths fuzzPaths() {
    const std::string root = tw::fuzz::temporaryFolder();
    for (const char* sub : {"/data", "/config", "/run"}) {
        ::mkdir((root + sub).c_str(), 0700);
    }
    return {root + "/data", root + "/config", root + "/run"};
}

struct Fields {
    std::string mailServer, mailAccount, linkSaveFolder;
    int mailPort, linkDownloadOption;
    explicit Fields(const tw::CTarnwickApp& app)
        : mailServer(app.mailServer().server), mailAccount(app.mailServer().account),
          linkSaveFolder(app.linkSaveFolder), mailPort(app.mailServer().port),
          linkDownloadOption(app.linkDownloadOption) {}
    bool operator==(const Fields&) const = default;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static SilentPrompter prompter;
    static tw::CTarnwickApp app(prompter, fuzzPaths());
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // The archive alone: a run of strings, then of integers, never reads beyond the data.
    {
        tw::SettingsArchive archive(bytes);
        std::string text;
        while (archive.readString(text)) {
            require(archive.remaining() <= bytes.size(), "remaining stays within the data");
        }
        std::int32_t value = 0;
        require(!archive.readInt(value), "a failed archive reads nothing more");
        tw::SettingsArchive numbers(bytes);
        while (numbers.readInt(value)) {
        }
        require(numbers.remaining() < 4, "integers are read while four bytes remain");
    }

    app.setMailServer({"smtp.example", 25, "me"});
    app.linkDownloadOption = 0;
    app.linkSaveFolder = "c:";
    tw::SettingsArchive archive(bytes);
    app.deserializeSettings(archive);
    if (archive.failed()) {
        return 0;
    }
    const Fields loaded(app);
    tw::SettingsArchive saved;
    app.serializeSettings(saved);
    tw::SettingsArchive again(saved.bytes());
    app.deserializeSettings(again);
    require(!again.failed(), "a saved file loads without failure");
    require(again.remaining() == 0, "a saved file is read to its end");
    require(Fields(app) == loaded, "a saved file loads back equal");
    return 0;
}
