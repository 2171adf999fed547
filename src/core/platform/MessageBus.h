#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace tw {

class Executor;

/// Registered broadcast messages between the programs of one user, in place of window messages
/// posted to every top-level window. Each listening process owns one Unix datagram socket in the
/// runtime folder, named after its process id; a broadcast sends the message name (its bytes,
/// nothing else) to every socket there. A message carries no data: it only tells the receiver
/// to look at the shared values now.
class MessageBus {
public:
    using Handler = std::function<void(const std::string& name)>;

    /// `folder` empty means runtimeFolder().
    explicit MessageBus(std::string folder = {});
    /// Stops and joins the receiver thread.
    ~MessageBus();
    MessageBus(const MessageBus&) = delete;
    MessageBus& operator=(const MessageBus&) = delete;

    /// Acts on `name` from now on: `handler` runs on the receiver thread for each such message
    /// (replacing an earlier handler of that name). Names not registered are ignored.
    void registerMessage(const std::string& name, Handler handler);
    /// Acts on `name` by running `task` on the executor's thread. Messages coalesce: while one
    /// run waits there, further messages of that name add nothing, so a flood of them queues at
    /// most one run; a message that arrives while the task runs leads to one more run after it,
    /// so none is missed. The executor must outlive the registration.
    void registerPosted(const std::string& name, Executor& executor, std::function<void()> task);
    /// Creates this process's socket and starts the receiver thread. False when the socket
    /// cannot be made; true when already running.
    bool start();
    /// Stops receiving, joins the receiver thread and removes the socket. Must not be called from
    /// a handler.
    void stop();
    bool running() const { return m_thread.joinable(); }
    /// The socket's path while running.
    const std::string& socketPath() const { return m_socketPath; }

    /// Sends `name` to every listening process of this user, this one included, and removes
    /// sockets whose process is gone. Returns the number of sockets reached. Never blocks on a
    /// busy receiver: its message is dropped, as a full message queue would drop it.
    static int broadcast(const std::string& name, const std::string& folder = {});

private:
    void receive();

    std::string m_folder;
    std::string m_socketPath;
    int m_socket = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::thread m_thread;
    std::mutex m_mutex;
    std::map<std::string, Handler> m_handlers;
};

} // namespace tw
