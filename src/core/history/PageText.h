#pragma once

#include <string>
#include <string_view>

namespace tw {

class CodeConverter;

/// Kept bytes in `codePage` as UTF-8 (a check area is code page 932). Characters that cannot
/// be converted become U+FFFD; nothing is lost silently.
std::string historyTextUtf8(CodeConverter* converter, std::string_view bytes, int codePage);

/// The text a reader sees of an HTML page (UTF-8 in, UTF-8 out), by an HTML parser: tags
/// removed, script, style and template dropped, entities decoded, block elements and <br> as
/// line breaks, runs of blanks folded to one, blank lines dropped.
std::string readerText(std::string_view html);

/// The text of an HTML page's <title> (UTF-8 in, UTF-8 out), entities decoded, blanks and line
/// breaks folded to one space and trimmed; "" when the page has none.
std::string pageTitle(std::string_view html);

} // namespace tw
