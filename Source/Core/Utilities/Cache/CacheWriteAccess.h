#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "Source/Core/Utilities/Cache/Failure.h"
#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "Source/Core/Utilities/Cache/Level.h"

namespace vyr::platform {
struct FileProbe;
} // namespace vyr::platform

namespace vyr::cache {

// Why a write access refuses to lock what is at a level path. NoStatus:
// the status of the path cannot be read.
enum class LockRefusal { None, SymbolicLink, SeveralNames, NotAFile, NoStatus };

// The rule by which a lock refuses what is at a level path: a symbolic
// link, a regular file with more than one hard link, anything else that is
// not a regular file. None for a regular file of one name and for nothing
// (a lock makes the file). Defined with the lock table.
[[nodiscard]] LockRefusal lockRefusalOf(const platform::FileProbe& found) noexcept;

// The one look at a level path by that rule, as a lock takes it: the file's
// folder opened from `base` without following a link (a link on the way, or
// a path outside `base`, is SymbolicLink), then the name's status in it.
// Opens no file and takes no lock.
[[nodiscard]] LockRefusal lockRefusalGet(const std::filesystem::path& base, const std::filesystem::path& file);

// How long a lock waits for another holder of a level file to let it go.
inline constexpr std::chrono::milliseconds kLockWait{3000};

// The folder that a record's file counts as lying in: its level folder, or
// the file's own folder for a record made without one.
[[nodiscard]] inline std::filesystem::path levelFolderOf(const utilities::FileRecord& record) {
    return record.levelFolder.empty() ? record.filePath.parent_path() : record.levelFolder;
}

// The generic half of a write access to one cached item: the lock table of
// its levels, and why its last operation failed (owned). Points at the
// item's cache and file records in the admin without owning them (both live
// as long as the admin); shares one lock entry per locked level with the
// other accesses of this process that lock the same level of the same item.
// Thread-compatible: one thread at a time, and not while another thread
// runs admin operations on the same item. Movable, never copied.
template <class Cache>
class CacheWriteAccess {
public:
    using Records = std::map<Level, utilities::FileRecord>;

    // One locked level: the lock between processes, the open level folder,
    // and the level as this store last read or wrote it under the lock (the
    // base against which the edits are told apart when another writer
    // changed the file). Defined inside the library.
    struct LockedFile;

    CacheWriteAccess(Cache* cachePointer, Records* records) noexcept : cache(cachePointer), fileRecords(records) {}
    CacheWriteAccess(CacheWriteAccess&& other) noexcept
        : cache(std::exchange(other.cache, nullptr)), fileRecords(std::exchange(other.fileRecords, nullptr)),
          lockedFiles(std::exchange(other.lockedFiles, {})), failure(std::exchange(other.failure, {})) {}
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
    [[nodiscard]] virtual bool boLockedFileRead(const Level& level, LockedFile& locked) = 0;

    // Locks the level for this access until it is destroyed: takes an
    // exclusive lock that other processes respect (waits up to kLockWait for
    // another holder), removes temporary files of the level file that no
    // live writer can own, makes a missing level file, and reads the file
    // again when it changed since the store last read or wrote it. Refused
    // (false, one report with the reason) when the path or a folder below
    // the level folder is a link, the file is not a regular file, has
    // several hard links or does not read, or the lock cannot be had; the
    // reason is then also in failureGet(). A level already locked by this
    // access stays locked; another access of this process that locks the
    // same level of the same item shares the lock entry, and with it the
    // base.
    [[nodiscard]] bool boLockFile(const Level& level);

    // Why the last operation of this access that can fail failed: its
    // level, file, what failed and the reason. Emptied when such an
    // operation starts, so it is empty after one that succeeded. Valid until
    // the next operation of this access.
    [[nodiscard]] const Failure& failureGet() const noexcept { return failure; }

    // Whether some write access of this process holds the level of the
    // record locked. Its file is then not read into the cache behind the
    // holder's back: the holder's write-back merges whatever it finds.
    [[nodiscard]] static bool boLevelHeld(const utilities::FileRecord& record);

protected:
    // A level counts as locked when its entry holds a lock.
    [[nodiscard]] bool boIsLocked(const Level& level) const {
        const auto found = lockedFiles.find(level);
        return found != lockedFiles.end() && found->second != nullptr;
    }

    // The lock entry of the record's level: the one a write access of this
    // process holds (boHeld set), or one taken now. Null on failure,
    // reported with the reason under `function` and noted in `failed`.
    [[nodiscard]] static std::shared_ptr<LockedFile> lockEntryGet(utilities::FileRecord& record,
                                                                  const char* function, bool& boHeld,
                                                                  Failure& failed);

    Cache* cache;
    Records* fileRecords;
    std::map<Level, std::shared_ptr<LockedFile>> lockedFiles;
    // Why the last operation failed; empty after one that succeeded.
    Failure failure;

private:
    // The work of boLockFile on the level's record; notes its failure.
    [[nodiscard]] bool boLevelLock(const Level& level, utilities::FileRecord& record);
};

} // namespace vyr::cache
