#pragma once

// The pairs of an exported view as `import` reads them: the output of
// `export` or `show --json`, an object whose "pairs" member is an array, or
// that array alone. Each pair is an object with a text "source" and a
// "classified" that is text or null (a null one lists the source id with no
// classified id); other members are passed over, and every id must be text
// that a mapping file can carry.

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace vyr::tool {

// Each source id with the classified ids listed for it, possibly none.
using Wanted = std::map<std::string, std::set<std::string>, std::less<>>;

// Reads the pairs of the text into `wanted` (which must be empty). Returns
// empty on success, else what is wrong: a syntax error names its line and
// column, a pair that is wrong its number. A pair whose "source" or
// "classified" is neither what it may be (text; text or null) is wrong.
[[nodiscard]] std::string sPairsRead(std::string_view text, Wanted& wanted);

} // namespace vyr::tool
