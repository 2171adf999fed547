#pragma once

// How a list command reaches the Tarnwick that runs on the same data folder, so that the watch
// list has one writer only. The command leaves its request as a file in a private folder of the
// data folder (requests/, 0700; each file 0600, made exclusively under a temporary name and
// renamed into place whole) and wakes the running program over the message bus. The program
// claims the file by renaming it, applies it, and answers with a file beside it, which the
// command waits for. A command that gives up takes its files away; an answer is written only
// while its claim is still there, so nothing is left behind either way.

#include "core/app/ListCommands.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace tw {

/// The message that wakes the running program: look at the requests now.
inline constexpr const char* kListRequestMessage = "Tarnwick->Tarnwick:list";
/// The folder of the data folder that holds the requests and answers.
inline constexpr const char* kRequestFolderName = "requests";
/// A request is a few lines; anything larger is not one of ours.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{64} * 1024;
/// An answer may list ten thousand items.
inline constexpr std::size_t kMaxAnswerBytes = std::size_t{32} * 1024 * 1024;

/// The request folder of `dataFolder` (code page 932 text, as every path of the program).
std::string requestFolder(const std::string& dataFolder);

/// The command's side. Leaves the request, wakes the running program (again while it waits, as
/// a message may be dropped), and waits up to `pickUp` for it to claim the request and then,
/// from the claim, up to `answer` for the answer. Nothing, with `error` set, when it could not be
/// left, was not claimed in time, or was not answered in time; its files are gone then.
std::optional<ListAnswer> handOverRequest(const std::string& dataFolder,
                                          const std::string& busFolder, const ListRequest& request,
                                          std::chrono::milliseconds pickUp,
                                          std::chrono::milliseconds answer, std::string& error);

/// The running program's side, on its owner's thread. serve() takes every request waiting now
/// and hands it to the handler with a reply function, which may be called later (a check), once.
/// Files that are not requests of this user (links, other owners, several names, too large,
/// unreadable, not a request) are never acted on; those that can be are removed.
class ListRequestServer {
public:
    using Reply = std::function<void(const ListAnswer& answer)>;
    using Handler = std::function<void(const ListRequest& request, Reply reply)>;

    ListRequestServer(const std::string& dataFolder, Handler handler);
    void serve();

private:
    std::string m_folder;
    Handler m_handler;
};

} // namespace tw
