#pragma once

#include <string>

#include "Source/Core/Utilities/Cache/CacheWriteAccess.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "external/platform/Export.h"

namespace vyr::cache {
extern template class VYR_EXPORT CacheWriteAccess<classification::CacheLevels<Level>>;
} // namespace vyr::cache

namespace vyr::classification {

// Write access to one classification, handed out by the admin
// (AdminWrapper::writeAccessGet). Points at the classification's level cache
// and file records in the admin without owning them; owns the locks of the
// levels it locked.
//
// Threads: holds no lock of the store and its edits take none: a write
// access belongs to one thread and must not overlap queries on the same
// classification (other classifications may be queried meanwhile). Two write
// accesses of one process, for one classification, share its cache and may
// lock the same level; each writes back the levels it locked.
//
// Locking a level (boLockFile, declared in the base): takes an exclusive lock
// that other processes respect (an open-file-description record lock on
// <file>.lock beside the level file; works on network file systems that
// support POSIX record locks), held until this object is destroyed. Waits a
// few seconds for another process's lock, then returns false. Re-reads the
// level file when it changed since the store last read or wrote it; false
// when the file exists but does not read, is a symbolic link, has several
// hard links or is not a regular file. A missing file is made from the
// highest cached level's header (texts and flags, no pairs).
//
// Edits apply to the cache and the merged view at once. The write-back
// happens when this object is destroyed: each locked level is written to a
// temporary file, synced and renamed over the level file, so the file is
// always either the old or the new document. If another program replaced the
// level file meanwhile, it is read again and the edits made since the lock
// are applied on top of it, pair by pair. A refused lock, a failed write-back and an edit
// whose ids the file format cannot hold show as assertion records
// (vyr::assert::Assert).
class VYR_EXPORT WriteAccess : public cache::CacheWriteAccess<CacheLevels<cache::Level>> {
public:
    using Level = cache::Level;

    WriteAccess(CacheLevels<Level>* cachePointer, Records* records) noexcept
        : CacheWriteAccess(cachePointer, records) {}
    WriteAccess(WriteAccess&&) noexcept = default;

    // Writes every locked level that the cache holds back into its file,
    // in ascending level order, then releases the locks. A failure is
    // reported and leaves the file as it was.
    ~WriteAccess() override;

    // Add or set a pair at a locked level, creating the level from the
    // lowest present one when the cache lacks it. False, and no change, when
    // the level is not locked or the file format cannot hold the ids
    // (reported).
    [[nodiscard]] bool boAddMapping(const std::string& sourceId, const std::string& classifiedId, Level level);
    [[nodiscard]] bool boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level);
    // Removals at a locked level; they never create a level.
    void vMappingRemove(const std::string& sourceId, const std::string& classifiedId, Level level);
    void vMappedToSourceRemove(const std::string& sourceId, Level level);
    void vMappedToClassifiedRemove(const std::string& classifiedId, Level level);
    // Unlists the source id at a locked level, so that the lower levels
    // decide it again; never creates a level.
    void vMappedToSourceInherit(const std::string& sourceId, Level level);

    // Makes the level's missing file from the highest cached level's header
    // (texts and flags, no pairs). Never replaces anything that exists at
    // the path, nor anything that appears there meanwhile. Does not rebuild
    // the merged view.
    void vCreateFileIfNotAtLevel(const Level& level) override;

    [[nodiscard]] bool boIsReadOnly() const override { return false; }

    [[nodiscard]] bool boLockedFileRead(const Level& level, const platform::Folder& folder) override;

private:
    void vWriteBack(Level level, LockedFile& locked, bool boShared);
};

} // namespace vyr::classification
