#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/CacheWriteAccessImpl.h"
#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Source/Core/Utilities/Cache/IdLength.h"
#include "Vyr/Libraries/Classification/LevelMerge.h"
#include "assert/Check.h"
#include "external/classification/DocumentPatch.h"
#include "external/classification/XmlDocument.h"
#include "external/platform/FileSystem.h"

namespace vyr::cache {
template class CacheWriteAccess<classification::CacheLevels<Level>>;
} // namespace vyr::cache

namespace vyr::classification {
namespace {

using LockedFile = WriteAccess::LockedFile;

// The records of a write-back name the operation that was called.
constexpr const char* kDestructorFunction = "vyr::classification::WriteAccess::~WriteAccess";
constexpr const char* kWriteBackFunction = "vyr::classification::WriteAccess::boWriteBack";
// The file is read under the lock only by boLockFile.
constexpr const char* kLockedReadFunction = cache::detail::kLockFunction;
constexpr const char* kCreateFunction = "vyr::classification::WriteAccess::vCreateFileIfNotAtLevel";
// How often a write-back merges again when the level file keeps changing
// under it (writers that ignore the lock), before it gives up.
constexpr int kWriteAttempts = 4;

// Why the id of the record's level file is too long to write (the id-length
// rule), or empty: the id is the file's path inside its level folder
// without the level file suffix.
std::string idLengthProblemOf(const utilities::FileRecord& record) {
    const std::filesystem::path folder = cache::levelFolderOf(record);
    std::string id = record.filePath.lexically_relative(folder).native();
    if (id.ends_with(cache::kLevelFileSuffix)) {
        id.resize(id.size() - cache::kLevelFileSuffix.size());
    }
    return cache::idLengthProblemGet(folder, id, true);
}

// Its kind is NoFile: the id names no file that the store can write at the level.
constexpr const char* kIdTooLong = "Classification id is too long for a level file";

// A mapping rendered as a new document.
bool boRenderNew(const Mapping& mapping, std::string& bytes) {
    Mapping copy = mapping;
    std::ostringstream rendered;
    if (!XmlDocument(copy).boWrite(rendered)) {
        return false;
    }
    bytes = std::move(rendered).str();
    return true;
}

enum class Publication { Done, Changed, Failed };

// Publishes the bytes under the locked level file's name: over the file
// that `expected` describes, only while the name still holds it, or, with
// no expected file, as a new file that replaces nothing. The new file keeps
// the old one's owner, group, bits and extended attributes (a new one gets
// the folder's group). Changed: the name no longer holds what was merged
// with, nothing was written. Every failure is reported under `function`
// with `what` and the reason, and noted in `failed`; a file that was
// published all the same (a folder that could not be synced) is recorded,
// with the hash of its content unless `boHashed` is false (an access that
// knows the version by the bytes it keeps as its base).
Publication publish(LockedFile& locked, utilities::FileRecord& record, const std::string& bytes,
                    const std::optional<platform::FileStamp>& expected, const char* what, const char* function,
                    Failure& failed, bool boHashed = true) {
    const platform::Folder& folder = locked.folder;
    const std::string& name = folder.nameGet();
    platform::PendingFile pending;
    if (const int error = pending.create(folder); error != 0) {
        VYR_FAIL_ERRNO(failed, what, error, "", function);
        return Publication::Failed;
    }
    std::string_view kept;
    const int keepError = expected ? pending.attributesTake(name, *expected, kept) : pending.attributesForNew(kept);
    if (keepError == ESTALE) {
        return Publication::Changed;
    }
    if (keepError != 0) {
        const std::string context = std::string(what) + ": its " + std::string(kept) + " cannot be kept";
        VYR_FAIL_ERRNO(failed, context, keepError, "", function);
        return Publication::Failed;
    }
    if (const int error = pending.write(bytes); error != 0) {
        VYR_FAIL_ERRNO(failed, what, error, "", function);
        return Publication::Failed;
    }
    // A lock the system has lost (a network file system's lease that ran
    // out) lets another writer in: nothing is renamed under it.
    const std::string lockLost = std::string(what) + ": its lock cannot be confirmed";
    const int markError = pending.markTake();
    if (markError == ENOLCK || markError == EIO) {
        VYR_FAIL_ERRNO(failed, lockLost, markError, "", function);
        return Publication::Failed;
    }
    const bool boMarked = markError == 0;
    // The last look before the rename: a save that landed while the
    // temporary file was written is merged, not overwritten.
    const platform::FileProbe now = folder.probe(name);
    if (expected ? (now.kind != platform::FileKind::Regular || now.stamp != *expected)
                 : now.kind != platform::FileKind::Missing) {
        return Publication::Changed;
    }
    if (const int error = locked.lock != nullptr ? locked.lock->heldConfirm() : 0; error != 0) {
        VYR_FAIL_ERRNO(failed, lockLost, error, "", function);
        return Publication::Failed;
    }
    // Our clock before the file carries the name: a later version by
    // another program is younger than this moment.
    const std::int64_t writtenAt = platform::clockTicksGet();
    bool boPublished = false;
    const int error = pending.publish(name, expected.has_value(), boPublished);
    if (!boPublished) {
        if (error == EEXIST && !expected) {
            return Publication::Changed;
        }
        VYR_FAIL_ERRNO(failed, what, error, "", function);
        return Publication::Failed;
    }
    platform::FileStamp stamp;
    if (pending.stampGet(stamp) == 0) {
        record.vKnownSet(stamp, boHashed ? platform::contentHash(bytes) : utilities::FileRecord::kContentUnknown,
                         writtenAt);
    } else {
        record.lastWrite = 0;
    }
    if (boMarked && locked.lock != nullptr) {
        locked.lock->vMarkMove(pending.descriptorRelease());
    }
    if (error != 0) {
        const char* const context = expected ? "Level file was written back, but the folder could not be synced"
                                             : "Level file was made, but its publication did not complete";
        VYR_FAIL_ERRNO(failed, context, error, "", function);
        return Publication::Failed;
    }
    return Publication::Done;
}

// Parses a file's bytes into the mapping; false with the reason when they
// do not read.
bool boParse(std::string_view bytes, Mapping& mapping, std::string* reason = nullptr) {
    std::istringstream stream{std::string(bytes)};
    XmlDocument document(mapping);
    const bool boRead = document.boRead(stream);
    if (!boRead && reason != nullptr) {
        *reason = document.errorGet();
    }
    return boRead;
}

} // namespace

// What one attempt of a write-back makes of the level file: the bytes to
// write, and the file's bytes they are compared with (`current`: the
// base, or the file as read now, which `file` then holds; empty for a
// missing file). A plain value of one attempt.
struct WriteAccess::LevelDocument {
    std::string file;
    std::string_view current;
    std::string bytes;
    // The level as it must now stand when another writer changed the file:
    // the edits merged onto that writer's version. Empty otherwise.
    std::optional<Mapping> merged;
    // The file that is replaced; empty when it is made.
    std::optional<platform::FileStamp> expected;
    std::string reason;
    // How the file as read lists the source id (a one-source access that
    // read it whole).
    SourceListing listing;
};

WriteAccess::WriteAccess(std::string sourceId, CacheLevels<Level> levels, Records records,
                         std::map<Level, LevelRead> levelsRead)
    : CacheWriteAccess(nullptr, nullptr),
      owned_(std::make_unique<Owned>(
          Owned{std::move(sourceId), std::move(levels), std::move(records), std::move(levelsRead), {}})) {
    cache = &owned_->levels;
    fileRecords = &owned_->records;
}

bool WriteAccess::boLevelParse(std::string_view bytes, Mapping& mapping, std::string* reason,
                               SourceListing* listing) const {
    if (owned_ == nullptr) {
        return boParse(bytes, mapping, reason);
    }
    XmlDocument document(mapping);
    const bool boRead = document.boReadSource(bytes, owned_->sourceId, listing);
    if (!boRead && reason != nullptr) {
        *reason = document.errorGet();
    }
    return boRead;
}

bool WriteAccess::boPatch(std::string_view bytes, const Mapping& target, std::string& out, std::string& error,
                          const SourceListing* listing) const {
    return owned_ == nullptr ? boDocumentPatch(bytes, target, out, error)
                             : boDocumentSourcePatch(bytes, target, owned_->sourceId, out, error, listing);
}

const SourceListing* WriteAccess::pListingGet(Level level) const {
    if (owned_ == nullptr) {
        return nullptr;
    }
    const auto found = owned_->listings.find(level);
    return found == owned_->listings.end() ? nullptr : &found->second;
}

WriteAccess::~WriteAccess() {
    vFailureClear(failure);
    for (auto& [level, locked] : lockedFiles) {
        VYR_ASSERT(locked != nullptr, "No file locked", kDestructorFunction);
        if (locked != nullptr && !boLevelWriteBack(level, *locked, locked.use_count() == 1, kDestructorFunction)) {
            vWriteBackFailed(level, *locked);
        }
    }
}

void WriteAccess::vAbandon() {
    vFailureClear(failure);
    for (auto& [level, locked] : lockedFiles) {
        if (locked != nullptr && locked.use_count() == 1) {
            vWriteBackFailed(level, *locked);
        }
    }
    lockedFiles.clear();
}

bool WriteAccess::boWriteBack() {
    vFailureClear(failure);
    bool boAll = true;
    for (auto& [level, locked] : lockedFiles) {
        if (locked != nullptr && !boLevelWriteBack(level, *locked, false, kWriteBackFunction)) {
            vWriteBackFailed(level, *locked);
            if (boAll) {
                vFailureTargetSet(failure, level, (*fileRecords)[level].filePath);
            }
            boAll = false;
        }
    }
    return boAll;
}

bool WriteAccess::boLockedFileRead(const Level& level, LockedFile& locked) {
    utilities::FileRecord& record = (*fileRecords)[level];
    const std::int64_t readAt = platform::clockTicksGet();
    if (boKeptBytesHeld(level, locked, record, readAt)) {
        return true;
    }
    std::string bytes;
    platform::FileStamp stamp;
    if (const int error = locked.folder.read(locked.folder.nameGet(), bytes, stamp); error != 0) {
        VYR_FAIL_ERRNO(failure, "Level file cannot be read", error, "; not locked", kLockedReadFunction);
        return false;
    }
    // The level is taken from the bytes read under the lock unless they are
    // the version the store knows by content: a stamp alone (a load for a
    // query does not hash an older file) would let a rewrite that kept the
    // size and, on a file system with coarse times, the times go unseen.
    // A one-source access knows no content here (boKeptBytesHeld compared
    // it), and hashes nothing.
    const std::uint64_t hash =
        owned_ != nullptr ? utilities::FileRecord::kContentUnknown : platform::contentHash(bytes);
    if (cache->levels.count(level) == 0 || owned_ != nullptr || !record.boKnownContent(stamp, hash)) {
        Mapping read;
        std::string reason;
        SourceListing listing;
        if (!boLevelParse(bytes, read, &reason, &listing)) {
            VYR_FAIL(failure, NotWellFormed, "Level file does not read; not locked", std::move(reason),
                     kLockedReadFunction);
            return false;
        }
        if (owned_ != nullptr) {
            owned_->listings[level] = listing;
        }
        // The file as the cache already holds it leaves the view alone.
        if (const auto held = cache->levels.find(level); held == cache->levels.end() || held->second != read) {
            cache->vLevelSet(level, std::move(read), true);
        }
        record.vKnownSet(stamp, hash, readAt);
    } else {
        record.vContentChecked(stamp, readAt);
    }
    locked.base = std::move(bytes);
    return true;
}

// A one-source access read each level before it locked it: when the file
// under the lock is still that version (its stamp) and holds the same bytes
// (compared as they are read), those bytes become the base and nothing is
// parsed again. The bytes kept are let go either way.
bool WriteAccess::boKeptBytesHeld(Level level, LockedFile& locked, utilities::FileRecord& record,
                                  std::int64_t readAt) {
    if (owned_ == nullptr) {
        return false;
    }
    const auto kept = owned_->levelsRead.find(level);
    if (kept == owned_->levelsRead.end()) {
        return false;
    }
    LevelRead read = std::move(kept->second);
    owned_->levelsRead.erase(kept);
    std::string& bytes = read.bytes;
    bool boSame = false;
    platform::FileStamp stamp;
    if (cache->levels.count(level) == 0 || locked.folder.compare(locked.folder.nameGet(), bytes, boSame, stamp) != 0 ||
        !boSame || !record.boKnownStamp(stamp)) {
        return false;
    }
    record.vContentChecked(stamp, readAt);
    locked.base = std::move(bytes);
    owned_->listings[level] = read.listing;
    return true;
}

// Writes the level's mapping back into its file. The file is read under the
// lock; when it is no longer the version the store last read or wrote
// (another program replaced or rewrote it), the edits made since the base go
// on top of it. The new document is the file's own (or the one given by
// hand) patched toward the level, written to a temporary file and renamed
// over the level file only while the level file is still the one merged
// with; otherwise the merge runs again. Patched bytes equal to the file's
// are not written: the file keeps its bytes, identity and time. A file that
// does not read, or became a link, is left alone. Failures are reported
// under `function` and noted in the failure value.
bool WriteAccess::boLevelWriteBack(Level level, LockedFile& locked, bool boFinal, const char* function) {
    if (cache->levels.count(level) == 0) {
        return true;
    }
    utilities::FileRecord& record = (*fileRecords)[level];
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        LevelDocument next;
        switch (levelDocumentMake(level, locked, next, function)) {
        case Step::Failed:
            return false;
        case Step::Again:
            continue;
        case Step::Ready:
            break;
        }
        if (next.bytes != next.current) {
            // A one-source access knows the version it wrote by the base
            // that its bytes become, not by their hash.
            switch (publish(locked, record, next.bytes, next.expected, "Level file could not be written back",
                            function, failure, owned_ == nullptr)) {
            case Publication::Changed:
                continue;
            case Publication::Failed:
                return false;
            case Publication::Done:
                break;
            }
        }
        vWrittenBack(level, locked, boFinal, next);
        return true;
    }
    VYR_FAIL(failure, KeepsChanging, "Level file keeps changing while it is written back; not written back", {},
             function);
    return false;
}

