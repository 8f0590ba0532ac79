#pragma once

// The lock entry of a write access and the out-of-line members of
// CacheWriteAccess. Included only by the one source file that instantiates
// the template for the store, so that the table of locks held in this
// process exists once.

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Source/Core/Utilities/Cache/CacheWriteAccess.h"
#include "Source/Core/Utilities/Cache/FileNames.h"
#include "assert/Check.h"
#include "external/platform/FileSystem.h"

namespace vyr::cache {

template <class Cache>
struct CacheWriteAccess<Cache>::LockedFile {
    std::unique_ptr<platform::FileLock> lock;
    platform::Folder folder;
    // The level file as read under the lock or as last written back: the
    // base against which the edits are told apart when another writer
    // changed the file. Kept as the document's bytes (one block, cheap to
    // copy) and parsed only when a merge needs it; empty with boBase false
    // when the edits made the level.
    std::string base;
    bool boBase = false;
    // A whole document that the holder gave for the level, written back as
    // it is (merged with other writers' changes); empty when none.
    std::string document;
    bool boDocumentGiven = false;
    // The last write-back succeeded, and the cache's change count it left.
    bool boWritten = false;
    std::uint64_t writtenChangeCount = 0;
};

namespace detail {

inline constexpr const char* kLockFunction =
    "vyr::cache::CacheWriteAccess<class vyr::classification::CacheLevels<enum vyr::cache::Level> >::boLockFile";

// The locks that write accesses of this process hold, by the identity of
// their lock files, each entry naming the file record it locks. Accesses of
// one admin that lock the same level share the entry; another admin of the
// process takes its own lock, which then waits like any other holder.
// Thread-safe: guarded by its own mutex.
struct HeldLocks {
    std::mutex mutex;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::weak_ptr<void>> held; // guarded by mutex
    std::map<const void*, std::pair<std::uint64_t, std::uint64_t>> keys;         // guarded by mutex
};

inline HeldLocks& heldLocks() {
    static HeldLocks table;
    return table;
}

// The live entry that locks the record, or null. Drops expired ones.
// Requires: the table's mutex is held.
inline std::shared_ptr<void> heldEntryFind(HeldLocks& table, const void* record) {
    const auto key = table.keys.find(record);
    if (key == table.keys.end()) {
        return nullptr;
    }
    const auto entry = table.held.find(key->second);
    std::shared_ptr<void> alive = entry == table.held.end() ? nullptr : entry->second.lock();
    if (alive == nullptr) {
        if (entry != table.held.end()) {
            table.held.erase(entry);
        }
        table.keys.erase(key);
    }
    return alive;
}

// Reports a refused lock, naming the reason.
inline void vLockRefusalReport(int error) {
    switch (error) {
    case EWOULDBLOCK:
        VYR_REPORT("Level file is locked by another process", kLockFunction);
        break;
    case ELOOP:
    case EXDEV:
        VYR_REPORT("Level path is a symbolic link or leaves the level folder; not locked", kLockFunction);
        break;
    case EINVAL:
        VYR_REPORT("Lock file is not a regular file; not locked", kLockFunction);
        break;
    default:
        VYR_REPORT_ERRNO("Level file cannot be locked", error, "", kLockFunction);
        break;
    }
}

// Whether what is at the level path may be locked; reports why not.
inline bool boLockable(const platform::FileProbe& found) {
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
    case platform::FileKind::Unknown:
        VYR_REPORT_ERRNO("Level path cannot be looked at", found.error, "; not locked", kLockFunction);
        return false;
    default:
        VYR_REPORT("Level path is not a regular file; not locked", kLockFunction);
        return false;
    }
}

// Removes the temporary files of the level file: every writer holds the
// lock while its temporary file exists, so under the lock none belongs to a
// live writer. This also takes back the second name of a level file whose
// publication by a hard link was cut short.
inline void vStaleTemporariesRemove(const platform::Folder& folder) {
    std::vector<std::string> names;
    if (folder.namesGet(names) != 0) {
        return;
    }
    for (const std::string& name : names) {
        if (levelFileOfTemporary(name) == folder.nameGet()) {
            if (const int error = folder.remove(name); error != 0 && error != ENOENT) {
                VYR_REPORT_ERRNO("Stale temporary file cannot be removed", error, "", kLockFunction);
            }
        }
    }
}

} // namespace detail

