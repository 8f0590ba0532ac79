#include "external/platform/FileSystem.h"
#include "external/platform/TemporaryName.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "external/platform/SystemCalls.h"

namespace vyr::platform {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
// How often a file that the status shows but the open misses is looked at
// again, with pauses that grow to a few tens of milliseconds in all: a rename
// that replaces it takes microseconds, an editor that moves the old file
// aside before it writes the new one a little longer.
constexpr int kReplacedRetries = 8;

SystemCalls& sys() noexcept { return systemCalls(); }

FileKind kindOf(mode_t mode) noexcept {
    if (S_ISREG(mode)) {
        return FileKind::Regular;
    }
    if (S_ISDIR(mode)) {
        return FileKind::Folder;
    }
    if (S_ISLNK(mode)) {
        return FileKind::Link;
    }
    return FileKind::Other;
}

FileStamp stampOf(const struct stat& status) noexcept {
    return FileStamp{ticksFromUnix(status.st_mtim.tv_sec, status.st_mtim.tv_nsec),
                     ticksFromUnix(status.st_ctim.tv_sec, status.st_ctim.tv_nsec),
                     static_cast<std::uint64_t>(status.st_size), static_cast<std::uint64_t>(status.st_dev),
                     static_cast<std::uint64_t>(status.st_ino)};
}

FileProbe probeOf(int result, const struct stat& status) noexcept {
    FileProbe found;
    if (result != 0) {
        found.kind = errno == ENOENT || errno == ENOTDIR ? FileKind::Missing : FileKind::Unknown;
        found.error = found.kind == FileKind::Unknown ? errno : 0;
        return found;
    }
    found.kind = kindOf(status.st_mode);
    found.stamp = stampOf(status);
    found.links = static_cast<std::uint64_t>(status.st_nlink);
    found.permissions = static_cast<unsigned>(status.st_mode & 07777);
    found.owner = static_cast<std::uint32_t>(status.st_uid);
    found.group = static_cast<std::uint32_t>(status.st_gid);
    return found;
}

// Closes a descriptor at the end of a scope.
class DescriptorCloser {
public:
    explicit DescriptorCloser(int descriptor) noexcept : descriptor_(descriptor) {}
    DescriptorCloser(const DescriptorCloser&) = delete;
    DescriptorCloser& operator=(const DescriptorCloser&) = delete;
    ~DescriptorCloser() {
        if (descriptor_ >= 0) {
            sys().close(descriptor_);
        }
    }
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(descriptor_, -1); }

private:
    int descriptor_;
};