// What the level file must become, from what its path holds now.
WriteAccess::Step WriteAccess::levelDocumentMake(Level level, LockedFile& locked, LevelDocument& next,
                                                 const char* function) {
    const platform::FileProbe present = locked.folder.probe(locked.folder.nameGet());
    switch (present.kind) {
    case platform::FileKind::Regular:
        if (present.links > 1) {
            VYR_FAIL(failure, SeveralLinks, "Level file has several hard links; not written back", {}, function);
            return Step::Failed;
        }
        return levelDocumentFromFile(level, locked, next, function);
    case platform::FileKind::Missing:
        // Deleted while locked: made again, without replacing anything that
        // appears meanwhile.
        // A one-source access holds only its source id: the others come
        // from the bytes last read or written under the lock.
        if (!(locked.document ? boPatch(*locked.document, cache->levels.at(level), next.bytes, next.reason)
              : owned_ != nullptr && locked.base ? boPatch(*locked.base, cache->levels.at(level), next.bytes, next.reason,
                                                           pListingGet(level))
                                                 : boRenderNew(cache->levels.at(level), next.bytes))) {
            VYR_FAIL(failure, CannotStore, "Level mapping cannot be stored in a level file; not written back",
                     std::move(next.reason), function);
            return Step::Failed;
        }
        return Step::Ready;
    case platform::FileKind::Unknown:
        VYR_FAIL_ERRNO(failure, "Level path cannot be looked at", present.error, "; not written back", function);
        return Step::Failed;
    default:
        VYR_FAIL(failure, NotRegularFile, "Level path is no longer a regular file; not written back", {}, function);
        return Step::Failed;
    }
}

