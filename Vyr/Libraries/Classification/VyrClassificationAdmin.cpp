#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <utility>

#include "Source/Core/Utilities/Cache/FailureNote.h"
#include "Source/Core/Utilities/Cache/FileNames.h"
#include "assert/Check.h"
#include "external/classification/XmlDocument.h"
#include "external/directories/Directories.h"
#include "external/platform/FileSystem.h"
#include "external/str/Utf.h"

namespace vyr::classification {
namespace {

// Whether a regular file is at the path. Opens nothing, so a pipe there
// cannot block the admin's lock.
bool boFileThere(const std::filesystem::path& file) {
    return platform::probe(file).kind == platform::FileKind::Regular;
}

} // namespace

Admin::Admin() {
    const DirectoriesInterface& directories = Directories::getInstance();
    vPathSet(directories.sysDirectoryGet() / "Resources" / sFolderName(), cache::Sys);
    vSubfolderPathSet(Directories::directoryWithSubfolder(directories.sharedDirectoriesGet(), sFolderName()),
                      cache::Shared);
    vUserFolderSet(directories.userDirectoryGet());
}

Admin::~Admin() = default;

std::filesystem::path Admin::extension() const { return std::string(cache::kLevelFileExtension); }

std::string Admin::sFolderName() const { return "Classification"; }

bool Admin::boReadFromStream(std::istream& stream, const Level& level, Cache& cache) {
    Mapping mapping;
    XmlDocument document(mapping);
    if (!document.boRead(stream)) {
        readError = document.errorGet();
        return false;
    }
    cache.vLevelSet(level, std::move(mapping), false);
    return true;
}

Admin::Cache* Admin::cachesGet(std::string_view id) {
    if (caches.find(id) == caches.end()) {
        vUpdateFromFiles(id);
    }
    const auto found = caches.find(id);
    if (found != caches.end()) {
        return &found->second;
    }
    return &caches.try_emplace(std::string(id)).first->second;
}

void Admin::vUpdateFromFiles(std::string_view id, bool* pUnread) {
    if (folders.empty()) {
        return;
    }
    if (const auto noted = readFailures.find(id); noted != readFailures.end()) {
        readFailures.erase(noted);
    }
    bool boAnyRead = false;
    for (auto level = folders.rbegin(); level != folders.rend(); ++level) {
        if (!level->second.empty()) {
            boAnyRead = boUpdateFromFileAtLevel(id, level->first, pUnread) || boAnyRead;
        }
    }
    if (boAnyRead) {
        caches.find(id)->second.vChanged(); // the read inserted the entry
    }
}

bool Admin::boUpdateFromFileAtLevel(std::string_view id, const Level& level, bool* pUnread) {
    vFilePathEnsure(id, level);
    utilities::FileRecord& record = filesGet(id)[level];
    // A level that a write access of this process holds is not read behind
    // its back: its edits may not be written yet, and its write-back merges
    // whatever the file holds.
    if (record.filePath.empty() || WriteAccess::boLevelHeld(record)) {
        return false;
    }
    // The status decides before anything is opened: a pipe or a device at
    // the path would block the open, or never end, while the admin's lock is
    // held. A file whose time, size and identity are those last read or
    // written is not read again, unless that stamp is racy: a version
    // written since, within the file system's time resolution of the last
    // read, may show the same stamp, and only the content tells.
    const platform::FileProbe found = platform::probe(record.filePath);
    if (found.kind != platform::FileKind::Regular && found.kind != platform::FileKind::Folder) {
        return false;
    }
    if (record.boKnownStamp(found.stamp) && record.racy == 0) {
        return false;
    }
    auto cache = caches.find(id);
    if (cache == caches.end()) {
        cache = caches.try_emplace(std::string(id)).first;
    }
    // The stamp recorded is that of the file actually read, so a file that
    // another program replaces or rewrites meanwhile differs from it at the
    // next update and is read again then. Our clock is read first, so that
    // every version written after the read is younger than that moment.
    const std::int64_t readAt = platform::clockTicksGet();
    std::string bytes;
    platform::FileStamp stamp;
    if (const int error = platform::readRegular(record.filePath, bytes, stamp); error != 0) {
        if (error != ENOENT) {
            if (pUnread != nullptr) {
                *pUnread = true;
            }
            vReadFailureNote(id, level, record.filePath, error, found.kind == platform::FileKind::Folder);
        }
        return false;
    }
    // The content is hashed whatever the stamp: a racy version needs it to
    // be told from a later one, and a write access that locks the level
    // later knows the file by it without reading its mapping again, which
    // for a large level would cost as much memory again as the level
    // itself. The hash costs a small part of the parse.
    const std::uint64_t hash = platform::contentHash(bytes);
    if (record.boKnownContent(stamp, hash)) {
        record.vContentChecked(stamp, readAt);
        return false;
    }
    std::istringstream stream(std::move(bytes));
    if (!boReadFromStream(stream, level, cache->second)) {
        if (pUnread != nullptr) {
            *pUnread = true;
        }
        vReadFailureNote(id, level, record.filePath, 0, false);
        return false;
    }
    record.vKnownSet(stamp, hash, readAt);
    return true;
}

// The same words as a refresh reports, without the assertion record: the
// load of a file that does not read stays silent.
void Admin::vReadFailureNote(std::string_view id, Level level, const std::filesystem::path& file, int error,
                             bool boFolder) {
    Failure failure;
    if (error == EINVAL) {
        cache::vFailureNote(failure, cache::FailureKind::NotRegularFile,
                            "Level path is not a regular file; the level keeps what it held", {}, 0,
                            boFolder ? "a folder stands where the mapping file should be" : "not a regular file");
    } else if (error != 0) {
        cache::vFailureNote(failure, cache::FailureKind::SystemError, "Level file cannot be read",
                            "; the level keeps what it held", error, {});
    } else {
        cache::vFailureNote(failure, cache::FailureKind::NotWellFormed,
                            "Level file does not read; the level keeps what it held", {}, 0, readError);
    }
    cache::vFailureTargetSet(failure, level, file);
    auto noted = readFailures.find(id);
    if (noted == readFailures.end()) {
        noted = readFailures.try_emplace(std::string(id)).first;
    }
    // The update walks the levels from the highest down.
    noted->second.insert(noted->second.begin(), std::move(failure));
}

std::vector<Failure> Admin::readFailuresGet(std::string_view id) {
    const std::lock_guard lock(mutex);
    (void)pLoadedCacheGet(id);
    const auto noted = readFailures.find(id);
    return noted == readFailures.end() ? std::vector<Failure>() : noted->second;
}

Admin::Cache* Admin::pLoadedCacheGet(std::string_view id) {
    auto found = caches.find(id);
    if (found == caches.end()) {
        vUpdateFromFiles(id);
        found = caches.find(id);
    }
    return found == caches.end() ? nullptr : &found->second;
}

std::string Admin::sTopTextGet(std::string_view id, std::string Mapping::*text) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    const Mapping* top = cache == nullptr ? nullptr : cache->pTopMappingGet();
    return top == nullptr ? std::string() : top->*text;
}

