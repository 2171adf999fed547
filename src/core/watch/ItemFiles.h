#pragma once

// Where the files named by a watch item are on disk. The checker and the editor's source view
// both write them, so both resolve the names here.

#include <string>

namespace tw {

/// The folder of the stored copies (compareFile) inside the data folder.
std::string compFolder(const std::string& programFolder);

/// The item's destFile as a path: an absolute name as it is, a relative one taken in the data
/// folder; empty when the name is empty or a relative name leads out of the data folder.
std::string resolvedDestFile(const std::string& programFolder, const std::string& destFile);

/// The item's compareFile as a path inside the comp folder (a relative name taken there, an
/// escaping one reduced to its file name); empty when it is empty or names a file outside comp,
/// which is then replaced by a fresh name.
std::string storedCopyPath(const std::string& programFolder, const std::string& compareFile);

/// The destFile to store once the page was written to `written` in download mode 2: a
/// relative name stays relative, so that it follows the data folder.
std::string keptDestFile(const std::string& destFile, const std::string& written);

} // namespace tw