// The level file read under the lock, patched toward the level: the level
// as it stands when the file is the version the store knows, else the
// merge of the edits made since the base onto the file's mapping.
WriteAccess::Step WriteAccess::levelDocumentFromFile(Level level, LockedFile& locked, LevelDocument& next,
                                                     const char* function) {
    utilities::FileRecord& record = (*fileRecords)[level];
    platform::FileStamp stamp;
    const std::int64_t readAt = platform::clockTicksGet();
    // A one-source access tells the version it knows by the base's bytes,
    // compared with the file as it is read (it hashes nothing); any other
    // access by the content's hash.
    bool boSame = false;
    const bool boBaseCompared = owned_ != nullptr && locked.base &&
                                locked.folder.compare(locked.folder.nameGet(), *locked.base, boSame, stamp) == 0 &&
                                boSame && record.boKnownStamp(stamp);
    if (!boBaseCompared) {
        if (const int error = locked.folder.read(locked.folder.nameGet(), next.file, stamp); error != 0) {
            if (error == ENOENT) {
                return Step::Again;
            }
            VYR_FAIL_ERRNO(failure, "Level file cannot be read", error, "; not written back", function);
            return Step::Failed;
        }
    }
    std::uint64_t hash = utilities::FileRecord::kContentUnknown;
    bool boKnown = boBaseCompared;
    bool boBase = boBaseCompared; // the file holds the base's bytes
    if (owned_ == nullptr || !locked.base) {
        hash = platform::contentHash(next.file);
        boKnown = record.boKnownContent(stamp, hash);
        boBase = boKnown && locked.base && *locked.base == next.file;
    }
    // The version the store knows is kept once, as the base: the file's own
    // copy goes, so that a large level costs two copies of its file at most.
    if (boBase) {
        std::string().swap(next.file);
        next.current = *locked.base;
    } else {
        next.current = next.file;
    }
    if (!boKnown) {
        Mapping theirs;
        if (!boLevelParse(next.current, theirs, &next.reason, &next.listing)) {
            VYR_FAIL(failure, NotWellFormed, "Level file was replaced by one that does not read; not written back",
                     std::move(next.reason), function);
            return Step::Failed;
        }
        Mapping base;
        if (locked.base && !boLevelParse(*locked.base, base)) {
            base = Mapping();
        }
        next.merged = mergeLevel(base, cache->levels.at(level), theirs);
    }
    const Mapping& target = next.merged ? *next.merged : cache->levels.at(level);
    // The listing of the bytes patched: the file's as just read, or the base's.
    const SourceListing* listing = locked.document ? nullptr : boKnown ? pListingGet(level) : &next.listing;
    if (!boPatch(locked.document ? std::string_view(*locked.document) : next.current, target, next.bytes,
                 next.reason, listing)) {
        VYR_FAIL(failure, CannotStore, "Level mapping cannot be stored in a level file; not written back",
                 std::move(next.reason), function);
        return Step::Failed;
    }
    if (next.bytes == next.current) {
        if (boKnown) {
            record.vContentChecked(stamp, readAt);
        } else {
            record.vKnownSet(stamp, hash, readAt);
        }
    }
    next.expected = stamp;
    return Step::Ready;
}

