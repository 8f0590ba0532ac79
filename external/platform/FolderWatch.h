#pragma once

// Hearing of changes in folders: one descriptor that becomes readable when
// a file in a watched folder may have been written, created, renamed in or
// out, or deleted, or when the folder itself appears or goes away. Opens
// are not watched. A folder that does not exist yet is watched through its
// nearest existing ancestor until it is created, then itself.
//
// A folder cannot be watched, and is polled by its owner instead, when it
// is on a network or FUSE file system (writes made on other machines reach
// no notification here), when the watch limit is reached, or when there is
// no watch facility at all. Setting a watch never fails otherwise: the
// folder's state says why it is polled.
//
// Linux inotify; every call goes through the table of SystemCalls.h.
// Internal to the library. Thread-compatible: its owner serialises the
// calls (the store calls it under the admin's mutex).

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
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
    // file of the folder may have changed (it appeared, went away, or
    // events were lost).
    struct Change {
        std::size_t folder = 0;
        std::string name;
    };

    // Opens the descriptor (non-blocking, close-on-exec). When that fails,
    // every folder added is polled.
    FolderWatch();
    // Closes the descriptor.
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // The descriptor to wait on for reading; -1 when there is no watch
    // facility (poll() ignores a negative descriptor). Owned by this object.
    [[nodiscard]] int descriptorGet() const noexcept { return descriptor_; }

    // Starts to follow the folder and returns its index. Never fails: a
    // folder that cannot be watched is polled, as stateGet tells.
    std::size_t folderAdd(const std::filesystem::path& folder);
    [[nodiscard]] const State& stateGet(std::size_t folder) const { return folders_.at(folder).state; }
    [[nodiscard]] const std::filesystem::path& folderGet(std::size_t folder) const {
        return folders_.at(folder).path;
    }
    [[nodiscard]] std::size_t folderCountGet() const noexcept { return folders_.size(); }

    // Reads every event waiting on the descriptor, without blocking, and
    // returns what may have changed; a name may come more than once. Makes
    // no status call for an event on a file of a watched folder; a folder
    // that appears or goes away is watched anew (through its ancestor).
    [[nodiscard]] std::vector<Change> changesRead();

private:
    struct Folder {
        std::filesystem::path path;
        State state;
        // The watch that serves the folder: on the folder itself when
        // boDirect, else on its nearest existing ancestor; -1 when polled.
        int watch = -1;
        bool boDirect = false;
    };

    // Sets the folder's watch anew from what exists now.
    void vArm(Folder& folder);

    int descriptor_ = -1;
    int openError_ = 0;
    std::vector<Folder> folders_;
};

} // namespace vyr::platform
