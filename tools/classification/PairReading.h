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

// The bytes the fast reader may read beyond the end of the text; a text
// held with that much spare capacity is parsed where it is, not copied.
inline constexpr std::size_t kPairsTextSpare = 64;

// Reads the pairs of the text into `wanted` (which must be empty). Returns
// empty on success, else what is wrong: a syntax error names its line and
// column, a pair that is wrong its number. A well-formed text is parsed by
// the fast reader; anything that one does not take is read again by the
// careful one, which decides and says why.
[[nodiscard]] std::string sPairsRead(const std::string& text, Wanted& wanted);

// The two readers behind sPairsRead, for the test that holds them to the
// same results. The fast one gives up (false, `wanted` then undefined) on
// anything it does not expect; the careful one says what is wrong.
// `capacity`: how many bytes from text.data() may be read.
[[nodiscard]] bool boPairsReadFast(std::string_view text, std::size_t capacity, Wanted& wanted);
[[nodiscard]] std::string sPairsReadCareful(std::string_view text, Wanted& wanted);

} // namespace vyr::tool
