#pragma once

// Sending one plain-text mail: preparing the texts (ISO-2022-JP, encoded words) and running the
// SMTP dialogue with its progress. Used on a change of a watched page and for the test mails of
// the settings pages.

#include "core/net/SmtpClient.h"

#include <memory>
#include <string>

namespace tw {

class CancelSignal;
class CodeConverter;
class MailProgress;

struct MailTimeouts {
    int connectMs = CSmtpClient::kDefaultConnectTimeoutMs;
    int replyMs = CSmtpClient::kDefaultReplyTimeoutMs;
};

/// The ISO-2022-JP form (code page 50220) of a code page 932 text; the text unchanged when
/// there is no converter or it cannot do this conversion.
std::string toIso2022Jp(const std::string& text, CodeConverter* converter);
/// A sender, recipient or subject as it goes into the mail: an RFC 2047 encoded word
/// "=?iso-2022-jp?B?...?=" when it holds a byte of 128 or more, else unchanged.
std::string prepareHeaderText(const std::string& text, CodeConverter* converter);
/// The body in ISO-2022-JP when it holds a byte of 128 or more, else unchanged.
std::string prepareBody(const std::string& text, CodeConverter* converter);

/// Empty when the texts can go into SMTP commands and header lines; otherwise the failure text
/// naming the first one that holds a line break (CR or LF) or a zero byte, or an address that
/// holds "<", ">", a blank or another control character.
std::string checkMailTexts(const std::string& server, const std::string& sender,
                           const std::string& recipient, const std::string& subject);

/// Delivers one mail and returns the empty text, or the failure text for the caller to show
/// (CSmtpClient::cancelledText() when it was cancelled). Runs on the calling thread and reports
/// each step to `progress`, which gets the way to cancel with the first; a mail refused by
/// checkMailTexts() never connects and reports no step. `cancel` is the caller's own way to
/// cancel, handed to `progress` as well; null makes one. `security` adds encryption and a login;
/// one that CSmtpClient::checkSecurity() refuses never connects either.
std::string sendMail(const std::string& server, int port, const std::string& sender,
                     const std::string& recipient, const std::string& subject,
                     const std::string& body, CodeConverter* converter, MailProgress& progress,
                     const MailTimeouts& timeouts = {},
                     std::shared_ptr<CancelSignal> cancel = nullptr,
                     const MailSecurity& security = {});

} // namespace tw
