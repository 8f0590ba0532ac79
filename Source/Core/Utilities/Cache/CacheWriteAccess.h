#pragma once

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "assert/Check.h"
#include "external/platform/FileSystem.h"

namespace vyr::cache {

// How long boLockFile waits for another process to let a level file go.
inline constexpr std::chrono::milliseconds kLockWait{3000};

// The folder that a record's file counts as lying in: its level folder, or
// the file's own folder for a record made without one.
[[nodiscard]] inline std::filesystem::path levelFolderOf(const utilities::FileRecord& record) {
    return record.levelFolder.empty() ? record.filePath.parent_path() : record.levelFolder;
}

// The generic half of a write access to one cached item: the lock table of
// its levels. Points at the item's cache and file records in the admin
// without owning them (both live as long as the admin); owns one lock entry
// per locked level. Thread-compatible: one thread at a time, and not while
// another thread runs admin operations on the same item. Movable, never
// copied.
template <class Cache>
class CacheWriteAccess {
public:
    using Records = std::map<Level, utilities::FileRecord>;
    using Mapping = typename decltype(std::declval<Cache&>().levels)::mapped_type;

    // One locked level: the lock between processes on the level file, the
    // open folder that holds the file (reached once, without links), and the
    // level's mapping as the store last read or wrote it under this lock,
    // against which the edits are told apart when the file must be merged
    // at write-back.
    struct LockedFile {
        std::shared_ptr<platform::FileLock> lock;
        platform::Folder folder;
        std::optional<Mapping> base;
    };

    CacheWriteAccess(Cache* cachePointer, Records* records) noexcept : cache(cachePointer), fileRecords(records) {}
    CacheWriteAccess(CacheWriteAccess&& other) noexcept
        : cache(std::exchange(other.cache, nullptr)), fileRecords(std::exchange(other.fileRecords, nullptr)),
          lockedFiles(std::exchange(other.lockedFiles, {})) {}
    CacheWriteAccess(const CacheWriteAccess&) = delete;
    CacheWriteAccess& operator=(const CacheWriteAccess&) = delete;
    CacheWriteAccess& operator=(CacheWriteAccess&&) = delete;

    // Releases every lock; writes nothing back.
    virtual ~CacheWriteAccess();

    // Makes the level's file when it is missing.
    virtual void vCreateFileIfNotAtLevel(const Level& level) = 0;
    // Whether this access only reads. Nothing in the store asks.
    [[nodiscard]] virtual bool boIsReadOnly() const = 0;
    // Brings the cache up to the level file found under the lock: reads it
    // again when it is not the version last read or written. False when it
    // cannot be read as a mapping; it must then not be written over.
    [[nodiscard]] virtual bool boLockedFileRead(const Level& level, const platform::Folder& folder) = 0;

    // Locks the level for this access until it is destroyed: takes an
    // exclusive lock that other processes respect (on the lock file beside
    // the level file; waits up to kLockWait for another process), makes a
    // missing level file, and reads the file again when it changed since the
    // store last read or wrote it. Refused (false, one report) when the path
    // or a folder below the level folder is a link, the file is not a
    // regular file, has several hard links or does not read, or the lock
    // cannot be had. A level already locked by this access stays locked;
    // another access of this process that locks the same level of the same
    // item shares the lock entry, and with it the merge base.
    [[nodiscard]] bool boLockFile(const Level& level);

    // Whether some write access of this process holds the level of the
    // record locked. Its file is then not read into the cache behind the
    // holder's back: the holder's write-back merges whatever it finds.
    [[nodiscard]] static bool boLevelHeld(const utilities::FileRecord& record);

protected:
    static constexpr const char* kLockFunction =
        "vyr::cache::CacheWriteAccess<class vyr::classification::CacheLevels<enum vyr::cache::Level> >::boLockFile";

    // A level counts as locked when its entry holds a lock.
    [[nodiscard]] bool boIsLocked(const Level& level) const {
        const auto found = lockedFiles.find(level);
        return found != lockedFiles.end() && found->second != nullptr;
    }

    Cache* cache;
    Records* fileRecords;
    // Shared with the other accesses of this process that lock the same
    // level of the same item.
    std::map<Level, std::shared_ptr<LockedFile>> lockedFiles;

private:
    static bool boLockable(const platform::FileProbe& found);
};

} // namespace vyr::cache