// After a write-back that reached the file (or found it holding the
// level): the level shows the merge, a document given by hand is what was
// written, and the bytes become the base of a later write-back of this
// holder or of another one sharing the lock; the last holder's last
// write-back has no later one.
void WriteAccess::vWrittenBack(Level level, LockedFile& locked, bool boFinal, LevelDocument& next) {
    if (next.merged && *next.merged != cache->levels.at(level)) {
        cache->vLevelSet(level, std::move(*next.merged), true);
    }
    if (locked.document) {
        locked.document = next.bytes;
    }
    // The listing was of the bytes just replaced.
    if (owned_ != nullptr) {
        owned_->listings.erase(level);
    }
    if (boFinal) {
        locked.base.reset();
    } else {
        locked.base = std::move(next.bytes);
    }
}

// After a failed write-back the level is read again from its file, so that
// the store agrees with the file and the edits that failed never reach it
// through a later write-back. A file that does not read leaves the level out
// of the cache until it is read again.
void WriteAccess::vWriteBackFailed(Level level, LockedFile& locked) {
    utilities::FileRecord& record = (*fileRecords)[level];
    if (owned_ != nullptr) {
        owned_->listings.erase(level); // the base read below is read without one
    }
    const std::int64_t readAt = platform::clockTicksGet();
    std::string bytes;
    platform::FileStamp stamp;
    Mapping read;
    if (locked.folder.read(locked.folder.nameGet(), bytes, stamp) == 0) {
        const std::uint64_t hash = platform::contentHash(bytes);
        if (boLevelParse(bytes, read)) {
            locked.base = std::move(bytes);
            locked.document.reset();
            cache->vLevelSet(level, std::move(read), true);
            record.vKnownSet(stamp, hash, readAt);
            return;
        }
    }
    locked.base.reset();
    cache->levels.erase(level);
    cache->vChanged();
    record.lastWrite = 0;
}

