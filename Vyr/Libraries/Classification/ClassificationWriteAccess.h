#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Source/Core/Utilities/Cache/CacheWriteAccess.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "external/classification/SourceListing.h"
#include "external/platform/Export.h"

namespace vyr::cache {
extern template class VYR_EXPORT CacheWriteAccess<classification::CacheLevels<Level>>;
} // namespace vyr::cache

namespace vyr::classification {

// Why an operation failed, and its kind (Source/Core/Utilities/Cache/Failure.h).
using Failure = cache::Failure;
using FailureKind = cache::FailureKind;

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
// that other processes respect, held until this object is destroyed (the
// protocol, with <file>.lock beside the level file, is described once at
// vyr::platform::FileLock in external/platform/FileSystem.h). Waits a few
// seconds for another holder, then returns false. Removes temporary files
// that killed writers left. Re-reads the level file when it changed since
// the store last read or wrote it; false when the file exists but does not
// read, is a symbolic link, has several hard links or is not a regular file. A missing file is made from the highest cached level's
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
// at once more, and the lock confirmed, just before the rename: a lock that
// the system lost (ENOLCK, EIO) fails the write-back and renames nothing. A
// level whose file already holds it (its texts, flags and pairs; for a whole
// document given by hand, its bytes) is not written: the file keeps its
// bytes, its identity and its time, and that level's write-back succeeds. A
// missing file is always made.
//
// Levels: no operation tests the level value. Sys is read-only by
// convention only: a write access may lock Sys and edit and write it like
// any other level (only creating a classification at Sys is reported, by
// the admin). Keeping people from editing Sys is the tool's choice.
//
// Ids: an edit is refused at once when the classification id is too long
// for the level's file or for the temporary file its write-back publishes
// from (the id-length rule, cache::idLengthProblemGet), rather than failing
// at the write-back.
//
// Failures: a refused lock, a failed write-back, an edit whose ids the file
// format cannot hold and an edit of an id too long for the level's files
// are assertion records (vyr::assert::Assert) that name the operation
// called, for people; the value failureGet() (declared in the base) holds
// the kind, the level, the file, what failed and the reason until the next
// operation: the one way a caller learns a failure. After a failed
// write-back the level is read again from its file at once, so the store
// agrees with the file and the failed edits never reach it later.
//
// One source id (AdminWrapper::sourceWriteAccessGet): an access that owns a
// level cache of its own, read from the files with only that source id's
// entries, instead of pointing into the admin's. It locks, reads under the
// lock, checks each file whole, merges with other writers and writes back
// exactly as above, but reads and patches only that source id: an edit of
// any other source id, vMappedToClassifiedRemove and boLevelReplace are
// refused (kind OtherSource) and change nothing, and the
// admin's own cache does not see them until it reads the file again. Not
// to be used while another write access of the process holds its levels.
class VYR_EXPORT WriteAccess : public cache::CacheWriteAccess<CacheLevels<cache::Level>> {
public:
    using Level = cache::Level;

    WriteAccess(CacheLevels<Level>* cachePointer, Records* records) noexcept
        : CacheWriteAccess(cachePointer, records) {}
    // A level file as a one-source access was read from it: its bytes, and
    // how they list the source id.
    struct LevelRead {
        std::string bytes;
        SourceListing listing;
    };

    // The one-source access: owns `levels` and `records` (the files of the
    // levels the cache was read from), and reads and writes only `sourceId`.
    // `levelsRead`: what each level was read from, by which a lock tells
    // whether its file is still that version (a level without it is read
    // again under the lock).
    WriteAccess(std::string sourceId, CacheLevels<Level> levels, Records records,
                std::map<Level, LevelRead> levelsRead = {});
    WriteAccess(WriteAccess&&) noexcept = default;

    // Writes every locked level that the cache holds back into its file,
    // in ascending level order, then releases the locks. A failure is
    // reported and leaves the file as it was. Use boWriteBack() first to
    // learn the result; a level unchanged since it is not written again, and
    // a level that its file already holds is not written at all.
    ~WriteAccess() override;

    // Writes every locked level that the cache holds back into its file now,
    // by the same path as the destructor, in ascending level order. True
    // only when every level reached its file (a level that its file already
    // holds is left alone and counts as written). Each failure is reported
    // as an assertion record, and the failed level is read again from its
    // file; failureGet() then names the first level that failed, its file
    // and the reason. The locks stay held and further edits are allowed.
    // The way for a host to save and learn the result:
    //     auto access = store.writeAccessGet(id);
    //     if (access.boLockFile(Level::User) && access.boAddMapping(s, c, Level::User) &&
    //         access.boWriteBack()) { /* on disk */ }
    //     else { const Failure& failure = access.failureGet(); /* failure.sWhat, failure.sReason */ }
    [[nodiscard]] bool boWriteBack();

    // Ends the access without writing anything back: for each locked level
    // of which this access is the last holder in the process, reads the
    // level again from its file under the lock, so that the store agrees
    // with the file and the edits made through this access never reach it;
    // then lets every lock go. A level that another access of this process
    // also holds is left to that holder's write-back. For an access that its
    // owner abandoned; the destructor then writes nothing.
    void vAbandon();
    // Lets every lock go without writing and without touching the cache or
    // the file records: for an access whose admin was destroyed. The
    // destructor then writes nothing.
    void vLocksDrop() noexcept { lockedFiles.clear(); }

