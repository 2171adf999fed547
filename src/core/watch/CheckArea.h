#pragma once

// Deciding whether a downloaded page changed: byte-wise against a stored copy, or by the check
// area cut out of the page behind an anchor keyword after conversion to code page 932.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

class CodeConverter;
class WatchSettings;

/// Whether `newFile`, the page just downloaded for `item`, differs from what the item knows.
/// 0 unchanged; non-zero changed: 1, or in whole-page mode -1 (the reference is newFile itself)
/// and -2 (no readable reference, as on the first check). In check-area mode an unchanged
/// newFile is deleted here and a changed area is stored in item.areaText; a page that cannot be
/// converted (no converter, unreadable file) counts as changed and keeps the stored area.
int compare(WatchSettings& item, const std::string& newFile, CodeConverter* converter);

/// Pages larger than this are not read for a check area.
constexpr long long kMaxAreaPageBytes = 64LL * 1024 * 1024;
/// compare(): a check area was asked of a page larger than kMaxAreaPageBytes.
constexpr int kPageTooLarge = -3;
/// compare(): something other than a regular file (a FIFO, a folder) stands at the reference.
constexpr int kReferenceNotRegular = -4;

/// compare() against `reference`, the stored copy the checker resolved, with two more outcomes
/// that are errors rather than changes: kPageTooLarge and kReferenceNotRegular. `contentType`
/// is the Content-Type the server sent with newFile (see loadConverted).
int compare(WatchSettings& item, const std::string& newFile, CodeConverter* converter,
            const std::string& reference, std::string_view contentType = {});

/// 0 identical, 1 different (or a read error), -1 pathA cannot be opened, -2 pathB cannot be
/// opened. Reads both files block by block.
int compareFiles(const std::string& pathA, const std::string& pathB);

/// The `size` bytes behind the end of the `occurrence`-th match of `keyword` in `text`, moved
/// by `offset`. Matches may overlap but never start on the second byte of a double-byte
/// character. Empty when the keyword is empty or found fewer times, when the start lies at or
/// beyond the end, or when size is 0 or less; a start before the text counts as 0. An
/// occurrence below 1 counts as 1.
std::string extractArea(std::string_view text, std::string_view keyword, int occurrence, int offset,
                        int size);

/// Where extractArea() finds `keyword` in `text`: the starts of its first `limit` matches, in
/// order, leaving out those that start at or after `before`.
std::vector<std::size_t> findKeyword(std::string_view text, std::string_view keyword,
                                     std::size_t limit,
                                     std::size_t before = std::string_view::npos);

/// The file's text in code page 932, up to its first zero byte: `japaneseCode` 0 decides the
/// page's code (pageCodePage, with the Content-Type the page was served with when the caller
/// has it), 1 JIS, 2 EUC-JP, 3 UTF-8; 4 (Shift-JIS) and other values take the bytes as they
/// are. Nothing when there is no converter or the file cannot be read whole.
std::optional<std::string> loadConverted(CodeConverter* converter, const std::string& path,
                                         int japaneseCode, std::string_view contentType = {});

/// The code of a page, decided in the order browsers use: a UTF-8 byte order mark; the page's
/// own declaration (declaredCodePage); the charset of the Content-Type it was served with
/// (contentTypeCodePage); and only then the bytes themselves (guessCodePage).
int pageCodePage(std::string_view text, std::string_view contentType = {});

/// What the page declares: 50220 when the text holds both ESC "$" and ESC "("; else the code
/// named right after a "charset" (blanks, "=" and quotes skipped; EUC-JP 51932, UTF-8 65001,
/// Shift_JIS and its aliases 932), the first such name deciding; when none can be read, 51932
/// or 65001 when "euc-jp" or "utf-8" follows the first "charset"; else 932 when some "charset"
/// is followed by "=" and a name of another code (the bytes are then taken as they are), and 0
/// when the page declares nothing. Letter case is ignored.
int declaredCodePage(std::string_view text);

/// declaredCodePage(), with 932 for a page that declares nothing.
int detectCodePage(std::string_view text);

/// The code page a charset name stands for (Shift_JIS, EUC-JP, UTF-8, ISO-2022-JP and their
/// aliases, letter case ignored); 0 for any other.
int charsetCodePage(std::string_view name);

/// The code page named by the charset parameter of a Content-Type value; 0 when it names none
/// or one this program does not convert (a server's default "ISO-8859-1" says nothing about a
/// Japanese page).
int contentTypeCodePage(std::string_view contentType);

} // namespace tw
