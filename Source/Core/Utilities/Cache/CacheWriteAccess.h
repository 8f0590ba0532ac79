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
    // level's mapping as it was when the lock was taken, against which the
    // edits are told apart when the file must be merged at write-back.
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
    virtual ~CacheWriteAccess() = default;

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
    // another access of this process may lock the same level (the holders
    // share the lock).
    [[nodiscard]] bool boLockFile(const Level& level) {
        if (boIsLocked(level)) {
            return true;
        }
        if (cache == nullptr || fileRecords == nullptr) {
            return false;
        }
        const utilities::FileRecord record = (*fileRecords)[level];
        if (record.filePath.empty()) {
            VYR_REPORT("Level file has no path inside the level folder; not locked", kLockFunction);
            return false;
        }
        auto locked = std::make_unique<LockedFile>();
        if (const int error = locked->folder.open(levelFolderOf(record), record.filePath); error != 0) {
            if (error == ELOOP || error == EXDEV) {
                VYR_REPORT("Level path is a symbolic link or leaves the level folder; not locked", kLockFunction);
            } else {
                VYR_REPORT("Level folder cannot be opened; not locked", kLockFunction);
            }
            return false;
        }
        const std::string& name = locked->folder.nameGet();
        // What is plainly not a lockable file is refused before a lock file
        // is made beside it; the same test runs again under the lock.
        if (!boLockable(locked->folder.probe(name))) {
            return false;
        }
        int error = 0;
        bool boShared = false;
        locked->lock = platform::FileLock::acquire(locked->folder, name + std::string(platform::kLockSuffix),
                                                   kLockWait, error, boShared);
        if (locked->lock == nullptr) {
            if (error == EWOULDBLOCK) {
                VYR_REPORT("Level file is locked by another process", kLockFunction);
            } else if (error == ELOOP) {
                VYR_REPORT("Level path is a symbolic link or leaves the level folder; not locked", kLockFunction);
            } else {
                VYR_REPORT("Lock file cannot be opened; not locked", kLockFunction);
            }
            return false;
        }
        if (locked->folder.probe(name).kind == platform::FileKind::Missing) {
            vCreateFileIfNotAtLevel(level);
        }
        const platform::FileProbe found = locked->folder.probe(name);
        if (found.kind == platform::FileKind::Missing) {
            VYR_REPORT("Level file cannot be created; not locked", kLockFunction);
            return false;
        }
        if (!boLockable(found)) {
            return false;
        }
        // A holder of the same lock in this process may have edits that are
        // not written yet: its write-back merges whatever the file holds, so
        // only the first holder brings the cache up to the file.
        if (!boShared && !boLockedFileRead(level, locked->folder)) {
            return false;
        }
        if (const auto present = cache->levels.find(level); present != cache->levels.end()) {
            locked->base = present->second;
        }
        lockedFiles.insert_or_assign(level, std::move(locked));
        return true;
    }

protected:
    static constexpr const char* kLockFunction =
        "vyr::cache::CacheWriteAccess<class vyr::classification::CacheLevels<enum vyr::cache::Level> >::boLockFile";

    // Whether what is at a level path may be locked and written: a missing
    // file (it is made) or a regular file with one link. Reports a refusal.
    static bool boLockable(const platform::FileProbe& found) {
        switch (found.kind) {
        case platform::FileKind::Missing:
            return true;
        case platform::FileKind::Regular:
            if (found.links > 1) {
                VYR_REPORT("Level file has several hard links; not locked", kLockFunction);
                return false;
            }
            return true;
        case platform::FileKind::Link:
            VYR_REPORT("Level path is a symbolic link or leaves the level folder; not locked", kLockFunction);
            return false;
        default:
            VYR_REPORT("Level path is not a regular file; not locked", kLockFunction);
            return false;
        }
    }

    // A level counts as locked when its entry holds a lock.
    [[nodiscard]] bool boIsLocked(const Level& level) const {
        const auto found = lockedFiles.find(level);
        return found != lockedFiles.end() && found->second != nullptr;
    }

    Cache* cache;
    Records* fileRecords;
    std::map<Level, std::unique_ptr<LockedFile>> lockedFiles;
};

} // namespace vyr::cache
