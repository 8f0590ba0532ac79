#pragma once

// The file-system calls of the store's write path, behind one header: file
// status with identity, reads that never open anything but a regular file,
// folders reached without following links, atomic publication of a file and
// an exclusive lock between processes. POSIX here; every other piece of the
// store reaches the operating system through the standard library.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vyr::platform {

// File times as the store records them: 100 ns ticks since 1601-01-01 UTC.
// kTicksUnknown stands for a time that could not be read; every time a file
// system can hold maps to a larger value (saturating at the far ends).
inline constexpr std::int64_t kTicksUnknown = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000;

// Seconds and nanoseconds since 1970 as ticks since 1601, saturating.
[[nodiscard]] std::int64_t ticksFromUnix(std::int64_t seconds, std::int64_t nanoseconds) noexcept;

// One version of a file as far as its status tells: time, size, identity.
struct FileStamp {
    std::int64_t lastWrite = 0;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool operator==(const FileStamp&) const = default;
};

enum class FileKind { Missing, Regular, Folder, Link, Other, Unknown };

// What is at a path: its kind, its stamp, how many hard links the file has
// and its permission bits.
struct FileProbe {
    FileKind kind = FileKind::Unknown;
    FileStamp stamp;
    std::uint64_t links = 0;
    unsigned permissions = 0;
};

// The status of the path, following links. Opens nothing.
[[nodiscard]] FileProbe probe(const std::filesystem::path& path) noexcept;

// Reads the whole file at the path (following links) after checking that it
// is a regular file, so that a pipe or a device is never opened for reading.
// The stamp is that of the file actually read. Returns 0 or an errno value.
[[nodiscard]] int readRegular(const std::filesystem::path& path, std::string& bytes, FileStamp& stamp);

// A hash of a file's content: tells a rewrite that keeps size and time.
[[nodiscard]] std::uint64_t contentHash(std::string_view bytes) noexcept;

// The bytes a temporary file's name adds to the name of the file it
// replaces: "." + name + "." + 16 hex digits + ".tmp".
inline constexpr std::size_t kTemporaryNameExtra = 22;
// The suffix of the lock file beside each level file.
inline constexpr std::string_view kLockSuffix = ".lock";

// An open folder that holds one file: reached from a base folder (which may
// itself be a link) through subfolders none of which is a link. Every
// operation works relative to the open folder, so a link or a folder renamed
// in later does not redirect it. Owns the descriptor; movable.
//
// The members that release the descriptor are inline: code outside the
// library that destroys a write access destroys its folders too.
class Folder {
public:
    Folder() = default;
    Folder(Folder&& other) noexcept
        : descriptor_(std::exchange(other.descriptor_, -1)), name_(std::move(other.name_)) {}
    Folder& operator=(Folder&& other) noexcept {
        if (this != &other) {
            vClose();
            descriptor_ = std::exchange(other.descriptor_, -1);
            name_ = std::move(other.name_);
        }
        return *this;
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder() { vClose(); }

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

    // Reads the whole regular file of that name; a link, a pipe or a device
    // is refused before anything is opened (ELOOP, EINVAL). 0 or errno.
    [[nodiscard]] int read(std::string_view name, std::string& bytes, FileStamp& stamp) const;

    // Writes the bytes to a new temporary file in this folder, syncs it and
    // publishes it under the name, then syncs the folder: the name always
    // holds either what it held before or all of the bytes. With boReplace
    // an existing file is replaced; otherwise nothing that exists is touched
    // and EEXIST is returned. The temporary file takes `permissions` when
    // given (>= 0). The stamp is that of the file written. 0 or errno.
    [[nodiscard]] int write(std::string_view name, std::string_view bytes, bool boReplace, int permissions,
                            FileStamp& stamp) const;

private:
    void vClose() noexcept {
        if (descriptor_ >= 0) {
            ::close(std::exchange(descriptor_, -1));
        }
    }

    int descriptor_ = -1;
    std::string name_;
};

// An exclusive lock between processes on one lock file, held until the last
// holder in this process lets it go, and released by the system when the
// process ends. An open-file-description record lock: it holds on network
// file systems that carry POSIX record locks, and a descriptor closed
// elsewhere in the process does not drop it. Thread-safe: the table of locks
// this process holds has its own mutex.
class FileLock {
public:
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Locks the file of that name in the folder, making it when missing and
    // never following a link. When this process holds it already, the holder
    // is shared (boShared true). Otherwise waits up to `wait` for another
    // process to let it go. Null with `error` set on failure: EWOULDBLOCK
    // when still busy, else the errno of the open or the lock.
    [[nodiscard]] static std::shared_ptr<FileLock> acquire(const Folder& folder, std::string_view name,
                                                           std::chrono::milliseconds wait, int& error,
                                                           bool& boShared);

private:
    FileLock(int descriptor, std::uint64_t device, std::uint64_t inode) noexcept
        : descriptor_(descriptor), device_(device), inode_(inode) {}

    int descriptor_;
    std::uint64_t device_;
    std::uint64_t inode_;
};

} // namespace vyr::platform
