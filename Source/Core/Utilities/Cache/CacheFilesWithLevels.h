#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <system_error>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "assert/Check.h"
#include "external/str/Utf.h"

namespace vyr::utilities {

// Whether the id names a file inside its level folder once joined to it.
// Refused: an empty id, a NUL byte, an absolute or rooted path, a drive
// prefix (an ASCII letter and ':'; "1:x" is an ordinary id), a ".." component, and a last component that is empty or "."
// (with '/' or '\' as separators). Such an id would read or write outside
// the folder, or another file than the one named (the file names made for
// reading and for creating would differ).
[[nodiscard]] inline bool boIdStaysInFolder(std::string_view id) noexcept {
    if (id.empty() || id.find('\0') != std::string_view::npos) {
        return false;
    }
    const bool boDrivePrefix = id.size() >= 2 && id[1] == ':' &&
                               ((id[0] >= 'A' && id[0] <= 'Z') || (id[0] >= 'a' && id[0] <= 'z'));
    if (id.front() == '/' || id.front() == '\\' || boDrivePrefix) {
        return false;
    }
    std::size_t start = 0;
    while (start <= id.size()) {
        const std::size_t end = id.find_first_of("/\\", start);
        const std::string_view component =
            id.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (component == "..") {
            return false;
        }
        if (end == std::string_view::npos) {
            return !component.empty() && component != ".";
        }
        start = end + 1;
    }
    return true;
}

// Knows the folder of each level and the file record of each item at each
// level. Owns both maps. Has no lock of its own: its operations run in the
// admin's constructor or inside admin operations, which say whether they
// hold the admin's mutex. Derived classes supply the file extension and the
// parsing of one file into the cache.
template <class Cache, class Level>
class CacheFilesAtLevels {
public:
    using Records = std::map<Level, FileRecord>;

    // The extension of the mapping files, without a dot.
    [[nodiscard]] virtual std::filesystem::path extension() const = 0;
    // Parses one file's content into the cache at the level.
    [[nodiscard]] virtual bool boReadFromStream(std::istream& stream, const Level& level, Cache& cache) = 0;

    // A copy of the level's folder; reported and empty when it has none.
    [[nodiscard]] std::filesystem::path path(const Level& level) const {
        const auto found = folders.find(level);
        VYR_ASSERT(found != folders.end(), "No path found at given level",
                   "vyr::utilities::CacheFilesAtLevels<class vyr::classification::CacheLevels<enum "
                   "vyr::cache::Level>,enum vyr::cache::Level>::path");
        return found == folders.end() ? std::filesystem::path() : found->second;
    }

    void vPathSet(const std::filesystem::path& folder, const Level& level) { folders.insert_or_assign(level, folder); }

    // Creates the level's folder with its missing parents when it does not
    // exist. Errors of the creation are discarded; a folder that still is not
    // there is reported.
    void vCreateFolderIfNotAtLevel(const Level& level) {
        const std::filesystem::path folder = path(level);
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(folder, error);
        if (error || !std::filesystem::exists(status)) {
            std::error_code ignored;
            std::filesystem::create_directories(folder, ignored);
        }
        VYR_ASSERT(std::filesystem::is_directory(folder, error), "Didn't manage to create folder",
                   "vyr::utilities::CacheFilesAtLevels<class vyr::classification::CacheLevels<enum "
                   "vyr::cache::Level>,enum vyr::cache::Level>::vCreateFolderIfNotAtLevel");
    }

    // The file records of the id, inserted empty when there are none. The
    // reference stays valid as long as this object: entries are never removed.
    Records& filesGet(std::string_view id) {
        const auto found = files.find(id);
        if (found != files.end()) {
            return found->second;
        }
        return files.try_emplace(std::string(id)).first->second;
    }

    // The path of the id's file at the level: the level folder joined with
    // the level file name (FileNames.h: the id, a dot and the extension, so
    // the id a.b gives a.b.xml). Empty when the id would leave the folder.
    // Throws std::system_error when the id is not valid UTF-8.
    [[nodiscard]] std::filesystem::path filePathAt(std::string_view id, const Level& level) const {
        std::filesystem::path name = str::pathFromUtf8(cache::levelFileName(id, extension().native()));
        return boIdStaysInFolder(id) ? path(level) / name : std::filesystem::path();
    }

    // Computes and stores the id's file path at the level (filePathAt)
    // unless one is stored. Throws std::system_error when the id is not
    // valid UTF-8. An id that would leave the folder gets no path.
    void vFilePathEnsure(std::string_view id, const Level& level) {
        const auto known = files.find(id);
        if (known != files.end()) {
            const auto record = known->second.find(level);
            if (record != known->second.end() && !record->second.filePath.empty()) {
                return;
            }
        }
        // Converted before anything is inserted: an id that is not valid
        // UTF-8 throws and leaves the records as they were.
        const std::filesystem::path name = str::pathFromUtf8(cache::levelFileName(id, extension().native()));
        FileRecord& record = filesGet(id)[level];
        if (!boIdStaysInFolder(id)) {
            return;
        }
        std::filesystem::path folder = path(level);
        record.filePath = folder / name;
        record.levelFolder = std::move(folder);
    }

    // Sets lastWrite of the record at the level to its file's last-write
    // time (see utilities::vLastWriteUpdate).
    static void vLastWriteUpdate(Records& records, const Level& level) { utilities::vLastWriteUpdate(records, level); }

    std::map<Level, std::filesystem::path> folders;
    std::map<std::string, Records, std::less<>> files;

protected:
    CacheFilesAtLevels() = default;
    CacheFilesAtLevels(const CacheFilesAtLevels&) = delete;
    CacheFilesAtLevels& operator=(const CacheFilesAtLevels&) = delete;
    // Not virtual: the admin is destroyed through its query interface.
    ~CacheFilesAtLevels() = default;
};

} // namespace vyr::utilities
