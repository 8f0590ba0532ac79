#pragma once

// The level names of the command line and which levels the tool writes:
// one table, which every option, message and output of the tool reads.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Source/Core/Utilities/Cache/Level.h"

namespace vyr::tool {

// A level's name: sys, shared or user; "?" for a value that is no level.
[[nodiscard]] std::string_view levelName(cache::Level level) noexcept;
// The level a name on the command line means: its name, or "system" for sys
// (the sys folder is called so). Nothing for any other text.
[[nodiscard]] std::optional<cache::Level> levelParse(std::string_view name) noexcept;
// Every name levelParse takes, in the order of the table; or only those of
// the levels the tool writes (their own names, without "system").
[[nodiscard]] std::vector<std::string> levelNamesGet(bool boWritable);

// Why the tool does not write the level, or empty when it does: sys is
// read-only by convention, and the tool keeps to it (the store itself would
// let a write access lock and write it). The one check of every command
// that writes a level, and of `check`'s "cannot be edited".
[[nodiscard]] std::string sLevelReadOnlyProblemGet(cache::Level level);

} // namespace vyr::tool
