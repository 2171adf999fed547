#pragma once

#include "core/history/HistoryStore.h"
#include "core/platform/CodeConverter.h"
#include "core/platform/InstanceLock.h"
#include "core/platform/MessageBus.h"
#include "core/platform/RegistryKey.h"
#include "core/ports/Prompter.h"
#include "core/ports/SecretStore.h"
#include "core/util/ConfFile.h"
#include "core/util/ProgramFile.h"
#include "core/watch/MailSettingsStore.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tw {

class SettingsArchive;

/// Where the application keeps its files, its shared settings store and its lock and message
/// sockets. Tests point all three at folders of their own.
struct AppPaths {
    std::string programFolder; ///< the data folder (programFolder())
    std::string configFolder;  ///< root of the settings store (configFolder())
    std::string runtimeFolder; ///< lock file and message sockets (runtimeFolderPath()); made
                               ///< and checked by initInstance()

    static AppPaths fromEnvironment();
};

/// The application object: everything that lives as long as the process. It owns the four
/// shared settings keys, the program's own settings file, the single-instance lock, the message
/// bus on which the sibling programs reach us and the Japanese code converter.
///
/// Order of a run: construct (the four keys are opened), initInstance(), the main window's
/// run, then, while the main window is destroyed, saveSettings() and the watch list's
/// setClosing(), then exitInstance() before the main window object goes, then destruction.
/// run() does this for a main window given as a function.
class CTarnwickApp {
public:
    static constexpr const char* kVersionText = "1.20";
    static constexpr const char* kInstanceName = "Tarnwick_Existing";
    static constexpr const char* kShowMessage = "Tarnwick->Tarnwick";
    static constexpr const char* kSettingsFileName = "TARNWICK.INI";
    static constexpr const char* kDamagedSettingsName = "TARNWICK-damaged.INI";
    /// The program's own settings beyond the settings file (ConfFile), in the data folder.
    static constexpr const char* kConfFileName = "tarnwick.conf";
    /// The lock in the data folder: <data folder>/.tarnwick.lock.
    static constexpr const char* kDataLockName = ".tarnwick";
    static constexpr std::int32_t kApplicationSchema = 3;
    static constexpr std::int32_t kMainWindowSchema = 1;
    /// Schema numbers count up from 1 with each version; a larger one is not a schema but a
    /// damaged file or another file's bytes.
    static constexpr std::int32_t kMaxSchema = 255;

    using ConverterFactory = std::function<std::unique_ptr<CodeConverter>()>;

    /// Opens the four keys in order: ownKey, quaylinkKey, brindleKey, locationKey.
    explicit CTarnwickApp(Prompter& prompter, const AppPaths& paths = AppPaths::fromEnvironment());
    ~CTarnwickApp();
    CTarnwickApp(const CTarnwickApp&) = delete;
    CTarnwickApp& operator=(const CTarnwickApp&) = delete;

    // Start-up and shutdown.

    /// Start-up up to the main window: the single-instance lock in the runtime folder and a
    /// second one in the data folder (a second instance, found by either, broadcasts
    /// "Tarnwick->Tarnwick" and gets false), the comp folder, tarnwick.conf (loadConf), "Position"
    /// and "Version", the code converter, and the message bus. False when the process is to exit;
    /// every failure but a second instance is told through the prompter.
    bool initInstance();
    /// True when initInstance() found another instance running.
    bool otherInstanceRunning() const { return m_otherInstance; }
    /// After the main window's run: stops the message bus, releases the converter and sets
    /// "State" to "closed".
    void exitInstance();
    /// initInstance(), `runMainWindow`, exitInstance(). The process's exit code: 0 after a run
    /// and for a second instance, 1 when start-up failed.
    int run(const std::function<void()>& runMainWindow);

    /// The function initInstance() makes the converter with (createCodeConverter by default).
    void setConverterFactory(ConverterFactory factory) { m_converterFactory = std::move(factory); }

    // Used by other parts.

    /// Writes "State" in ownKey ("opened", "hide", "closed").
    void setState(const std::string& text);
    /// The version text with its first "." removed, as a decimal integer ("1.20" gives 120);
    /// 0 when it has no ".".
    static int versionNumber(const std::string& text);
    int ownVersionNumber() const { return versionNumber(kVersionText); }

    /// Reads the settings file. Fields it does not hold keep their values. False when the file
    /// is missing or could not be read whole. A file that cannot be read (no permission, not a
    /// regular file) is told and is never written over; a damaged one is copied aside and the
    /// user told where, since the next save replaces it.
    bool loadSettings();
    /// Writes the settings file crash-safe (temporary file in the same folder, flushed, then
    /// renamed over the old one). Refused while a settings file exists that this object has not
    /// read whole nor kept a copy of. False, and told through the prompter, when refused or not
    /// written; the old file then stays.
    bool saveSettings();
    /// The two blocks of the settings file, for loadSettings/saveSettings and tests. Reading
    /// stops at a schema number no version writes and marks the archive failed there; so do
    /// bytes after the end of blocks whose layout is known.
    void serializeSettings(SettingsArchive& archive) const;
    void deserializeSettings(SettingsArchive& archive);
    /// Where the last load kept a damaged settings file; empty when none was.
    const std::string& damagedSettingsCopy() const { return m_settingsFile.damagedCopy(); }

