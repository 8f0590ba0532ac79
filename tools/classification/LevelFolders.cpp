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

namespace {

// The store's subfolder in every level folder.
constexpr std::string_view kFolderName = "Classification";

// The longest file name in the folder, asked of the nearest existing folder
// at or above it.
std::size_t nameLimitGet(fs::path folder) {
    std::error_code error;
    while (!folder.empty() && !fs::is_directory(folder, error) && folder.has_relative_path()) {
        folder = folder.parent_path();
    }
    const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
}

} // namespace

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
    if (name == "system") {
        return cache::Sys;
    }
    for (const Level level : {cache::Sys, cache::Shared, cache::User}) {
        if (levelName(level) == name) {
            return level;
        }
    }
    return std::nullopt;
}

void vDirectoriesSet(const FolderOptions& options) {
    Directories::vSysDirectorySet(options.system.value_or(options.root / "system"));
    Directories::vSharedDirectoriesSet(options.shared.empty() ? std::vector<fs::path>{options.root / "shared"}
                                                              : options.shared);
    Directories::vUserDirectorySet(options.user.value_or(options.root / "user"));
}

LevelFolders levelFoldersGet() {
    const DirectoriesInterface& directories = Directories::getInstance();
    const std::string folderName(kFolderName);
    LevelFolders folders;
    folders[cache::Sys] = directories.sysDirectoryGet() / "Resources" / folderName;
    folders[cache::Shared] =
        Directories::directoryWithSubfolder(directories.sharedDirectoriesGet(), folderName) / folderName;
    folders[cache::User] = directories.userDirectoryGet() / folderName;
    return folders;
}

fs::path filePathGet(const LevelFolders& folders, Level level, std::string_view id) {
    return folders.at(level) / str::pathFromUtf8(cache::levelFileName(id));
}

std::vector<LevelEntry> levelEntriesGet(const LevelFolders& folders) {
    std::vector<LevelEntry> entries;
    for (const auto& [level, folder] : folders) {
        std::error_code error;
        if (!fs::is_directory(folder, error)) {
            continue;
        }
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            std::optional<std::string> id = cache::idOfLevelFileName(it->path().filename().string());
            if (!id) {
                continue;
            }
            LevelEntry entry{level, it->path(), std::move(*id), false, false, false};
            entry.boIdValid = str::boIsValidUtf8(entry.id);
            std::error_code statusError;
            const fs::file_status status = fs::status(it->path(), statusError);
            entry.boRegularFile = fs::is_regular_file(status);
            entry.boFolder = fs::is_directory(status);
            entries.push_back(std::move(entry));
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
    return bridge::classification::AdminWrapper::levelFileProblemGet(path).value_or("not a regular file");
}

std::string sIdLengthProblemGet(const LevelFolders& folders, Level level, std::string_view id, bool boWriting) {
    const fs::path& folder = folders.at(level);
    const std::size_t limit = nameLimitGet(folder);
    const std::size_t extra = cache::kLevelFileSuffix.size() + (boWriting ? cache::kTemporaryNameExtra : 0);
    const std::string head = "the id is " + std::to_string(id.size()) + " bytes long, too long for level " +
                             std::string(levelName(level)) + ": ";
    if (id.size() + extra > limit) {
        return head + (boWriting ? "its file name and the store's temporary file name" : "its file name") +
               " must fit in " + std::to_string(limit) + " bytes, which allows ids of at most " +
               std::to_string(limit > extra ? limit - extra : 0) + " bytes";
    }
    // The whole path, with its terminating zero, must fit in PATH_MAX.
    const std::size_t pathLength = folder.native().size() + 1 + id.size() + extra;
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
