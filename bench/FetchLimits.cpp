// How long the fetch engine's limits take to end a hostile download, and how fast a cancel
// takes effect, against a local server that drips one byte every 2 s or sends an endless body.
//
//   DripCutOff/<window s>     drip until the low-speed limit (1 KiB/s over the window) ends it
//   EndlessToCap/<MiB>        endless body at full local speed until the size limit ends it
//   CancelLatency/<drip ms>   cancel stored while a drip runs, until fetchToFile returns

#include "core/net/CFetch.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

/// One connection at a time: endless (gapMs 0) or one byte every gapMs.
class HostileServer {
public:
    explicit HostileServer(int gapMs) : m_gapMs(gapMs) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listen, 4);
        socklen_t length = sizeof address;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~HostileServer() {
        m_stopping = true;
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/x.html"; }

private:
    void run() {
        for (;;) {
            const int client = ::accept(m_listen, nullptr, nullptr);
            if (client < 0) {
                return;
            }
            char request[4096];
            (void)::recv(client, request, sizeof request, 0);
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";
            bool open = ::send(client, head.data(), head.size(), MSG_NOSIGNAL) > 0;
            const std::string block(m_gapMs == 0 ? 65536 : 1, 'x');
            while (open && !m_stopping) {
                open = ::send(client, block.data(), block.size(), MSG_NOSIGNAL) > 0;
                for (int waited = 0; waited < m_gapMs && !m_stopping; waited += 10) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            ::close(client);
        }
    }

    int m_gapMs;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

tw::FetchRequest request(const std::string& url) {
    tw::FetchRequest r;
    r.targetUrl = url;
    r.destFile = (std::filesystem::temp_directory_path() / "tw-bench-limits.html").string();
    return r;
}

void DripCutOff(benchmark::State& state) {
    HostileServer server(2000);
    for (auto _ : state) {
        tw::FetchRequest r = request(server.url());
        r.lowSpeedSeconds = static_cast<int>(state.range(0));
        const auto start = Clock::now();
        tw::CFetch().fetchToFile(r);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (r.errorKind != 2) {
            state.SkipWithError("the drip was not cut off");
        }
    }
}
BENCHMARK(DripCutOff)->Arg(5)->Arg(60)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void EndlessToCap(benchmark::State& state) {
    HostileServer server(0);
    for (auto _ : state) {
        tw::FetchRequest r = request(server.url());
        r.maxBodyBytes = state.range(0) << 20;
        const auto start = Clock::now();
        tw::CFetch().fetchToFile(r);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (r.errorKind != 2) {
            state.SkipWithError("the endless body was not cut off");
        }
    }
    state.SetBytesProcessed(state.iterations() * (state.range(0) << 20));
}
BENCHMARK(EndlessToCap)
    ->Arg(64)
    ->Arg(1024)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

void CancelLatency(benchmark::State& state) {
    HostileServer server(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::atomic<bool> cancel{false};
        tw::FetchRequest r = request(server.url());
        r.cancelRequested = &cancel;
        Clock::time_point cancelledAt;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            cancelledAt = Clock::now();
            cancel = true;
        });
        tw::CFetch().fetchToFile(r);
        const auto returned = Clock::now();
        canceller.join();
        state.SetIterationTime(std::chrono::duration<double>(returned - cancelledAt).count());
    }
}
BENCHMARK(CancelLatency)
    ->Arg(50)
    ->Arg(2000)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
