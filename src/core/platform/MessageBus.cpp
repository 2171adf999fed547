#include "core/platform/MessageBus.h"

#include "core/platform/RuntimeFolder.h"
#include "core/ports/Executor.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr std::size_t kMaxMessage = 1024;

std::atomic<unsigned> g_busCount{0};

bool makeAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

MessageBus::MessageBus(std::string folder) : m_folder(std::move(folder)) {}

MessageBus::~MessageBus() {
    stop();
}

void MessageBus::registerMessage(const std::string& name, Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handlers[name] = std::move(handler);
}

void MessageBus::registerPosted(const std::string& name, Executor& executor,
                                std::function<void()> task) {
    // Shared by the handler and the run it posted: the run may outlive the registration.
    struct Pending {
        std::atomic<bool> waiting{false};
        std::function<void()> task;
    };
    auto pending = std::make_shared<Pending>();
    pending->task = std::move(task);
    registerMessage(name, [pending, &executor](const std::string&) {
        if (pending->waiting.exchange(true)) {
            return;
        }
        executor.post([pending] {
            // Cleared before the run: a message during the run posts the next one.
            pending->waiting = false;
            pending->task();
        });
    });
}

bool MessageBus::start() {
    if (running()) {
        return true;
    }
    const std::string folder = m_folder.empty() ? runtimeFolder() : m_folder;
    if (folder.empty()) {
        return false;
    }
    const unsigned index = g_busCount++;
    std::string path = folder + "/" + std::to_string(::getpid());
    if (index > 0) {
        path += '-';
        path += std::to_string(index);
    }
    sockaddr_un address{};
    if (!makeAddress(path, address)) {
        return false;
    }
    m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int pipeFds[2];
    if (m_socket < 0 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        closeFd(m_socket);
        return false;
    }
    m_wakeRead = pipeFds[0];
    m_wakeWrite = pipeFds[1];
    // A socket left by a dead process that had our id is stale.
    ::unlink(path.c_str());
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closeFd(m_socket);
        closeFd(m_wakeRead);
        closeFd(m_wakeWrite);
        return false;
    }
    m_socketPath = path;
    m_thread = std::thread([this] { receive(); });
    return true;
}

void MessageBus::stop() {
    if (!m_thread.joinable()) {
        return;
    }
    const char wake = 1;
    while (::write(m_wakeWrite, &wake, 1) < 0 && errno == EINTR) {
    }
    m_thread.join();
    ::unlink(m_socketPath.c_str());
    m_socketPath.clear();
    closeFd(m_socket);
    closeFd(m_wakeRead);
    closeFd(m_wakeWrite);
}

void MessageBus::receive() {
    char buffer[kMaxMessage];
    while (true) {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            if (fds[0].revents != 0) {
                return;
            }
            continue;
        }
        const ssize_t got = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) {
            continue;
        }
        const std::string name(buffer, static_cast<std::size_t>(got));
        Handler handler;
        {
            std::lock_guard lock(m_mutex);
            if (const auto it = m_handlers.find(name); it != m_handlers.end()) {
                handler = it->second;
            }
        }
        if (handler) {
            // Nothing a handler throws may end the receiver thread (and with it the process).
            try {
                handler(name);
            } catch (...) {
            }
        }
    }
}

int MessageBus::broadcast(const std::string& name, const std::string& folder) {
    const std::string base = folder.empty() ? runtimeFolder() : folder;
    if (base.empty() || name.empty() || name.size() > kMaxMessage) {
        return 0;
    }
    DIR* dir = ::opendir(base.c_str());
    if (!dir) {
        return 0;
    }
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int reached = 0;
    while (sock >= 0) {
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            break;
        }
        const std::string path = base + "/" + entry->d_name;
        struct stat info {};
        sockaddr_un address{};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) ||
            !makeAddress(path, address)) {
            continue;
        }
        const ssize_t sent = ::sendto(sock, name.data(), name.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent >= 0) {
            ++reached;
        } else if (errno == ECONNREFUSED) {
            // Nobody listens there any more: the process ended without removing its socket.
            ::unlink(path.c_str());
        }
    }
    if (sock >= 0) {
        ::close(sock);
    }
    ::closedir(dir);
    return reached;
}

} // namespace tw
