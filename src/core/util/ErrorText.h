#pragma once

#include <string>

namespace tw {

/// A short Japanese text (code page 932) for a system error number, in the style of the
/// program's other messages: the common failures of files and folders have their own text; any
/// other keeps the system's text after a Japanese lead-in ("エラー 71 (Protocol error)").
std::string systemErrorText(int error);

} // namespace tw
