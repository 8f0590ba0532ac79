#pragma once

// The file-system calls of the store, behind one header: file status with
// identity, reads that never open anything but a regular file and never
// mistake a file being replaced for a missing one, folders reached without
// following links, atomic publication of a file that keeps what the old file
// had, and an exclusive lock between processes. POSIX here; every call goes
// through the table of SystemCalls.h. Internal to the library: no installed
// header includes it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "external/platform/FileStamp.h"

namespace vyr::platform {

// File times as the store records them: 100 ns ticks since 1601-01-01 UTC.
// kTicksUnknown stands for a time that could not be read; every time a file
// system can hold maps to a larger value (saturating at the far ends).
inline constexpr std::int64_t kTicksUnknown = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000;

// Seconds and nanoseconds since 1970 as ticks since 1601, saturating.
[[nodiscard]] std::int64_t ticksFromUnix(std::int64_t seconds, std::int64_t nanoseconds) noexcept;

enum class FileKind { Missing, Regular, Folder, Link, Other, Unknown };

// What is at a path: its kind, its stamp, how many hard links the file has,
// its permission bits, owner and group. A status that could not be read is
// Unknown, with the errno value that tells why.
struct FileProbe {
    FileKind kind = FileKind::Unknown;
    int error = 0;
    FileStamp stamp;
    std::uint64_t links = 0;
    unsigned permissions = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
};

// The status of the path, following links. Opens nothing.
[[nodiscard]] FileProbe probe(const std::filesystem::path& path) noexcept;

// Reads the whole file at the path (following links) after checking that it
// is a regular file, so that a pipe or a device is never opened for reading.
// A file that the status shows but the open no longer finds is being
// replaced: it is looked at again (a few times), never taken as missing.
// The stamp is that of the file actually read. Returns 0 or an errno value.
[[nodiscard]] int readRegular(const std::filesystem::path& path, std::string& bytes, FileStamp& stamp);

// A hash of a file's content: tells a rewrite that keeps size and times.
[[nodiscard]] std::uint64_t contentHash(std::string_view bytes) noexcept;

// Our clock now, in the ticks of file times: the real-time clock, as file
// times are wall-clock times. kTicksUnknown when it cannot be read.
[[nodiscard]] std::int64_t clockTicksGet() noexcept;

// The monotonic clock now, in milliseconds from an arbitrary start: for
// measuring waits. 0 when it cannot be read.
[[nodiscard]] std::int64_t monotonicMillisecondsGet() noexcept;

// The real-time clock now, in milliseconds since 1970; 0 when it cannot be
// read.
[[nodiscard]] std::int64_t wallMillisecondsGet() noexcept;

// An open folder that holds one file: reached from a base folder (which may
// itself be a link) through subfolders none of which is a link. Every
// operation works relative to the open folder, so a link or a folder renamed
// in later does not redirect it. Owns the descriptor; neither copied nor
// moved (it lives where it was opened). Thread-compatible.
class Folder {
public:
    Folder() = default;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder();

    // Opens the folder of `file`, which must lie inside `base`: the base
    // itself, then each folder between the base and the file, refusing a
    // link (ELOOP) or a path outside the base (EXDEV). Returns 0 or an errno
    // value; on success the folder is open and nameGet() is the file's name.
    [[nodiscard]] int open(const std::filesystem::path& base, const std::filesystem::path& file);

    [[nodiscard]] bool boOpen() const noexcept { return descriptor_ >= 0; }
    [[nodiscard]] const std::string& nameGet() const noexcept { return name_; }
    [[nodiscard]] int descriptorGet() const noexcept { return descriptor_; }

    // The status of the name in this folder, not following a link.
    [[nodiscard]] FileProbe probe(std::string_view name) const noexcept;
    // The status of the folder itself.
    [[nodiscard]] FileProbe selfProbe() const noexcept;

