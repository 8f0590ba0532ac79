#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Core/Utilities/Cache/LevelWatch.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "external/platform/Export.h"
#include "external/platform/FileSystemKind.h"

namespace vyr::classification {
class Admin;
} // namespace vyr::classification

namespace vyr::bridge::classification {

// The store's outside face: the handle through which a host program, a
// classification module and the tools reach the process-wide admin, as a
// plain pointer to it, not owned. Every operation forwards to the admin with
// its arguments unchanged and returns its result.
//
// Threads: thread-safe. Every operation takes the store's lock (the admin's
// mutex) for its whole run, file reads and writes included, except
// vAdminReset; cachesGet takes it around the lookup only. A WriteAccess and
// its edits take no store lock: a write access belongs to one thread and must
// not overlap queries on the same classification.
//
// Files: an id's level files are read on its first use, and again at each
// writeAccessGet and boCreateClassification when a file's time, size or
// identity changed; plain queries on a cached id never read the disk. Files
// are written by boCreateClassification and when a WriteAccess is destroyed,
// never when the store is reset or the process ends.
//
// Failures: a missing id, source id or file is a value (null, empty string,
// false), never an error. An operation that writes or reads files tells why
// it failed in a vyr::classification::Failure value, whose kind a caller
// switches on; one way per object: the admin, shared by every thread, keeps
// none and gives it through the Failure argument of boCreateClassification,
// boRefresh and changedRefresh; a WriteAccess keeps its last operation's
// (failureGet()). A query never fails: a level file that does not read is left
// out of the view, and readFailuresGet names it. An assertion record (vyr::assert::Assert; enable it with
// Assert::vEnable(true), then read recordsGet() or set a listener) means a
// broken precondition or a failure of the operation that made it, and names
// that operation; the operation still returns a defined result. Only
// failures of the standard library (allocation, text that is not valid
// UTF-8) throw.
//
// A wrapper, and every pointer and write access obtained through it, must not
// be used after vAdminReset.
class VYR_EXPORT AdminWrapper {
public:
    using Level = vyr::cache::Level;
    using Cache = vyr::classification::CacheLevels<Level>;

    // Binds to the process-wide admin, creating it on first use.
    AdminWrapper();

    // Whether the store holds the id: a file of it reads at some level, it
    // was created, or an earlier cachesGet or writeAccessGet of it made an
    // empty entry.
    [[nodiscard]] bool boClassificationExists(std::string_view id);
    // Writes a new file for the id at the level (Shared or User) holding the
    // texts and flags and no pairs, and caches it. Never replaces a file:
    // false when something is already at the path (also when another process
    // made it a moment before), when the level has no folder, or when the id
    // cannot name a file inside the level folder.
    [[nodiscard]] bool boCreateClassification(const std::string& id, const std::string& sText2,
                                              const std::string& sText3, const std::string& sText4,
                                              const std::string& sText5, bool boFlag1, bool boFlag2,
                                              const Level& level);
    // The same; on false, `failure` says why (the level, the file, what
    // failed and the reason); after a success it is empty.
    [[nodiscard]] bool boCreateClassification(const std::string& id, const std::string& sText2,
                                              const std::string& sText3, const std::string& sText4,
                                              const std::string& sText5, bool boFlag1, bool boFlag2,
                                              const Level& level, vyr::classification::Failure& failure);
    // The id's level cache; never null. For an unknown id an empty cache
    // entry is made, so boClassificationExists is true afterwards. Valid until
    // the admin is destroyed. Takes the store's lock for the lookup only: what
    // the caller reads through the pointer is unguarded, so it may read only
    // while no other thread queries, refreshes or edits the id. For the
    // merged pairs, mappingsGet makes a copy under the lock.
    [[nodiscard]] Cache* cachesGet(std::string_view id);
    // The texts of the highest level that has the id; empty for an unknown id.
    [[nodiscard]] std::string sText2Get(std::string_view id);
    [[nodiscard]] std::string sText3Get(std::string_view id);
    [[nodiscard]] std::string sText6Get(std::string_view id);
    [[nodiscard]] std::string sText4Get(std::string_view id);
    [[nodiscard]] std::string sText5Get(std::string_view id);
    // Queries on the merged view, where the highest level that lists a
    // source id decides its whole set of classified ids.
    [[nodiscard]] bool boMappingExists(std::string_view id, std::string_view sSourceId,
                                       std::string_view sClassifiedId);
    // Null for an unknown id or source id; a pointer to an empty set for a
    // source id that the deciding level lists with no classified id. Set
    // pointers stay valid until the classification's merged view is next
    // rebuilt (a reload, vChanged), an edit takes their entry out of it, or
    // the admin is destroyed.
    [[nodiscard]] const std::set<std::string>* pClassifiedIdsGet(std::string_view id, std::string_view sourceId);
    // The same for the source ids of a classified id.
    [[nodiscard]] const std::set<std::string>* pSourceIdsGet(std::string_view id, std::string_view classifiedId);
    // Copies of the sets pClassifiedIdsGet and pSourceIdsGet point at, made
    // under the store's lock, so that they stay valid whatever the store
    // does next; nothing where those give null. Each costs the lookup and
    // one allocation per id of the set.
    [[nodiscard]] std::optional<std::set<std::string>> classifiedIdsCopyGet(std::string_view id,
                                                                           std::string_view sourceId);
    [[nodiscard]] std::optional<std::set<std::string>> sourceIdsCopyGet(std::string_view id,
                                                                       std::string_view classifiedId);
    // Every (source id, classified id) pair of the id's merged view, ordered
    // by source id, then classified id; empty for an unknown id. A copy,
    // made under the store's lock (taken for the call's run), so it stays
    // valid and unchanged whatever the store does next: the way for a
    // module or host to read a whole classification. Reading the merged
    // view through cachesGet instead is not guarded by any lock.
    [[nodiscard]] std::set<std::pair<std::string, std::string>> mappingsGet(std::string_view id);
    // The one classified id of the source id (the smallest, reported, when
    // there are several); empty when there is none.
    [[nodiscard]] std::string sClassifiedIdGet(std::string_view id, std::string_view sourceId);
    // The one source id of the classified id, likewise.
    [[nodiscard]] std::string sSourceIdGet(std::string_view id, std::string_view classifiedId);
    // Write access to the id's levels (WriteAccess: lock, edit, written back
    // when destroyed). Makes the Shared and User folders when missing. An id
    // with no file at any level is reported and gets an empty entry.
    [[nodiscard]] vyr::classification::WriteAccess writeAccessGet(std::string_view id);

    // One source id of the id as the merged view shows it, without loading
    // the id: for a program that asks one question and ends. A level cache
    // of the caller's own, not the store's: at each level whose file
    // reads, the file's texts and flags and only the source id's entries;
    // its merged view is made by the store's merge rule, so what it shows
    // of the source id (its set, the deciding level, the levels it hides,
    // the header of the highest level) is what the store's view shows. Each
    // level file is read whole and checked exactly as the store's load
    // checks it: a file that does not read is left out as the load leaves
    // it out, and levelFileProblemGet gives the same reason. Its levels are
    // empty when no file reads. Reads the files every time and leaves the
    // store as it was. Takes the store's lock to learn the files' paths only.
    [[nodiscard]] Cache sourceCacheRead(std::string_view id, std::string_view sourceId);
    // A write access that reads and writes only one source id of the id,
    // for a program that edits one source id and ends: its own cache (read
    // as sourceCacheRead reads it; pSourceCacheGet gives it) instead of the
    // store's, so the store's views are not built. It locks, reads under the
    // lock, checks each file whole and writes back exactly as the access of
    // writeAccessGet, patching only that source id's elements (and the
    // texts and flags); its edits must touch no other source id. The store's
    // own cache learns of the edit when it next reads the file. Makes the
    // user and shared level folders as writeAccessGet does, when some level
    // file reads. Takes the store's lock to learn the files' paths and to
    // make the folders.
    [[nodiscard]] vyr::classification::WriteAccess sourceWriteAccessGet(std::string_view id,
                                                                       std::string_view sourceId);

    // Reads again the id's level files that changed since the store last
    // read or wrote them (time, size, identity), by the rule writeAccessGet
    // uses, and rebuilds the merged view once when any was read. True when
    // the view of the id changed: every set pointer and mapping obtained for
    // the id before is then invalid. False when nothing changed: they all
    // stay valid. A level that a write access of this process holds is
    // never read (its holder's write-back merges the file); a deleted file
    // leaves its level as it was. A level file that is there but does not
    // read (a parse error, an unreadable or non-regular file) leaves its
    // level as it was too, and is reported as an assertion record each time.
    // For an id not loaded yet it is the first load. Takes the store's lock;
    // use it on a timer or on the host's own signal that files changed.
    [[nodiscard]] bool boRefresh(std::string_view id);
    // The same; `failure` names the first level file that did not read
    // (level, file, what failed, the reason with its line and column), and is
    // empty when every file that is there read. The result still says
    // whether the view changed (other levels may have been read).
    [[nodiscard]] bool boRefresh(std::string_view id, vyr::classification::Failure& failure);

    // What the store found when it last read the id's files: one failure
    // value (level, file, what failed, the reason with its line and column)
    // for each level file that was there and did not read, lowest level
    // first; empty when every file there read. The queries answer from the
    // levels that read and say nothing of the others, and no assertion
    // record is made: a host that must know whether its view is whole asks
    // here, after the first query or any refresh. "Last read" is the id's
    // first load, boRefresh, changedRefresh, writeAccessGet or
    // boCreateClassification, whichever ran last; a file that did not read
    // is tried again by each of them. Loads the id on first use, like the
    // queries, and reads no file otherwise. Takes the store's lock.
    [[nodiscard]] std::vector<vyr::classification::Failure> readFailuresGet(std::string_view id);

    // A count that moves whenever the store's view of the id changes (edits,
    // refreshes, reloads); 0 for an id that is not loaded. Loads nothing and
    // reads no file: a cheap probe for a host that polls, to learn that
    // earlier results of the id are stale.
    [[nodiscard]] std::uint64_t changeCountGet(std::string_view id);

    // Hearing of changes. The library has no thread, timer or loop of its
    // own: the host waits, and then asks the store to refresh. Its loop is
    // always the same:
    //
    //     for (;;) {
    //         const auto wait = wrapper.refreshWaitGet();
    //         pollfd entry{wrapper.changeDescriptorGet(), POLLIN, 0};
    //         poll(&entry, 1, wait ? int(wait->count()) : -1);
    //         for (const std::string& id : wrapper.changedRefresh(failure)) { ... }
    //     }
    //
    // The level folders (not the files) are watched, for writes closed,
    // renames in and out, creations and deletions; a level folder that does
    // not exist yet is watched through its nearest existing ancestor until
    // it is made. Watches follow paths: every folder on the way to a level
    // folder is watched too, and when one is removed, renamed or replaced,
    // when events were lost, or when vLevelFolderChange moved a level
    // folder, the watches are set again from the paths and the next refresh
    // compares every loaded id. A change made at any time after an id was
    // loaded is reported by the next changedRefresh, also one made before
    // the watch existed. Only the level folder's files are watched: a change to the
    // file of an id that names a subfolder ("group/id") is found only in a
    // polled folder (or by boRefresh of the id). A folder that cannot be
    // watched is polled instead: one on a network or FUSE file system
    // (writes made on other machines are not reported there), one refused
    // by the watch limit, or every folder when there is no watch facility. The store never fails because a watch
    // could not be set; watchesGet says which folders are watched, which
    // are polled and why. The watch is made on the first call of any of
    // these operations. Each takes the store's lock, as the queries do: the
    // host holds nothing, and no write access of the same thread may be
    // editing an id meanwhile.

    // The descriptor to wait on: it becomes readable when a level file of
    // a loaded id may have changed (a hint only; changedRefresh decides).
    // Close-on-exec, non-blocking and owned by the store: the host must
    // neither read nor close it. vAdminReset closes it; after a reset the
    // host asks the new wrapper for the new one. -1 when the system has no
    // watch facility (poll() then simply waits for refreshWaitGet).
    [[nodiscard]] int changeDescriptorGet();
    // Drains the descriptor and refreshes, by the rule of boRefresh (stamps,
    // and the content where a stamp is racy), the loaded ids that may have
    // changed: in a watched folder only ids whose level file names came in
    // events (lock and temporary files are told apart by name and cost
    // nothing); in a polled folder every loaded id. Returns the ids whose
    // view changed, in order: each one's change count moved, and its
    // earlier pointers are invalid; pointers of every other id stay valid.
    // A deleted level file leaves its level as it was, as in boRefresh, so
    // it wakes the host but names no id. `failure` names the first level
    // file that is there and did not read; empty when all read. When
    // nothing changed it costs at most one status call per level file of
    // the ids it looks at, plus a content read for a file whose stamp is
    // racy.
    //
    // A file still being written is not reported: a level file that does
    // not read, that a program of this machine created and has not closed
    // after writing, is held back (its level keeps what it held) until its
    // close is heard or one poll interval has passed since its creation;
    // the refresh after that reports it if it still does not read. A save
    // by rename is never held back.
    [[nodiscard]] std::vector<std::string> changedRefresh(vyr::classification::Failure& failure);
    // The longest time the host should wait on the descriptor before it
    // calls changedRefresh anyway: zero right after the watch was made or
    // moved (what changed since the ids were loaded is looked for at once);
    // nothing (no limit) when every level folder is watched and no file is
    // held back; else the poll interval or the time left for a held-back
    // file, whichever is shorter.
    [[nodiscard]] std::optional<std::chrono::milliseconds> refreshWaitGet();
    // Sets the poll interval; 2 seconds until set (and after vAdminReset).
    void vPollIntervalSet(std::chrono::milliseconds interval);
    // Each level folder, lowest level first: watched or polled, and why.
    using LevelWatch = vyr::cache::LevelWatch;
    [[nodiscard]] std::vector<LevelWatch> watchesGet();

    // How the file at the path reads as a level file, exactly as the store
    // reads one, without touching the store: nothing when nothing is there,
    // an empty text when it reads, else the reason (a parse error names its
    // line and column). Never blocks on a pipe. Takes no lock.
    [[nodiscard]] static std::optional<std::string> levelFileProblemGet(const std::filesystem::path& file);
    // What the store's read of a level file that reads passes over, one
    // line each, "line L, column C: what; expected ...": an element or
    // attribute without a namespace prefix that the format does not know
    // (inside the root, a relation, a source or a classified element; it is
    // ignored, and kept on write-back), a source id listed again in one
    // relation (read as the union of its sets), and a root id other than
    // `id`, the id the file's name gives (empty: not compared). A prefixed
    // name is an extension and passes. Empty when nothing is there or the
    // file does not read. Takes no lock.
    [[nodiscard]] static std::vector<std::string> levelFileNoticesGet(const std::filesystem::path& file,
                                                                      std::string_view id);

    // The rules the store publishes for the tool, so that it asks them
    // instead of keeping a copy: the static members from here to
    // sourceLevelsGet, and levelFolderGet, levelFilePathGet and
    // sIdLengthProblemGet. The messages are the store's own.

    // Why the store cannot keep the text (a source or classified id, a text
    // attribute), or empty when it can: it must be valid UTF-8 made of
    // characters XML 1.0 can carry. Takes no lock.
    [[nodiscard]] static std::string sTextProblemGet(std::string_view text);
    // Why the id cannot name a classification, or empty when it can: the
    // text rule, and it must name a file inside its level folder (not
    // empty, absolute, with a drive prefix, a ".." component or a last
    // component that is empty or "."). Takes no lock.
    [[nodiscard]] static std::string sIdProblemGet(std::string_view id);
    // Why the id is too long for its files at the level, or empty when it
    // fits: the id-length rule (cache::idLengthProblemGet) that the edits of
    // a WriteAccess and boCreateClassification follow. `boWriting`: the
    // temporary file a write publishes from must fit as well; without it,
    // only the level file read. Asks the level folder's file system. Takes
    // the store's lock.
    [[nodiscard]] std::string sIdLengthProblemGet(std::string_view id, Level level, bool boWriting);
    // What the name of a file in a level folder is, by the store's one parse
    // (cache::parseFileName): a level file, its lock file or one of its
    // temporary files, and the classification id it belongs to. Nothing for
    // any other name. Takes no lock.
    using FileName = vyr::cache::ParsedFileName;
    using FileType = vyr::cache::FileType;
    [[nodiscard]] static std::optional<FileName> fileNameParse(std::string_view name);
    // The name of the id's level file ("<id>.xml"). Takes no lock.
    [[nodiscard]] static std::string levelFileNameGet(std::string_view id);
    // Reads the whole regular file at the path, as the store reads a level
    // file (links followed; a pipe or a device in the file's place is never
    // waited on). 0, EINVAL for anything that is not a regular file, or the
    // system's error number. Takes no lock.
    [[nodiscard]] static int fileBytesRead(const std::filesystem::path& file, std::string& bytes);
    // What kind of file system holds the folder: whether it shares the
    // store's record locks between machines (platform::FileSystemKind).
    // Nothing when the folder's status cannot be read. Takes no lock.
    using FileSystemKind = vyr::platform::FileSystemKind;
    [[nodiscard]] static std::optional<FileSystemKind> fileSystemKindGet(const std::filesystem::path& folder);
    // The folder of the level, as the store derived it from the directory
    // service. Takes the store's lock.
    [[nodiscard]] std::filesystem::path levelFolderGet(Level level);
    // The path of the id's file at the level: the level folder and
    // cache::levelFileName(id). Empty when sIdProblemGet refuses the id.
    // Takes the store's lock.
    [[nodiscard]] std::filesystem::path levelFilePathGet(std::string_view id, Level level);

    // Why the store will not lock the file at the path for an edit, by the
    // rule and the probe a write access uses (cache::lockRefusalGet, with the
    // file's own folder as the base): a symbolic link, a file with more than
    // one hard link, anything that is not a regular file, a status that
    // cannot be read. None also when nothing is there (a lock makes the
    // file). Takes no lock; opens no file.
    using LockRefusal = vyr::cache::LockRefusal;
    [[nodiscard]] static LockRefusal lockRefusalGet(const std::filesystem::path& file);

    // The levels of the cache that list the source id, highest first: the
    // first decides the source id's set in the merged view, the others are
    // hidden by it. Empty when no level lists it. The cache is read as it
    // is: the caller keeps it from changing meanwhile.
    [[nodiscard]] static std::vector<Level> sourceLevelsGet(const Cache& cache, std::string_view sourceId);

    // Destroys the process-wide admin (creating one first if there is none);
    // writes nothing. Takes no lock: must not run while any operation on the
    // admin is in progress. The next wrapper made gets a new, empty admin
    // that reads the directory service and the files again.
    static void vAdminReset();
    // For a one-shot program (a command-line tool) that ends after a few
    // questions: the admin that exists when the process ends is not
    // destroyed then, so the process does not spend its last moments
    // freeing maps that the system takes back whole. It stays reachable
    // until the very end, so no leak checker counts it. The program still
    // returns from main normally (its output is flushed, its files closed);
    // only the admin's own teardown is skipped, which writes nothing
    // anyway. Write accesses must be gone by then. Hosts do not call it:
    // they keep the orderly teardown. vAdminReset still destroys the admin
    // it takes. Takes no lock.
    static void vAdminKeepAtExit() noexcept;

private:
    vyr::classification::Admin* admin;
};

} // namespace vyr::bridge::classification
