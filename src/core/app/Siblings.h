#pragma once

#include "core/platform/Clock.h"
#include "core/records/FetchSettings.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct stat;

namespace tw {

class CTarnwickApp;
class Prompter;
class RegistryKey;
class Shell;

/// The four shared keys, owned by the application object.
struct SiblingKeys {
    RegistryKey& ownKey;      ///< Software\Orvane\Tarnwick
    RegistryKey& quaylinkKey; ///< Software\Orvane\brlHelper
    RegistryKey& brindleKey;  ///< Software\Orvane\Brindle (read-only)
    RegistryKey& locationKey; ///< Software\Orvane\Location

    static SiblingKeys of(CTarnwickApp& app);
};

/// Talks with the sibling programs, the download helper Quaylink and the downloader Brindle:
/// hand-over slots in the shared keys, broadcast messages that tell a sibling to look at them,
/// and starting a sibling that is not running. handOverToQuaylink runs on the display bridge's
/// worker, the rest on the user-interface thread; the keys may be used from both at once.
class Siblings {
public:
    static constexpr const char* kQuaylinkExecutable = "Quaylink";
    static constexpr const char* kBrindleExecutable = "Brindle";

    static constexpr const char* kHelperToTarnwick = "brlHelper->Tarnwick";
    static constexpr const char* kTarnwickToHelper = "Tarnwick->brlHelper";
    static constexpr const char* kHelperToBrindle = "brlHelper->Brindle";
    static constexpr const char* kBrindleToHelper = "Brindle->brlHelper";

    /// A hand-over younger than this has not been taken yet: the slot is busy.
    static constexpr std::int64_t kClaimSeconds = 60;
    /// The helper version that takes whole records instead of a bare address.
    static constexpr int kRecordHelperVersion = 150;

    static constexpr const char* kRegistryBroken = "レジストリが壊れています。";
    static constexpr const char* kNeedHelper150 =
        "ページを正しく表示するには、\nQuaylinkVer. 1.50以上が必要です";
    static constexpr const char* kBrindleNotInstalled =
        "Brindleが正しくインストールされていません。";
    static constexpr const char* kQuaylinkNotInstalled =
        "Quaylinkが正しくインストールされていません。";
    /// Followed by a line with the file's path.
    static constexpr const char* kHandOverTooLarge =
        "Quaylinkから渡されたファイルが大きすぎるため、読み込みませんでした（1MBまで）。"
        "\nファイルはそのまま残してあります。";

    /// The largest hand-over file taken. A record is a few lines; anything larger is not one of
    /// ours, and reading it whole would cost the window its memory.
    static constexpr std::size_t kMaxHandOverBytes = std::size_t{1024} * 1024;

    /// `dataFolder` is where a helper without a "Position" is looked for; `busFolder` is the
    /// message bus folder (empty: the user's runtime folder).
    Siblings(SiblingKeys keys, Shell& shell, Prompter& prompter, std::string dataFolder,
             std::string busFolder = {}, const Clock& clock = SystemClock::instance());
    /// The application's keys, data folder, message bus folder and prompter.
    Siblings(CTarnwickApp& app, Shell& shell, const Clock& clock = SystemClock::instance());

    /// Offers the hand-over file `path` (one record) to the download helper. 0 handed over or
    /// shown another way (the file now belongs to the receiver), 1 busy (try later; the file is
    /// still the caller's), -1 failed (the file is still the caller's, if it still exists).
    int handOverToQuaylink(const std::string& path);

    /// Takes the record the download helper left for this program: the slot is cleared (unless
    /// it is empty already), and the file it names is read when it is a hand-over file (see
    /// takeHandOverFile) and deleted once a whole record came from it. The caller shows the main
    /// window and opens the new-site sheet when a record came back. Safe on any thread.
    std::optional<FetchSettings> pickUpHandOver();

    /// Reads the record of the hand-over file `path` (code page 932 text) and deletes the file.
    /// A shared value names the file, so only what can be nothing but a hand-over is taken: an
    /// absolute path whose name has the protocol's pattern (isHandOverName), a regular file (not a
    /// symbolic link to one), owned by this user, with a single link (a hard link to
    /// another file is refused), none of the program's own files (device and inode) and at most
    /// kMaxHandOverBytes long (a larger one is told and left). Anything else is left alone; the
    /// file is deleted only when it held a whole record and is still the file that was read.
    std::optional<FetchSettings> takeHandOverFile(const std::string& path);

    /// The names hand-over files have: a stem of ASCII letters and digits, numbered as
    /// uniqueFileName numbers it ("WatchToHelp", "WatchToHelp_1"), without an extension. None of
    /// the files the program keeps for itself (watch list, settings, link lists and their
    /// locks, stored copies, their damaged copies) is named so.
    static bool isHandOverName(const std::string& name);

    /// Menu commands: start the sibling when it says "closed", then tell it to show itself.
    void startBrindle();
    void startQuaylink();

    /// 0 started, 1 failed. Quaylink is looked for in its "Position" folder, else the data
    /// folder; Brindle only in its "Position" folder.
    int launchQuaylink();
    int launchBrindle();

    /// Puts an address into the shared Location slot for an old helper. 0 written; 1 when the
    /// slot is occupied or cannot be written.
    int putLocationUrl(const std::string& address);

    /// The helper's "Version" as a number, by the application's version rule ("1.50" gives
    /// 150, "1.5" gives 15, missing gives 0).
    int quaylinkVersion() const;

    /// IdTime's four little-endian bytes for a moment, and back.
    static void encodeIdTime(std::time_t moment, unsigned char bytes[4]);
    static std::uint32_t decodeIdTime(const unsigned char bytes[4]);

private:
    enum class Claim { Placed, Busy, Failed };
    Claim claimSlot(const std::string& path);
    int oldHelperPath();
    bool isOwnFile(const struct stat& info) const;
    void broadcast(const char* name);
    int launch(const std::string& folder, const char* executable);

    SiblingKeys m_keys;
    Shell& m_shell;
    Prompter& m_prompter;
    std::string m_dataFolder;
    std::string m_busFolder;
    const Clock& m_clock;
};

} // namespace tw
