#pragma once

#include <chrono>
#include <map>
#include <cstdint>
#include <memory>
#include <vector>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "Source/Core/Utilities/Cache/CacheAdminBase.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Core/Utilities/Cache/LevelWatch.h"
#include "Source/Resource/Classification/ClassificationAdminInterface.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "external/platform/FolderWatch.h"

namespace vyr::classification {

// The process-wide store of classification mappings. Owns the level
// folders, the file records and one level cache per classification id, all
// by value; cache entries are never erased while the admin lives. Reads the
// level files lazily, answers queries from the merged views, creates
// classifications and hands out write access.
//
// Thread-safe: every public operation takes the admin's mutex for its whole
// run (file reads and writes included) through a scope guard, except
// boIsCached and vUserLevelInvalidate, which take none, and the operations
// marked "Requires: the admin's mutex is held". No locking operation calls
// another one: the mutex is not recursive.
using cache::LevelWatch;

class Admin : public cache::CacheAdminBase<CacheLevels<cache::Level>>, public AdminInterface {
public:
    using Level = cache::Level;
    using Cache = CacheLevels<Level>;

    // Fills the three level folders from the process-wide directory service.
    Admin();
    ~Admin() override;
    Admin(const Admin&) = delete;
    Admin& operator=(const Admin&) = delete;

    // Level file hooks: the extension "xml" and the parsing of one file.
    [[nodiscard]] std::filesystem::path extension() const override;
    // Requires: the admin's mutex is held.
    [[nodiscard]] bool boReadFromStream(std::istream& stream, const Level& level, Cache& cache) override;
    [[nodiscard]] std::string sFolderName() const override;

    // The id's level cache, loaded or inserted empty; never null. Valid
    // until the admin is destroyed.
    // Requires: the admin's mutex is held.
    [[nodiscard]] Cache* cachesGet(std::string_view id);
    // Reads every level file of the id that is newer than its record,
    // highest level first, and rebuilds the merged view once if any was read.
    // Notes each level file that is there and does not read, for
    // readFailuresGet (the notes of the update before are dropped).
    // Requires: the admin's mutex is held.
    // When `pUnread` is given, it is set when a level file is there, is not
    // the version last read or written, and did not read.
    void vUpdateFromFiles(std::string_view id, bool* pUnread = nullptr);
    // Reads the id's file at the level when it is newer than its record.
    // Requires: the admin's mutex is held.
    [[nodiscard]] bool boUpdateFromFileAtLevel(std::string_view id, const Level& level, bool* pUnread = nullptr);

    // Text attributes of the highest level present; empty when none.
    // Each takes the admin's mutex.
    [[nodiscard]] std::string sText2Get(std::string_view id);
    [[nodiscard]] std::string sText3Get(std::string_view id);
    [[nodiscard]] std::string sText4Get(std::string_view id);
    [[nodiscard]] std::string sText5Get(std::string_view id);
    [[nodiscard]] std::string sText6Get(std::string_view id);

    // The level files of the id that were there but did not read when the
    // store last read the id's files (vUpdateFromFiles), lowest level first;
    // loads the id on first use, like the queries. Reports nothing.
    // Takes the admin's mutex.
    [[nodiscard]] std::vector<Failure> readFailuresGet(std::string_view id);

    // Whether the merged view maps the source id to the classified id.
    // Takes the admin's mutex.
    [[nodiscard]] bool boMappingExists(std::string_view id, std::string_view sSourceId,
                                       std::string_view sClassifiedId);

    // Write access to the id, after reading its newer level files and making
    // the User and Shared folders. Takes the admin's mutex while it builds
    // the object only.
    [[nodiscard]] WriteAccess writeAccessGet(std::string_view id);

    // How the file at the path reads as a level file, without touching the
    // store: nothing when nothing is there, an empty text when it reads as a
    // mapping, else the reason (a parse error names its line and column).
    // Reads exactly as the store does: regular files only, never blocking
    // on a pipe, looking again at a file that is being replaced. Takes no
    // lock.
    [[nodiscard]] static std::optional<std::string> levelFileProblemGet(const std::filesystem::path& file);
    // What the read of the level file of the id passed over, one line each
    // ("line L, column C: ...; expected ..."): see XmlDocument::boRead. An
    // empty id is not compared with the root's. Empty when nothing is there
    // or the file does not read. Takes no lock.
    [[nodiscard]] static std::vector<std::string> levelFileNoticesGet(const std::filesystem::path& file,
                                                                      std::string_view id);

