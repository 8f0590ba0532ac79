#include "tools/classification/LevelFolders.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <system_error>
#include <tuple>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "external/directories/Directories.h"
#include "external/str/Utf.h"

namespace vyr::tool {

namespace fs = std::filesystem;
using bridge::classification::AdminWrapper;

std::string_view levelName(Level level) noexcept {
    switch (level) {
    case cache::Sys:
        return "sys";
    case cache::Shared:
        return "shared";
    case cache::User:
        return "user";
    }
    return "?";
}

std::optional<Level> levelParse(std::string_view name) noexcept {
    for (const Level level : {cache::Sys, cache::Shared, cache::User}) {
        if (levelName(level) == name || (level == cache::Sys && name == "system")) {
            return level;
        }
    }
    return std::nullopt;
}

LevelFolders levelFoldersSet(const FolderOptions& options) {
    Directories::vSysDirectorySet(options.system.value_or(options.root / "system"));
    Directories::vSharedDirectoriesSet(options.shared.empty() ? std::vector<fs::path>{options.root / "shared"}
                                                              : options.shared);
    Directories::vUserDirectorySet(options.user.value_or(options.root / "user"));
    AdminWrapper store;
    LevelFolders folders;
    for (const Level level : {cache::Sys, cache::Shared, cache::User}) {
        folders[level] = store.levelFolderGet(level);
    }
    return folders;
}

std::vector<LevelEntry> levelEntriesGet(const LevelFolders& folders) {
    std::vector<LevelEntry> entries;
    for (const auto& [level, folder] : folders) {
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            std::optional<cache::ParsedFileName> name = cache::parseFileName(it->path().filename().string());
            if (!name || name->type != cache::FileType::Level) {
                continue;
            }
            std::error_code statusError;
            const bool boRegular = fs::is_regular_file(fs::status(it->path(), statusError));
            const bool boValid = str::boIsValidUtf8(name->id);
            entries.push_back({level, it->path(), std::move(name->id), boValid, boRegular});
        }
    }
    std::sort(entries.begin(), entries.end(), [](const LevelEntry& left, const LevelEntry& right) {
        return std::tie(left.id, left.level) < std::tie(right.id, right.level);
    });
    return entries;
}

bool boAnythingAt(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

std::string sReadProblemGet(const fs::path& path) {
    return AdminWrapper::levelFileProblemGet(path).value_or("not a regular file");
}

std::string sIdLengthProblemGet(const LevelFolders& folders, Level level, std::string_view id, bool boWriting) {
    // The longest file name, asked of the nearest existing folder at or above the level folder.
    fs::path folder = folders.at(level);
    std::error_code error;
    while (!folder.empty() && !fs::is_directory(folder, error) && folder.has_relative_path()) {
        folder = folder.parent_path();
    }
    const long named = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    const std::size_t limit = named > 0 ? static_cast<std::size_t>(named) : NAME_MAX;
    // The bytes the store's names add to the id.
    const std::string empty = cache::levelFileName("");
    const std::size_t extra = (boWriting ? cache::temporaryFileName(empty, 0) : empty).size();
    const std::string head = "the id is " + std::to_string(id.size()) + " bytes long, too long for level " +
                             std::string(levelName(level)) + ": ";
    if (id.size() + extra > limit) {
        return head + (boWriting ? "its file name and the store's temporary file name" : "its file name") +
               " must fit in " + std::to_string(limit) + " bytes, which allows ids of at most " +
               std::to_string(limit > extra ? limit - extra : 0) + " bytes";
    }
    // The whole path, with its terminating zero, must fit in PATH_MAX.
    const std::size_t pathLength = folders.at(level).native().size() + 1 + id.size() + extra;
    if (pathLength >= PATH_MAX) {
        return head + "the path of its " + (boWriting ? "temporary file" : "file") + " would be " +
               std::to_string(pathLength) + " bytes, and paths may have at most " + std::to_string(PATH_MAX - 1);
    }
    return {};
}

std::vector<std::pair<Level, fs::path>> levelRootsGet() {
    const DirectoriesInterface& directories = Directories::getInstance();
    std::vector<std::pair<Level, fs::path>> roots{{cache::Sys, directories.sysDirectoryGet()}};
    for (const fs::path& shared : directories.sharedDirectoriesGet()) {
        roots.emplace_back(cache::Shared, shared);
    }
    roots.emplace_back(cache::User, directories.userDirectoryGet());
    return roots;
}

std::string pathText(const fs::path& path) { return path.string(); }

} // namespace vyr::tool
