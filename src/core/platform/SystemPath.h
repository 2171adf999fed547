#pragma once

#include <string>

namespace tw {

/// The name to hand to the system for a core text (code page 932) naming a file, folder or
/// address. Files the core wrote itself carry the 932 bytes as their name, so a text that names
/// an existing entry as it stands is kept; any other is converted to UTF-8, the encoding of
/// names that the user's programs expect.
std::string systemPath(const std::string& text);

} // namespace tw