    // One source id of the id, as the store's view would show it, read
    // straight from the level files instead of the store's caches: a level
    // cache of its own (not the store's) holding, at each level whose file
    // reads, that file's texts and flags and, of its relations, only the
    // source id's entries; its merged view is built by the store's merge
    // rule. Each level file is read whole and checked exactly as the
    // store's load checks it, so a file that does not read is absent here
    // as it is from the store's view (levelFileProblemGet says why); the
    // cache's levels are empty when no file reads. Reads every file, also
    // one the store has read or a write access holds, and changes nothing
    // in the store. Takes the admin's mutex to learn the files' paths only.
    [[nodiscard]] Cache sourceCacheRead(std::string_view id, std::string_view sourceId);
    // A write access of one source id of the id (WriteAccess, "One source
    // id"): its own cache is read as sourceCacheRead reads it, and its
    // records name the files it was read from and the versions it read, so
    // that locking a level whose file did not change reads nothing more.
    // Makes the user and shared level folders as writeAccessGet does when
    // some level file reads. Takes the admin's mutex to learn the files'
    // paths and to make the folders.
    [[nodiscard]] WriteAccess sourceWriteAccessGet(std::string_view id, std::string_view sourceId);

    // Reads again the id's level files that changed since the store last
    // read or wrote them (the rule of writeAccessGet), rebuilding the merged
    // view once when any was read; true when the view changed. A level that
    // a write access of this process holds is not read. A level file that is
    // there but does not read is reported, and its level keeps what it held;
    // the second form also gives the first such file in `failure` (empty
    // when every file there read). Takes the admin's mutex.
    [[nodiscard]] bool boRefresh(std::string_view id);
    [[nodiscard]] bool boRefresh(std::string_view id, Failure& failure);

    // A count that moves whenever the id's merged view changes; 0 for an id
    // that is not cached. Loads nothing. Takes the admin's mutex.
    [[nodiscard]] std::uint64_t changeCountGet(std::string_view id);

    // Hearing of changes. The watch of the level folders is made on the
    // first call of any of these four and lives until the admin is
    // destroyed, which closes its descriptor; a level folder changed since
    // (vLevelFolderChange) moves it at the next call. Each takes the
    // admin's mutex.

    // The descriptor that becomes readable when a level file of a loaded id
    // may have changed; -1 when there is no watch facility.
    [[nodiscard]] int changeDescriptorGet();
    // Drains the descriptor and refreshes, by the rule of boRefresh, the
    // loaded ids that may have changed: those whose level file names came
    // in events of watched folders, and every loaded id when a folder is
    // polled, a folder on a level folder's path appeared, went away or was
    // replaced, events were lost, and on the first call after the watch
    // was made or moved (so a change made at any time after an id was
    // loaded is reported). Returns the ids whose change count moved, in
    // order; `failure` gives the first level file that did not read (empty
    // when all read).
    //
    // A file still being written is not reported as not reading: when a
    // level file that does not read was created by a program of this
    // machine and has not been closed after writing since, it is held back
    // (its level keeps what it held, nothing is reported) until its close
    // is heard, or until one poll interval has passed since its creation,
    // whichever comes first; refreshWaitGet gives the time left, so the
    // refresh after it reports the file if it still does not read. A file
    // saved by rename arrives whole and is never held back, nor is one in
    // a polled folder (no creation is heard there).
    [[nodiscard]] std::vector<std::string> changedRefresh(Failure& failure);
    // The longest wait before changedRefresh should run anyway: zero right
    // after the watch was made or moved, else nothing when every level
    // folder is watched and no file is held back, else the poll interval
    // or the time left for a held-back file, whichever is shorter.
    [[nodiscard]] std::optional<std::chrono::milliseconds> refreshWaitGet();
    // Sets the poll interval (kPollIntervalDefault until set).
    void vPollIntervalSet(std::chrono::milliseconds interval);
    // Each level folder with a path, lowest level first, and how it is followed.
    [[nodiscard]] std::vector<LevelWatch> watchesGet();

    static constexpr std::chrono::milliseconds kPollIntervalDefault{2000};

    // Whether the id has a cache entry. Takes no lock and loads nothing.
    [[nodiscard]] bool boIsCached(std::string_view id) const;

    // Writes a new classification's file at the level and caches it. Never
    // replaces an existing file. The second form gives why it returned
    // false in `failure` (empty after a success). Takes the admin's mutex.
    [[nodiscard]] bool boCreateClassification(const std::string& id, const std::string& sText2,
                                              const std::string& sText3, const std::string& sText4,
                                              const std::string& sText5, bool boFlag1, bool boFlag2,
                                              const Level& level);
    [[nodiscard]] bool boCreateClassification(const std::string& id, const std::string& sText2,
                                              const std::string& sText3, const std::string& sText4,
                                              const std::string& sText5, bool boFlag1, bool boFlag2,
                                              const Level& level, Failure& failure);

