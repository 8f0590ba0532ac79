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
#include "Source/Core/Utilities/Cache/FailureNote.h"
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
    // copy) and parsed only when a merge needs it; while the file is still
    // this version, the write-back patches these bytes rather than a second
    // copy. Empty when the edits made the level.
    std::optional<std::string> base;
    // A whole document that the holder gave for the level, written back as
    // it is (merged with other writers' changes); empty when none.
    std::optional<std::string> document;
    // Why the item's id is too long to write at this level (the id-length
    // rule), asked of the file system at the first edit under this lock;
    // empty when it fits.
    std::optional<std::string> idLengthProblem;
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
    // A live or expired lock entry and the record it locks.
    struct Held {
        std::weak_ptr<void> entry;
        const void* record = nullptr;
    };
    std::mutex mutex;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Held> held;        // guarded by mutex
    std::map<const void*, std::pair<std::uint64_t, std::uint64_t>> keys; // guarded by mutex
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
    // The key of a lock that has gone may name another record's lock by
    // now: a lock file made again can get the old one's inode.
    const auto entry = table.held.find(key->second);
    const bool boOwn = entry != table.held.end() && entry->second.record == record;
    std::shared_ptr<void> alive = boOwn ? entry->second.entry.lock() : nullptr;
    if (alive == nullptr) {
        if (boOwn) {
            table.held.erase(entry);
        }
        table.keys.erase(key);
    }
    return alive;
}

// The one place where a lock refused for what stands at the level path is
// told: reports and notes the refusal (`error` is the errno value of a
// status that cannot be read). True when nothing is refused.
inline bool boLockRefusalNote(LockRefusal refusal, int error, const char* function, Failure& failed) {
    switch (refusal) {
    case LockRefusal::None:
        return true;
    case LockRefusal::SymbolicLink:
        VYR_FAIL(failed, Link, "Level path is a symbolic link or leaves the level folder; not locked", {}, function);
        return false;
    case LockRefusal::SeveralNames:
        VYR_FAIL(failed, SeveralLinks, "Level file has several hard links; not locked", {}, function);
        return false;
    case LockRefusal::NotAFile:
        VYR_FAIL(failed, NotRegularFile, "Level path is not a regular file; not locked", {}, function);
        return false;
    case LockRefusal::NoStatus:
        VYR_FAIL_ERRNO(failed, "Level path cannot be looked at", error, "; not locked", function);
        return false;
    }
    return false;
}

// Reports and notes a lock that could not be had, by the errno value of
// FileLock::acquire.
inline void vLockFailureNote(int error, const char* function, Failure& failed) {
    switch (error) {
    case EWOULDBLOCK:
        VYR_FAIL(failed, Busy, "Level file is locked by another process", {}, function);
        break;
    case ELOOP:
    case EXDEV:
        (void)boLockRefusalNote(LockRefusal::SymbolicLink, 0, function, failed);
        break;
    case EINVAL:
        VYR_FAIL(failed, NotRegularFile, "Lock file is not a regular file; not locked", {}, function);
        break;
    default:
        VYR_FAIL_ERRNO(failed, "Level file cannot be locked", error, "", function);
        break;
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
        const std::optional<ParsedFileName> parsed = parseFileName(name);
        if (parsed && parsed->type == FileType::Temporary && levelFileName(parsed->id) == folder.nameGet()) {
            if (const int error = folder.remove(name); error != 0 && error != ENOENT) {
                VYR_REPORT_ERRNO("Stale temporary file cannot be removed", error, "", kLockFunction);
            }
        }
    }
}

} // namespace detail

// Not inline: this header is compiled once, with the lock table.
LockRefusal lockRefusalOf(const platform::FileProbe& found) noexcept {
    switch (found.kind) {
    case platform::FileKind::Missing:
        return LockRefusal::None;
    case platform::FileKind::Regular:
        return found.links > 1 ? LockRefusal::SeveralNames : LockRefusal::None;
    case platform::FileKind::Link:
        return LockRefusal::SymbolicLink;
    case platform::FileKind::Unknown:
        return LockRefusal::NoStatus;
    default:
        return LockRefusal::NotAFile;
    }
}