bool WriteAccess::boLevelDocumentGet(Level level, std::string& bytes) const {
    const auto found = lockedFiles.find(level);
    if (found == lockedFiles.end() || found->second == nullptr) {
        return false;
    }
    const LockedFile& locked = *found->second;
    if (locked.document) {
        bytes = *locked.document;
        return true;
    }
    platform::FileStamp stamp;
    if (const int error = locked.folder.read(locked.folder.nameGet(), bytes, stamp); error != 0) {
        VYR_REPORT_ERRNO("Level file cannot be read", error, "",
                         "vyr::classification::WriteAccess::boLevelDocumentGet");
        return false;
    }
    return true;
}

bool WriteAccess::boLevelReplace(Level level, std::string_view document) {
    vFailureClear(failure);
    const bool boDone = boLevelReplaceNoted(level, document);
    if (fileRecords != nullptr) {
        vFailureTargetSet(failure, level, (*fileRecords)[level].filePath);
    }
    return boDone;
}

bool WriteAccess::boLevelReplaceNoted(Level level, std::string_view document) {
    const auto found = lockedFiles.find(level);
    if (found == lockedFiles.end() || found->second == nullptr) {
        VYR_FAIL(failure, NotLocked, "File isn't locked", "the level is not locked",
                 "vyr::classification::WriteAccess::boLevelReplace");
        return false;
    }
    if (!boIdLengthFits(level, "vyr::classification::WriteAccess::boLevelReplace") ||
        !boSourceHeld(nullptr, level, "vyr::classification::WriteAccess::boLevelReplace")) {
        return false;
    }
    Mapping read;
    std::string reason;
    if (!boParse(document, read, &reason)) {
        vFailureNote(failure, FailureKind::NotWellFormed, "Level document given by hand does not read", {}, 0, reason);
        return false;
    }
    LockedFile& locked = *found->second;
    // The file as it stands, given back unchanged: nothing to write.
    std::string current;
    platform::FileStamp stamp;
    const utilities::FileRecord& record = (*fileRecords)[level];
    if (locked.folder.read(locked.folder.nameGet(), current, stamp) == 0 && current == document &&
        record.boKnownContent(stamp, platform::contentHash(current))) {
        if (const auto present = cache->levels.find(level); present == cache->levels.end() || present->second != read) {
            cache->vLevelSet(level, std::move(read), true);
        }
        locked.document.reset();
        return true;
    }
    locked.document.emplace(document);
    cache->vLevelSet(level, std::move(read), true);
    return true;
}