    // Queries on the merged view; each takes the admin's mutex and loads the
    // classification on first use.
    [[nodiscard]] bool boClassificationExists(std::string_view id) override;
    [[nodiscard]] const std::set<std::string>* pClassifiedIdsGet(std::string_view id,
                                                                 std::string_view sourceId) override;
    [[nodiscard]] const std::set<std::string>* pSourceIdsGet(std::string_view id,
                                                             std::string_view classifiedId) override;
    [[nodiscard]] std::string sClassifiedIdGet(std::string_view id, std::string_view sourceId) override;
    [[nodiscard]] std::string sSourceIdGet(std::string_view id, std::string_view classifiedId) override;
    [[nodiscard]] std::set<std::pair<std::string, std::string>> mappingsGet(std::string_view id) override;

    // Copies, made under the admin's mutex, of what pClassifiedIdsGet and
    // pSourceIdsGet point at; nothing where they give null. Each costs the
    // lookup and one allocation per id of the set.
    [[nodiscard]] std::optional<std::set<std::string>> classifiedIdsCopyGet(std::string_view id,
                                                                           std::string_view sourceId);
    [[nodiscard]] std::optional<std::set<std::string>> sourceIdsCopyGet(std::string_view id,
                                                                       std::string_view classifiedId);

private:
    // The records of the id's level files, as the load finds them (levels
    // with a folder, no file for an id that would leave it), with nothing
    // known of their versions.
    // Requires: the admin's mutex is held.
    [[nodiscard]] Records sourceRecordsGet(std::string_view id) const;
    // Reads each file of the records whole, checked as the load checks it,
    // keeping only the source id's entries; notes in each record the
    // version read (its stamp: the content is not hashed). A file that does
    // not read is left out. With `levelsRead`, the bytes of each level that
    // reads and how they list the source id are kept there, so that a lock
    // can tell by them whether the file is still the version read, and a
    // patch of them need not survey them.
    [[nodiscard]] static Cache sourceLevelsRead(Records& records, std::string_view sourceId,
                                                std::map<Level, WriteAccess::LevelRead>* levelsRead = nullptr);
    // The cached entry of the id after the first-use load, or null.
    // Requires: the admin's mutex is held.
    Cache* pLoadedCacheGet(std::string_view id);
    // Requires: the admin's mutex is held.
    std::string sTopTextGet(std::string_view id, std::string Mapping::*text);
    // Reports each level file of the id that is there, is not held by a
    // write access of this process, and is not the version last read or
    // written, when it does not read; notes the first in `failure`.
    // Requires: the admin's mutex is held.
    // With `pHeldSince`, a file still being written (see changedRefresh) is
    // not reported; the earliest such creation is given there.
    void vUnreadLevelsReport(std::string_view id, Failure& failure, std::int64_t* pHeldSince = nullptr);
    // Notes that the id's file at the level did not read: the system's
    // error, or 0 for a document refused (readError says why); boFolder:
    // a folder stands at the path.
    // Requires: the admin's mutex is held.
    void vReadFailureNote(std::string_view id, Level level, const std::filesystem::path& file, int error,
                          bool boFolder);
    // When the level file was created by a program of this machine and not
    // closed after writing, less than a poll interval ago; else -1.
    // Requires: the admin's mutex is held.
    [[nodiscard]] std::int64_t writingSinceGet(const Level& level, const std::filesystem::path& file) const;
    // Makes the watch of the level folders on first use, and moves the
    // watch of a level folder that changed.
    // Requires: the admin's mutex is held.
    void vWatchEnsure();

    // The watch of the level folders and the level of each folder it
    // follows, by index; made on first use. Guarded by the admin's mutex.
    std::unique_ptr<platform::FolderWatch> watch;
    std::vector<Level> watchLevels;
    bool boWatchFresh = false;
    // Per id, the level files that did not read at its last update, lowest
    // level first; ids whose files all read have no entry. Guarded by the
    // admin's mutex.
    std::map<std::string, std::vector<Failure>, std::less<>> readFailures;
    // Why the last boReadFromStream that failed refused its document.
    // Guarded by the admin's mutex.
    std::string readError;
    // Ids whose level file did not read while still being written, with the
    // moment (monotonicMillisecondsGet) after which it is reported.
    std::map<std::string, std::int64_t, std::less<>> heldBack;
    std::chrono::milliseconds pollInterval = kPollIntervalDefault;
};

} // namespace vyr::classification