    // Add or set a pair at a locked level, creating the level from the
    // lowest present one when the cache lacks it. False, and no change, when
    // the level is not locked, the classification id is too long for the
    // level's files or the file format cannot hold the ids (reported, and in
    // failureGet()).
    [[nodiscard]] bool boAddMapping(const std::string& sourceId, const std::string& classifiedId, Level level);
    [[nodiscard]] bool boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level);
    // Removals at a locked level; they never create a level. At a level
    // that is not locked, or for an id too long for the level's files,
    // nothing changes (reported, and in failureGet()).
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
    // hand): it must read as a level file does, else false and no change;
    // failureGet() then gives the reason (line and column). On success the level holds the
    // document's mapping at once (the merged view is rebuilt) and the
    // write-back writes the document as it is, with later edits and other
    // writers' changes patched in. The file's own bytes given back unchanged
    // are not written again (unless later edits change the level).
    [[nodiscard]] bool boLevelReplace(Level level, std::string_view document);

    // Makes the level's missing file from the highest cached level's header
    // (texts and flags, no pairs), under the level's lock. Never replaces
    // anything that exists at the path, nor anything that appears there
    // meanwhile. Does not rebuild the merged view.
    void vCreateFileIfNotAtLevel(const Level& level) override;

    [[nodiscard]] bool boIsReadOnly() const override { return false; }

    // The cache of a one-source access, as its edits left it (only the
    // source id's entries, the levels' texts and flags, and the merged view
    // of those); null for an access into the admin's cache. Valid until
    // this access is destroyed.
    [[nodiscard]] const CacheLevels<Level>* pSourceCacheGet() const noexcept {
        return owned_ != nullptr ? &owned_->levels : nullptr;
    }

    [[nodiscard]] bool boLockedFileRead(const Level& level, LockedFile& locked) override;

    // Writes a new file holding the mapping at the record's path, under the
    // level's lock (this process's holder's, or one taken for the call),
    // never replacing anything there. Records the new file's stamp. False,
    // reported with the reason under `function` and noted in `failed`, on
    // failure; a file already at the path is a plain false.
    [[nodiscard]] VYR_HIDDEN static bool boLevelFileCreate(utilities::FileRecord& record, const Mapping& mapping,
                                                           const char* function, Failure& failed);

private:
    // boFinal: this is the last write-back of the lock entry (the last
    // holder ends), so no base is kept for a later one. `function` is the
    // operation called, named by the records.
    [[nodiscard]] VYR_HIDDEN bool boLevelWriteBack(Level level, LockedFile& locked, bool boFinal,
                                                   const char* function);
    // The steps of one attempt of a write-back: what the level file must
    // become (LevelDocument, defined with them), and what follows once it is
    // on disk. Failures are reported under `function`.
    struct LevelDocument;
    enum class Step { Ready, Again, Failed };
    [[nodiscard]] VYR_HIDDEN Step levelDocumentMake(Level level, LockedFile& locked, LevelDocument& next,
                                                    const char* function);
    [[nodiscard]] VYR_HIDDEN Step levelDocumentFromFile(Level level, LockedFile& locked, LevelDocument& next,
                                                        const char* function);
    [[nodiscard]] VYR_HIDDEN bool boKeptBytesHeld(Level level, LockedFile& locked, utilities::FileRecord& record,
                                                  std::int64_t readAt);
    VYR_HIDDEN void vWrittenBack(Level level, LockedFile& locked, bool boFinal, LevelDocument& next);
    VYR_HIDDEN void vWriteBackFailed(Level level, LockedFile& locked);
    [[nodiscard]] VYR_HIDDEN bool boLevelReplaceNoted(Level level, std::string_view document);
    [[nodiscard]] VYR_HIDDEN bool boEditAllowed(Level level, const char* function, const std::string* sourceId);
    [[nodiscard]] VYR_HIDDEN bool boSourceHeld(const std::string* sourceId, Level level, const char* function);
    [[nodiscard]] VYR_HIDDEN bool boIdLengthFits(Level level, const char* function);
    [[nodiscard]] VYR_HIDDEN bool boIdsStorable(const std::string& sourceId, const std::string& classifiedId,
                                                Level level, const char* function);
    // Reads a level file's bytes as this access holds its levels: whole, or
    // only the one source id's entries. False with the reason when they do
    // not read.
    [[nodiscard]] VYR_HIDDEN bool boLevelParse(std::string_view bytes, Mapping& mapping,
                                               std::string* reason = nullptr,
                                               SourceListing* listing = nullptr) const;
    // Patches the document toward the level's mapping, or, for a one-source
    // access, only the source id's elements (and the texts and flags).
    [[nodiscard]] VYR_HIDDEN bool boPatch(std::string_view bytes, const Mapping& target, std::string& out,
                                          std::string& error, const SourceListing* listing = nullptr) const;
    // How the base of the level lists the source id, when a one-source
    // access knows; else null.
    [[nodiscard]] VYR_HIDDEN const SourceListing* pListingGet(Level level) const;

    // What a one-source access owns; the base points at it.
    struct Owned {
        std::string sourceId;
        CacheLevels<Level> levels;
        Records records;
        // What each level was read from, until the level is locked.
        std::map<Level, LevelRead> levelsRead;
        // How the base of each locked level lists the source id, as the
        // read of exactly those bytes found it; dropped whenever the base
        // becomes other bytes.
        std::map<Level, SourceListing> listings;
    };
    std::unique_ptr<Owned> owned_;
};

} // namespace vyr::classification