// The checks that every edit begins with: false, reported under `function`
// and noted, when the level is not locked, the id is too long for its files,
// or the edit reaches a source id that a one-source access does not hold
// (`sourceId` null: every source id, as a removal by classified id does).
bool WriteAccess::boEditAllowed(Level level, const char* function, const std::string* sourceId) {
    vFailureClear(failure);
    const bool locked = boIsLocked(level);
    if (!locked) {
        vFailureNote(failure, FailureKind::NotLocked, "File isn't locked", {}, 0, {});
        if (fileRecords != nullptr) {
            vFailureTargetSet(failure, level, (*fileRecords)[level].filePath);
        } else {
            failure.level = level;
        }
    }
    VYR_ASSERT(locked, "File isn't locked", function);
    return locked && boIdLengthFits(level, function) && boSourceHeld(sourceId, level, function);
}

// A one-source access reads and writes back only its own source id: an edit
// of any other would show in its cache and never reach the file, so it is
// refused, reported under `function` and noted.
bool WriteAccess::boSourceHeld(const std::string* sourceId, Level level, const char* function) {
    if (owned_ == nullptr || (sourceId != nullptr && *sourceId == owned_->sourceId)) {
        return true;
    }
    VYR_FAIL(failure, OtherSource, "Edit reaches a source id that this write access does not hold; nothing changed",
             {}, function);
    vFailureTargetSet(failure, level, (*fileRecords)[level].filePath);
    return false;
}

