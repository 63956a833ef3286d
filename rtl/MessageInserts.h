// The inserts of a system message text ("%1 is not a valid Win32
// application."), filled the way FormatMessage would, without its risk of
// reading past the arguments a caller has. Platform-neutral.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rtl {

// Text with %1 to %99 (each optionally followed by a !printf format!, which
// is ignored: every insert here is text) replaced by Inserts[0], [1], ...;
// an insert the caller has no value for shows as "…". Also %% gives %,
// %n a line break (CR LF), %r CR, %t a tab, %b a blank, %. a full stop,
// %! an exclamation mark, and %0 ends the text; any other % stays as it
// is. Used (when given) tells whether %1 occurred.
std::wstring FillMessageInserts(std::wstring_view Text, const std::vector<std::wstring>& Inserts,
                                bool* UsedFirst = nullptr);

}  // namespace rtl
