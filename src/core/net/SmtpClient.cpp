#include "core/net/SmtpClient.h"

#include "core/ports/MailProgress.h"
#include "core/util/CancelSignal.h"
#include "core/util/Cp932.h"
#include "core/util/TextUtil.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <vector>

namespace tw {

struct CSmtpClient::HandlerRow {
    const char* state;
    /// Expected reply code; null accepts any reply, and a failed connection too.
    const char* expected;
    /// UTF-8 failure text of the step.
    const char* failure;
    void (CSmtpClient::*onSuccess)();
    /// The failure text is followed by the server's answer.
    bool quotesReply = false;
};

const CSmtpClient::HandlerRow CSmtpClient::kHandlers[] = {
    {"Connected", "220", "接続できませんでした。", &CSmtpClient::sendGreeting},
    {"HELO", "250", "接続が拒否されました。", &CSmtpClient::sendMailFrom},
    {"EHLO", "250", "接続が拒否されました。", &CSmtpClient::afterEhlo},
    {"STARTTLS", "220", "暗号化を開始できませんでした", &CSmtpClient::upgrade, true},
    {"AUTH LOGIN", "334", "認証に失敗しました", &CSmtpClient::sendLoginUser, true},
    {"AUTH USER", "334", "認証に失敗しました", &CSmtpClient::sendLoginPassword, true},
    {"AUTH", "235", "認証に失敗しました", &CSmtpClient::sendMailFrom, true},
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

std::string CSmtpClient::checkSecurity(const MailSecurity& security) {
    const auto breaks = [](const std::string& text) {
        return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
    };
    if (!security.user.empty() && security.mode == MailSecurity::Mode::None) {
        return jp("ユーザー名を使うには暗号化（STARTTLS または SSL/TLS）を選んでください。"
                  "パスワードを暗号化せずに送ることはしません。");
    }
    if (breaks(security.user)) {
        return jp("ユーザー名に改行または NUL 文字が含まれているため送信できません。");
    }
    if (breaks(security.password)) {
        return jp("パスワードに改行または NUL 文字が含まれているため送信できません。");
    }
    return std::string();
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
    if (std::string refused = checkSecurity(m_security); !refused.empty()) {
        m_state = "NoSocket";
        notify(true, refused);
        return;
    }
    m_socket = std::make_unique<CTcpClient>();
    m_socket->setCancel(m_cancel);
    notify(false, std::string());
    m_state = "IhaveSocket";

    switch (m_socket->connect(m_server, m_port, m_connectTimeoutMs)) {
    case CTcpClient::ConnectResult::Connected:
        notify(false, std::string());
        if (m_security.mode == MailSecurity::Mode::Tls && !handshake()) {
            return;
        }
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
            if (!row.quotesReply) {
                fail(jp(row.failure));
            } else if (error) {
                fail(jp(row.failure) + jp("。") + noAnswerText());
            } else {
                fail(jp(row.failure) + ": " + serverAnswer(reply));
            }
            return;
        }
        m_reply = reply;
        (this->*row.onSuccess)();
        return;
    }
    notify(true, std::string());
}

void CSmtpClient::sendGreeting() {
    if (m_security.mode == MailSecurity::Mode::None) {
        sendHelo();
    } else {
        sendEhlo();
    }
}

void CSmtpClient::sendEhlo() {
    send("EHLO " + m_server + "\r\n");
    m_state = "EHLO";
    notify(false, std::string());
}

namespace {

/// The keywords of an EHLO reply's extension lines ("250-STARTTLS", "250 AUTH PLAIN LOGIN"),
/// each with its parameters, upper case; the greeting line is left out.
std::vector<std::string> extensionsOf(const std::string& reply) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    bool first = true;
    while (start < reply.size()) {
        std::size_t end = reply.find('\n', start);
        if (end == std::string::npos) {
            end = reply.size();
        }
        std::string line = reply.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (first || line.size() < 4) {
            first = false;
            continue;
        }
        line.erase(0, 4);
        std::transform(line.begin(), line.end(), line.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        lines.push_back(line);
    }
    return lines;
}

bool hasWord(const std::string& line, std::string_view word) {
    std::size_t start = 0;
    while (start <= line.size()) {
        std::size_t end = line.find(' ', start);
        if (end == std::string::npos) {
            end = line.size();
        }
        if (std::string_view(line).substr(start, end - start) == word) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

void CSmtpClient::afterEhlo() {
    if (m_security.mode == MailSecurity::Mode::StartTls && !m_socket->isTls()) {
        const auto extensions = extensionsOf(m_reply);
        if (std::find(extensions.begin(), extensions.end(), "STARTTLS") == extensions.end()) {
            // Never a fall-back to plain text: nothing more goes to this server.
            fail(jp("サーバーが STARTTLS に対応していないため送信できません"
                    "（暗号化せずには送りません）。"));
            return;
        }
        send("STARTTLS\r\n");
        m_state = "STARTTLS";
        notify(false, std::string());
        return;
    }
    if (!m_security.user.empty()) {
        startAuth();
        return;
    }
    sendMailFrom();
}

void CSmtpClient::upgrade() {
    if (!m_buffer.empty()) {
        // Bytes sent before the handshake would be taken as if they came inside TLS.
        fail(jp("暗号化を開始できませんでした: サーバーが暗号化の前に余分なデータを送りました。"));
        return;
    }
    if (handshake()) {
        sendEhlo();
    }
}

bool CSmtpClient::handshake() {
    notify(false, jp("暗号化中"));
    const CTcpClient::TlsOutcome outcome =
        m_socket->startTls(m_server, m_security.caFile, m_replyTimeoutMs);
    const std::string reason = outcome.reason.empty() ? std::string() : ": " + outcome.reason;
    switch (outcome.result) {
    case CTcpClient::TlsResult::Ready:
        return true;
    case CTcpClient::TlsResult::NoLibrary:
        fail(jp("暗号化のライブラリを読み込めません") + reason);
        break;
    case CTcpClient::TlsResult::BadCaFile:
        fail(jp("証明書を確認できません: 証明書ファイルを読み込めません (") + m_security.caFile +
             ")");
        break;
    case CTcpClient::TlsResult::Untrusted:
        fail(jp("証明書を確認できません") + reason);
        break;
    case CTcpClient::TlsResult::Failed:
        fail(jp("暗号化の接続に失敗しました") + (reason.empty() ? jp("。") : reason));
        break;
    case CTcpClient::TlsResult::TimedOut:
        fail(noAnswerText());
        break;
    case CTcpClient::TlsResult::Cancelled:
        fail(cancelledText());
        break;
    }
    return false;
}

void CSmtpClient::startAuth() {
    if (!m_socket->isTls()) {
        fail(checkSecurity({MailSecurity::Mode::None, m_security.user}));
        return;
    }
    bool plain = false;
    bool login = false;
    for (const std::string& line : extensionsOf(m_reply)) {
        if (line.rfind("AUTH ", 0) == 0) {
            plain = plain || hasWord(line, "PLAIN");
            login = login || hasWord(line, "LOGIN");
        }
    }
    if (plain) {
        send("AUTH PLAIN " +
             base64Encode(std::string(1, '\0') + m_security.user + '\0' + m_security.password) +
             "\r\n");
        m_state = "AUTH";
    } else if (login) {
        send("AUTH LOGIN\r\n");
        m_state = "AUTH LOGIN";
    } else {
        fail(jp("サーバーが対応している認証方式（PLAIN、LOGIN）がありません。"));
        return;
    }
    notify(false, jp("認証中"));
}

void CSmtpClient::sendLoginUser() {
    send(base64Encode(m_security.user) + "\r\n");
    m_state = "AUTH USER";
    notify(false, std::string());
}

void CSmtpClient::sendLoginPassword() {
    send(base64Encode(m_security.password) + "\r\n");
    m_state = "AUTH";
    notify(false, std::string());
}

std::string CSmtpClient::serverAnswer(const std::string& reply) const {
    static constexpr std::size_t kLongest = 300;
    std::string answer;
    for (char c : reply) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            c = ' ';
        }
        answer += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    while (!answer.empty() && answer.back() == ' ') {
        answer.pop_back();
    }
    // A server that echoes what it got must not put the password on the screen.
    const std::string& password = m_security.password;
    const std::string secrets[] = {
        password, base64Encode(password),
        base64Encode(std::string(1, '\0') + m_security.user + '\0' + password)};
    for (const std::string& secret : secrets) {
        if (password.empty()) {
            break;
        }
        for (std::size_t at; (at = answer.find(secret)) != std::string::npos;) {
            answer.replace(at, secret.size(), "***");
        }
    }
    if (answer.size() > kLongest) {
        answer.resize(kLongest);
        answer += "...";
    }
    return answer;
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