std::string Admin::sText2Get(std::string_view id) { return sTopTextGet(id, &Mapping::sText2); }
std::string Admin::sText3Get(std::string_view id) { return sTopTextGet(id, &Mapping::sText3); }
std::string Admin::sText4Get(std::string_view id) { return sTopTextGet(id, &Mapping::sText4); }
std::string Admin::sText5Get(std::string_view id) { return sTopTextGet(id, &Mapping::sText5); }
std::string Admin::sText6Get(std::string_view id) { return sTopTextGet(id, &Mapping::sText6); }

bool Admin::boMappingExists(std::string_view id, std::string_view sSourceId, std::string_view sClassifiedId) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    if (cache == nullptr) {
        return false;
    }
    const std::set<std::string>* classified = cache->merged.pClassifiedIdsGet(sSourceId);
    // The merged sets order plain std::string keys, so the classified id is
    // looked up as one.
    return classified != nullptr && classified->find(std::string(sClassifiedId)) != classified->end();
}

WriteAccess Admin::writeAccessGet(std::string_view id) {
    const std::lock_guard lock(mutex);
    vUpdateFromFiles(id);
    VYR_ASSERT(caches.find(id) != caches.end(), "There is no classification with given id",
               "vyr::classification::Admin::writeAccessGet");
    vCreateFolderIfNotAtLevel(cache::User);
    vCreateFolderIfNotAtLevel(cache::Shared);
    Records& records = filesGet(id);
    auto cache = caches.find(id);
    if (cache == caches.end()) {
        cache = caches.try_emplace(std::string(id)).first;
    }
    return WriteAccess(&cache->second, &records);
}