// An edit that its write-back could never publish is refused at once: false,
// reported under `function` and noted, when the id is too long for the
// locked level's files.
bool WriteAccess::boIdLengthFits(Level level, const char* function) {
    LockedFile& entry = *lockedFiles.at(level);
    if (!entry.idLengthProblem) {
        entry.idLengthProblem = idLengthProblemOf((*fileRecords)[level]);
    }
    if (entry.idLengthProblem->empty()) {
        return true;
    }
    VYR_FAIL(failure, IdTooLong, kIdTooLong, *entry.idLengthProblem, function);
    vFailureTargetSet(failure, level, (*fileRecords)[level].filePath);
    return false;
}

// Whether the file format can hold both ids of a pair; reported under
// `function` and noted when it cannot.
bool WriteAccess::boIdsStorable(const std::string& sourceId, const std::string& classifiedId, Level level,
                                const char* function) {
    const bool boSource = XmlDocument::boTextStorable(sourceId);
    if (boSource && XmlDocument::boTextStorable(classifiedId)) {
        return true;
    }
    VYR_FAIL(failure, CannotStore, "Ids cannot be stored in a level file",
             std::string(boSource ? "the classified id" : "the source id") +
                 " is not valid UTF-8 or holds a character that XML 1.0 cannot represent",
             function);
    vFailureTargetSet(failure, level, (*fileRecords)[level].filePath);
    return false;
}

bool WriteAccess::boAddMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    constexpr const char* kFunction = "vyr::classification::WriteAccess::boAddMapping";
    if (!boEditAllowed(level, kFunction, &sourceId) || !boIdsStorable(sourceId, classifiedId, level, kFunction)) {
        return false;
    }
    cache->getOrCreate(level).vMappingAdd(sourceId, classifiedId);
    cache->vSourceRefresh(sourceId); // a rebuild when the level was just created
    return true;
}

bool WriteAccess::boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    constexpr const char* kFunction = "vyr::classification::WriteAccess::boSetMapping";
    if (!boEditAllowed(level, kFunction, &sourceId) || !boIdsStorable(sourceId, classifiedId, level, kFunction)) {
        return false;
    }
    cache->getOrCreate(level).vMappingSet(sourceId, classifiedId);
    cache->vSourceRefresh(sourceId); // a rebuild when the level was just created
    return true;
}

void WriteAccess::vMappingRemove(const std::string& sourceId, const std::string& classifiedId, Level level) {
    if (boEditAllowed(level, "vyr::classification::WriteAccess::vMappingRemove", &sourceId)) {
        cache->vMappingRemove(sourceId, classifiedId, level);
    }
}

void WriteAccess::vMappedToSourceRemove(const std::string& sourceId, Level level) {
    if (boEditAllowed(level, "vyr::classification::WriteAccess::vMappedToSourceRemove", &sourceId)) {
        cache->vMappedToSourceRemove(sourceId, level);
    }
}

