#include "core/net/MailSender.h"

#include "core/platform/CodeConverter.h"
#include "core/ports/MailProgress.h"
#include "core/util/CancelSignal.h"
#include "core/util/Cp932.h"
#include "core/util/FieldRules.h"
#include "core/util/TextUtil.h"

#include <algorithm>

namespace tw {

namespace {

bool hasHighByte(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 128; });
}

/// Forwards the client's steps to the caller's progress and keeps the last text, which is the
/// result of the send.
class LastMessageKeeper : public MailProgress {
public:
    explicit LastMessageKeeper(MailProgress& target) : m_target(target) {}
    void started(const std::string& text, const std::shared_ptr<CancelSignal>& cancel) override {
        m_target.started(text, cancel);
    }
    void step(bool finished, const std::string& text) override {
        m_lastMessage = text;
        m_target.step(finished, text);
    }
    const std::string& lastMessage() const { return m_lastMessage; }

private:
    MailProgress& m_target;
    std::string m_lastMessage;
};

} // namespace

std::string toIso2022Jp(const std::string& text, CodeConverter* converter) {
    std::string converted;
    if (converter && converter->convert(932, 50220, text, converted)) {
        return converted;
    }
    return text;
}

std::string prepareHeaderText(const std::string& text, CodeConverter* converter) {
    if (!hasHighByte(text)) {
        return text;
    }
    return "=?iso-2022-jp?B?" + base64Encode(toIso2022Jp(text, converter)) + "?=";
}

std::string prepareBody(const std::string& text, CodeConverter* converter) {
    return hasHighByte(text) ? toIso2022Jp(text, converter) : text;
}

std::string checkMailTexts(const std::string& server, const std::string& sender,
                           const std::string& recipient, const std::string& subject) {
    if (breaksHeaderLine(server)) {
        return jp("サーバー名に改行が含まれているため送信できません。");
    }
    if (breaksHeaderLine(sender)) {
        return jp("差出人アドレスに改行が含まれているため送信できません。");
    }
    if (breaksHeaderLine(recipient)) {
        return jp("宛先アドレスに改行が含まれているため送信できません。");
    }
    if (breaksHeaderLine(subject)) {
        return jp("件名に改行が含まれているため送信できません。");
    }
    if (breaksMailAddress(sender)) {
        return jp("差出人アドレスに使えない文字（<、>"
                  "、空白、制御文字）が含まれているため送信できません。");
    }
    if (breaksMailAddress(recipient)) {
        return jp(
            "宛先アドレスに使えない文字（<、>、空白、制御文字）が含まれているため送信できません。");
    }
    return std::string();
}

std::string sendMail(const std::string& server, int port, const std::string& sender,
                     const std::string& recipient, const std::string& subject,
                     const std::string& body, CodeConverter* converter, MailProgress& progress,
                     const MailTimeouts& timeouts, std::shared_ptr<CancelSignal> cancel,
                     const MailSecurity& security) {
    if (std::string refused = checkMailTexts(server, sender, recipient, subject);
        !refused.empty()) {
        return refused;
    }
    if (std::string refused = CSmtpClient::checkSecurity(security); !refused.empty()) {
        return refused;
    }

    LastMessageKeeper keeper(progress);
    CSmtpClient client(keeper);
    client.setServer(server, port, prepareHeaderText(sender, converter));
    client.setMail(prepareHeaderText(recipient, converter), prepareHeaderText(subject, converter),
                   prepareBody(body, converter));
    client.setTimeouts(timeouts.connectMs, timeouts.replyMs);
    client.setSecurity(security);
    // Shared: whoever shows the progress may raise it after this send has returned.
    if (!cancel) {
        cancel = std::make_shared<CancelSignal>();
    }
    client.setCancel(cancel.get());
    keeper.started(jp("接続中・・・・"), cancel);
    client.run();
    return keeper.lastMessage();
}

} // namespace tw
