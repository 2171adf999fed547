#pragma once

// Characters that typed settings must not carry into a request or a mail envelope. The editor
// checks them while the user can still fix the field; the senders refuse them again.

#include <string_view>

namespace tw {

/// CR, LF or NUL: it would end a request header line early or cut it short.
bool breaksHeaderLine(std::string_view text);

/// The extra header lines (separated by CR LF, trailing blanks ignored): true when one line
/// holds a CR, LF or NUL of its own.
bool breaksHeaderLines(std::string_view lines);

/// "<", ">", a blank or a control character: an address stands between "<" and ">" in the
/// mail envelope, and such a character could close the brackets or add parameters there.
bool breaksMailAddress(std::string_view text);

} // namespace tw