    // Reads the whole regular file of that name; a link, a pipe or a device
    // is refused before anything is opened (ELOOP, EINVAL). A file being
    // replaced is looked at again, as readRegular does. 0 or errno.
    [[nodiscard]] int read(std::string_view name, std::string& bytes, FileStamp& stamp) const;
    // Whether the regular file of that name holds exactly `expected`, read
    // as `read` reads it but in blocks compared as they come, so that
    // nothing the size of the file is allocated; it stops at the first
    // difference. `stamp` is that of the file compared. 0 or errno.
    [[nodiscard]] int compare(std::string_view name, std::string_view expected, bool& boSame,
                              FileStamp& stamp) const;

    // The names of every entry of the folder. 0 or errno.
    [[nodiscard]] int namesGet(std::vector<std::string>& names) const;

    // Removes the name (never a folder). 0 or errno.
    [[nodiscard]] int remove(std::string_view name) const;

private:
    void vClose() noexcept;

    int descriptor_ = -1;
    std::string name_;
};

// A new file being made beside the file it will replace or become: created
// under a temporary name in the folder, filled, synced, then published under
// its name. Removed again when it is destroyed unpublished. Points at the
// folder without owning it (the folder must outlive it); owns its
// descriptor. Thread-compatible.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    // Creates the file under the temporary name, which must not exist.
    [[nodiscard]] int create(const Folder& folder, std::string temporaryName);
    // Creates the file under a temporary name for the folder's file that
    // no other writer picks at the same time (TemporaryName.h).
    [[nodiscard]] int create(const Folder& folder);

    // Gives it what the file `modelName` of the folder has: its group, its
    // permission bits and its extended attributes (the user namespace and
    // the access control list; the trusted namespace too for a privileged
    // process), and its owner where this process may give files away (a
    // privileged one). ESTALE when the file at that name is no longer the
    // one `expected` describes. 0 or errno, with `what` naming what could
    // not be kept.
    [[nodiscard]] int attributesTake(std::string_view modelName, const FileStamp& expected, std::string_view& what);
    // What a new file in the folder gets: the folder's group, and for a
    // privileged process the folder's owner, so that a file made by an
    // administrator in a user's folder stays the user's. 0 or errno.
    [[nodiscard]] int attributesForNew(std::string_view& what);

    // Writes all the bytes and syncs them. A write that makes no progress is
    // an input/output error. 0 or errno.
    [[nodiscard]] int write(std::string_view bytes);

    // Takes the read lock that marks a locked level file (see FileLock) on
    // the pending file, before it is published, so that the file is marked
    // from the moment it carries the name. 0 or errno.
    [[nodiscard]] int markTake();

    // Publishes the file under the name: with boReplace by a rename over
    // whatever is there; otherwise without replacing anything (EEXIST), by
    // an atomic no-replace rename or, where the file system has none, a hard
    // link and the removal of the temporary name. `boPublished` tells
    // whether the name now holds the file even when an error is returned: a
    // temporary name that could not be removed after the link, or a folder
    // that could not be synced. 0 or errno.
    [[nodiscard]] int publish(std::string_view name, bool boReplace, bool& boPublished);

    // The status of the file (after publishing: of the file at the name).
    [[nodiscard]] int stampGet(FileStamp& stamp) const;

    // Gives the descriptor up to the caller, who closes it.
    [[nodiscard]] int descriptorRelease() noexcept;

private:
    const Folder* folder_ = nullptr;
    int descriptor_ = -1;
    std::string temporary_;
    bool boNamed_ = false; // the temporary name exists
};

