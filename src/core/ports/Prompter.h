#pragma once

#include <string>

namespace tw {

/// Every message box, question and credentials prompt of the core goes through this interface.
/// The GUI shows modal dialogs, the headless mode prints to standard error, tests answer in
/// advance. Texts are code page 932. Calls come from the thread that needs the answer; an
/// implementation hops to its own thread where it must.
class Prompter {
public:
    enum class Icon { Information, Warning, Error, Question };

    virtual ~Prompter() = default;

    /// A message with an OK button.
    virtual void showMessage(const std::string& text, Icon icon = Icon::Information) = 0;
    /// A yes/no question; true for yes.
    virtual bool ask(const std::string& text) = 0;
    /// The authentication dialog: user ID and password in and out, for the given address.
    /// The dialog closes by itself after `autoCloseSeconds`. True only when confirmed with OK.
    virtual bool authenticate(std::string& userName, std::string& password,
                              const std::string& address, int autoCloseSeconds) = 0;
};

} // namespace tw
