#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace tw {

// Whole files. Paths are the program's code page 932 text; each function finds the name on disk
// itself (systemPath), so a caller never converts.

/// Replaces the file at `path` with `data` so that a reader or a crash sees either the old or
/// the new file whole: a temporary file in the same folder is written, flushed to disk and
/// renamed over the old one, and the folder is flushed so that the rename stays. A new file gets
/// `mode`; an existing one keeps its permissions narrowed to `mode`. False, with the old file
/// untouched and errno telling the first failure, when anything fails.
bool replaceFileContents(const std::string& path, std::string_view data, mode_t mode = 0600);
/// The same for a path that names the file on disk already (a folder the environment named).
bool replaceDiskFile(const std::string& diskPath, std::string_view data, mode_t mode = 0600);

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

/// The numbered variant `n` of `path`, as free names are numbered: the number goes before the
/// extension of the last name (page.html, page_1.html, page_2.html...); n = 0 is `path` itself.
std::string numberedName(const std::string& path, int n);

/// Creates the first free numbered variant of `path` (page.html, page_1.html, page_2.html...)
/// exclusively and with exactly `mode`: no entry found there, not even a dangling link, is ever
/// opened or replaced, and of two programs trying at once each gets a name of its own. The open
/// file, with `created` naming it; or -1 with errno, `created` naming the last name tried.
int createFreeFile(const std::string& path, mode_t mode, std::string& created);

/// Writes `data` under the first free numbered variant of `path` (createFreeFile) and flushes it
/// and its folder to disk: a copy that never replaces anything. The name used; "" with errno when
/// the copy could not be made whole (nothing of it is left).
std::string keepCopy(const std::string& path, std::string_view data, mode_t mode);

// Pieces for a writer of its own. These take names on disk: the caller has passed them through
// systemPath().

/// Opens a file for reading without blocking, so that a FIFO or device in its place cannot hold
/// the caller, and refuses anything but a regular file. The open file, or -1 with errno: ENOENT
/// when there is none, EISDIR for a folder, FIFO or device (`info`, when given, then says which).
/// `flags` are added to the open (O_NOFOLLOW, say).
int openRegularFile(const std::string& diskPath, struct stat* info = nullptr, int flags = 0);
/// Reads an open file from where it stands to its end into `data`: 0, or the errno of the
/// failure (EFBIG beyond `limit` bytes).
int readToEnd(int fd, std::string& data, std::size_t limit = static_cast<std::size_t>(-1));
/// Writes all of `data`, going on after interrupted writes; false with errno.
bool writeAll(int fd, std::string_view data);
/// Flushes a newly written file to disk, closes it and flushes its folder, so that both the
/// content and the name survive a crash. False with errno of the first failure; closed either way.
bool finishFile(int fd, const std::string& diskPath);
/// Flushes the file `fd` (written as `diskTemp`) to disk, closes it, renames it over `diskTarget`
/// and flushes the folder: after a crash the target is the old or the new file whole, and a
/// rename reported done stays done. False with errno of the first failure; the file is closed
/// either way and `diskTemp`, when not renamed, is left to the caller.
bool commitReplacement(int fd, const std::string& diskTemp, const std::string& diskTarget);
/// Flushes the folder that holds `diskPath`, so that an entry made or renamed there lasts.
void syncFolderOf(const std::string& diskPath);

} // namespace tw