// The stamp of the descriptor, which must be a regular file: 0, EINVAL for
// any other kind, or the errno value of a status that does not read.
int regularStampGet(int descriptor, FileStamp& stamp) {
    struct stat status {};
    if (sys().fstat(descriptor, &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return EINVAL;
    }
    stamp = stampOf(status);
    return 0;
}

// Reads everything from the descriptor, which must be a regular file; the
// stamp comes from the descriptor before the read. 0 or errno. The file is
// read straight into `bytes`, sized by the stamp, in one read for a file
// that keeps its size (one more finds its end); a file that grows or
// shrinks meanwhile is read to its end all the same.
int readDescriptor(int descriptor, std::string& bytes, FileStamp& stamp) {
    if (const int error = regularStampGet(descriptor, stamp); error != 0) {
        return error;
    }
    constexpr std::size_t kGrowth = std::size_t{1} << 16;
    // One byte more than announced, so that the read after the whole file
    // has room to find its end.
    bytes.resize(static_cast<std::size_t>(stamp.size) + 1);
    std::size_t size = 0;
    while (true) {
        if (size == bytes.size()) {
            bytes.resize(size + kGrowth);
        }
        const ssize_t count = sys().read(descriptor, bytes.data() + size, bytes.size() - size);
        if (count == 0) {
            bytes.resize(size);
            return 0;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            bytes.resize(size);
            return error;
        }
        size += static_cast<std::size_t>(count);
    }
}

// Whether the descriptor, which must be a regular file, holds exactly
// `expected`: read in blocks and compared as they come, up to the first
// difference. The stamp comes from the descriptor before the read. 0 or
// errno.
int compareDescriptor(int descriptor, std::string_view expected, bool& boSame, FileStamp& stamp) {
    if (const int error = regularStampGet(descriptor, stamp); error != 0) {
        return error;
    }
    boSame = false;
    if (static_cast<std::size_t>(stamp.size) != expected.size()) {
        return 0;
    }
    char buffer[1 << 16];
    std::size_t size = 0;
    while (true) {
        const ssize_t count = sys().read(descriptor, buffer, sizeof buffer);
        if (count == 0) {
            boSame = size == expected.size();
            return 0;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        const auto read = static_cast<std::size_t>(count);
        if (read > expected.size() - size || std::memcmp(buffer, expected.data() + size, read) != 0) {
            return 0;
        }
        size += read;
    }
}

// Reads the regular file `name` of the folder (AT_FDCWD: a path), looking
// again when it is being replaced. With boNoFollow a link is refused.
// `expected` given: compares the file with it instead of keeping its bytes.
int readAt(int folder, const char* name, bool boNoFollow, std::string& bytes, FileStamp& stamp,
           const std::string_view* expected = nullptr, bool* boSame = nullptr) {
    for (int attempt = 0;; ++attempt) {
        struct stat status {};
        if (sys().fstatat(folder, name, &status, boNoFollow ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
            return errno;
        }
        if (S_ISLNK(status.st_mode)) {
            return ELOOP;
        }
        if (!S_ISREG(status.st_mode)) {
            return EINVAL;
        }
        // Non-blocking: a pipe swapped in after the status cannot block the
        // open, and the descriptor's own status refuses it.
        const int descriptor = sys().openat(folder, name,
                                            O_RDONLY | O_NONBLOCK | O_CLOEXEC | (boNoFollow ? O_NOFOLLOW : 0), 0);
        if (descriptor < 0) {
            if (errno == ENOENT && attempt < kReplacedRetries) {
                std::this_thread::sleep_for(std::chrono::milliseconds(attempt + 1));
                continue;
            }
            return errno;
        }
        const DescriptorCloser closer(descriptor);
        return expected != nullptr ? compareDescriptor(descriptor, *expected, *boSame, stamp)
                                   : readDescriptor(descriptor, bytes, stamp);
    }
}

bool boPrivileged() noexcept { return sys().geteuid() == 0; }

// Which extended attributes a replacement carries over: the user's own, the
// access control list, and for a privileged process the trusted ones. The
// security namespace is the system's to set on a new file.
bool boAttributeKept(std::string_view name) noexcept {
    return name.starts_with("user.") || name == "system.posix_acl_access" ||
           (name.starts_with("trusted.") && boPrivileged());
}

int attributesCopy(int from, int to) {
    std::vector<char> names;
    for (;;) {
        const ssize_t size = sys().flistxattr(from, nullptr, 0);
        if (size < 0) {
            return errno == ENOTSUP ? 0 : errno;
        }
        names.resize(static_cast<std::size_t>(size));
        if (size == 0) {
            return 0;
        }
        const ssize_t got = sys().flistxattr(from, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) {
            return errno;
        }
    }
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        const std::size_t length = std::strlen(name);
        at += length + 1;
        if (!boAttributeKept(std::string_view(name, length))) {
            continue;
        }
        ssize_t size = 0;
        for (;;) {
            size = sys().fgetxattr(from, name, nullptr, 0);
            if (size < 0) {
                return errno;
            }
            value.resize(static_cast<std::size_t>(size));
            size = sys().fgetxattr(from, name, value.data(), value.size());
            if (size >= 0 || errno != ERANGE) {
                break;
            }
        }
        if (size < 0) {
            return errno;
        }
        if (sys().fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
            return errno;
        }
    }
    return 0;
}

// The whole file, for fcntl record locks.
struct flock wholeFile(short type) noexcept {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    return range;
}

// The bytes of a lock file (see FileLock): the lock, and from kWaitBase on
// the announcements of waiters, each at the millisecond it arrived.
constexpr off_t kLockByte = 0;
constexpr off_t kWaitBase = 2;

// Where a locker that arrives now announces itself: kWaitBase plus the
// wall-clock milliseconds since 1970, which order the waiters of every
// process (and, roughly, of every machine) by their arrival.
off_t waitOffsetNow() noexcept { return kWaitBase + std::max<off_t>(0, wallMillisecondsGet()); }

// Locks (F_WRLCK, F_RDLCK), or unlocks (F_UNLCK), one byte of the open file
// without waiting. 0, EAGAIN when another open file holds it, or errno.
int rangeLock(int descriptor, off_t start, short type) noexcept {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = 1;
    if (sys().fcntlLock(descriptor, F_OFD_SETLK, &range) == 0) {
        return 0;
    }
    return errno == EACCES ? EAGAIN : errno;
}

// Whether another open file than this one holds a lock on some of the
// `length` bytes from `start`. A system that cannot tell counts as none: the
// lock itself then reports what is wrong.
bool boLockedByOthers(int descriptor, off_t start, off_t length) noexcept {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = length;
    return sys().fcntlLock(descriptor, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

// Marks the level file open at the descriptor as locked (a shared read
// lock, which a locker's probe for a write lock sees). 0 or errno.
int markSet(int descriptor) noexcept {
    struct flock range = wholeFile(F_RDLCK);
    return sys().fcntlLock(descriptor, F_OFD_SETLK, &range) == 0 ? 0 : errno;
}

// What taking the level file's mark found: Taken, with the marked
// descriptor; Unmarkable when there is no regular file to mark, or its file
// system keeps no record locks (the lock file alone then counts); Busy when
// another holder marks it.
enum class MarkState { Taken, Unmarkable, Busy };
struct LevelMark {
    MarkState state = MarkState::Unmarkable;
    int descriptor = -1;
};

// Opens the level file and checks that no other open file holds its mark.
LevelMark levelMarkTake(int folder, const char* levelName) {
    const int descriptor = sys().openat(folder, levelName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (descriptor < 0) {
        return {};
    }
    DescriptorCloser closer(descriptor);
    struct stat status {};
    if (sys().fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return {};
    }
    struct flock probe = wholeFile(F_WRLCK);
    if (sys().fcntlLock(descriptor, F_OFD_GETLK, &probe) != 0) {
        return {};
    }
    if (probe.l_type != F_UNLCK) {
        return {MarkState::Busy, -1};
    }
    if (markSet(descriptor) != 0) {
        return {};
    }
    return {MarkState::Taken, closer.release()};
}

// How opening the lock file ended: Opened; Vanished, when it was deleted
// between the two opens (look again); Failed, with the errno value.
enum class LockOpen { Opened, Vanished, Failed };

// Gives a new lock file the folder's group and read and write bits, so that
// whoever may write the folder may lock, whatever this process's group and
// umask. A folder whose status does not read gives nothing to take (its zero
// group and bits would lock everyone else out). 0 or the errno value.
int lockFileKeep(const Folder& folder, int descriptor) {
    const FileProbe owner = folder.selfProbe();
    if (owner.kind != FileKind::Folder) {
        return owner.kind == FileKind::Unknown ? owner.error : EIO;
    }
    int keepError = 0;
    const uid_t user = boPrivileged() ? owner.owner : static_cast<uid_t>(-1);
    if (sys().fchown(descriptor, user, owner.group) != 0) {
        keepError = errno;
    }
    if (sys().fchmod(descriptor, owner.permissions & 0666) != 0 && keepError == 0) {
        keepError = errno;
    }
    return keepError;
}

// Opens the lock file at the name, making it when missing, never following
// a link or replacing a lock file. Only a regular file carries the lock: a
// link is refused by the open (ELOOP), anything else before it (EINVAL; a
// pipe or a device there is never opened). On Opened, `descriptor` is the
// open lock file and `locked` its status.
LockOpen lockFileOpen(const Folder& folder, const std::string& lockName, int& descriptor, struct stat& locked,
                      int& error, int& keepError) {
    const int folderDescriptor = folder.descriptorGet();
    struct stat status {};
    if (sys().fstatat(folderDescriptor, lockName.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode)) {
        error = S_ISLNK(status.st_mode) ? ELOOP : EINVAL;
        return LockOpen::Failed;
    }
    int opened = sys().openat(folderDescriptor, lockName.c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (opened >= 0) {
        keepError = lockFileKeep(folder, opened);
    } else if (errno == EEXIST) {
        opened = sys().openat(folderDescriptor, lockName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        if (opened < 0 && errno == ENOENT) {
            return LockOpen::Vanished;
        }
    }
    if (opened < 0) {
        error = errno;
        return LockOpen::Failed;
    }
    DescriptorCloser closer(opened);
    if (sys().fstat(opened, &locked) != 0) {
        error = errno;
        return LockOpen::Failed;
    }
    if (!S_ISREG(locked.st_mode)) {
        error = EINVAL;
        return LockOpen::Failed;
    }
    descriptor = closer.release();
    return LockOpen::Opened;
}

// One locker's wait on one open lock file (see FileLock): where it
// announces itself, whether it did, and the time the lock was seen free
// while it deferred to earlier waiters: the spans from a free look to the
// next look, added up. That time is not reset when another locker takes the
// lock meanwhile, so a holder that lets go and locks again in a loop cannot
// make this locker defer to a stopped waiter more than once over. Points at
// the lock file's descriptor without owning it. Thread-compatible.
struct LockWaiter {
    int folder;
    const std::string& lockName;
    const std::string& levelName;
    int descriptor;
    struct stat locked;
    off_t waitOffset;
    bool boAnnounced = false;
    std::int64_t deferredMs = 0;
    std::optional<std::int64_t> freeSince;
};

// How one try, or a wait, on the open lock file ended: Locked, with the
// level file's mark; Waiting while another holds it; Renamed when the lock
// file is no longer the one at the name (open the one there now); Failed,
// with the errno value.
enum class LockTry { Locked, Waiting, Renamed, Failed };

// Whether this try may take a free lock: waiters that arrived earlier go
// first, until the lock has been free for kYieldToWaiters in all without
// one of them taking it.
bool boLockTurn(LockWaiter& waiter, std::chrono::milliseconds yield) {
    if (waiter.deferredMs >= yield.count() || waiter.waitOffset <= kWaitBase ||
        !boLockedByOthers(waiter.descriptor, kWaitBase, waiter.waitOffset - kWaitBase)) {
        return true;
    }
    const std::int64_t now = monotonicMillisecondsGet();
    if (waiter.freeSince) {
        waiter.deferredMs += std::max<std::int64_t>(0, now - *waiter.freeSince);
    }
    waiter.freeSince.reset();
    if (boLockedByOthers(waiter.descriptor, kLockByte, 1)) {
        return false;
    }
    waiter.freeSince = now;
    return waiter.deferredMs >= yield.count();
}

// One try at the lock: takes byte 0 when it is this locker's turn, checks
// that the lock file is still the one at the name, and takes the level
// file's mark. A locker that must wait announces itself once.
LockTry lockTry(LockWaiter& waiter, std::chrono::milliseconds yield, int& mark, int& error) {
    int result = EAGAIN;
    if (boLockTurn(waiter, yield)) {
        result = rangeLock(waiter.descriptor, kLockByte, F_WRLCK);
        if (result != 0 && result != EAGAIN) {
            error = result;
            return LockTry::Failed;
        }
    }
    // The lock counts only on the file that is still at the name: a lock
    // file deleted (and perhaps made again) since the open locks nothing
    // that others see.
    struct stat named {};
    if (sys().fstatat(waiter.folder, waiter.lockName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != waiter.locked.st_dev || named.st_ino != waiter.locked.st_ino) {
        return LockTry::Renamed;
    }
    if (result == 0) {
        const LevelMark taken = levelMarkTake(waiter.folder, waiter.levelName.c_str());
        if (taken.state != MarkState::Busy) {
            if (waiter.boAnnounced) {
                (void)rangeLock(waiter.descriptor, waiter.waitOffset, F_UNLCK);
            }
            mark = taken.descriptor;
            return LockTry::Locked;
        }
        // A holder whose lock file was deleted under it still marks the
        // level file: wait for it.
        (void)rangeLock(waiter.descriptor, kLockByte, F_UNLCK);
    }
    if (!waiter.boAnnounced) {
        // A lock call that the system fails outright fails the lock; one
        // that it merely refuses (an offset it cannot carry) leaves this
        // locker waiting unannounced.
        const int announced = rangeLock(waiter.descriptor, waiter.waitOffset, F_RDLCK);
        if (announced == ENOLCK || announced == EIO) {
            error = announced;
            return LockTry::Failed;
        }
        waiter.boAnnounced = announced == 0;
    }
    return LockTry::Waiting;
}

// Tries the lock until it is had, the lock file is renamed, or the
// deadline (on the monotonic clock) passes: then Failed with EWOULDBLOCK.
LockTry lockWait(LockWaiter& waiter, std::chrono::milliseconds yield, std::int64_t deadline, int& mark,
                 int& error) {
    thread_local std::minstd_rand jitter{std::random_device{}()};
    for (;;) {
        const LockTry tried = lockTry(waiter, yield, mark, error);
        if (tried != LockTry::Waiting) {
            return tried;
        }
        if (monotonicMillisecondsGet() >= deadline) {
            error = EWOULDBLOCK;
            return LockTry::Failed;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 + jitter() % 1800));
    }
}

} // namespace

std::int64_t ticksFromUnix(std::int64_t seconds, std::int64_t nanoseconds) noexcept {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = kTicksUnknown + 1;
    // Whole seconds since 1601, then ticks; each step checked for overflow.
    constexpr std::int64_t kSecondsFrom1601To1970 = kTicksFrom1601To1970 / kTicksPerSecond;
    std::int64_t since1601 = 0;
    // Adding a positive number overflows only upwards.
    if (__builtin_add_overflow(seconds, kSecondsFrom1601To1970, &since1601)) {
        return kMax;
    }
    std::int64_t ticks = 0;
    if (__builtin_mul_overflow(since1601, kTicksPerSecond, &ticks)) {
        return since1601 > 0 ? kMax : kMin;
    }
    std::int64_t result = 0;
    if (__builtin_add_overflow(ticks, nanoseconds / 100, &result)) {
        return ticks > 0 ? kMax : kMin;
    }
    return result < kMin ? kMin : result;
}

FileProbe probe(const std::filesystem::path& path) noexcept {
    struct stat status {};
    const int result = path.empty() ? (errno = ENOENT, -1) : sys().fstatat(AT_FDCWD, path.c_str(), &status, 0);
    return probeOf(result, status);
}

int readRegular(const std::filesystem::path& path, std::string& bytes, FileStamp& stamp) {
    if (path.empty()) {
        return ENOENT;
    }
    return readAt(AT_FDCWD, path.c_str(), false, bytes, stamp);
}

std::uint64_t contentHash(std::string_view bytes) noexcept { return std::hash<std::string_view>{}(bytes); }

std::int64_t clockTicksGet() noexcept {
    struct timespec now {};
    if (sys().clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return kTicksUnknown;
    }
    return ticksFromUnix(now.tv_sec, now.tv_nsec);
}

namespace {

std::int64_t millisecondsOf(clockid_t clock) noexcept {
    struct timespec now {};
    if (sys().clock_gettime(clock, &now) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

} // namespace

std::int64_t monotonicMillisecondsGet() noexcept { return millisecondsOf(CLOCK_MONOTONIC); }

std::int64_t wallMillisecondsGet() noexcept { return millisecondsOf(CLOCK_REALTIME); }

Folder::~Folder() { vClose(); }

void Folder::vClose() noexcept {
    if (descriptor_ >= 0) {
        sys().close(std::exchange(descriptor_, -1));
    }
}

int Folder::open(const std::filesystem::path& base, const std::filesystem::path& file) {
    vClose();
    if (base.empty() || file.empty()) {
        return ENOENT;
    }
    const std::filesystem::path relative = file.lexically_relative(base);
    if (relative.empty() || !relative.has_filename() || *relative.begin() == "..") {
        return EXDEV;
    }
    int current = sys().openat(AT_FDCWD, base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (current < 0) {
        return errno;
    }
    for (const std::filesystem::path& component : relative.parent_path()) {
        const std::string& text = component.native();
        if (text == ".") {
            continue;
        }
        if (text == "..") {
            sys().close(current);
            return EXDEV;
        }
        const int next = sys().openat(current, text.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
        int error = errno;
        if (next < 0 && error == ENOTDIR) {
            // With O_DIRECTORY a link shows as ENOTDIR; name it as a link.
            struct stat status {};
            if (sys().fstatat(current, text.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
                error = ELOOP;
            }
        }
        sys().close(current);
        if (next < 0) {
            return error;
        }
        current = next;
    }
    descriptor_ = current;
    name_ = relative.filename().native();
    return 0;
}

FileProbe Folder::probe(std::string_view name) const noexcept {
    struct stat status {};
    const std::string text(name);
    const int result = sys().fstatat(descriptor_, text.c_str(), &status, AT_SYMLINK_NOFOLLOW);
    return probeOf(result, status);
}

FileProbe Folder::selfProbe() const noexcept {
    struct stat status {};
    const int result = sys().fstat(descriptor_, &status);
    return probeOf(result, status);
}

int Folder::read(std::string_view name, std::string& bytes, FileStamp& stamp) const {
    const std::string text(name);
    return readAt(descriptor_, text.c_str(), true, bytes, stamp);
}

int Folder::compare(std::string_view name, std::string_view expected, bool& boSame, FileStamp& stamp) const {
    const std::string text(name);
    std::string unused;
    boSame = false;
    return readAt(descriptor_, text.c_str(), true, unused, stamp, &expected, &boSame);
}

int Folder::namesGet(std::vector<std::string>& names) const {
    names.clear();
    const int listing = sys().openat(descriptor_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (listing < 0) {
        return errno;
    }
    DIR* const stream = sys().fdopendir(listing);
    if (stream == nullptr) {
        const int error = errno;
        sys().close(listing);
        return error;
    }
    // The end of the listing and a failure both give no entry; only a
    // failure sets errno.
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = sys().readdir(stream);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    sys().closedir(stream);
    return error;
}

int Folder::remove(std::string_view name) const {
    const std::string text(name);
    return sys().unlinkat(descriptor_, text.c_str(), 0) == 0 ? 0 : errno;
}

PendingFile::~PendingFile() {
    if (boNamed_) {
        (void)sys().unlinkat(folder_->descriptorGet(), temporary_.c_str(), 0);
    }
    if (descriptor_ >= 0) {
        sys().close(descriptor_);
    }
}

int PendingFile::create(const Folder& folder, std::string temporaryName) {
    folder_ = &folder;
    temporary_ = std::move(temporaryName);
    descriptor_ = sys().openat(folder.descriptorGet(), temporary_.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor_ < 0) {
        return errno;
    }
    boNamed_ = true;
    return 0;
}

int PendingFile::create(const Folder& folder) {
    return create(folder, temporaryFileName(folder.nameGet(), temporaryUniqueGet()));
}

int PendingFile::attributesTake(std::string_view modelName, const FileStamp& expected, std::string_view& what) {
    const std::string name(modelName);
    const int model =
        sys().openat(folder_->descriptorGet(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (model < 0) {
        const int error = errno;
        what = "status";
        return error == ENOENT ? ESTALE : error;
    }
    const DescriptorCloser closer(model);
    struct stat status {};
    if (sys().fstat(model, &status) != 0) {
        what = "status";
        return errno;
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_dev) != expected.device ||
        static_cast<std::uint64_t>(status.st_ino) != expected.inode) {
        return ESTALE;
    }
    // Owner and group first: changing them may clear the set-id bits, which
    // the mode then gives back.
    const uid_t owner = boPrivileged() ? status.st_uid : static_cast<uid_t>(-1);
    if (sys().fchown(descriptor_, owner, status.st_gid) != 0) {
        what = boPrivileged() ? "owner and group" : "group";
        return errno;
    }
    if (sys().fchmod(descriptor_, status.st_mode & 07777) != 0) {
        what = "permission bits";
        return errno;
    }
    if (const int error = attributesCopy(model, descriptor_); error != 0) {
        what = "extended attributes";
        return error;
    }
    return 0;
}

int PendingFile::attributesForNew(std::string_view& what) {
    const FileProbe folder = folder_->selfProbe();
    if (folder.kind != FileKind::Folder) {
        what = "status";
        return folder.kind == FileKind::Unknown ? folder.error : EIO;
    }
    struct stat status {};
    if (sys().fstat(descriptor_, &status) != 0) {
        what = "status";
        return errno;
    }
    const uid_t owner = boPrivileged() ? folder.owner : static_cast<uid_t>(-1);
    if ((owner != static_cast<uid_t>(-1) && owner != status.st_uid) || folder.group != status.st_gid) {
        if (sys().fchown(descriptor_, owner, folder.group) != 0) {
            what = boPrivileged() ? "owner and group" : "group";
            return errno;
        }
    }
    return 0;
}

int PendingFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = sys().write(descriptor_, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (count == 0) {
            return EIO;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return sys().fsync(descriptor_) == 0 ? 0 : errno;
}

int PendingFile::markTake() { return markSet(descriptor_); }

int PendingFile::publish(std::string_view name, bool boReplace, bool& boPublished) {
    boPublished = false;
    const std::string target(name);
    const int folder = folder_->descriptorGet();
    if (boReplace) {
        if (sys().renameat(folder, temporary_.c_str(), folder, target.c_str()) != 0) {
            return errno;
        }
    } else if (sys().renameat2(folder, temporary_.c_str(), folder, target.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
            return errno;
        }
        // No atomic no-replace rename here: a hard link fails on an existing
        // name. Over a network a lost reply can report a link that was made:
        // the pending file's link count tells.
        if (sys().linkat(folder, temporary_.c_str(), folder, target.c_str(), 0) != 0) {
            const int error = errno;
            struct stat status {};
            if (error != EEXIST || sys().fstat(descriptor_, &status) != 0 || status.st_nlink != 2) {
                return error;
            }
        }
        boPublished = true;
        if (sys().unlinkat(folder, temporary_.c_str(), 0) != 0) {
            // The file is in place under two names; the next lock of the
            // level removes the temporary one.
            boNamed_ = false;
            return errno;
        }
    }
    boPublished = true;
    boNamed_ = false;
    // Makes the rename itself durable; the file is in place already.
    return sys().fsync(folder) == 0 ? 0 : errno;
}

int PendingFile::stampGet(FileStamp& stamp) const {
    struct stat status {};
    if (sys().fstat(descriptor_, &status) != 0) {
        return errno;
    }
    stamp = stampOf(status);
    return 0;
}

int PendingFile::descriptorRelease() noexcept { return std::exchange(descriptor_, -1); }

FileLock::~FileLock() {
    if (markDescriptor_ >= 0) {
        sys().close(markDescriptor_);
    }
    sys().close(lockDescriptor_); // releases the record lock
}

int FileLock::heldConfirm() const noexcept {
    const int result = rangeLock(lockDescriptor_, kLockByte, F_WRLCK);
    return result == EAGAIN ? ENOLCK : result;
}

void FileLock::vMarkMove(int descriptor) noexcept {
    if (markDescriptor_ >= 0) {
        sys().close(markDescriptor_);
    }
    markDescriptor_ = descriptor;
}

std::unique_ptr<FileLock> FileLock::acquire(const Folder& folder, std::string_view lockName,
                                            std::string_view levelName, std::chrono::milliseconds wait,
                                            int& error, int& keepError) {
    keepError = 0;
    const std::string lockText(lockName);
    const std::string levelText(levelName);
    const std::int64_t deadline = monotonicMillisecondsGet() + wait.count();
    // This locker's place among the waiters (see FileLock).
    const off_t waitOffset = waitOffsetNow();
    for (;;) {
        int descriptor = -1;
        struct stat locked {};
        const LockOpen opened = lockFileOpen(folder, lockText, descriptor, locked, error, keepError);
        if (opened == LockOpen::Failed) {
            return nullptr;
        }
        if (opened == LockOpen::Opened) {
            DescriptorCloser closer(descriptor);
            LockWaiter waiter{folder.descriptorGet(), lockText, levelText, descriptor, locked, waitOffset, false, 0,
                              {}};
            int mark = -1;
            const LockTry waited = lockWait(waiter, kYieldToWaiters, deadline, mark, error);
            if (waited == LockTry::Locked) {
                const std::pair identity{static_cast<std::uint64_t>(locked.st_dev),
                                         static_cast<std::uint64_t>(locked.st_ino)};
                return std::unique_ptr<FileLock>(new FileLock(closer.release(), mark, identity));
            }
            if (waited == LockTry::Failed) {
                return nullptr;
            }
        }
        // The lock file at the name went, or was replaced: open the one
        // there now.
        if (monotonicMillisecondsGet() >= deadline) {
            error = EWOULDBLOCK;
            return nullptr;
        }
    }
}

} // namespace vyr::platform
