#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace vyr::tool {

// Text of the store as the tool's text output shows it, one item per line:
// tabs, line ends and other control characters (C0, DEL, C1) are written as
// escapes (\t, \n, \r, \xHH, \uHHHH), so that an id never breaks the
// one-line-per-pair layout. The JSON output carries the text exactly instead.
[[nodiscard]] std::string displayText(std::string_view text);

// The number of terminal columns the UTF-8 text takes: East Asian wide and
// full-width characters count two, combining marks none. A byte that is not
// part of valid UTF-8 counts one.
[[nodiscard]] std::size_t displayWidth(std::string_view text);

// Writes the text and pads it with spaces to the width in columns.
void vPadded(std::ostream& out, std::string_view text, std::size_t width);

} // namespace vyr::tool
