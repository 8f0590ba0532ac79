#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Source/Core/Utilities/Cache/Level.h"

namespace vyr::tool {

using cache::Level;
using LevelFolders = std::map<Level, std::filesystem::path>;

// The level names of the command line: sys, shared, user; "system" is read
// as sys too.
[[nodiscard]] std::string_view levelName(Level level) noexcept;
[[nodiscard]] std::optional<Level> levelParse(std::string_view name) noexcept;

// Where the directory service's three folders come from: --root DIR gives
// DIR/system, DIR/shared (one shared folder) and DIR/user; --system,
// --shared (repeatable) and --user replace them one by one. A plain value.
struct FolderOptions {
    std::filesystem::path root = ".";
    std::optional<std::filesystem::path> system;
    std::vector<std::filesystem::path> shared;
    std::optional<std::filesystem::path> user;
};

// Sets the process-wide directory service from the options, then returns
// the three level folders as the store derives them. Must run before the
// store is first used.
[[nodiscard]] LevelFolders levelFoldersSet(const FolderOptions& options);

// One entry of a level folder that the store's file-name parse takes for a
// level file: a mapping file, or something in its place. boIdValid is false
// when the name is not valid UTF-8 (id then holds the raw bytes).
struct LevelEntry {
    Level level;
    std::filesystem::path path;
    std::string id;
    bool boIdValid;
    bool boRegularFile;
};

// Every level file entry of every level folder, by id, then level. A level
// folder that does not exist has no entries.
[[nodiscard]] std::vector<LevelEntry> levelEntriesGet(const LevelFolders& folders);

// Whether anything (a file, a folder, a dangling link) is at the path, or
// may be: a path the file system refuses to look at counts as taken, so
// that nothing is written there on a guess.
[[nodiscard]] bool boAnythingAt(const std::filesystem::path& path);

// Why the file at the path does not read as a level file, or empty.
[[nodiscard]] std::string sReadProblemGet(const std::filesystem::path& path);

// Why the id cannot have a file at the level, or empty when it can. For
// writing, the store's temporary file must fit as well; the limits are
// those of the file system that holds the level folder (or the nearest
// existing folder above it).
[[nodiscard]] std::string sIdLengthProblemGet(const LevelFolders& folders, Level level, std::string_view id,
                                              bool boWriting);

// The folders that the directory service names for a level (the system
// folder, each shared folder, the user folder), whose level folder lies
// inside them.
[[nodiscard]] std::vector<std::pair<Level, std::filesystem::path>> levelRootsGet();

// The path as text for a person: its bytes as they are.
[[nodiscard]] std::string pathText(const std::filesystem::path& path);

} // namespace vyr::tool
