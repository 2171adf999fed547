#include "core/watch/UpdateActions.h"

#include "core/net/CollectingMailProgress.h"
#include "core/net/MailSender.h"
#include "core/platform/Desktop.h"
#include "core/ports/MainWindowPort.h"
#include "core/ports/Prompter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/util/Cp932Scan.h"
#include "core/util/TextUtil.h"
#include "core/watch/ChangeMail.h"
#include "core/watch/MailSettingsStore.h"

namespace tw {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

} // namespace

MailSecurity mailSecurityOf(const MailServerSettings& settings) {
    MailSecurity security;
    switch (settings.security) {
    case MailServerSettings::Security::None:
        security.mode = MailSecurity::Mode::None;
        break;
    case MailServerSettings::Security::StartTls:
        security.mode = MailSecurity::Mode::StartTls;
        break;
    case MailServerSettings::Security::Tls:
        security.mode = MailSecurity::Mode::Tls;
        break;
    }
    security.user = settings.user;
    security.password = settings.password;
    security.caFile = settings.caFile;
    return security;
}

bool mailServerMissing(const MailServerSettings& settings) {
    for (const char c : settings.server) {
        if (!isBlank(c)) {
            return false;
        }
    }
    return true;
}

std::string noMailServerText() {
    // Sent anyway, the mail would fail as if the network were down.
    return jp("メールサーバーが設定されていないため、メールを送信できません。\n"
              "メインウィンドウのメニュー「操作(O)」→「環境設定(S)」で設定してください。");
}

bool isWebAddress(const std::string& runOnUpdate) {
    std::size_t start = 0;
    while (start < runOnUpdate.size() && isBlank(runOnUpdate[start])) {
        ++start;
    }
    std::string head = runOnUpdate.substr(start, 4);
    for (char& c : head) {
        c = asciiLower(c);
    }
    return head == "http";
}

RunTarget splitRunTarget(const std::string& runOnUpdate) {
    const std::size_t slash = findLastCp932(runOnUpdate, "/");
    const std::size_t colon = findFirstCp932(runOnUpdate, ":");
    // An address such as "mailto:..." or "file:///..." must reach the opener in one piece; only
    // a path of this machine is cut into file and folder.
    const bool hasScheme = colon != std::string::npos && findFirstCp932(runOnUpdate, "/") > colon;
    if (slash == std::string::npos || hasScheme) {
        return {runOnUpdate, std::string()};
    }
    return {runOnUpdate.substr(slash + 1), runOnUpdate.substr(0, slash + 1)};
}

void doActions(const WatchSettings& item, const UpdateActionContext& context) {
    if (context.sound && item.soundMode != 0) {
        context.sound->play(item.soundMode == 1 ? std::string("notify.wav") : item.soundFile);
    }

    if (context.mainWindow && item.popUp) {
        context.mainWindow->popUp();
    }

    if (context.mainWindow && item.showInBrowser) {
        context.mainWindow->showItem(item);
    }

    if (item.sendMail) {
        const MailServerSettings server =
            context.mailSettings ? context.mailSettings->snapshot() : context.mailServer;
        std::string failure;
        std::string body = item.mailBody;
        if (server.includeChanges && context.history && !mailServerMissing(server)) {
            body += mailChanges(*context.history, item, context.converter);
        }
        if (mailServerMissing(server)) {
            failure = noMailServerText();
        } else if (context.sendMail) {
            failure = context.sendMail(server, item.mailTo, item.mailSubject, body);
        } else {
            CollectingMailProgress headless;
            MailProgress& progress = context.mailProgress ? *context.mailProgress : headless;
            failure =
                sendMail(server.server, server.port, server.account, item.mailTo, item.mailSubject,
                         body, context.converter, progress, {}, nullptr, mailSecurityOf(server));
        }
        if (!failure.empty() && context.prompter) {
            context.prompter->showMessage(failure, Prompter::Icon::Warning);
        }
    }

    if (!item.runOnUpdate.empty()) {
        if (isWebAddress(item.runOnUpdate)) {
            if (context.mainWindow) {
                context.mainWindow->showAddress(item.runOnUpdate);
            }
        } else if (context.shell) {
            const RunTarget target = splitRunTarget(item.runOnUpdate);
            context.shell->open(target.file, target.workingFolder);
        }
    }
}

} // namespace tw