Admin::Cache Admin::sourceCacheRead(std::string_view id, std::string_view sourceId) {
    Records records;
    {
        const std::lock_guard lock(mutex);
        records = sourceRecordsGet(id);
    }
    return sourceLevelsRead(records, sourceId);
}

WriteAccess Admin::sourceWriteAccessGet(std::string_view id, std::string_view sourceId) {
    Records records;
    {
        const std::lock_guard lock(mutex);
        records = sourceRecordsGet(id);
    }
    std::map<Level, WriteAccess::LevelRead> levelsRead;
    Cache cache = sourceLevelsRead(records, sourceId, &levelsRead);
    if (!cache.levels.empty()) {
        const std::lock_guard lock(mutex);
        vCreateFolderIfNotAtLevel(cache::User);
        vCreateFolderIfNotAtLevel(cache::Shared);
    }
    return WriteAccess(std::string(sourceId), std::move(cache), std::move(records), std::move(levelsRead));
}

Admin::Records Admin::sourceRecordsGet(std::string_view id) const {
    // The files as the load finds them: only levels with a folder, and no
    // file for an id that would leave the folder.
    Records records;
    for (const auto& [level, folder] : folders) {
        if (!folder.empty()) {
            std::filesystem::path file = filePathAt(id, level);
            if (!file.empty()) {
                utilities::FileRecord& record = records[level];
                record.filePath = std::move(file);
                record.levelFolder = folder;
            }
        }
    }
    return records;
}

Admin::Cache Admin::sourceLevelsRead(Records& records, std::string_view sourceId,
                                     std::map<Level, WriteAccess::LevelRead>* levelsRead) {
    Cache cache;
    // Highest level first, as the load reads them (the cache's id follows the last read).
    for (auto entry = records.rbegin(); entry != records.rend(); ++entry) {
        const Level level = entry->first;
        utilities::FileRecord& record = entry->second;
        // Regular files only, as the load: a pipe or a folder is not read.
        const std::int64_t readAt = platform::clockTicksGet();
        std::string bytes;
        platform::FileStamp stamp;
        if (platform::readRegular(record.filePath, bytes, stamp) != 0) {
            continue;
        }
        Mapping mapping;
        SourceListing listing;
        if (XmlDocument(mapping).boReadSource(bytes, sourceId, levelsRead != nullptr ? &listing : nullptr)) {
            cache.vLevelSet(level, std::move(mapping), false);
            // A write access that locks the level then knows the version it
            // read: by its stamp, and by the bytes kept for it.
            record.vKnownSet(stamp, utilities::FileRecord::kContentUnknown, readAt);
            if (levelsRead != nullptr) {
                (*levelsRead)[level] = WriteAccess::LevelRead{std::move(bytes), listing};
            }
        }
    }
    cache.vChanged();
    return cache;
}

std::optional<std::string> Admin::levelFileProblemGet(const std::filesystem::path& file) {
    std::string bytes;
    platform::FileStamp stamp;
    const int error = platform::readRegular(file, bytes, stamp);
    if (error == ENOENT || error == ENOTDIR) {
        return std::nullopt;
    }
    if (error == EINVAL) {
        return platform::probe(file).kind == platform::FileKind::Folder
                   ? "a folder stands where the mapping file should be"
                   : "not a regular file";
    }
    if (error != 0) {
        return assert::errnoMessage("cannot be read", error);
    }
    Mapping mapping;
    XmlDocument document(mapping);
    std::istringstream stream(std::move(bytes));
    return document.boRead(stream) ? std::string() : document.errorGet();
}

std::vector<std::string> Admin::levelFileNoticesGet(const std::filesystem::path& file, std::string_view id) {
    std::string bytes;
    platform::FileStamp stamp;
    if (platform::readRegular(file, bytes, stamp) != 0) {
        return {};
    }
    Mapping mapping;
    XmlDocument document(mapping);
    std::istringstream stream(std::move(bytes));
    std::vector<std::string> notices;
    if (!document.boRead(stream, id, notices)) {
        notices.clear();
    }
    return notices;
}

bool Admin::boRefresh(std::string_view id) {
    Failure failure;
    return boRefresh(id, failure);
}

