#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/CacheFilesWithLevels.h"
#include "Source/Core/Utilities/Cache/CacheWriteAccessImpl.h"
#include "assert/Check.h"
#include "external/classification/XmlDocument.h"
#include "external/platform/FileSystem.h"

namespace vyr::cache {
template class CacheWriteAccess<classification::CacheLevels<Level>>;
} // namespace vyr::cache

namespace vyr::classification {
namespace {

constexpr const char* kWriteBackFunction = "vyr::classification::WriteAccess::~WriteAccess";
constexpr const char* kLockedReadFunction = "vyr::classification::WriteAccess::boLockedFileRead";

// One report per kind of failed write, so that a person sees the reason.
void vWriteFailureReport(int error) {
    switch (error) {
    case ENOSPC:
        VYR_REPORT("Level file could not be written back: no space left on device", kWriteBackFunction);
        break;
    case EDQUOT:
        VYR_REPORT("Level file could not be written back: disk quota exceeded", kWriteBackFunction);
        break;
    case EFBIG:
        VYR_REPORT("Level file could not be written back: file too large", kWriteBackFunction);
        break;
    case EACCES:
    case EPERM:
        VYR_REPORT("Level file could not be written back: permission denied", kWriteBackFunction);
        break;
    case EROFS:
        VYR_REPORT("Level file could not be written back: read-only file system", kWriteBackFunction);
        break;
    default:
        VYR_REPORT("Level file could not be written back", kWriteBackFunction);
        break;
    }
}

bool boSameHeader(const Mapping& left, const Mapping& right) {
    return left.sId == right.sId && left.sText2 == right.sText2 && left.sText3 == right.sText3 &&
           left.sText4 == right.sText4 && left.sText5 == right.sText5 && left.sText6 == right.sText6 &&
           left.sText7 == right.sText7 && left.boFlag1 == right.boFlag1 && left.boFlag2 == right.boFlag2;
}

// The file's new content (theirs) with the edits made since the base on
// top, pair by pair: for every source id whose entry differs between the
// base and the edited mapping (ours), the pairs the edits added join
// theirs and the pairs they removed leave it; a source id the edits
// unlisted leaves theirs, and one they listed is listed. The header follows
// the edits when they changed it. Without a base the level was made by the
// edits, and all of ours goes on top.
Mapping mergedMapping(Mapping theirs, const Mapping& ours, const std::optional<Mapping>& base) {
    Mapping::Relation& result = theirs.sourceToClassified;
    if (!base) {
        for (const auto& [source, classified] : ours.sourceToClassified) {
            result[source].insert(classified.begin(), classified.end());
        }
        return theirs;
    }
    if (!boSameHeader(ours, *base)) {
        Mapping header = ours;
        header.sourceToClassified = std::move(theirs.sourceToClassified);
        header.secondRelation = std::move(theirs.secondRelation);
        theirs = std::move(header);
    }
    static const std::set<std::string> kNone;
    const auto apply = [&result](const std::string& source, const std::set<std::string>& before,
                                 const std::set<std::string>& after) {
        std::set<std::string>& merged = result[source];
        for (const std::string& id : before) {
            if (after.count(id) == 0) {
                merged.erase(id);
            }
        }
        merged.insert(after.begin(), after.end());
    };
    auto edited = ours.sourceToClassified.begin();
    auto locked = base->sourceToClassified.begin();
    const auto editedEnd = ours.sourceToClassified.end();
    const auto lockedEnd = base->sourceToClassified.end();
    while (edited != editedEnd || locked != lockedEnd) {
        if (locked == lockedEnd || (edited != editedEnd && edited->first < locked->first)) {
            apply(edited->first, kNone, edited->second);
            ++edited;
        } else if (edited == editedEnd || locked->first < edited->first) {
            result.erase(locked->first);
            ++locked;
        } else {
            if (edited->second != locked->second) {
                apply(edited->first, locked->second, edited->second);
            }
            ++edited;
            ++locked;
        }
    }
    return theirs;
}

// Parses a file's bytes into the mapping; false when they do not read.
bool boParse(std::string bytes, Mapping& mapping) {
    std::istringstream stream(std::move(bytes));
    XmlDocument document(mapping);
    return document.boRead(stream);
}

} // namespace

WriteAccess::~WriteAccess() {
    for (auto& [level, locked] : lockedFiles) {
        VYR_ASSERT(locked != nullptr, "No file locked", kWriteBackFunction);
        if (locked != nullptr) {
            vWriteBack(level, *locked, locked.use_count() > 1);
        }
    }
}

bool WriteAccess::boLockedFileRead(const Level& level, const platform::Folder& folder) {
    utilities::FileRecord& record = (*fileRecords)[level];
    std::string bytes;
    platform::FileStamp stamp;
    if (folder.read(folder.nameGet(), bytes, stamp) != 0) {
        VYR_REPORT("Level file cannot be read; not locked", kLockedReadFunction);
        return false;
    }
    const std::uint64_t hash = platform::contentHash(bytes);
    if (record.boKnownContent(stamp, hash) && cache->levels.count(level) != 0) {
        return true;
    }
    Mapping read;
    if (!boParse(std::move(bytes), read)) {
        VYR_REPORT("Level file does not read; not locked", kLockedReadFunction);
        return false;
    }
    cache->vLevelSet(level, std::move(read), true);
    record.vKnownSet(stamp, hash);
    return true;
}

// Writes the level's mapping back into its file. The document is made in
// memory, written to a temporary file in the same folder, synced and
// renamed over the level file, so the file is always either the whole old
// document or the whole new one. The file is looked at first: when it is no
// longer the version the store last read or wrote (another program replaced
// or rewrote it while the level was locked), it is read and the edits go on
// top of it; when it does not read, or became a link, it is left alone.
void WriteAccess::vWriteBack(Level level, LockedFile& locked, bool boShared) {
    auto found = cache->levels.find(level);
    if (found == cache->levels.end()) {
        return;
    }
    utilities::FileRecord& record = (*fileRecords)[level];
    const platform::Folder& folder = locked.folder;
    // A file that appears where there was none while this write-back runs
    // is not replaced: it is looked at again and merged like any other.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const platform::FileProbe present = folder.probe(folder.nameGet());
        if (present.kind == platform::FileKind::Regular) {
            if (present.links > 1) {
                VYR_REPORT("Level file has several hard links; not written back", kWriteBackFunction);
                return;
            }
            std::string bytes;
            platform::FileStamp stamp;
            if (folder.read(folder.nameGet(), bytes, stamp) != 0) {
                VYR_REPORT("Level file cannot be read; not written back", kWriteBackFunction);
                return;
            }
            if (!record.boKnownContent(stamp, platform::contentHash(bytes))) {
                Mapping theirs;
                if (!boParse(std::move(bytes), theirs)) {
                    VYR_REPORT("Level file was replaced by one that does not read; not written back",
                               kWriteBackFunction);
                    return;
                }
                cache->vLevelSet(level, mergedMapping(std::move(theirs), found->second, locked.base), true);
                found = cache->levels.find(level);
            }
        } else if (present.kind != platform::FileKind::Missing) {
            VYR_REPORT("Level path is no longer a regular file; not written back", kWriteBackFunction);
            return;
        }

        std::ostringstream rendered;
        const XmlDocument document(found->second);
        if (!document.boWrite(rendered)) {
            VYR_REPORT("Level mapping cannot be stored in a level file; not written back", kWriteBackFunction);
            return;
        }
        const std::string bytes = std::move(rendered).str();
        platform::FileStamp stamp;
        const bool boReplace = present.kind == platform::FileKind::Regular;
        const int permissions = boReplace ? static_cast<int>(present.permissions) : -1;
        const int error = folder.write(folder.nameGet(), bytes, boReplace, permissions, stamp);
        if (error == EEXIST && !boReplace) {
            continue;
        }
        if (error != 0) {
            vWriteFailureReport(error);
            return;
        }
        record.vKnownSet(stamp, platform::contentHash(bytes));
        // Another holder of the level merges its later edits against what
        // was just written.
        if (boShared) {
            locked.base = found->second;
        }
        return;
    }
    VYR_REPORT("Level file keeps appearing while it is written back; not written back", kWriteBackFunction);
}

