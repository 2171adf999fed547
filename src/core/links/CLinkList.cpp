#include "core/links/CLinkList.h"

#include "core/util/SystemPath.h"

#include <cerrno>
#include <unistd.h>

namespace tw {

CLinkList::CLinkList(Prompter* prompter)
    : m_file(prompter), m_refresher(m_file, m_links, prompter) {}

int CLinkList::load(const std::string& folder, bool force) {
    if (lockFolder(folder, force) == 0) {
        return 0;
    }
    return readList();
}

int CLinkList::lockFolder(const std::string& folder, bool force) {
    m_links.clear();
    return m_file.lockFolder(folder, force);
}

int CLinkList::readList() {
    LinkRecords records;
    if (m_file.readList(records) != 1) {
        m_links.clear();
        return -1;
    }
    m_links.assign(std::move(records));
    return 1;
}

std::string CLinkList::localPath(int index) const {
    return m_file.linkPath(m_links.fileName(index));
}

std::string CLinkList::diskPath(int index) const {
    const std::string path = localPath(index);
    return path.empty() ? path : systemPath(path);
}

int CLinkList::removeWithFile(int index) {
    const int result = removeFile(index);
    return result == 0 ? remove(index) : result;
}

int CLinkList::removeFile(int index) {
    if (index < 0 || index >= count()) {
        return 1;
    }
    const std::string path = localPath(index);
    if (!path.empty() && ::unlink(systemPath(path).c_str()) != 0 && errno != ENOENT) {
        return -1;
    }
    return 0;
}

} // namespace tw
