#pragma once

// What kind of file system holds a folder, as far as sharing it with other
// machines goes: whether a record lock taken here keeps out a writer on
// another machine, and whether the folder is on a network or FUSE file
// system at all, where writes made elsewhere reach no change notification
// of this machine. Read from the mount table (found by the folder's device
// number, not by its path) and from the file system's type as statfs gives
// it. POSIX here; every call goes through the table of SystemCalls.h.
// Installed with the outside face, which hands the kind to the tool
// (AdminWrapper::fileSystemKindGet); nothing else outside the store uses it.

#include <cstddef>
#include <filesystem>
#include <string>

namespace vyr::platform {

// A plain value.
struct FileSystemKind {
    // The type as mounted ("ext4", "nfs4", "cifs", "fuse.sshfs"); when the
    // mount table has no entry for the folder, the name of a network or
    // FUSE type that statfs reports, else empty.
    std::string type;
    // Where the file system is mounted; empty when the mount table has no
    // entry for the folder.
    std::string mountPoint;
    // A network or FUSE file system: other machines (or a FUSE server) may
    // write to it without this machine being told.
    bool boRemote = false;
    // Whether a record lock taken here is seen by every other machine that
    // writes the folder. True for a local file system; false for CIFS
    // mounted with nobrl, NFS with nolock or local_lock=all or posix, and
    // FUSE (most of its servers leave locks to this machine).
    bool boLocksShared = true;
    // Why locks are not shared ("CIFS mounted with nobrl"); empty when they are.
    std::string lockReason;
};

// The kind of the file system that holds the folder (links followed).
// 0, or the errno of the folder's status; when neither the mount table nor
// statfs tells anything, the errno of statfs. Thread-safe.
[[nodiscard]] int fileSystemKindGet(const std::filesystem::path& folder, FileSystemKind& kind);

// The longest file name, in bytes, that the file system holding the folder
// takes (statfs's name length). A folder that does not exist yet is asked
// of its nearest existing parent; NAME_MAX when no folder on the way
// answers. Thread-safe.
[[nodiscard]] std::size_t fileNameMaxGet(const std::filesystem::path& folder);

} // namespace vyr::platform
