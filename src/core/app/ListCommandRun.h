#pragma once

#include "core/app/ListCommands.h"
#include "core/app/ListRequests.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tw {

class CheckSession;
class Executor;
class MessageBus;

/// Runs a list command from the shell and prints its answer (UTF-8) on `out`, a failure on
/// `err`; the exit code. When a Tarnwick holds the data folder's lock the request is handed to
/// it; else this process takes the lock, edits the list itself and lets the lock go.
int runListCommand(const ListRequest& request, const std::string& dataFolder,
                   const std::string& busFolder, std::FILE* out, std::FILE* err);

/// Applies a request but Check to the session's list at once (the window's own menu does the
/// commands' work this way).
ListAnswer applyToSession(const ListRequest& request, CheckSession& session);

/// A running program's answers to list commands, applied to its session: every request waiting
/// when the bus says so, on the executor's thread. Made after the session starts, gone before it
/// stops; a check still running then is answered as not finished.
class SessionListCommands {
public:
    SessionListCommands(CheckSession& session, MessageBus& bus, Executor& executor,
                        const std::string& dataFolder);
    ~SessionListCommands();
    SessionListCommands(const SessionListCommands&) = delete;
    SessionListCommands& operator=(const SessionListCommands&) = delete;

    /// Takes the requests waiting now (the bus calls it; a front end may call it at start).
    void serve();

private:
    void handle(const ListRequest& request, const ListRequestServer::Reply& reply);
    void checked(WatchItemId id);

    struct Waiting {
        WatchItemId id;
        ListRequestServer::Reply reply;
    };

    CheckSession& m_session;
    MessageBus& m_bus;
    ListRequestServer m_server;
    std::vector<Waiting> m_checks;
    /// A run the bus posted may come after we are gone: it holds this weakly.
    std::shared_ptr<SessionListCommands*> m_alive;
};

} // namespace tw
