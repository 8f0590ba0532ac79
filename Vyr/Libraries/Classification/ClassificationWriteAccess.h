#pragma once

#include <string>
#include <string_view>

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
// and file records in the admin without owning them; owns its share of the
// locks of the levels it locked.
//
// Threads: holds no lock of the store and its edits take none: a write
// access belongs to one thread and must not overlap queries on the same
// classification (other classifications may be queried meanwhile). Two write
// accesses of one process, for one classification, share its cache and may
// lock the same level; each writes back the levels it locked.
//
// Locking a level (boLockFile, declared in the base): takes an exclusive lock
// that other processes respect (an open-file-description record lock on
// <file>.lock beside the level file, checked to be the file still at that
// name, plus a mark on the level file itself; works on network file systems
// that support POSIX record locks), held until this object is destroyed.
// Waits a few seconds for another holder, then returns false. Removes
// temporary files that killed writers left. Re-reads the level file when it
// changed since the store last read or wrote it; false when the file exists
// but does not read, is a symbolic link, has several hard links or is not a
// regular file. A missing file is made from the highest cached level's
// header (texts and flags, no pairs).
//
// Edits apply to the cache and the merged view at once. The write-back
// happens when this object is destroyed: each locked level is written to a
// temporary file that keeps the old file's owner, group, permission bits and
// extended attributes, synced and renamed over the level file, so the file
// is always either the old or the new document. The new document is the old
// one with only what the edits changed patched in: comments, unknown
// attributes and elements, and the layout of untouched sources stay. If
// another program changed the level file meanwhile, the edits made since the
// lock are applied on top of its version, pair by pair; the file is looked
// at once more just before the rename. A refused lock, a failed write-back
// and an edit whose ids the file format cannot hold show as assertion
// records (vyr::assert::Assert) that name the reason. After a failed
// write-back the level is read again from its file at once, so the store
// agrees with the file and the failed edits never reach it later.
class VYR_EXPORT WriteAccess : public cache::CacheWriteAccess<CacheLevels<cache::Level>> {
public:
    using Level = cache::Level;

    WriteAccess(CacheLevels<Level>* cachePointer, Records* records) noexcept
        : CacheWriteAccess(cachePointer, records) {}
    WriteAccess(WriteAccess&&) noexcept = default;

    // Writes every locked level that the cache holds back into its file,
    // in ascending level order, then releases the locks. A failure is
    // reported and leaves the file as it was. Use boWriteBack() first to
    // learn the result; a level unchanged since it is not written again.
    ~WriteAccess() override;

    // Writes every locked level that the cache holds back into its file now,
    // by the same path as the destructor, in ascending level order. True
    // only when every level reached its file; each failure is also reported
    // as an assertion record with its reason, and the failed level is read
    // again from its file. The locks stay held and further edits are
    // allowed. A level with no edit since its last successful write-back,
    // whose file did not change meanwhile, is not rewritten. The way for a
    // host to save and learn the result:
    //     auto access = store.writeAccessGet(id);
    //     if (access.boLockFile(Level::User) && access.boAddMapping(s, c, Level::User) &&
    //         access.boWriteBack()) { /* on disk */ }
    [[nodiscard]] bool boWriteBack();

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

    // The bytes of the locked level's file as they are now (read under the
    // lock). False when the level is not locked or the file cannot be read
    // (reported with the reason).
    [[nodiscard]] bool boLevelDocumentGet(Level level, std::string& bytes) const;
    // Replaces the locked level by a whole document (a file edited by
    // hand): it must read as a level file does, else false with the reason
    // (line and column) and no change. On success the level holds the
    // document's mapping at once (the merged view is rebuilt) and the
    // write-back writes the document as it is, with later edits and other
    // writers' changes patched in. The file's own bytes given back unchanged
    // are not written again (unless later edits change the level).
    [[nodiscard]] bool boLevelReplace(Level level, std::string_view document, std::string& reason);

    // Makes the level's missing file from the highest cached level's header
    // (texts and flags, no pairs), under the level's lock. Never replaces
    // anything that exists at the path, nor anything that appears there
    // meanwhile. Does not rebuild the merged view.
    void vCreateFileIfNotAtLevel(const Level& level) override;

    [[nodiscard]] bool boIsReadOnly() const override { return false; }

    [[nodiscard]] bool boLockedFileRead(const Level& level, LockedFile& locked) override;

    // Writes a new file holding the mapping at the record's path, under the
    // level's lock (this process's holder's, or one taken for the call),
    // never replacing anything there. Records the new file's stamp. False,
    // reported with the reason under `function`, on failure; a file already
    // at the path is a plain false.
    [[nodiscard]] VYR_HIDDEN static bool boLevelFileCreate(utilities::FileRecord& record, const Mapping& mapping,
                                                           const char* function);

private:
    // boFinal: this is the last write-back of the lock entry (the last
    // holder ends), so no base is kept for a later one.
    [[nodiscard]] VYR_HIDDEN bool boLevelWriteBack(Level level, LockedFile& locked, bool boFinal);
    VYR_HIDDEN void vWriteBackFailed(Level level, LockedFile& locked);
};

} // namespace vyr::classification
