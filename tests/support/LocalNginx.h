#pragma once

#include "support/LocalSocket.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tw::test {

/// nginx in the foreground on 127.0.0.1 at a free port, serving the folder `www` as static files
/// (with Last-Modified from the files' times); its configuration, logs, pid and temporary folders
/// live in `work`, its prefix.
/// Stopped by its process id when the object goes.
class LocalNginx {
public:
    static constexpr const char* kBinary = "/usr/sbin/nginx";

    static bool available() { return ::access(kBinary, X_OK) == 0; }

    LocalNginx(const std::string& work, const std::string& www) {
        m_port = freeLocalPort();
        const std::string config = work + "/nginx.conf";
        // As root, the workers would run as nobody and could not read a test's private folder.
        std::ofstream(config) << (::geteuid() == 0 ? "user root root;\n" : "")
                              << "worker_processes 1;\npid " << work << "/nginx.pid;\n"
                              << "error_log " << work << "/error.log;\n"
                              << "events { worker_connections 64; }\n"
                              << "http {\n  access_log off;\n"
                              << "  types { application/zip zip; text/html html; }\n"
                              << "  server {\n    listen 127.0.0.1:" << m_port << ";\n"
                              << "    root " << www << ";\n  }\n}\n";
        m_pid = ::fork();
        if (m_pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::execl(kBinary, kBinary, "-c", config.c_str(), "-p", work.c_str(), "-g", "daemon off;",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once it accepts connections.
        for (int i = 0; i < 200 && !accepts(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~LocalNginx() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    LocalNginx(const LocalNginx&) = delete;
    LocalNginx& operator=(const LocalNginx&) = delete;

    bool accepts() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(m_port));
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }
    std::string url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/" + name;
    }

private:
    int m_port = 0;
    pid_t m_pid = -1;
};

} // namespace tw::test
