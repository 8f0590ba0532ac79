#pragma once

// Every name the store gives a file in a level folder, built in one place:
// the level file of a classification, the lock file beside it and the
// temporary files its writers publish from, and the one parse that tells
// them apart. The store, `check` and the tool all ask here; nothing else
// builds or takes apart such a name.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "external/platform/TemporaryName.h"

namespace vyr::cache {

// The extension of level files, without the dot.
inline constexpr std::string_view kLevelFileExtension = "xml";
inline constexpr std::string_view kLevelFileSuffix = ".xml";
inline constexpr std::string_view kLockFileSuffix = ".lock";
// Temporary files are named by the platform layer's rule, which every
// writer of the system follows (external/platform/TemporaryName.h).
using platform::kTemporaryFileSuffix;
using platform::kTemporaryNameExtra;
using platform::temporaryFileName;
using platform::temporaryUniqueGet;

// "<id>.<extension>": the id a.b gives a.b.xml, m.xml gives m.xml.xml.
[[nodiscard]] inline std::string levelFileName(std::string_view id,
                                               std::string_view extension = kLevelFileExtension) {
    std::string name;
    name.reserve(id.size() + 1 + extension.size());
    name += id;
    name += '.';
    name += extension;
    return name;
}

// "<level file name>.lock": the file that carries the lock between
// processes. Never removed by the store.
[[nodiscard]] inline std::string lockFileName(std::string_view levelFileName) {
    std::string name;
    name.reserve(levelFileName.size() + kLockFileSuffix.size());
    name += levelFileName;
    name += kLockFileSuffix;
    return name;
}

// The kinds of file the store keeps in a level folder.
enum class FileType { Level, Lock, Temporary };

// What a file name in a level folder is, and the classification id it
// belongs to. A plain value.
struct ParsedFileName {
    FileType type;
    std::string id;
};

// Takes apart a name made by levelFileName, lockFileName or
// temporaryFileName (the three end differently, so no name is two kinds):
// parseFileName(lockFileName(levelFileName("m"))) is {Lock, "m"}. Nothing
// for any other name, and for a name whose id would be empty.
[[nodiscard]] inline std::optional<ParsedFileName> parseFileName(std::string_view name) {
    FileType type = FileType::Level;
    if (const std::optional<std::string_view> target = platform::temporaryTargetOf(name)) {
        type = FileType::Temporary;
        name = *target;
    } else if (name.ends_with(kLockFileSuffix)) {
        type = FileType::Lock;
        name.remove_suffix(kLockFileSuffix.size());
    }
    if (name.size() <= kLevelFileSuffix.size() || !name.ends_with(kLevelFileSuffix)) {
        return std::nullopt;
    }
    return ParsedFileName{type, std::string(name.substr(0, name.size() - kLevelFileSuffix.size()))};
}

} // namespace vyr::cache
