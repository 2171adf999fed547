#pragma once

#include <string>

namespace tw {

/// Every message box, question and credentials prompt of the core goes through this interface.
/// The GUI shows dialogs, the headless mode prints to standard error, tests answer in advance.
/// Texts are code page 932. Calls come from whatever thread needs them, the owner's or a
/// worker's.
///
/// Two kinds of call, told apart by their return:
/// - showMessage() is a notification. The core reports and carries on at once, often from the
///   middle of a save or a finished check; a front end must not open a nested event loop from
///   inside that call (no modal exec() there). It queues the message and shows it later on its
///   own thread.
/// - ask() and authenticate() are questions: the caller waits for the answer. From a worker,
///   the front end runs the dialog on its own thread through the executor's send(); a send that
///   is refused because the front end is closing counts as "no" or cancel.
class Prompter {
public:
    enum class Icon { Information, Warning, Error, Question };

    virtual ~Prompter() = default;

    /// A notification with an OK button; returns without waiting for it to be acknowledged.
    virtual void showMessage(const std::string& text, Icon icon = Icon::Information) = 0;
    /// A yes/no question; true for yes. False also when the front end is closing.
    virtual bool ask(const std::string& text) = 0;
    /// Who asks for credentials: the server that answered with a demand for them.
    struct AuthChallenge {
        /// Scheme, host and port of the server that asked ("http://example.jp:8080"; a
        /// scheme's default port is left out), the one the typed credentials will go to.
        std::string origin;
        /// The realm the server named, as it can be shown; empty when it named none.
        std::string realm;
        /// False when the server is not the watched page's own (a relocation led there): what
        /// is typed is used for this one request and never kept with the item.
        bool itemOrigin = true;
    };

    /// The authentication dialog: user ID and password in and out, for the server described by
    /// `challenge`. The dialog closes by itself after `autoCloseSeconds`. True only when
    /// confirmed with OK; false when cancelled, timed out or the front end is closing.
    virtual bool authenticate(std::string& userName, std::string& password,
                              const AuthChallenge& challenge, int autoCloseSeconds) = 0;
};

} // namespace tw
