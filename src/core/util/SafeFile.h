#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tw {

// Paths are the program's code page 932 text; each function finds the name on disk itself
// (systemPath), so a caller never converts.

/// Replaces the file at `path` with `data` so that a reader or a crash sees either the old or
/// the new file whole: a temporary file in the same folder is written, flushed to disk and
/// renamed over the old one. A new file gets `mode`; an existing one keeps its permissions
/// narrowed to `mode`. False, with the old file untouched and errno telling the first failure,
/// when anything fails.
bool replaceFileContents(const std::string& path, std::string_view data, mode_t mode = 0600);

/// Puts the file `from` in place of `to` so that `to` is never missing: one rename over it, or,
/// when the two lie on different file systems, a copy into a new temporary file beside `to`
/// (flushed to disk) renamed over it, after which `from` is removed. False, with errno set and
/// `to` as it was, when any step fails; `from` is then left for the caller.
bool moveIntoPlace(const std::string& from, const std::string& to);

/// Reads a whole file; false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& data);

/// Reads a program file whole: 0, or the errno of the failure (ENOENT when there is none,
/// EISDIR for a folder, FIFO or device, EFBIG beyond `limit` bytes). It opens without blocking
/// and reads regular files only, so that a FIFO put in the file's place cannot hold the caller.
int readRegularFile(const std::string& path, std::string& data,
                    std::size_t limit = static_cast<std::size_t>(-1));

} // namespace tw
