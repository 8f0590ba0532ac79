#pragma once

// The out-of-line members of CacheWriteAccess. Included only by the one
// source file that instantiates the template for the store, so that the
// table of levels locked in this process exists once.

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/CacheWriteAccess.h"

namespace vyr::cache {
namespace detail {

// The levels that write accesses of this process hold, by the address of
// their file record (records live as long as their admin and are never
// moved). Thread-safe: guarded by its own mutex.
struct HeldLevels {
    std::mutex mutex;
    std::map<const void*, std::weak_ptr<void>> held; // guarded by mutex
};

inline HeldLevels& heldLevels() {
    static HeldLevels table;
    return table;
}

} // namespace detail

template <class Cache>
CacheWriteAccess<Cache>::~CacheWriteAccess() {
    if (fileRecords == nullptr) {
        return;
    }
    detail::HeldLevels& table = detail::heldLevels();
    for (auto& [level, entry] : lockedFiles) {
        entry.reset();
        const auto record = fileRecords->find(level);
        if (record == fileRecords->end()) {
            continue;
        }
        const std::lock_guard lock(table.mutex);
        const auto found = table.held.find(&record->second);
        if (found != table.held.end() && found->second.expired()) {
            table.held.erase(found);
        }
    }
}

template <class Cache>
bool CacheWriteAccess<Cache>::boLevelHeld(const utilities::FileRecord& record) {
    detail::HeldLevels& table = detail::heldLevels();
    const std::lock_guard lock(table.mutex);
    const auto found = table.held.find(&record);
    return found != table.held.end() && !found->second.expired();
}

template <class Cache>
bool CacheWriteAccess<Cache>::boLockable(const platform::FileProbe& found) {
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

template <class Cache>
bool CacheWriteAccess<Cache>::boLockFile(const Level& level) {
    if (boIsLocked(level)) {
        return true;
    }
    if (cache == nullptr || fileRecords == nullptr) {
        return false;
    }
    utilities::FileRecord& record = (*fileRecords)[level];
    detail::HeldLevels& table = detail::heldLevels();
    {
        // Another access of this process holds the level: share its entry.
        // Its edits may not be written yet, so the file is not read again
        // here; the first write-back merges whatever the file holds.
        const std::lock_guard lock(table.mutex);
        if (const auto found = table.held.find(&record); found != table.held.end()) {
            if (auto shared = std::static_pointer_cast<LockedFile>(found->second.lock())) {
                lockedFiles.insert_or_assign(level, std::move(shared));
                return true;
            }
        }
    }
    if (record.filePath.empty()) {
        VYR_REPORT("Level file has no path inside the level folder; not locked", kLockFunction);
        return false;
    }
    auto locked = std::make_shared<LockedFile>();
    if (const int error = locked->folder.open(levelFolderOf(record), record.filePath); error != 0) {
        if (error == ELOOP || error == EXDEV) {
            VYR_REPORT("Level path is a symbolic link or leaves the level folder; not locked", kLockFunction);
        } else {
            VYR_REPORT("Level folder cannot be opened; not locked", kLockFunction);
        }
        return false;
    }
    const std::string& name = locked->folder.nameGet();
    // What is plainly not a lockable file is refused before a lock file is
    // made beside it; the same test runs again under the lock.
    if (!boLockable(locked->folder.probe(name))) {
        return false;
    }
    int error = 0;
    bool boShared = false;
    locked->lock = platform::FileLock::acquire(locked->folder, name + std::string(platform::kLockSuffix), kLockWait,
                                               error, boShared);
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
    // A lock shared with another item's cache (a second admin in this
    // process) still reads the file into this cache: the two caches are
    // apart, and each write-back merges.
    if (!boLockable(found) || !boLockedFileRead(level, locked->folder)) {
        return false;
    }
    if (const auto present = cache->levels.find(level); present != cache->levels.end()) {
        locked->base = present->second;
    }
    {
        const std::lock_guard lock(table.mutex);
        table.held.insert_or_assign(&record, std::weak_ptr<void>(locked));
    }
    lockedFiles.insert_or_assign(level, std::move(locked));
    return true;
}

} // namespace vyr::cache
