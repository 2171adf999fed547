#pragma once

#include <string>

namespace tw {

/// The one boundary between the program's paths and the file system. The program keeps paths
/// as code page 932 text (the stored files hold them so), while a Linux file system names its
/// entries in UTF-8: every path handed to a system call passes systemPath(), and every name read
/// from the disk comes back through textPath().
///
/// Each folder or file name holding non-ASCII bytes is looked up on its own: its UTF-8 form when
/// that exists, else the name as the bytes stand when that exists (a file an earlier version
/// wrote under its 932 bytes, or a folder the environment named in UTF-8), else its UTF-8 form.
/// A path of ASCII only is returned as it is, without touching the disk.
std::string systemPath(const std::string& text);

/// The inverse: a name as the file system holds it (UTF-8) as code page 932 text. A name that
/// is not UTF-8, or holds a character 932 cannot store, stays as its bytes are, so that
/// systemPath() finds the same entry again.
std::string textPath(const std::string& diskPath);

} // namespace tw