// An exclusive lock between processes on one level file, held until it is
// destroyed and released by the system when the process ends. Owns both of
// its descriptors. Thread-compatible. The one description of the protocol
// that every writer of a level file follows:
//
// - The lock file: "<level file>.lock" beside the level file, empty, made
//   on first use (with the folder's group and read and write bits, so that
//   everyone who may write the folder may lock) and never removed or
//   replaced. Only a regular file carries the lock; a link is refused.
// - The lock: a write lock on byte 0 of the lock file, an open-file-
//   description record lock (it holds on network file systems that carry
//   POSIX record locks, and a descriptor closed elsewhere in the process
//   does not drop it). It counts only on the file still at the lock file's
//   name: a locker checks that after locking, and opens the new file when
//   the old one was deleted.
// - The mark: the holder also keeps a read lock on the whole level file, so
//   that a lock file deleted and made again while held lets no second
//   writer in: a locker that finds the level file marked waits. A level
//   file published under the lock carries the mark before it takes the name.
// - Waiting holds nothing that others need. A locker tries byte 0 without
//   blocking and sleeps a millisecond or two between tries. While it waits
//   it announces itself with a read lock on one byte, at offset 2 plus the
//   wall-clock milliseconds since 1970 at which it arrived (byte 1 is not
//   used), and drops it when it has the lock or gives up. Waiters go in
//   the order of their arrival: a locker that finds an announcement below
//   its own does not try byte 0, so the holder that lets go and locks again
//   at once queues behind everyone who was waiting, and no waiter starves.
//   That deference is bounded: the spans during which byte 0 was seen free
//   are added up, also across the times another locker took it meanwhile,
//   and once they reach kYieldToWaiters the locker stops deferring and
//   takes byte 0 whenever it finds it free. So a waiter that is stopped (a
//   debugger, SIGSTOP, a machine cut off) keeps nobody out; each later
//   locker loses at most kYieldToWaiters of free lock time to it, even
//   while a holder lets go and locks again in a loop. The waits are timed
//   on the monotonic clock, the order on the real-time clock, both read
//   through the system-call table. Equal milliseconds, or clocks of two
//   machines that disagree, only blur the order.
// - Before a writer renames its new level file into place it confirms the
//   lock (heldConfirm): a lock that the system lost renames nothing. Where
//   a file system keeps record locks on each machine (fileSystemKindGet in
//   FileSystemKind.h tells), two machines can both hold the lock; nothing
//   here can notice that.
class FileLock {
public:
    // How long a free lock is left to an earlier waiter before a later
    // locker takes it.
    static constexpr std::chrono::milliseconds kYieldToWaiters{100};

    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Locks the level file `levelName` of the folder through `lockName`,
    // making the lock file when missing (with the folder's group and read
    // and write bits) and never following a link or replacing a lock file.
    // Waits up to `wait` while another holder has it. Null with `error` set
    // on failure: EWOULDBLOCK when still busy, else the errno of the open or
    // the lock. `keepError` is the errno of giving a new lock file the
    // folder's group and bits (0 when it went well or nothing was made).
    [[nodiscard]] static std::unique_ptr<FileLock> acquire(const Folder& folder, std::string_view lockName,
                                                           std::string_view levelName,
                                                           std::chrono::milliseconds wait, int& error,
                                                           int& keepError);

    // The level file now at the name is the one open at `descriptor`, which
    // already carries its mark (PendingFile::markTake): the old mark goes.
    void vMarkMove(int descriptor) noexcept;

    // Whether the lock is still held: sets it again through its own
    // descriptor, which changes nothing while it is held. 0, or ENOLCK or
    // EIO (the errno of the system, or ENOLCK when another holder has it)
    // once the system has lost it, as a network file system does whose
    // lease ran out while this machine was cut off.
    [[nodiscard]] int heldConfirm() const noexcept;

    // The identity of the lock file: its device and inode.
    [[nodiscard]] std::pair<std::uint64_t, std::uint64_t> identityGet() const noexcept { return identity_; }

private:
    FileLock(int lockDescriptor, int markDescriptor, std::pair<std::uint64_t, std::uint64_t> identity) noexcept
        : lockDescriptor_(lockDescriptor), markDescriptor_(markDescriptor), identity_(identity) {}

    int lockDescriptor_;
    int markDescriptor_;
    std::pair<std::uint64_t, std::uint64_t> identity_;
};

} // namespace vyr::platform
