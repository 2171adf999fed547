// The SMTP dialogue against whatever a server sends: the fuzz input is the server's whole byte
// stream, replayed from a local socket on 127.0.0.1, so that reply splitting (multi-line
// replies, missing line ends, a hang-up mid-reply) and the reply handler of every state run as
// in a real delivery. The dialogue must always come to its end.

#include "FuzzSupport.h"
#include "core/net/CollectingMailProgress.h"
#include "core/net/SmtpClient.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using tw::fuzz::require;

namespace {

/// A listening socket on 127.0.0.1 with an ephemeral port, for the whole run.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        require(fd >= 0, "listening socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        require(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
        require(::listen(fd, 8) == 0, "listen");
        socklen_t length = sizeof address;
        require(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "port");
        port = ntohs(address.sin_port);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Listener listener;

    tw::CollectingMailProgress progress;
    tw::CSmtpClient client(progress);
    client.setServer("127.0.0.1", listener.port, "from@example.org");
    client.setMail("to@example.org", "subject", "line\n.dot\nend");
    client.setTimeouts(2000, 2000);
    client.connect();
    require(client.state() == "Connected", "connects to the local listener");

    // The connection waits in the backlog; the whole stream is queued before the client reads
    // (max_len keeps it well below the socket buffer), then the server hangs up.
    const int server = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    require(server >= 0, "accept");
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(server, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(server, SHUT_WR);

    int replies = 0;
    while (client.receive()) {
        require(++replies <= 16, "the dialogue ends after at most a reply per step");
    }
    require(client.finished(), "the dialogue came to its end");
    require(!progress.steps().empty() && progress.steps().back().finished,
            "the last notification ends the dialogue");
    ::close(server);
    return 0;
}
