#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace tw::test {

/// Serves announce.dat on 127.0.0.1, announcing the ID the test sets for every version and
/// category.
class AnnounceServer {
public:
    AnnounceServer() {
        m_server.Get("/announce.dat", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content("Url_: http://news.example/" + std::to_string(id.load()) +
                                ".html\r\nID__: " + std::to_string(id.load()) + "\r\n",
                            "text/plain");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~AnnounceServer() {
        m_server.stop();
        m_thread.join();
    }
    AnnounceServer(const AnnounceServer&) = delete;
    AnnounceServer& operator=(const AnnounceServer&) = delete;

    std::string address() const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/announce.dat";
    }
    std::atomic<int> id{1};

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
};

} // namespace tw::test
