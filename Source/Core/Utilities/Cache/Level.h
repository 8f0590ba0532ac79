#pragma once

#include <cstdint>

namespace vyr::cache {

// Cache levels, in the order in which they override each other: a higher
// level's entry replaces a lower one's in the merged view. Sys is read-only
// by convention; Shared and User are the writable levels.
enum Level : std::int32_t { Sys = 0, Shared = 1, User = 2 };

} // namespace vyr::cache