    /// Reads tarnwick.conf and puts its settings into effect: [net] max_download_s, the time
    /// limit of every download (CFetch::setMaxDownloadSeconds; 600 when missing or not a
    /// whole number of seconds from 1 on); [history] versions (per item, 0 to 1000, default
    /// 20, 0 off) and max_mb (1 to 1000000, default 200), the history the checker keeps;
    /// [mail] include_changes (true or false, default false), the changed lines in the update
    /// mail; [mail] security (none, starttls or tls; none when missing or anything else), user
    /// and cafile, and the password: from the secret store when one is set and answers with
    /// one, else [mail] password; [notify] changes (true or false, default true), a notification
    /// for each change, and failures (0 to 1000, default 3, 0 off), the failed checks in a row that
    /// are told. A missing file means the defaults; one that cannot be read is told, and the
    /// defaults apply.
    void loadConf();
    /// Whether each change is told through the desktop's notifications; any thread may ask.
    bool notifyChanges() const { return m_notifyChanges; }
    /// The desktop's secret store that keeps the mail password; null (the headless mode) keeps
    /// it in tarnwick.conf. Set before initInstance(); it must outlive this object's use.
    void setSecretStore(SecretStore* store) { m_secrets = store; }
    /// True when a secret store is set and answers now, so that a password saved goes there.
    bool secretStoreAnswers() const;
    /// Puts it in effect and writes it to tarnwick.conf ([notify] changes) at once. False when
    /// that write failed (told through the prompter).
    bool setNotifyChanges(bool on);
    /// Failed checks of one item in a row that are told; 0 for none. Any thread may ask.
    int failureAlertThreshold() const { return m_failureAlertThreshold; }
    /// The least time between two requests to one host ([net] host_gap_ms; 0: none).
    std::chrono::milliseconds hostGap() const { return m_hostGap; }
    /// The history's bounds as loadConf() read them.
    const HistoryLimits& historyLimits() const { return m_historyLimits; }
    /// What loadConf() read; a later setting reads its key here and saves with conf().save().
    ConfFile& conf() { return m_conf; }
    std::string confPath() const;

    Prompter& prompter() const { return m_prompter; }
    const AppPaths& paths() const { return m_paths; }
    const std::string& programFolder() const { return m_paths.programFolder; }
    std::string settingsPath() const;
    std::string compFolder() const;
    /// Register the messages the sibling programs send us here ("Tarnwick->Tarnwick",
    /// "brlHelper->Tarnwick"); handlers run on the bus's receiver thread.
    MessageBus& messageBus() { return m_messageBus; }
    /// The Japanese code converter; null before initInstance() or when it could not be made.
    CodeConverter* codeConverter() const { return m_converter.get(); }

    /// The mail server settings of the settings file. This is their one home: the checker reads
    /// them at each update mail from mailSettings(), so a change reaches the next mail.
    MailServerSettings mailServer() const { return m_mail.snapshot(); }
    /// Puts the settings in effect; what changed of those beyond the settings file is written
    /// to tarnwick.conf at once ([mail] include_changes, security, user, cafile) and the
    /// password to the secret store, or where none answers to [mail] password (the file is
    /// private, 0600). False when a write failed (told through the prompter).
    bool setMailServer(MailServerSettings settings);
    const MailSettingsStore& mailSettings() const { return m_mail; }

private:
    Prompter& m_prompter;
    AppPaths m_paths;

public:
    RegistryKey ownKey;      ///< "Software\Orvane\Tarnwick", this program's values
    RegistryKey quaylinkKey; ///< "Software\Orvane\brlHelper", the download helper's values
    RegistryKey brindleKey;  ///< "Software\Orvane\Brindle", read-only: the downloader's values
    RegistryKey locationKey; ///< "Software\Orvane\Location", the shared address slot "URL"

    /// Non-zero: a refreshed link overwrites its file when the content differs.
    int linkDownloadOption = 0;
    /// Carried in the settings file only; written empty.
    std::string reservedText;
    /// The main window's block of the settings file: the link save folder.
    std::string linkSaveFolder = "c:";

private:
    bool lockDataFolder();
    /// A message of the program (UTF-8 literal) naming a file or folder, with a detail line.
    void tell(const char* text, const std::string& path, const std::string& detail,
              Prompter::Icon icon = Prompter::Icon::Error);

    InstanceLock m_instanceLock;
    InstanceLock m_dataLock;
    /// TARNWICK.INI: written over only once read whole, missing, or its damaged bytes kept.
    ProgramFile m_settingsFile;
    ConfFile m_conf;
    SecretStore* m_secrets = nullptr;
    HistoryLimits m_historyLimits;
    std::chrono::milliseconds m_hostGap{1000};
    MailSettingsStore m_mail;
    std::atomic<bool> m_notifyChanges{true};
    std::atomic<int> m_failureAlertThreshold{3};
    MessageBus m_messageBus;
    ConverterFactory m_converterFactory;
    std::unique_ptr<CodeConverter> m_converter;
    bool m_otherInstance = false;
};

} // namespace tw
