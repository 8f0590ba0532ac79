#pragma once

// The warnings of vyr-classification: what a person should know that did
// not stop the command, one line each on standard error.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tools/classification/Command.h"

namespace vyr::tool {

// Something a person should know that did not stop the command: a level
// file that does not read, a level folder that does not exist, a mapping
// file where the store never looks. A plain value.
struct Warning {
    Level level;
    std::filesystem::path path;
    std::string message;
};

// Adds one warning for each level file of the id that exists but that the
// store did not read (cache null: none read).
void vUnreadLevelsAdd(const Context& context, std::string_view id, const Cache* cache, std::vector<Warning>& warnings);
// One line each on the error stream.
void vWarningsPrint(const Context& context, const std::vector<Warning>& warnings);
// kExitSuccess, or kExitWarned when there are warnings.
[[nodiscard]] int iDoneStatus(const std::vector<Warning>& warnings);

} // namespace vyr::tool
