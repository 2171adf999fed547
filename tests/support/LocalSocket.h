#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw::test {

/// A TCP socket listening on 127.0.0.1 at a free port, or -1; `port` receives the port.
inline int listenLocal(int& port, int backlog = 16) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

/// A port on 127.0.0.1 that was free a moment ago: nothing listens there.
inline int freeLocalPort() {
    int port = 0;
    const int fd = listenLocal(port);
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

} // namespace tw::test