bool Admin::boRefresh(std::string_view id, Failure& failure) {
    failure = Failure();
    const std::lock_guard lock(mutex);
    const auto before = caches.find(id);
    const std::uint64_t count = before == caches.end() ? 0 : before->second.changeCountGet();
    vUpdateFromFiles(id);
    vUnreadLevelsReport(id, failure);
    const auto after = caches.find(id);
    return after != caches.end() && (before == caches.end() || after->second.changeCountGet() != count);
}

// The update skips a file that does not read without a word; a refresh,
// which a host runs to learn of changes, says so. Only a file that is there
// and is not the version the store last read or wrote can be one that did
// not read; it is read once more to learn why (and one that reads now, having
// changed since, is left to the next refresh).
void Admin::vUnreadLevelsReport(std::string_view id, Failure& failure, std::int64_t* pHeldSince) {
    constexpr const char* kFunction = "vyr::classification::Admin::boRefresh";
    const auto records = files.find(id);
    if (records == files.end()) {
        return;
    }
    for (auto level = folders.rbegin(); level != folders.rend(); ++level) {
        const auto found = records->second.find(level->first);
        if (level->second.empty() || found == records->second.end() || found->second.filePath.empty() ||
            WriteAccess::boLevelHeld(found->second)) {
            continue;
        }
        const std::filesystem::path& file = found->second.filePath;
        const platform::FileProbe present = platform::probe(file);
        if (present.kind == platform::FileKind::Missing || present.kind == platform::FileKind::Unknown ||
            (present.kind == platform::FileKind::Regular && found->second.boKnownStamp(present.stamp))) {
            continue;
        }
        if (pHeldSince != nullptr && present.kind == platform::FileKind::Regular) {
            if (const std::int64_t since = writingSinceGet(level->first, file); since >= 0) {
                *pHeldSince = *pHeldSince < 0 ? since : std::min(*pHeldSince, since);
                continue; // still being written: see changedRefresh
            }
        }
        const bool boFirst = !failure.boFailed();
        std::string bytes;
        platform::FileStamp stamp;
        const int error =
            present.kind == platform::FileKind::Regular ? platform::readRegular(file, bytes, stamp) : EINVAL;
        if (error == ENOENT) {
            continue;
        }
        if (error == EINVAL) {
            VYR_FAIL(failure, NotRegularFile, "Level path is not a regular file; the level keeps what it held",
                     present.kind == platform::FileKind::Folder ? "a folder stands where the mapping file should be"
                                                                : "not a regular file",
                     kFunction);
        } else if (error != 0) {
            VYR_FAIL_ERRNO(failure, "Level file cannot be read", error, "; the level keeps what it held", kFunction);
        } else {
            Mapping mapping;
            XmlDocument document(mapping);
            std::istringstream stream(std::move(bytes));
            if (document.boRead(stream)) {
                continue;
            }
            VYR_FAIL(failure, NotWellFormed, "Level file does not read; the level keeps what it held",
                     document.errorGet(), kFunction);
        }
        if (boFirst) {
            cache::vFailureTargetSet(failure, level->first, file);
        }
    }
}

std::uint64_t Admin::changeCountGet(std::string_view id) {
    const std::lock_guard lock(mutex);
    const auto found = caches.find(id);
    return found == caches.end() ? 0 : found->second.changeCountGet();
}

void Admin::vWatchEnsure() {
    if (!watch) {
        watch = std::make_unique<platform::FolderWatch>();
        // What changed before the watch began is found by the first refresh.
        boWatchFresh = true;
    }
    // A level folder that was changed (vLevelFolderChange) since the watch
    // was set moves the watch; its level was forgotten, so every loaded id
    // is compared again.
    for (const auto& [level, folder] : folders) {
        if (folder.empty()) {
            continue;
        }
        const auto found = std::find(watchLevels.begin(), watchLevels.end(), level);
        if (found == watchLevels.end()) {
            watch->folderAdd(folder);
            watchLevels.push_back(level);
            boWatchFresh = true;
        } else if (const auto index = static_cast<std::size_t>(found - watchLevels.begin());
                   watch->folderGet(index) != folder) {
            watch->vFolderMove(index, folder);
            boWatchFresh = true;
        }
    }
}

std::int64_t Admin::writingSinceGet(const Level& level, const std::filesystem::path& file) const {
    const auto found = std::find(watchLevels.begin(), watchLevels.end(), level);
    if (!watch || found == watchLevels.end()) {
        return -1;
    }
    const std::int64_t since =
        watch->writingSinceGet(static_cast<std::size_t>(found - watchLevels.begin()), file.filename().string());
    return since >= 0 && platform::monotonicMillisecondsGet() - since < pollInterval.count() ? since : -1;
}

