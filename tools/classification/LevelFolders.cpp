#include "tools/classification/LevelFolders.h"

#include <algorithm>
#include <system_error>
#include <tuple>

#include "external/directories/Directories.h"
#include "external/str/Utf.h"

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

// The store's subfolder in every level folder, and the mapping files' suffix.
constexpr std::string_view kFolderName = "Classification";
constexpr std::string_view kSuffix = ".xml";

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
    fs::path file = folders.at(level) / str::pathFromUtf8(id);
    file += std::string(kSuffix);
    return file;
}

std::vector<LevelEntry> levelEntriesGet(const LevelFolders& folders) {
    std::vector<LevelEntry> entries;
    for (const auto& [level, folder] : folders) {
        std::error_code error;
        if (!fs::is_directory(folder, error)) {
            continue;
        }
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) {
                continue;
            }
            LevelEntry entry{level, it->path(), name.substr(0, name.size() - kSuffix.size()), false, false, false};
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

std::string pathText(const fs::path& path) { return path.string(); }

} // namespace vyr::tool
