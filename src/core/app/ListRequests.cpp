#include "core/app/ListRequests.h"

#include "core/platform/MessageBus.h"
#include "core/platform/RuntimeFolder.h"
#include "core/util/ErrorText.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

constexpr const char* kRequestEnd = ".req";
constexpr const char* kClaimedEnd = ".taken";
constexpr const char* kAnswerEnd = ".ans";
constexpr const char* kNewEnd = ".new";

/// Writes `bytes` to a new file `path` (made exclusively, 0600, never through a link) and renames
/// it to `final`, so that a reader sees the whole file or none. errno, or 0.
int placeWhole(const std::string& path, const std::string& final, const std::string& bytes) {
    const int fd = ::open(systemPath(path).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    std::size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(systemPath(path).c_str(), systemPath(final).c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(systemPath(path).c_str());
    }
    return error;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(systemPath(path).c_str(), &info) == 0;
}

/// Removes `path`; true when this call removed it (false: it was gone already).
bool take(const std::string& path) {
    return ::unlink(systemPath(path).c_str()) == 0;
}

/// A name of this process for one request: process id, time and a counter.
std::string newStem() {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::to_string(::getpid()) + "-" +
           std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) + "-" +
           std::to_string(counter++);
}

} // namespace

std::string requestFolder(const std::string& dataFolder) {
    return dataFolder + "/" + kRequestFolderName;
}

std::optional<ListAnswer> handOverRequest(const std::string& dataFolder,
                                          const std::string& busFolder, const ListRequest& request,
                                          std::chrono::milliseconds pickUp,
                                          std::chrono::milliseconds answer, std::string& error) {
    const std::string folder = requestFolder(dataFolder);
    if (const int problem = preparePrivateFolder(systemPath(folder)); problem != 0) {
        error = "依頼のフォルダを使えません: " + textPath(systemPath(folder)) + ": " +
                systemErrorText(problem);
        return std::nullopt;
    }
    const std::string stem = folder + "/" + newStem();
    const std::string requestPath = stem + kRequestEnd;
    const std::string claimedPath = stem + kClaimedEnd;
    const std::string answerPath = stem + kAnswerEnd;
    if (const int problem = placeWhole(stem + kNewEnd, requestPath, encodeRequest(request));
        problem != 0) {
        error = "依頼を置けません: " + systemErrorText(problem);
        return std::nullopt;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point lastWake = start;
    MessageBus::broadcast(kListRequestMessage, busFolder);
    bool claimed = false;
    Clock::time_point claimedAt;
    std::chrono::milliseconds step{2};
    while (true) {
        if (exists(answerPath)) {
            std::string bytes;
            const int problem = readRegularFile(answerPath, bytes, kMaxAnswerBytes);
            take(answerPath);
            std::optional<ListAnswer> result =
                problem == 0 ? decodeAnswer(bytes) : std::optional<ListAnswer>();
            if (!result) {
                error = "動いている Tarnwick の答えを読めません";
            }
            return result;
        }
        const Clock::time_point now = Clock::now();
        if (!claimed && !exists(requestPath)) {
            claimed = true;
            claimedAt = now;
        }
        if (!claimed && now - start >= pickUp) {
            // Not claimed: taken back, so that nobody acts on it after we said it failed. A
            // claim that came just now wins, and then its answer is waited for.
            if (take(requestPath)) {
                error = "Tarnwick が動いていますが、応答がありません";
                return std::nullopt;
            }
            claimed = true;
            claimedAt = now;
        }
        if (claimed && now - claimedAt >= answer) {
            // The claim removed tells the program not to answer any more.
            take(claimedPath);
            take(answerPath);
            error = "動いている Tarnwick から時間内に答えがありませんでした";
            return std::nullopt;
        }
        if (!claimed && now - lastWake >= std::chrono::milliseconds(500)) {
            // A message can be dropped on a busy receiver; the request is still there.
            MessageBus::broadcast(kListRequestMessage, busFolder);
            lastWake = now;
        }
        std::this_thread::sleep_for(step);
        step = std::min(step * 2, std::chrono::milliseconds(50));
    }
}

ListRequestServer::ListRequestServer(const std::string& dataFolder, Handler handler)
    : m_folder(requestFolder(dataFolder)), m_handler(std::move(handler)) {}

void ListRequestServer::serve() {
    // Only a folder of our own, reachable by nobody else, is looked at.
    struct stat folderInfo {};
    if (::lstat(systemPath(m_folder).c_str(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode) ||
        folderInfo.st_uid != ::getuid() || (folderInfo.st_mode & 077) != 0) {
        return;
    }
    std::vector<std::string> stems;
    if (DIR* dir = ::opendir(systemPath(m_folder).c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const std::string end = kRequestEnd;
            if (name.size() > end.size() && name.ends_with(end) &&
                name.find('/') == std::string::npos) {
                stems.push_back(m_folder + "/" +
                                textPath(name.substr(0, name.size() - end.size())));
            }
        }
        ::closedir(dir);
    }
    std::sort(stems.begin(), stems.end());
    for (const std::string& stem : stems) {
        const std::string requestPath = stem + kRequestEnd;
        const std::string claimedPath = stem + kClaimedEnd;
        struct stat info {};
        if (::lstat(systemPath(requestPath).c_str(), &info) != 0 || info.st_uid != ::getuid()) {
            continue;
        }
        if (!S_ISREG(info.st_mode) || info.st_nlink != 1 ||
            static_cast<unsigned long long>(info.st_size) > kMaxRequestBytes) {
            // A link or an oversized file is nothing of ours; removing the name touches no
            // other file.
            take(requestPath);
            continue;
        }
        // The rename is the claim: the command no longer takes it back.
        if (::rename(systemPath(requestPath).c_str(), systemPath(claimedPath).c_str()) != 0) {
            continue;
        }
        std::string bytes;
        const int problem = readRegularFile(claimedPath, bytes, kMaxRequestBytes);
        std::optional<ListRequest> request =
            problem == 0 ? decodeRequest(bytes) : std::optional<ListRequest>();
        if (!request) {
            take(claimedPath);
            continue;
        }
        m_handler(*request, [stem](const ListAnswer& answer) {
            // A command that gave up has taken the claim away: nobody would read the answer.
            if (!take(stem + kClaimedEnd)) {
                return;
            }
            placeWhole(stem + kNewEnd + "a", stem + kAnswerEnd, encodeAnswer(answer));
        });
    }
}

} // namespace tw
