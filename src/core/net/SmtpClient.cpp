#include "core/net/SmtpClient.h"

#include "core/ports/MailProgress.h"
#include "core/util/CancelSignal.h"
#include "core/util/Cp932.h"

#include <chrono>
#include <cstring>

namespace tw {

struct CSmtpClient::HandlerRow {
    const char* state;
    /// Expected reply code; null accepts any reply, and a failed connection too.
    const char* expected;
    /// UTF-8 failure text of the step.
    const char* failure;
    void (CSmtpClient::*onSuccess)();
};

const CSmtpClient::HandlerRow CSmtpClient::kHandlers[] = {
    {"Connected", "220", "接続できませんでした。", &CSmtpClient::sendHelo},
    {"HELO", "250", "接続が拒否されました。", &CSmtpClient::sendMailFrom},
    {"MAIL FROM", "250", "この差出人アドレスでは受付られません。", &CSmtpClient::sendRcptTo},
    {"RCPT TO", "250", "この宛先アドレスでは受付られません。", &CSmtpClient::sendData},
    {"DATA", "354", "データ入力を拒否されました。", &CSmtpClient::sendMessage},
    {"BODY", "250", "メールが配送できません。", &CSmtpClient::sendQuit},
    {"QUIT", nullptr, nullptr, &CSmtpClient::endAfterQuit},
};

CSmtpClient::CSmtpClient(MailProgress& receiver) : m_receiver(receiver) {}

CSmtpClient::~CSmtpClient() = default;

std::string CSmtpClient::socketFailedText() {
    return jp("ソケットが作成できませんでした");
}
std::string CSmtpClient::connectFailedText() {
    return jp("ネットワークに繋がっていません");
}
std::string CSmtpClient::noAnswerText() {
    return jp("サーバーから応答がありません。");
}
std::string CSmtpClient::cancelledText() {
    return jp("送信を中止しました");
}

void CSmtpClient::setServer(const std::string& server, int port, const std::string& sender) {
    m_server = server;
    m_port = port;
    m_sender = sender;
}

void CSmtpClient::setMail(const std::string& recipient, const std::string& subject,
                          const std::string& body) {
    m_recipient = recipient;
    m_subject = subject;
    m_body = body;
}

void CSmtpClient::setTimeouts(int connectMs, int replyMs) {
    m_connectTimeoutMs = connectMs;
    m_replyTimeoutMs = replyMs;
}

void CSmtpClient::notify(bool finished, const std::string& text) {
    if (finished) {
        m_finished = true;
    }
    m_receiver.step(finished, text);
}

void CSmtpClient::fail(const std::string& text) {
    if (m_socket) {
        m_socket->close();
    }
    m_state = "NoSocket";
    notify(true, text);
}

void CSmtpClient::send(const std::string& text) {
    // A failed write shows as a failed or missing reply, which fails the step in the usual way.
    if (m_socket) {
        m_socket->send(text, m_replyTimeoutMs);
    }
}

void CSmtpClient::connect() {
    m_finished = false;
    m_buffer.clear();
    m_socket = std::make_unique<CTcpClient>();
    m_socket->setCancel(m_cancel);
    notify(false, std::string());
    m_state = "IhaveSocket";

    switch (m_socket->connect(m_server, m_port, m_connectTimeoutMs)) {
    case CTcpClient::ConnectResult::Connected:
        notify(false, std::string());
        m_state = "Connected";
        return;
    case CTcpClient::ConnectResult::SocketFailed:
        m_socket.reset();
        m_state = "NoSocket";
        notify(true, socketFailedText());
        return;
    case CTcpClient::ConnectResult::Cancelled:
        m_socket.reset();
        m_state = "NoSocket";
        notify(true, cancelledText());
        return;
    case CTcpClient::ConnectResult::Failed:
    case CTcpClient::ConnectResult::TimedOut:
        break;
    }
    m_socket.reset();
    m_state = "NoSocket";
    notify(true, connectFailedText());
}

CSmtpClient::ReplyOutcome CSmtpClient::readReply(std::string& reply) {
    using SteadyClock = std::chrono::steady_clock;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
    for (;;) {
        // A reply ends with its first line that is not "ddd-" (RFC 5321 multi-line replies).
        std::size_t lineStart = 0;
        for (std::size_t end; (end = m_buffer.find('\n', lineStart)) != std::string::npos;
             lineStart = end + 1) {
            const bool continued = end - lineStart >= 4 && m_buffer[lineStart + 3] == '-';
            if (!continued) {
                reply = m_buffer.substr(0, end + 1);
                m_buffer.erase(0, end + 1);
                return ReplyOutcome::Reply;
            }
        }
        if (!m_socket || !m_socket->isOpen() || m_buffer.size() > kMaxReplyBytes) {
            return ReplyOutcome::Error;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) {
            return ReplyOutcome::TimedOut;
        }
        switch (m_socket->receive(m_buffer, 1023, static_cast<int>(left.count()))) {
        case CTcpClient::ReceiveResult::Data:
            break;
        case CTcpClient::ReceiveResult::TimedOut:
            return ReplyOutcome::TimedOut;
        case CTcpClient::ReceiveResult::Closed:
            // The last reply may come without its line end just before the server hangs up.
            if (!m_buffer.empty()) {
                reply.swap(m_buffer);
                m_buffer.clear();
                return ReplyOutcome::Reply;
            }
            return ReplyOutcome::Error;
        case CTcpClient::ReceiveResult::Failed:
            return ReplyOutcome::Error;
        case CTcpClient::ReceiveResult::Cancelled:
            return ReplyOutcome::Cancelled;
        }
    }
}

bool CSmtpClient::receive() {
    if (m_finished) {
        return false;
    }
    std::string reply;
    const bool cancelled = m_cancel && m_cancel->raised();
    switch (cancelled ? ReplyOutcome::Cancelled : readReply(reply)) {
    case ReplyOutcome::Reply:
        onReply(false, reply);
        break;
    case ReplyOutcome::Error:
        onReply(true, std::string());
        break;
    case ReplyOutcome::TimedOut:
        if (m_state == "QUIT") {
            // The mail was accepted before QUIT; a server that does not say goodbye changes
            // nothing about that.
            onReply(true, std::string());
        } else {
            fail(noAnswerText());
        }
        break;
    case ReplyOutcome::Cancelled:
        if (m_state == "QUIT") {
            // The server has taken the message: only its goodbye is not waited for.
            endAfterQuit();
        } else {
            fail(cancelledText());
        }
        break;
    }
    return !m_finished;
}

void CSmtpClient::run() {
    connect();
    while (receive()) {
    }
}

void CSmtpClient::onReply(bool error, const std::string& reply) {
    for (const HandlerRow& row : kHandlers) {
        if (m_state != row.state) {
            continue;
        }
        if (row.expected &&
            (error || reply.size() < 3 || std::memcmp(reply.data(), row.expected, 3) != 0)) {
            fail(jp(row.failure));
            return;
        }
        (this->*row.onSuccess)();
        return;
    }
    notify(true, std::string());
}

void CSmtpClient::sendHelo() {
    send("HELO " + m_server + "\r\n");
    m_state = "HELO";
    notify(false, std::string());
}

void CSmtpClient::sendMailFrom() {
    send("MAIL FROM: <" + m_sender + ">\r\n");
    m_state = "MAIL FROM";
    notify(false, std::string());
}

void CSmtpClient::sendRcptTo() {
    send("RCPT TO: <" + m_recipient + ">\r\n");
    m_state = "RCPT TO";
    notify(false, std::string());
}

void CSmtpClient::sendData() {
    send("DATA\r\n");
    m_state = "DATA";
    notify(false, std::string());
}

void CSmtpClient::sendMessage() {
    m_state = "BODY";
    notify(false, jp("データ送信中"));
    send("To : " + m_recipient + "\r\n");
    send("MIME-Version: 1.0\r\n");
    send("Content-Type: text/plain;\r\n");
    send("\tcharset=\"iso-2022-jp\"\r\n");
    send("Content-Transfer-Encoding: 7bit\r\n");
    send("Subject: " + m_subject + "\r\n");
    send("\r\n");
    send(transferBody(m_body));
    send("\r\n");
    send(".\r\n");
}

void CSmtpClient::sendQuit() {
    send("QUIT\r\n");
    m_state = "QUIT";
    notify(false, jp("メール配送完了"));
}

void CSmtpClient::endAfterQuit() {
    if (m_socket) {
        m_socket->close();
    }
    m_state = "NoSocket";
    notify(true, std::string());
}

std::string CSmtpClient::transferBody(std::string_view body) {
    std::string out;
    out.reserve(body.size() + body.size() / 16 + 2);
    bool lineStart = true;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\0') {
            continue; // no mail system carries it; some end the message there
        }
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
                ++i;
            }
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.') {
            out += '.';
        }
        out += c;
        lineStart = false;
    }
    return out;
}

} // namespace tw