int Admin::changeDescriptorGet() {
    const std::lock_guard lock(mutex);
    vWatchEnsure();
    return watch->descriptorGet();
}

std::vector<std::string> Admin::changedRefresh(Failure& failure) {
    failure = Failure();
    const std::lock_guard lock(mutex);
    vWatchEnsure();
    bool boAll = boWatchFresh;
    boWatchFresh = false;
    for (std::size_t index = 0; index < watch->folderCountGet(); ++index) {
        boAll = boAll || !watch->stateGet(index).boWatched;
    }
    // Names only: a lock file, a temporary file or a file of an id that is
    // not loaded costs no status call.
    std::set<std::string, std::less<>> candidates;
    for (const platform::FolderWatch::Change& change : watch->changesRead()) {
        if (change.name.empty()) {
            boAll = true;
            continue;
        }
        const std::optional<cache::ParsedFileName> parsed = cache::parseFileName(change.name);
        if (parsed && parsed->type == cache::FileType::Level && caches.find(parsed->id) != caches.end()) {
            candidates.insert(parsed->id);
        }
    }
    watch->vWritingForget(platform::monotonicMillisecondsGet() - pollInterval.count());
    // An id held back while its file was being written is looked at again
    // at every refresh, until it reads or is reported.
    for (const auto& [id, deadline] : heldBack) {
        candidates.insert(id);
    }
    std::vector<std::string> changed;
    const auto vCheck = [&](const std::string& id, Cache& cache) {
        const std::uint64_t count = cache.changeCountGet();
        bool boUnread = false;
        vUpdateFromFiles(id, &boUnread);
        heldBack.erase(id);
        if (boUnread) {
            std::int64_t heldSince = -1;
            vUnreadLevelsReport(id, failure, &heldSince); // keeps the first failure
            if (heldSince >= 0) {
                heldBack[id] = heldSince + pollInterval.count();
            }
        }
        if (cache.changeCountGet() != count) {
            changed.push_back(id);
        }
    };
    if (boAll) {
        for (auto& [id, cache] : caches) {
            vCheck(id, cache);
        }
    } else {
        for (const std::string& id : candidates) {
            vCheck(id, caches.find(id)->second);
        }
    }
    return changed;
}

std::optional<std::chrono::milliseconds> Admin::refreshWaitGet() {
    const std::lock_guard lock(mutex);
    vWatchEnsure();
    if (boWatchFresh) {
        return std::chrono::milliseconds(0); // what changed before the watch was set
    }
    std::optional<std::chrono::milliseconds> wait;
    for (std::size_t index = 0; index < watch->folderCountGet(); ++index) {
        if (!watch->stateGet(index).boWatched) {
            wait = pollInterval;
        }
    }
    const std::int64_t now = platform::monotonicMillisecondsGet();
    for (const auto& [id, deadline] : heldBack) {
        // One millisecond more, so that the refresh at its end finds the
        // interval passed on a clock read in whole milliseconds.
        const std::chrono::milliseconds until(std::max<std::int64_t>(0, deadline - now) + 1);
        wait = wait ? std::min(*wait, until) : until;
    }
    return wait;
}

void Admin::vPollIntervalSet(std::chrono::milliseconds interval) {
    const std::lock_guard lock(mutex);
    pollInterval = interval;
}

std::vector<LevelWatch> Admin::watchesGet() {
    const std::lock_guard lock(mutex);
    vWatchEnsure();
    std::vector<LevelWatch> watches;
    for (std::size_t index = 0; index < watch->folderCountGet(); ++index) {
        const platform::FolderWatch::State& state = watch->stateGet(index);
        watches.push_back({watchLevels[index], watch->folderGet(index), state.boWatched, state.sReason});
    }
    return watches;
}

bool Admin::boIsCached(std::string_view id) const { return caches.find(id) != caches.end(); }

bool Admin::boCreateClassification(const std::string& id, const std::string& sText2, const std::string& sText3,
                                   const std::string& sText4, const std::string& sText5, bool boFlag1, bool boFlag2,
                                   const Level& level) {
    Failure failure;
    return boCreateClassification(id, sText2, sText3, sText4, sText5, boFlag1, boFlag2, level, failure);
}