LockRefusal lockRefusalGet(const std::filesystem::path& base, const std::filesystem::path& file) {
    platform::Folder folder;
    if (const int error = folder.open(base, file); error != 0) {
        return error == ELOOP || error == EXDEV ? LockRefusal::SymbolicLink
               : error == ENOENT                ? LockRefusal::None
                                                : LockRefusal::NoStatus;
    }
    return lockRefusalOf(folder.probe(folder.nameGet()));
}

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
CacheWriteAccess<Cache>::lockEntryGet(utilities::FileRecord& record, const char* function, bool& boHeld,
                                      Failure& failed) {
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
        VYR_FAIL(failed, NoFile, "Level file has no path inside the level folder; not locked", {}, function);
        return nullptr;
    }
    auto locked = std::make_shared<LockedFile>();
    if (const int error = locked->folder.open(levelFolderOf(record), record.filePath); error != 0) {
        if (error == ELOOP || error == EXDEV) {
            (void)detail::boLockRefusalNote(LockRefusal::SymbolicLink, 0, function, failed);
        } else {
            VYR_FAIL_ERRNO(failed, "Level folder cannot be opened", error, "; not locked", function);
        }
        return nullptr;
    }
    const std::string& name = locked->folder.nameGet();
    // What is plainly not a lockable file is refused before a lock file is
    // made beside it. A second name may be a publication by hard link that
    // was cut short, which the lock mends; a status that cannot be read is
    // looked at again under the lock.
    const platform::FileProbe found = locked->folder.probe(name);
    if (const LockRefusal refusal = lockRefusalOf(found);
        refusal == LockRefusal::SymbolicLink || refusal == LockRefusal::NotAFile) {
        (void)detail::boLockRefusalNote(refusal, found.error, function, failed);
        return nullptr;
    }
    int error = 0;
    int keepError = 0;
    locked->lock = platform::FileLock::acquire(locked->folder, lockFileName(name), name, kLockWait, error, keepError);
    if (locked->lock == nullptr) {
        detail::vLockFailureNote(error, function, failed);
        return nullptr;
    }
    if (keepError != 0) {
        VYR_REPORT_ERRNO("Lock file cannot be given the level folder's group and bits", keepError, "", function);
    }
    detail::vStaleTemporariesRemove(locked->folder);
    {
        const std::lock_guard lock(table.mutex);
        const auto key = locked->lock->identityGet();
        table.held.insert_or_assign(key, detail::HeldLocks::Held{std::weak_ptr<void>(locked), &record});
        table.keys.insert_or_assign(&record, key);
    }
    return locked;
}

template <class Cache>
bool CacheWriteAccess<Cache>::boLockFile(const Level& level) {
    vFailureClear(failure);
    if (boIsLocked(level)) {
        return true;
    }
    if (cache == nullptr || fileRecords == nullptr) {
        vFailureNote(failure, FailureKind::NotLocked, "Write access was moved from; not locked", {}, 0, {});
        failure.level = level;
        return false;
    }
    utilities::FileRecord& record = (*fileRecords)[level];
    const bool boLocked = boLevelLock(level, record);
    vFailureTargetSet(failure, level, record.filePath);
    return boLocked;
}

template <class Cache>
bool CacheWriteAccess<Cache>::boLevelLock(const Level& level, utilities::FileRecord& record) {
    bool boHeld = false;
    std::shared_ptr<LockedFile> locked = lockEntryGet(record, detail::kLockFunction, boHeld, failure);
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
            // The creation's own failure, noted first, is the cause.
            VYR_FAIL(failure, NoFile, "Level file cannot be created; not locked", {}, detail::kLockFunction);
            return false;
        }
        if (!detail::boLockRefusalNote(lockRefusalOf(found), found.error, detail::kLockFunction, failure) ||
            !boLockedFileRead(level, *locked)) {
            return false;
        }
    }
    lockedFiles.insert_or_assign(level, std::move(locked));
    return true;
}

} // namespace vyr::cache