template <class Cache>
CacheWriteAccess<Cache>::~CacheWriteAccess() = default;

template <class Cache>
bool CacheWriteAccess<Cache>::boLevelHeld(const utilities::FileRecord& record) {
    detail::HeldLocks& table = detail::heldLocks();
    const std::lock_guard lock(table.mutex);
    return detail::heldEntryFind(table, &record) != nullptr;
}

template <class Cache>
std::shared_ptr<typename CacheWriteAccess<Cache>::LockedFile>
CacheWriteAccess<Cache>::lockEntryGet(utilities::FileRecord& record, const char* function, bool& boHeld) {
    detail::HeldLocks& table = detail::heldLocks();
    {
        const std::lock_guard lock(table.mutex);
        if (auto held = detail::heldEntryFind(table, &record)) {
            boHeld = true;
            return std::static_pointer_cast<LockedFile>(std::move(held));
        }
    }
    boHeld = false;
    if (record.filePath.empty()) {
        VYR_REPORT("Level file has no path inside the level folder; not locked", function);
        return nullptr;
    }
    auto locked = std::make_shared<LockedFile>();
    if (const int error = locked->folder.open(levelFolderOf(record), record.filePath); error != 0) {
        if (error == ELOOP || error == EXDEV) {
            VYR_REPORT("Level path is a symbolic link or leaves the level folder; not locked", function);
        } else {
            VYR_REPORT_ERRNO("Level folder cannot be opened", error, "; not locked", function);
        }
        return nullptr;
    }
    const std::string& name = locked->folder.nameGet();
    // What is plainly not a lockable file is refused before a lock file is
    // made beside it.
    const platform::FileProbe found = locked->folder.probe(name);
    if (found.kind == platform::FileKind::Link || found.kind == platform::FileKind::Folder ||
        found.kind == platform::FileKind::Other) {
        (void)detail::boLockable(found);
        return nullptr;
    }
    int error = 0;
    int keepError = 0;
    locked->lock = platform::FileLock::acquire(locked->folder, lockFileName(name), name, kLockWait, error, keepError);
    if (locked->lock == nullptr) {
        detail::vLockRefusalReport(error);
        return nullptr;
    }
    if (keepError != 0) {
        VYR_REPORT_ERRNO("Lock file cannot be given the level folder's group and bits", keepError, "", function);
    }
    detail::vStaleTemporariesRemove(locked->folder);
    {
        const std::lock_guard lock(table.mutex);
        const auto key = locked->lock->identityGet();
        table.held.insert_or_assign(key, std::weak_ptr<void>(locked));
        table.keys.insert_or_assign(&record, key);
    }
    return locked;
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
    bool boHeld = false;
    std::shared_ptr<LockedFile> locked = lockEntryGet(record, detail::kLockFunction, boHeld);
    if (locked == nullptr) {
        return false;
    }
    // Another access of this process holds the level: its edits may not be
    // written yet, so the file is not read again here; the write-backs
    // merge whatever the file holds.
    if (!boHeld) {
        const std::string& name = locked->folder.nameGet();
        if (locked->folder.probe(name).kind == platform::FileKind::Missing) {
            vCreateFileIfNotAtLevel(level);
        }
        const platform::FileProbe found = locked->folder.probe(name);
        if (found.kind == platform::FileKind::Missing) {
            VYR_REPORT("Level file cannot be created; not locked", detail::kLockFunction);
            return false;
        }
        if (!detail::boLockable(found) || !boLockedFileRead(level, *locked)) {
            return false;
        }
    }
    lockedFiles.insert_or_assign(level, std::move(locked));
    return true;
}

} // namespace vyr::cache
