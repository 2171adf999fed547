#pragma once

#include "core/watch/UpdateActions.h"

#include <QString>

#include <string>

class QWidget;

namespace tw {
class CodeConverter;
}

namespace tw::gui {

/// Sends one mail for a settings test: the SMTP dialogue runs on a worker thread while the
/// "メール送信中" progress dialog shows its steps modally over `parent`, and the window keeps
/// painting. Returns once the worker has ended: the empty text after a delivery, else the
/// failure text for the caller to show ("送信を中止しました" when the user cancelled). Texts are
/// code page 932; `converter` null uses one of its own. Closing `parent` meanwhile takes the
/// progress dialog with it and stops the send.
QString sendTestMail(QWidget* parent, const MailServerSettings& server,
                     const std::string& recipient, const std::string& subject,
                     const std::string& body, CodeConverter* converter = nullptr);

} // namespace tw::gui