bool Admin::boCreateClassification(const std::string& id, const std::string& sText2, const std::string& sText3,
                                   const std::string& sText4, const std::string& sText5, bool boFlag1, bool boFlag2,
                                   const Level& level, Failure& failure) {
    constexpr const char* kFunction = "vyr::classification::Admin::boCreateClassification";
    failure = Failure();
    const std::lock_guard lock(mutex);
    vUpdateFromFiles(id);
    if (level != cache::Sys) {
        vCreateFolderIfNotAtLevel(level);
    }
    VYR_ASSERT(level != cache::Sys, "You are not supposed to do changes at sys level.", kFunction);
    VYR_ASSERT(!(caches.find(id) != caches.end() && boFileThere(filesGet(id)[level].filePath)),
               "Classification already exists.", kFunction);

    const Mapping mapping(id, sText2, sText3, sText4, sText5, boFlag1, boFlag2);

    // Only a file inside an existing level folder is written, reached
    // without following a link below the folder, under the level's lock,
    // and it is published without replacing anything: a file that another
    // process makes at the path meanwhile is kept and the creation fails.
    const std::filesystem::path folder = path(level);
    if (folder.empty() || !utilities::boIdStaysInFolder(id)) {
        cache::vFailureNote(failure, cache::FailureKind::NoFile,
                            folder.empty() ? "No path found at given level"
                                           : "Classification id cannot name a file inside the level folder",
                            {}, 0, {});
        cache::vFailureTargetSet(failure, level, {});
        return false;
    }
    const std::filesystem::path file = filePathAt(id, level);
    Records& records = filesGet(id);
    utilities::FileRecord& record = records[level];
    const utilities::FileRecord before = record;
    if (record.filePath != file) {
        record.filePath = file;
    }
    record.levelFolder = folder;
    if (!WriteAccess::boLevelFileCreate(record, mapping, kFunction, failure)) {
        // A plain false: something is at the path.
        cache::vFailureNote(failure, cache::FailureKind::Exists, "Classification already exists.", {}, 0, {});
        cache::vFailureTargetSet(failure, level, file);
        record = before;
        return false;
    }
    auto cache = caches.find(id);
    if (cache == caches.end()) {
        cache = caches.try_emplace(id).first;
    }
    cache->second.vLevelSet(level, mapping, true);
    return true;
}

bool Admin::boClassificationExists(std::string_view id) {
    {
        const std::lock_guard lock(mutex);
        if (caches.find(id) == caches.end()) {
            vUpdateFromFiles(id);
        }
    }
    const std::lock_guard lock(mutex);
    return caches.find(id) != caches.end();
}

const std::set<std::string>* Admin::pClassifiedIdsGet(std::string_view id, std::string_view sourceId) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    return cache == nullptr ? nullptr : cache->merged.pClassifiedIdsGet(sourceId);
}

const std::set<std::string>* Admin::pSourceIdsGet(std::string_view id, std::string_view classifiedId) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    return cache == nullptr ? nullptr : cache->merged.pSourceIdsGet(classifiedId);
}

std::string Admin::sClassifiedIdGet(std::string_view id, std::string_view sourceId) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    return cache == nullptr ? std::string() : cache->merged.sClassifiedIdGet(sourceId);
}

std::string Admin::sSourceIdGet(std::string_view id, std::string_view classifiedId) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    return cache == nullptr ? std::string() : cache->merged.sSourceIdGet(classifiedId);
}

std::set<std::pair<std::string, std::string>> Admin::mappingsGet(std::string_view id) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    return cache == nullptr ? std::set<std::pair<std::string, std::string>>() : cache->merged.mappingsGet();
}

std::optional<std::set<std::string>> Admin::classifiedIdsCopyGet(std::string_view id, std::string_view sourceId) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    const std::set<std::string>* found = cache == nullptr ? nullptr : cache->merged.pClassifiedIdsGet(sourceId);
    return found == nullptr ? std::nullopt : std::optional(*found);
}

std::optional<std::set<std::string>> Admin::sourceIdsCopyGet(std::string_view id, std::string_view classifiedId) {
    const std::lock_guard lock(mutex);
    const Cache* cache = pLoadedCacheGet(id);
    const std::set<std::string>* found = cache == nullptr ? nullptr : cache->merged.pSourceIdsGet(classifiedId);
    return found == nullptr ? std::nullopt : std::optional(*found);
}

} // namespace vyr::classification
