#pragma once

#include <cstdio>
#include <string>

namespace tw {

/// `tarnwick --changes ITEM [--history]`: reads the watch list and the item's kept versions in
/// `dataFolder` and prints, in UTF-8, the latest change as a unified diff (the text a reader
/// sees of an HTML page) with the two check times in its header, or with `listHistory` the kept
/// versions, one a line. ITEM is the item's position in the watch list (1-based, the order of
/// the watch list dialog) or its exact name. It only reads: no lock, nothing written, so it
/// works while the program runs. Messages go to `err`. Returns the exit code: 0, or 1 when the
/// item, its history or a change to show does not exist (or cannot be read).
int runChangesCommand(const std::string& dataFolder, const std::string& item, bool listHistory,
                      std::FILE* out, std::FILE* err);

} // namespace tw
