#include "core/links/LinkRefresher.h"

#include "core/links/LinkCollection.h"
#include "core/links/LinkListFile.h"
#include "core/net/CFetch.h"
#include "core/net/FetchRequest.h"
#include "core/ports/Executor.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"
#include "core/watch/CheckArea.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

/// Numbered names stop here: a folder holding this many variants of one name is not sane.
constexpr int kMaxNumber = 100000;

/// Renames `from` to `to` unless `to` exists (errno EEXIST then).
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // A file system without the atomic form: test, then rename.
    struct stat status {};
    if (::lstat(to.c_str(), &status) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

} // namespace

LinkRefresher::LinkRefresher(const LinkListFile& file, LinkCollection& links, Prompter* prompter)
    : m_file(file), m_links(links), m_prompter(prompter) {}

LinkRefresher::~LinkRefresher() {
    stopWorker(true);
    waitIdle();
}

std::string LinkRefresher::localPath(int index) const {
    return m_file.linkPath(m_links.fileName(index));
}

int LinkRefresher::checkLink(int index) {
    if (index < 0 || index >= m_links.count()) {
        return kLinkOutOfRange;
    }
    const std::string path = localPath(index);
    if (path.empty()) {
        return kLinkError;
    }
    int flags = 0;
    std::optional<FetchRequest> asked;
    if (::access(systemPath(path).c_str(), R_OK) == 0) {
        const FetchSettings current = m_links.link(index);
        FetchRequest& request = asked.emplace(current);
        request.cancelRequested = &m_abort;
        CFetch fetch(m_prompter);
        const std::time_t modified = fetch.queryLastModified(request);
        if (request.errorKind != 0) {
            return kLinkError;
        }
        if (modified == 0) {
            flags = 1; // no time to judge by: the content decides
        } else if (modified == current.lastModified) {
            return kLinkUnchanged;
        }
    }
    if (m_downloadOption != 0) {
        flags += 2;
    }
    switch (downloadLink(index, flags, asked ? &*asked : nullptr)) {
    case 0:
        return kLinkUpdated;
    case 1:
        return kLinkUnchanged;
    default:
        return kLinkError;
    }
}

std::string LinkRefresher::placeUnderFreeName(const std::string& tempFile,
                                              const std::string& name) const {
    for (int n = 0; n < kMaxNumber; ++n) {
        const std::string candidate = numberedName(name, n);
        if (LinkListFile::isOwnFileName(candidate)) {
            continue; // page_1.hlk's stripped name would be the list itself: never there
        }
        std::string path = m_file.pathOf(candidate);
        if (renameNoReplace(tempFile, systemPath(path)) == 0) {
            return path;
        }
        if (errno != EEXIST) {
            return {};
        }
    }
    return {};
}

int LinkRefresher::downloadLink(int index, int flags, const FetchRequest* asked) {
    const std::string target = localPath(index);
    if (target.empty()) {
        return -1;
    }
    FetchRequest request(m_links.link(index));
    if (asked) {
        request.userName = asked->userName;
        request.password = asked->password;
        request.otherOriginCredentials = asked->otherOriginCredentials;
    }
    // The engine creates the download under the first free temp.tmp variant itself, exclusively
    // (0600, never through a link).
    request.destFile = m_file.pathOf(LinkListFile::kDownloadTempName);
    request.startOffset = 0;
    request.cancelRequested = &m_abort;
    CFetch fetch(m_prompter);
    if (fetch.fetchToFile(request) != 0) {
        return -1;
    }
    const std::string temp = request.savedPath.empty() ? request.destFile : request.savedPath;
    const std::string tempFile = systemPath(temp);
    std::string placed = target;
    if (flags != 0) {
        if (compareFiles(temp, target) == 0) {
            ::unlink(tempFile.c_str());
            return 1;
        }
        if (::rename(tempFile.c_str(), systemPath(target).c_str()) != 0) {
            ::unlink(tempFile.c_str());
            return -1;
        }
    } else {
        // Older copies stay: the new one takes the first free numbered name, never one of the
        // folder's own files.
        std::string base = LinkCollection::cutFileName(stripCounter(target));
        if (LinkListFile::isOwnFileName(numberedName(base, 1))) {
            base = LinkCollection::cutFileName(
                target); // tmp_.hlk: every numbered name is the folder's own
        }
        placed = placeUnderFreeName(tempFile, base);
        if (placed.empty()) {
            ::unlink(tempFile.c_str());
            return -1;
        }
    }
    FetchSettings downloaded = request;
    downloaded.destFile = LinkCollection::cutFileName(placed);
    downloaded.loadValue = std::time(nullptr);
    m_links.replace(index, downloaded);
    return 0;
}

bool LinkRefresher::startWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex) {
    if (!isIdle()) {
        return false;
    }
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_stop = false;
    m_abort = false;
    m_idle.reset();
    m_worker = std::thread(
        [this, &executor, &receiver, onlyIndex] { runWorker(executor, receiver, onlyIndex); });
    return true;
}

void LinkRefresher::runWorker(Executor& executor, LinkReceiver& receiver, int onlyIndex) {
    bool ownerListens = true;
    const int first = onlyIndex < 0 ? 0 : onlyIndex;
    for (int index = first; index < m_links.count() && (onlyIndex < 0 || index == onlyIndex);
         ++index) {
        if (m_stop) {
            break;
        }
        const int result = checkLink(index);
        // Sent, not posted: the owner shows the row before the next link is refreshed.
        if (!executor.send([&] { receiver.linkResult(index, result); })) {
            ownerListens = false; // the owner is closing: no more reports
            break;
        }
    }
    if (ownerListens) {
        (void)executor.send([&] { receiver.linkDone(); });
    }
    m_idle.set();
}

void LinkRefresher::stopWorker(bool abortTransfer) {
    m_stop = true;
    if (abortTransfer) {
        m_abort = true;
    }
}

void LinkRefresher::waitIdle() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

} // namespace tw
