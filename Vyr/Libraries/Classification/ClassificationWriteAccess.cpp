#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/CacheWriteAccessImpl.h"
#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Source/Core/Utilities/Cache/IdLength.h"
#include "Vyr/Libraries/Classification/LevelMerge.h"
#include "assert/Check.h"
#include "external/classification/EditableDocument.h"
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
// published all the same (a folder that could not be synced) is recorded.
Publication publish(LockedFile& locked, utilities::FileRecord& record, const std::string& bytes,
                    const std::optional<platform::FileStamp>& expected, const char* what, const char* function,
                    Failure& failed) {
    const platform::Folder& folder = locked.folder;
    const std::string& name = folder.nameGet();
    platform::PendingFile pending;
    if (const int error = pending.create(folder, cache::temporaryFileName(name, cache::temporaryUniqueGet())); error != 0) {
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
        record.vKnownSet(stamp, platform::contentHash(bytes), writtenAt);
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

// A fingerprint of the mapping: equal mappings have equal ones, so a
// different fingerprint tells a change in one pass over the mapping, which
// costs a fraction of parsing its file. Equal fingerprints tell nothing for
// sure.
std::uint64_t fingerprintOf(const Mapping& mapping) {
    std::uint64_t value = 0x243F6A8885A308D3ULL;
    const auto mix = [&value](std::uint64_t part) {
        value = (value ^ part) * 0x9E3779B97F4A7C15ULL;
        value ^= value >> 29;
    };
    const auto mixText = [&mix](std::string_view text) { mix(std::hash<std::string_view>{}(text) + text.size()); };
    for (const std::string* text : {&mapping.sId, &mapping.sText2, &mapping.sText3, &mapping.sText4, &mapping.sText5,
                                    &mapping.sText6, &mapping.sText7}) {
        mixText(*text);
    }
    mix((mapping.boFlag1 ? 1U : 0U) | (mapping.boFlag2 ? 2U : 0U));
    for (const Mapping::Relation* relation : {&mapping.sourceToClassified, &mapping.secondRelation}) {
        mix(relation->size());
        for (const auto& [source, classified] : *relation) {
            mixText(source);
            mix(classified.size());
            for (const std::string& id : classified) {
                mixText(id);
            }
        }
    }
    return value;
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
    const std::uint64_t hash = platform::contentHash(bytes);
    if (cache->levels.count(level) == 0 || !record.boKnownContent(stamp, hash)) {
        Mapping read;
        std::string reason;
        if (!boParse(bytes, read, &reason)) {
            VYR_FAIL(failure, NotWellFormed, "Level file does not read; not locked", std::move(reason),
                     kLockedReadFunction);
            return false;
        }
        // The file as the cache already holds it leaves the view alone.
        if (const auto held = cache->levels.find(level); held == cache->levels.end() || held->second != read) {
            cache->vLevelSet(level, std::move(read), true);
        }
        record.vKnownSet(stamp, hash, readAt);
    } else {
        record.vContentChecked(stamp, readAt);
    }
    locked.fingerprint = fingerprintOf(cache->levels.at(level));
    locked.base = std::move(bytes);
    return true;
}

// Writes the level's mapping back into its file. The file is read under the
// lock; when it is no longer the version the store last read or wrote
// (another program replaced or rewrote it), the edits made since the base go
// on top of it. The new document is the file's own with the differences
// patched in, written to a temporary file and renamed over the level file
// only while the level file is still the one merged with; otherwise the
// merge runs again. A file that already holds what would be written is kept
// as it is: its bytes, identity and time stay. A file that does not read, or
// became a link, is left alone. Failures are reported under `function` and
// noted in the failure value.
bool WriteAccess::boLevelWriteBack(Level level, LockedFile& locked, bool boFinal, const char* function) {
    const auto found = cache->levels.find(level);
    if (found == cache->levels.end()) {
        return true;
    }
    const Mapping& ours = found->second;
    utilities::FileRecord& record = (*fileRecords)[level];
    const platform::Folder& folder = locked.folder;
    const std::string& name = folder.nameGet();
    // Nothing to do after a write-back that nothing has changed since.
    if (locked.boWritten && locked.writtenChangeCount == cache->changeCountGet()) {
        if (const platform::FileProbe present = folder.probe(name);
            present.kind == platform::FileKind::Regular && record.boKnownStamp(present.stamp)) {
            return true;
        }
    }
    locked.boWritten = false;
    constexpr const char* kFailed = "Level file could not be written back";
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        const platform::FileProbe present = folder.probe(name);
        std::optional<platform::FileStamp> expected;
        // The level as it must now stand: ours, or the merge of ours onto
        // another writer's version.
        std::optional<Mapping> merged;
        std::string bytes;
        // The file holds the bytes already: nothing is written.
        bool boKept = false;
        EditableDocument given;
        if (locked.document && !given.boParse(*locked.document)) {
            VYR_FAIL(failure, NotWellFormed, "Level document given by hand does not read; not written back",
                     given.errorGet(), function);
            return false;
        }
        if (present.kind == platform::FileKind::Regular) {
            if (present.links > 1) {
                VYR_FAIL(failure, SeveralLinks, "Level file has several hard links; not written back", {}, function);
                return false;
            }
            std::string file;
            platform::FileStamp stamp;
            const std::int64_t readAt = platform::clockTicksGet();
            if (const int error = folder.read(name, file, stamp); error != 0) {
                if (error == ENOENT) {
                    continue;
                }
                VYR_FAIL_ERRNO(failure, "Level file cannot be read", error, "; not written back", function);
                return false;
            }
            const std::uint64_t hash = platform::contentHash(file);
            const bool boKnown = record.boKnownContent(stamp, hash);
            // The file is the version the store knows: its bytes are kept
            // once, as the base, and patched by walking them, without their
            // parse or their mapping (a large level would cost several times
            // its size in memory otherwise).
            const bool boBaseIsFile = boKnown && locked.base && *locked.base == file;
            if (boBaseIsFile) {
                std::string().swap(file);
            }
            const std::string& current = boBaseIsFile ? *locked.base : file;
            if (boKnown && !locked.document && boDocumentPatch(current, ours, bytes)) {
                boKept = bytes == current;
            } else if (boKnown && !locked.document &&
                       (!locked.fingerprint || *locked.fingerprint == fingerprintOf(ours)) &&
                       boDocumentHolds(current, ours)) {
                // The version the store knows, holding the level as it
                // stands: told without reading the file's mapping.
                bytes = current;
                boKept = true;
            } else {
                EditableDocument theirs;
                if (!theirs.boParse(current)) {
                    VYR_FAIL(failure, NotWellFormed,
                             "Level file was replaced by one that does not read; not written back", theirs.errorGet(),
                             function);
                    return false;
                }
                if (!boKnown) {
                    Mapping base;
                    if (locked.base && !boParse(*locked.base, base)) {
                        base = Mapping();
                    }
                    merged = mergeLevel(base, ours, theirs.mappingGet());
                }
                EditableDocument& document = locked.document ? given : theirs;
                if (!document.boRender(merged ? *merged : ours, bytes)) {
                    VYR_FAIL(failure, CannotStore, "Level mapping cannot be stored in a level file; not written back",
                             document.errorGet(), function);
                    return false;
                }
                // A hand edit that changes only comments or layout differs
                // here and is written.
                boKept = bytes == current;
            }
            if (boKept && boKnown) {
                record.vContentChecked(stamp, readAt);
            } else if (boKept) {
                record.vKnownSet(stamp, hash, readAt);
            }
            expected = stamp;
        } else if (present.kind == platform::FileKind::Missing) {
            // Deleted while locked: made again, without replacing anything
            // that appears meanwhile.
            if (!(locked.document ? given.boRender(ours, bytes) : boRenderNew(ours, bytes))) {
                VYR_FAIL(failure, CannotStore, "Level mapping cannot be stored in a level file; not written back",
                         locked.document ? given.errorGet() : std::string(), function);
                return false;
            }
        } else if (present.kind == platform::FileKind::Unknown) {
            VYR_FAIL_ERRNO(failure, "Level path cannot be looked at", present.error, "; not written back", function);
            return false;
        } else {
            VYR_FAIL(failure, NotRegularFile, "Level path is no longer a regular file; not written back", {}, function);
            return false;
        }
        if (!boKept) {
            switch (publish(locked, record, bytes, expected, kFailed, function, failure)) {
            case Publication::Changed:
                continue;
            case Publication::Failed:
                return false;
            case Publication::Done:
                break;
            }
        }
        // The fingerprint of what the file now holds, for a later
        // write-back; the view shows it.
        if (boFinal) {
            locked.fingerprint.reset();
        } else {
            locked.fingerprint = fingerprintOf(merged ? *merged : ours);
        }
        if (merged && *merged != ours) {
            cache->vLevelSet(level, std::move(*merged), true);
        }
        if (locked.document) {
            locked.document = bytes;
        }
        // A later write-back of this holder or of another one sharing the
        // lock merges its edits against what was just written; the last
        // holder's last write-back has no later one.
        if (boFinal) {
            locked.base.reset();
        } else {
            locked.base = std::move(bytes);
        }
        locked.boWritten = true;
        locked.writtenChangeCount = cache->changeCountGet();
        return true;
    }
    VYR_FAIL(failure, KeepsChanging, "Level file keeps changing while it is written back; not written back", {},
             function);
    return false;
}

// After a failed write-back the level is read again from its file, so that
// the store agrees with the file and the edits that failed never reach it
// through a later write-back. A file that does not read leaves the level out
// of the cache until it is read again.
void WriteAccess::vWriteBackFailed(Level level, LockedFile& locked) {
    utilities::FileRecord& record = (*fileRecords)[level];
    const std::int64_t readAt = platform::clockTicksGet();
    std::string bytes;
    platform::FileStamp stamp;
    Mapping read;
    if (locked.folder.read(locked.folder.nameGet(), bytes, stamp) == 0) {
        const std::uint64_t hash = platform::contentHash(bytes);
        if (boParse(bytes, read)) {
            locked.fingerprint = fingerprintOf(read);
            locked.base = std::move(bytes);
            locked.document.reset();
            cache->vLevelSet(level, std::move(read), true);
            record.vKnownSet(stamp, hash, readAt);
            return;
        }
    }
    locked.base.reset();
    locked.boWritten = false;
    locked.fingerprint.reset();
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
    if (!boIdLengthFits(level, "vyr::classification::WriteAccess::boLevelReplace")) {
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
        locked.boWritten = true;
        locked.writtenChangeCount = cache->changeCountGet();
        return true;
    }
    locked.document.emplace(document);
    cache->vLevelSet(level, std::move(read), true);
    return true;
}

// The lock check that every edit begins with: false, reported under
// `function` and noted, when the level is not locked.
bool WriteAccess::boEditAllowed(Level level, const char* function) {
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
    return locked && boIdLengthFits(level, function);
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
    VYR_FAIL(failure, NoFile, kIdTooLong, *entry.idLengthProblem, function);
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
    if (!boEditAllowed(level, kFunction) || !boIdsStorable(sourceId, classifiedId, level, kFunction)) {
        return false;
    }
    cache->getOrCreate(level).vMappingAdd(sourceId, classifiedId);
    cache->vSourceRefresh(sourceId); // a rebuild when the level was just created
    return true;
}

bool WriteAccess::boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    constexpr const char* kFunction = "vyr::classification::WriteAccess::boSetMapping";
    if (!boEditAllowed(level, kFunction) || !boIdsStorable(sourceId, classifiedId, level, kFunction)) {
        return false;
    }
    cache->getOrCreate(level).vMappingSet(sourceId, classifiedId);
    cache->vSourceRefresh(sourceId); // a rebuild when the level was just created
    return true;
}

void WriteAccess::vMappingRemove(const std::string& sourceId, const std::string& classifiedId, Level level) {
    if (boEditAllowed(level, "vyr::classification::WriteAccess::vMappingRemove")) {
        cache->vMappingRemove(sourceId, classifiedId, level);
    }
}

void WriteAccess::vMappedToSourceRemove(const std::string& sourceId, Level level) {
    if (boEditAllowed(level, "vyr::classification::WriteAccess::vMappedToSourceRemove")) {
        cache->vMappedToSourceRemove(sourceId, level);
    }
}

void WriteAccess::vMappedToClassifiedRemove(const std::string& classifiedId, Level level) {
    if (boEditAllowed(level, "vyr::classification::WriteAccess::vMappedToClassifiedRemove")) {
        cache->vMappedToClassifiedRemove(classifiedId, level);
    }
}

void WriteAccess::vMappedToSourceInherit(const std::string& sourceId, Level level) {
    if (boEditAllowed(level, "vyr::classification::WriteAccess::vMappedToSourceInherit")) {
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
        VYR_FAIL(failed, NoFile, kIdTooLong, std::move(problem), function);
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
