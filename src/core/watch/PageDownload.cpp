#include "core/watch/PageDownload.h"

#include "core/net/CFetch.h"
#include "core/net/FetchRequest.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/SafeFile.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"
#include "core/watch/ItemFiles.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace tw {

namespace {} // namespace

void ensureFolder(const std::string& folder) {
    // Looked at rather than made every time: a check of each item passes here.
    struct stat info {};
    if (::stat(systemPath(folder).c_str(), &info) != 0) {
        ::mkdir(systemPath(folder).c_str(), 0700);
    }
}

namespace {

void removeFile(const std::string& path) {
    if (!path.empty()) {
        std::remove(systemPath(path).c_str());
    }
}

} // namespace

PageDownload::PageDownload(std::string programFolder) : m_programFolder(std::move(programFolder)) {}

std::string PageDownload::prepare(const WatchSettings& item, FetchRequest& request) {
    std::string folder;
    if (item.downloadMode != 0) {
        if (item.destFile.empty()) {
            return jp("ダウンロードするファイルが指定されていません");
        }
        // Relative names are taken in the data folder, where every other file of the program
        // is, never in whatever folder the program was started from.
        const std::string dest = resolvedDestFile(m_programFolder, item.destFile);
        if (dest.empty()) {
            return jp("保存先のファイル名がデータフォルダの外を指しています");
        }
        // Beside the file it is to replace, so that it is renamed onto it.
        folder = upToLast(dest, '/');
        folder.pop_back();
    }
    if (folder.empty()) {
        folder = compFolder(m_programFolder);
        ensureFolder(folder);
    }
    request.destFile = uniqueFileName(folder + "/temp.tmp");
    request.startOffset = 0;
    request.allowRelocation = 1;
    request.useCache = 0;
    m_path.clear();
    return {};
}

bool PageDownload::fetch(FetchRequest& request, Prompter* prompter, HttpConnections* connections) {
    // Taken when the engine creates the file, so that a failure later leaves nothing behind.
    // Only that file: the name asked for may meanwhile be another download's (the engine takes
    // the first free one when it creates the file).
    std::string written;
    request.onReady = [&written](const FetchRequest& r) {
        if (r.errorKind == 0) {
            written = r.savedPath;
        }
    };
    CFetch engine(prompter, SystemClock::instance(), connections);
    const int fetched = engine.fetchToFile(request);
    request.onReady = nullptr;
    if (fetched != 0 || request.cancelled() || request.savedPath.empty()) {
        removeFile(written);
        return false;
    }
    m_path = request.savedPath;
    if (upToLast(m_path, '/') == compFolder(m_programFolder) + "/") {
        // Copies in comp may hold private pages.
        ::chmod(systemPath(m_path).c_str(), 0600);
    }
    return true;
}

std::string PageDownload::keep(WatchSettings& item) {
    std::string target;
    switch (item.downloadMode) {
    case 0:
        target = storedCopyPath(m_programFolder, item.compareFile);
        if (target.empty()) {
            target = m_path; // a fresh name in comp
        }
        break;
    case 1:
        target = resolvedDestFile(m_programFolder, item.destFile);
        break;
    default:
        target = uniqueFileName(stripCounter(resolvedDestFile(m_programFolder, item.destFile)));
        break;
    }
    if (target != m_path && !moveIntoPlace(m_path, target)) {
        const std::string reason = systemErrorText(errno);
        discard();
        return jp("ダウンロードしたファイルを保存できませんでした: ") + reason;
    }
    if (item.downloadMode == 0) {
        item.compareFile = target;
    } else if (item.downloadMode != 1) {
        item.destFile = keptDestFile(item.destFile, target);
    }
    m_path.clear();
    return {};
}

void PageDownload::discard() {
    removeFile(m_path);
    m_path.clear();
}

} // namespace tw
