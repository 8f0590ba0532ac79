#include "tools/classification/Levels.h"

#include <algorithm>
#include <array>

namespace vyr::tool {

namespace {

struct LevelName {
    std::string_view name;
    cache::Level level;
};

// Each level's own name first; "system" is the sys level's other name.
constexpr std::array<LevelName, 4> kLevelNames = {
    {{"sys", cache::Sys}, {"system", cache::Sys}, {"shared", cache::Shared}, {"user", cache::User}}};

} // namespace

std::string_view levelName(cache::Level level) noexcept {
    const auto found = std::find_if(kLevelNames.begin(), kLevelNames.end(),
                                    [&](const LevelName& entry) { return entry.level == level; });
    return found == kLevelNames.end() ? "?" : found->name;
}

std::optional<cache::Level> levelParse(std::string_view name) noexcept {
    const auto found = std::find_if(kLevelNames.begin(), kLevelNames.end(),
                                    [&](const LevelName& entry) { return entry.name == name; });
    return found == kLevelNames.end() ? std::nullopt : std::optional<cache::Level>(found->level);
}

std::vector<std::string> levelNamesGet(bool boWritable) {
    std::vector<std::string> names;
    for (const LevelName& entry : kLevelNames) {
        if (!boWritable || (sLevelReadOnlyProblemGet(entry.level).empty() && levelName(entry.level) == entry.name)) {
            names.emplace_back(entry.name);
        }
    }
    return names;
}

std::string sLevelReadOnlyProblemGet(cache::Level level) {
    if (level != cache::Sys) {
        return {};
    }
    return std::string(levelName(level)) + " is read-only: override it at " +
           std::string(levelName(cache::Shared)) + " or " + std::string(levelName(cache::User));
}

} // namespace vyr::tool
