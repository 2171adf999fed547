#pragma once

#include "platform/CodeConverter.h"
#include "platform/InstanceLock.h"
#include "platform/MessageBus.h"
#include "platform/RegistryKey.h"

#include <functional>
#include <memory>
#include <string>

namespace tw {

class Prompter;
class SettingsArchive;

/// Where the application keeps its files, its shared settings store and its lock and message
/// sockets. Tests point all three at folders of their own.
struct AppPaths {
    std::string programFolder; ///< the data folder (programFolder())
    std::string configFolder;  ///< root of the settings store (configFolder())
    std::string runtimeFolder; ///< lock file and message sockets (runtimeFolder())

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
    static constexpr std::int32_t kApplicationSchema = 3;
    static constexpr std::int32_t kMainWindowSchema = 1;
    static constexpr int kDefaultMailPort = 25;

    using ConverterFactory = std::function<std::unique_ptr<CodeConverter>()>;

    /// Opens the four keys in order: ownKey, quaylinkKey, brindleKey, locationKey.
    explicit CTarnwickApp(Prompter& prompter, const AppPaths& paths = AppPaths::fromEnvironment());
    ~CTarnwickApp();
    CTarnwickApp(const CTarnwickApp&) = delete;
    CTarnwickApp& operator=(const CTarnwickApp&) = delete;

    // Start-up and shutdown.

    /// Start-up up to the main window: the single-instance lock (a second instance broadcasts
    /// "Tarnwick->Tarnwick" and gets false), the comp folder, "Position" and "Version", the code
    /// converter, and the message bus. False when the process is to exit.
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
    /// is missing or could not be read whole; a damaged file is first copied aside, since the
    /// next save replaces it.
    bool loadSettings();
    /// Writes the settings file crash-safe (temporary file in the same folder, flushed, then
    /// renamed over the old one). False when it could not be written; the old file then stays.
    bool saveSettings();
    /// The two blocks of the settings file, for loadSettings/saveSettings and tests.
    void serializeSettings(SettingsArchive& archive) const;
    void deserializeSettings(SettingsArchive& archive);

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

private:
    Prompter& m_prompter;
    AppPaths m_paths;

public:
    RegistryKey ownKey;      ///< "Software\Orvane\Tarnwick", this program's values
    RegistryKey quaylinkKey; ///< "Software\Orvane\brlHelper", the download helper's values
    RegistryKey brindleKey;  ///< "Software\Orvane\Brindle", read-only: the downloader's values
    RegistryKey locationKey; ///< "Software\Orvane\Location", the shared address slot "URL"

    std::string mailServer;
    int mailPort = kDefaultMailPort;
    std::string mailAccount;
    /// Non-zero: a refreshed link overwrites its file when the content differs.
    int linkDownloadOption = 0;
    /// Carried in the settings file only; written empty.
    std::string reservedText;
    /// The main window's block of the settings file: the link save folder.
    std::string linkSaveFolder = "c:";

private:
    InstanceLock m_instanceLock;
    MessageBus m_messageBus;
    ConverterFactory m_converterFactory;
    std::unique_ptr<CodeConverter> m_converter;
    bool m_otherInstance = false;
};

} // namespace tw