bool WriteAccess::boAddMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::boAddMapping");
    if (!locked) {
        return false;
    }
    if (!XmlDocument::boTextStorable(sourceId) || !XmlDocument::boTextStorable(classifiedId)) {
        VYR_REPORT("Ids cannot be stored in a level file", "vyr::classification::WriteAccess::boAddMapping");
        return false;
    }
    cache->getOrCreate(level).vMappingAdd(sourceId, classifiedId);
    cache->vSourceRefresh(sourceId); // a rebuild when the level was just created
    return true;
}

bool WriteAccess::boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::boSetMapping");
    if (!locked) {
        return false;
    }
    if (!XmlDocument::boTextStorable(sourceId) || !XmlDocument::boTextStorable(classifiedId)) {
        VYR_REPORT("Ids cannot be stored in a level file", "vyr::classification::WriteAccess::boSetMapping");
        return false;
    }
    cache->getOrCreate(level).vMappingSet(sourceId, classifiedId);
    cache->vSourceRefresh(sourceId); // a rebuild when the level was just created
    return true;
}

void WriteAccess::vMappingRemove(const std::string& sourceId, const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::vMappingRemove");
    if (locked) {
        cache->vMappingRemove(sourceId, classifiedId, level);
    }
}

void WriteAccess::vMappedToSourceRemove(const std::string& sourceId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::vMappedToSourceRemove");
    if (locked) {
        cache->vMappedToSourceRemove(sourceId, level);
    }
}

