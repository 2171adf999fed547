#pragma once

#include "core/net/TcpClient.h"

#include <memory>
#include <string>
#include <string_view>

namespace tw {

class CancelSignal;
class MailProgress;

/// How the dialogue is protected, and the login that only ever goes inside TLS. Texts are code
/// page 932.
struct MailSecurity {
    enum class Mode {
        None,     ///< plain SMTP with HELO, the dialogue of old
        StartTls, ///< EHLO, STARTTLS required (never a fall-back to plain), EHLO again
        Tls       ///< TLS from the first byte
    };
    Mode mode = Mode::None;
    /// Empty: no login.
    std::string user{};
    std::string password{};
    /// An extra trusted certificate (PEM file); empty: the system's trust store alone.
    std::string caFile{};
};

/// The SMTP dialogue engine: delivers one prepared message to one recipient, one reply at a
/// time, and reports every step to its receiver. States, held as text: "NoSocket" (initial and
/// after every end), "IhaveSocket", "Connected", "HELO", "MAIL FROM", "RCPT TO", "DATA", "BODY",
/// "QUIT"; with encryption also "EHLO", "STARTTLS", "AUTH LOGIN", "AUTH USER" and "AUTH". Texts are
/// code page 932 and must already be prepared (encoded words, ISO-2022-JP
/// body) and free of line breaks in the envelope and header values.
class CSmtpClient {
public:
    static constexpr int kDefaultConnectTimeoutMs = 30000;
    static constexpr int kDefaultReplyTimeoutMs = 60000;
    /// A reply longer than this without its last line is treated as a broken connection.
    static constexpr std::size_t kMaxReplyBytes = std::size_t{64} * 1024;

    explicit CSmtpClient(MailProgress& receiver);
    CSmtpClient(const CSmtpClient&) = delete;
    CSmtpClient& operator=(const CSmtpClient&) = delete;
    ~CSmtpClient();

    void setServer(const std::string& server, int port, const std::string& sender);
    void setMail(const std::string& recipient, const std::string& subject, const std::string& body);
    /// Bounds on connecting and on waiting for each reply (also for each write that stalls).
    void setTimeouts(int connectMs, int replyMs);
    /// Encryption and login; the default is the plain dialogue. The TLS handshake is bounded by
    /// the reply time-out.
    void setSecurity(const MailSecurity& security) { m_security = security; }
    /// Raised from any thread, `cancel` ends the dialogue at its next step, a wait for the
    /// server included: the connection is closed and the end notified with cancelledText(). Once
    /// the server has taken the message (state "QUIT") the mail counts as delivered. Null: none;
    /// it must outlive the dialogue.
    void setCancel(const CancelSignal* cancel) { m_cancel = cancel; }

    /// Creates the socket and connects; ends in "Connected", or notifies the end with a failure.
    void connect();
    /// Waits for the next reply and runs the reply handler on it; false once the dialogue ended.
    bool receive();
    /// The whole dialogue: connect, then every reply until the last notification.
    void run();

    const std::string& state() const { return m_state; }
    bool finished() const { return m_finished; }

    /// The reply handler for the current state. `error` is set when the connection failed
    /// instead of bringing a reply; `reply` is the whole reply text otherwise.
    void onReply(bool error, const std::string& reply);

    /// The body as it goes on the wire: every line end CR LF (bare LF and bare CR included) and
    /// a leading "." doubled, so that no body line can end the message early; zero bytes dropped.
    static std::string transferBody(std::string_view body);

    /// Failure texts of the dialogue (code page 932).
    static std::string socketFailedText();
    static std::string connectFailedText();
    static std::string noAnswerText();
    static std::string cancelledText();
    /// Empty when `security` can be used; else why not: a login without encryption, or a line
    /// break or zero byte in the user name or password. Checked again by connect().
    static std::string checkSecurity(const MailSecurity& security);

private:
    struct HandlerRow;
    static const HandlerRow kHandlers[];

    void notify(bool finished, const std::string& text);
    void fail(const std::string& text);
    void send(const std::string& text);
    void sendGreeting();
    void sendHelo();
    void sendEhlo();
    void afterEhlo();
    void upgrade();
    bool handshake();
    void startAuth();
    void sendLoginUser();
    void sendLoginPassword();
    /// The server's reply as it may go into a failure text: one line of printable ASCII, short,
    /// without anything of the password.
    std::string serverAnswer(const std::string& reply) const;
    void sendMailFrom();
    void sendRcptTo();
    void sendData();
    void sendMessage();
    void sendQuit();
    void endAfterQuit();

    enum class ReplyOutcome { Reply, Error, TimedOut, Cancelled };
    ReplyOutcome readReply(std::string& reply);

    MailProgress& m_receiver;
    std::unique_ptr<CTcpClient> m_socket;
    std::string m_state = "NoSocket";
    bool m_finished = false;
    std::string m_server;
    int m_port = 25;
    std::string m_sender;
    std::string m_recipient;
    std::string m_subject;
    std::string m_body;
    int m_connectTimeoutMs = kDefaultConnectTimeoutMs;
    int m_replyTimeoutMs = kDefaultReplyTimeoutMs;
    const CancelSignal* m_cancel = nullptr;
    MailSecurity m_security;
    /// The reply being handled, for the steps that read it (EHLO's extensions).
    std::string m_reply;
    /// Bytes received but not yet part of a handled reply.
    std::string m_buffer;
};

} // namespace tw
