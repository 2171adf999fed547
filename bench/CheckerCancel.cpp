// How long a check in progress takes to end after the checker is told the program closes: the
// page comes from a local server that sends one byte every 50 ms and never ends.

#include "core/records/WatchSettings.h"
#include "core/watch/CReNew.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

/// Answers every connection with headers and then one byte every 50 ms until told to stop.
class DripServer {
public:
    DripServer() {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 4);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~DripServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/drip"; }
    void waitDripping() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_sent >= 3; });
    }
    void resetCount() {
        std::lock_guard lock(m_mutex);
        m_sent = 0;
    }

private:
    void serve() {
        while (!m_stop) {
            pollfd entry{m_listener, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) {
                continue;
            }
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            char request[4096];
            (void)::recv(fd, request, sizeof request, 0);
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                                     "Connection: close\r\n\r\n<html>";
            ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
            while (!m_stop && ::send(fd, "x", 1, MSG_NOSIGNAL) == 1) {
                {
                    std::lock_guard lock(m_mutex);
                    ++m_sent;
                }
                m_changed.notify_all();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            ::close(fd);
        }
    }

    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_sent = 0;
};

void BM_CloseDuringDownload(benchmark::State& state) {
    std::string pattern = (fs::temp_directory_path() / "tw-bench-XXXXXX").string();
    const std::string home = ::mkdtemp(pattern.data());
    DripServer server;
    tw::CheckerServices services;
    services.programFolder = home;
    tw::WatchSettings item;
    item.targetUrl = server.url();
    item.lastModified = 0;
    item.soundMode = 0;
    item.popUp = 0;
    for (auto _ : state) {
        state.PauseTiming();
        tw::CReNew checker(services);
        server.resetCount();
        checker.arm(item);
        server.waitDripping();
        state.ResumeTiming();
        checker.setClosing();
        checker.waitDone();
    }
    std::error_code ignored;
    fs::remove_all(home, ignored);
}
BENCHMARK(BM_CloseDuringDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace
