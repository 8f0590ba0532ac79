#pragma once

// Hearing of changes in folders: one descriptor that becomes readable when
// a file in a watched folder may have been written, created, renamed in or
// out, or deleted, or when the folder, or any folder on its path, appears,
// goes away or is replaced. Opens are not watched.
//
// Watches follow paths, not folders. Each folder is watched together with
// every existing folder on its path, from the root down: a folder on the
// way is watched for the next name below it being renamed, removed or made,
// and the first missing folder's parent for its creation. Every watch is set
// before the name below it is looked at, so a folder made while the watches
// are set is found by that look (and the watch moves down at once) or
// reported by the watch. When a folder on the path is removed, renamed or
// replaced, or events were lost, the watches are set again from the paths,
// and watches that serve no folder any more are dropped.
//
// A folder cannot be watched, and is polled by its owner instead, when it
// is on a network or FUSE file system (writes made on other machines reach
// no notification here), when the watch limit is reached, when a watch call
// fails, or when there is no watch facility at all. A folder polled because
// a watch call failed is watched again at the next changesRead when the
// call then succeeds. Setting a watch never fails otherwise: the folder's
// state says why it is polled. A folder on the way up that this process may
// not read (EACCES) is left unwatched: renames of names inside it are not
// heard.
//
// Linux inotify; every call goes through the table of SystemCalls.h.
// Internal to the library. Thread-compatible: its owner serialises the
// calls (the store calls it under the admin's mutex).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vyr::platform {

class FolderWatch {
public:
    // How a folder is followed. A plain value.
    struct State {
        // True when changes reach the descriptor; false when the owner must
        // look at the folder's files itself from time to time.
        bool boWatched = false;
        // Why a folder is polled ("network or FUSE file system (nfs4)",
        // "watch limit reached", "no watch facility"), or, for a watched
        // folder that does not exist yet, where its creation is awaited.
        // Empty for a folder watched itself.
        std::string sReason;
    };

    // One thing that may have changed: the name of a file in the folder of
    // index `folder` (as folderAdd returned it), or an empty name when any
    // file of the folder may have changed (it appeared, was replaced, went
    // away, its watch was set again, or events were lost).
    struct Change {
        std::size_t folder = 0;
        std::string name;
    };

    // Opens the descriptor (non-blocking, close-on-exec). When that fails,
    // every folder added is polled.
    FolderWatch();
    // Closes the descriptor, which drops every watch.
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // The descriptor to wait on for reading; -1 when there is no watch
    // facility (poll() ignores a negative descriptor). Owned by this object.
    [[nodiscard]] int descriptorGet() const noexcept { return descriptor_; }

    // Starts to follow the folder and returns its index. Never fails: a
    // folder that cannot be watched is polled, as stateGet tells.
    std::size_t folderAdd(const std::filesystem::path& folder);
    // Follows another path at the index: the old path's watches go.
    void vFolderMove(std::size_t folder, const std::filesystem::path& path);
    [[nodiscard]] const State& stateGet(std::size_t folder) const { return folders_.at(folder).state; }
    [[nodiscard]] const std::filesystem::path& folderGet(std::size_t folder) const {
        return folders_.at(folder).path;
    }
    [[nodiscard]] std::size_t folderCountGet() const noexcept { return folders_.size(); }

    // Reads every event waiting on the descriptor, without blocking, and
    // returns what may have changed; a name may come more than once. Makes
    // no status call for an event on a file of a watched folder; a folder
    // whose path changed, every folder after lost events, and a folder
    // polled because a watch call failed are watched anew from their paths.
    [[nodiscard]] std::vector<Change> changesRead();

    // Since when (monotonicMillisecondsGet) the file of the folder has been
    // created by a program of this machine and not closed after writing;
    // -1 when no such creation is pending. Set by changesRead from the
    // events it reads: a creation starts it, a close after writing, a
    // rename onto the name, a removal or a rename away ends it.
    [[nodiscard]] std::int64_t writingSinceGet(std::size_t folder, const std::string& name) const;
    // Forgets creations pending since before `before`.
    void vWritingForget(std::int64_t before);

private:
    // One watch on the path of a folder: the watch descriptor and the name
    // below it on the way to the folder (empty for the folder itself).
    struct Link {
        int watch = -1;
        std::string next;
    };
    struct Folder {
        std::filesystem::path path;
        State state;
        // From the root down to the folder itself, or to the folder whose
        // child `next` is awaited; empty when polled.
        std::vector<Link> links;
        // Polled because a watch call failed: tried again at changesRead.
        bool boRetry = false;
    };

    // Sets the folder's watches anew from what exists now and drops the
    // watches that no folder uses any more.
    void vArm(Folder& folder);
    // Sets the watches of the path; false with `error` when a call failed.
    bool boLinksSet(Folder& folder, int& error);
    void vUnusedDrop(const std::vector<Link>& before);

    int descriptor_ = -1;
    int openError_ = 0;
    std::vector<Folder> folders_;
    // Files created and not yet closed: (folder, name) to when created.
    std::map<std::pair<std::size_t, std::string>, std::int64_t> writing_;
};

} // namespace vyr::platform