void WriteAccess::vMappedToClassifiedRemove(const std::string& classifiedId, Level level) {
    if (boEditAllowed(level, "vyr::classification::WriteAccess::vMappedToClassifiedRemove", nullptr)) {
        cache->vMappedToClassifiedRemove(classifiedId, level);
    }
}

void WriteAccess::vMappedToSourceInherit(const std::string& sourceId, Level level) {
    if (boEditAllowed(level, "vyr::classification::WriteAccess::vMappedToSourceInherit", &sourceId)) {
        cache->vMappedToSourceInherit(sourceId, level);
    }
}

void WriteAccess::vCreateFileIfNotAtLevel(const Level& level) {
    if (cache == nullptr || fileRecords == nullptr) {
        return; // moved from
    }
    vFailureClear(failure);
    utilities::FileRecord& record = (*fileRecords)[level];
    if (record.filePath.empty()) {
        return; // the id names no file inside the level folder
    }
    // Anything at the path counts as present, readable or not, and is never
    // replaced; nothing there is opened. A missing folder holds nothing
    // either; the file then cannot be written.
    {
        platform::Folder folder;
        const int opened = folder.open(cache::levelFolderOf(record), record.filePath);
        if ((opened != 0 && opened != ENOENT) ||
            (opened == 0 && folder.probe(folder.nameGet()).kind != platform::FileKind::Missing)) {
            return;
        }
    }
    if (cache->levels.empty()) {
        VYR_FAIL(failure, NoLowerLevel, "No cached definition in lower level", {}, kCreateFunction);
        vFailureTargetSet(failure, level, record.filePath);
        return;
    }
    const Mapping& highest = cache->levels.rbegin()->second;
    const Mapping header(highest.sId, highest.sText2, highest.sText3, highest.sText4, highest.sText5,
                         highest.boFlag1, highest.boFlag2);
    Mapping& created = cache->mappingAtLevel(level);
    created.vSet(header);
    cache->vChangePendingMark(); // the merged view is left as it was: stale until the next rebuild
    (void)boLevelFileCreate(record, created, kCreateFunction, failure);
    vFailureTargetSet(failure, level, record.filePath);
}

bool WriteAccess::boLevelFileCreate(utilities::FileRecord& record, const Mapping& mapping, const char* function,
                                    Failure& failed) {
    {
        // Anything at the path (a dangling link too) takes the place; it is
        // looked at again under the lock, as is a path whose status does not
        // read now.
        platform::Folder folder;
        if (folder.open(cache::levelFolderOf(record), record.filePath) == 0) {
            const platform::FileKind kind = folder.probe(folder.nameGet()).kind;
            if (kind != platform::FileKind::Missing && kind != platform::FileKind::Unknown) {
                return false;
            }
        }
    }
    if (std::string problem = idLengthProblemOf(record); !problem.empty()) {
        VYR_FAIL(failed, IdTooLong, kIdTooLong, std::move(problem), function);
        return false;
    }
    bool boHeld = false;
    const std::shared_ptr<LockedFile> locked = lockEntryGet(record, function, boHeld, failed);
    if (locked == nullptr) {
        return false;
    }
    std::string bytes;
    if (!boRenderNew(mapping, bytes)) {
        VYR_FAIL(failed, CannotStore, "Level mapping cannot be stored in a level file; not created", {}, function);
        return false;
    }
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (const platform::FileProbe found = locked->folder.probe(locked->folder.nameGet());
            found.kind != platform::FileKind::Missing) {
            if (found.kind == platform::FileKind::Unknown) {
                VYR_FAIL_ERRNO(failed, "Level path cannot be looked at", found.error, "; not created", function);
            }
            return false;
        }
        switch (publish(*locked, record, bytes, std::nullopt, "Level file could not be created", function, failed)) {
        case Publication::Done:
            return true;
        case Publication::Failed:
            return false;
        case Publication::Changed:
            break;
        }
    }
    return false;
}

} // namespace vyr::classification
