#pragma once

// The watch list written out for other programs: a plain list of addresses, OPML 2.0, or
// documents of urls.yaml. Each can be read back by readImportFile() into the same addresses and
// names. Texts given back are UTF-8, as those of ListImport.h.

#include "core/lists/ListImport.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

/// "urls", "opml" or "yaml" (as a command line names it); nothing for another word.
std::optional<ListFormat> listFormatNamed(std::string_view name);
/// The word listFormatNamed() reads.
const char* listFormatName(ListFormat format);

/// The items (addresses and names in code page 932, as the watch list holds them) in `format`,
/// as UTF-8 bytes. Items without an address are left out.
///  - urls: one address a line.
///  - opml: each item an outline of type "link" with text and title = name and url and htmlUrl =
///    address (no xmlUrl: a page is not a feed, and a feed reader would take it for one).
///  - yaml: one document per item with name and url, quoted where YAML needs it.
std::string exportText(const std::vector<WatchSettings>& items, ListFormat format);

/// Writes exportText() to `diskPath` (a name on disk) crash-safe: a new temporary file beside
/// it, then one rename over it, which replaces a symbolic link planted there rather than writing
/// to its target. The file is readable by its owner only, since addresses may hold a login or a
/// key. "" when written, else why not (UTF-8).
std::string writeExport(const std::string& diskPath, const std::vector<WatchSettings>& items,
                        ListFormat format);

} // namespace tw
