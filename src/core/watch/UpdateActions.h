#pragma once

#include <functional>
#include <string>

namespace tw {

class CodeConverter;
class HistoryStore;
class MailProgress;
class MailSettingsStore;
class MainWindowPort;
class Prompter;
class Shell;
class SoundPlayer;
class WatchSettings;

/// The application's mail server settings that an update mail goes through.
struct MailServerSettings {
    std::string server;
    int port = 25;
    /// The sender's mail account.
    std::string account;
    /// The update mail's body gets the page's changed lines appended. Kept in tarnwick.conf
    /// ([mail] include_changes), not in the settings file the sibling programs read.
    bool includeChanges = false;

    // Beyond the settings file, in tarnwick.conf ([mail] security, user, cafile) and, for the
    // password, the desktop's secret store or [mail] password.
    enum class Security {
        None,     ///< plain SMTP, the dialogue of old, byte for byte
        StartTls, ///< EHLO, STARTTLS required, EHLO again inside TLS (port 587)
        Tls       ///< TLS from the first byte (port 465)
    };
    Security security = Security::None;
    /// The login; empty: none. Only ever sent inside TLS.
    std::string user{};
    std::string password{};
    /// An extra trusted certificate (PEM file), for a self-hosted server; empty: the system's
    /// trust store alone.
    std::string caFile{};
};

/// True when no mail server is set: the name is empty or nothing but blanks.
bool mailServerMissing(const MailServerSettings& settings);
/// Why a mail was not sent when mailServerMissing(), and where the server is set (code page
/// 932).
std::string noMailServerText();

/// Sends one mail: server settings, then recipient, subject and body; returns the empty text
/// or the failure text.
using MailSendFunction =
    std::function<std::string(const MailServerSettings& settings, const std::string& recipient,
                              const std::string& subject, const std::string& body)>;

/// What the update actions act through. Every pointer may be null, which skips that action.
struct UpdateActionContext {
    SoundPlayer* sound = nullptr;
    MainWindowPort* mainWindow = nullptr;
    Shell* shell = nullptr;
    MailServerSettings mailServer;
    /// When set, read at each mail instead of `mailServer`.
    const MailSettingsStore* mailSettings = nullptr;
    /// Sends the update mail; when empty, sendMail() with `converter` and `mailProgress`.
    MailSendFunction sendMail;
    CodeConverter* converter = nullptr;
    MailProgress* mailProgress = nullptr;
    /// Shows the failure text of an update mail; null leaves it unshown.
    Prompter* prompter = nullptr;
    /// The items' kept versions, for the changed lines of an update mail; null sends none.
    const HistoryStore* history = nullptr;
};

/// The run step's target split for opening: the file to open and the folder to start it in.
struct RunTarget {
    std::string file;
    std::string workingFolder;
    bool operator==(const RunTarget&) const = default;
};

/// True when `runOnUpdate` counts as a web address: after leading white space, its first four
/// characters are "http" in any case.
bool isWebAddress(const std::string& runOnUpdate);
/// The file after the last "/" and the folder up to and including it. A text without "/", or
/// one that starts with a scheme ("mailto:", "file://"), is opened whole from the current folder.
RunTarget splitRunTarget(const std::string& runOnUpdate);

/// Performs the actions that `item` asks for when its page has changed, in this order: sound,
/// pop-up of the main window, showing the page, mail, run. No action's failure stops a later
/// one. Runs on the checker's worker thread; the main-window calls wait until handled.
void doActions(const WatchSettings& item, const UpdateActionContext& context);

} // namespace tw