void WriteAccess::vMappedToClassifiedRemove(const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::vMappedToClassifiedRemove");
    if (locked) {
        cache->vMappedToClassifiedRemove(classifiedId, level);
    }
}

void WriteAccess::vMappedToSourceInherit(const std::string& sourceId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::vMappedToSourceInherit");
    if (locked) {
        cache->vMappedToSourceInherit(sourceId, level);
    }
}

void WriteAccess::vCreateFileIfNotAtLevel(const Level& level) {
    if (cache == nullptr || fileRecords == nullptr) {
        return; // moved from
    }
    utilities::FileRecord& record = (*fileRecords)[level];
    if (record.filePath.empty()) {
        return; // the id names no file inside the level folder
    }
    // Anything at the path counts as present, readable or not, and is never
    // replaced; nothing there is opened.
    // A missing folder holds nothing either; the file then cannot be written.
    platform::Folder folder;
    const int opened = folder.open(cache::levelFolderOf(record), record.filePath);
    if ((opened != 0 && opened != ENOENT) ||
        (opened == 0 && folder.probe(folder.nameGet()).kind != platform::FileKind::Missing)) {
        return;
    }
    if (cache->levels.empty()) {
        VYR_REPORT("No cached definition in lower level", "vyr::classification::WriteAccess::vCreateFileIfNotAtLevel");
        return;
    }
    const Mapping& highest = cache->levels.rbegin()->second;
    const Mapping header(highest.sId, highest.sText2, highest.sText3, highest.sText4, highest.sText5,
                         highest.boFlag1, highest.boFlag2);
    Mapping& created = cache->mappingAtLevel(level);
    created.vSet(header);
    cache->vChangePendingMark(); // the merged view is left as it was: stale until the next rebuild
    std::ostringstream rendered;
    if (!XmlDocument(created).boWrite(rendered)) {
        return;
    }
    const std::string bytes = std::move(rendered).str();
    platform::FileStamp stamp;
    // A file that another process made meanwhile is left as it is.
    if (opened == 0 && folder.write(folder.nameGet(), bytes, false, -1, stamp) == 0) {
        record.vKnownSet(stamp, platform::contentHash(bytes));
    }
}

} // namespace vyr::classification
