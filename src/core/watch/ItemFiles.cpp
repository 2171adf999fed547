#include "core/watch/ItemFiles.h"

#include "core/util/Cp932Scan.h"
#include "core/util/TextUtil.h"

#include <algorithm>
#include <filesystem>

namespace tw {

namespace {

namespace fs = std::filesystem;

bool isInside(const fs::path& path, const fs::path& folder) {
    const auto [folderEnd, pathAt] =
        std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return folderEnd == folder.end() && pathAt != path.end();
}

} // namespace

std::string compFolder(const std::string& programFolder) {
    return programFolder + "/comp";
}

std::string resolvedDestFile(const std::string& programFolder, const std::string& destFile) {
    if (destFile.empty() || destFile.front() == '/') {
        return destFile;
    }
    const fs::path data = fs::path(programFolder).lexically_normal();
    const fs::path resolved = (data / destFile).lexically_normal();
    return isInside(resolved, data) ? resolved.string() : std::string();
}

std::string storedCopyPath(const std::string& programFolder, const std::string& compareFile) {
    if (compareFile.empty()) {
        return {};
    }
    const fs::path comp = fs::path(compFolder(programFolder)).lexically_normal();
    if (compareFile.front() == '/') {
        // A copy outside comp (a data folder moved since) is replaced by a fresh one there.
        const fs::path path = fs::path(compareFile).lexically_normal();
        return isInside(path, comp) ? path.string() : std::string();
    }
    const fs::path resolved = (comp / compareFile).lexically_normal();
    if (isInside(resolved, comp)) {
        return resolved.string();
    }
    const fs::path name = fs::path(compareFile).filename();
    if (name.empty() || name == ".." || name == ".") {
        return {};
    }
    return (comp / name).string();
}

std::string keptDestFile(const std::string& destFile, const std::string& written) {
    if (destFile.empty() || destFile.front() == '/') {
        return written;
    }
    const auto slash = findLastCp932(destFile, "/");
    return destFile.substr(0, slash == std::string::npos ? 0 : slash + 1) + afterLast(written, '/');
}

} // namespace tw
