#include "external/platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

namespace vyr::platform {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;

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
                     static_cast<std::uint64_t>(status.st_size), static_cast<std::uint64_t>(status.st_dev),
                     static_cast<std::uint64_t>(status.st_ino)};
}

FileProbe probeOf(int result, const struct stat& status) noexcept {
    FileProbe found;
    if (result != 0) {
        found.kind = errno == ENOENT || errno == ENOTDIR ? FileKind::Missing : FileKind::Unknown;
        return found;
    }
    found.kind = kindOf(status.st_mode);
    found.stamp = stampOf(status);
    found.links = static_cast<std::uint64_t>(status.st_nlink);
    found.permissions = static_cast<unsigned>(status.st_mode & 07777);
    return found;
}

// Reads everything from the descriptor, which must be a regular file; the
// stamp comes from the descriptor before the read. 0 or errno.
int readDescriptor(int descriptor, std::string& bytes, FileStamp& stamp) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return EINVAL;
    }
    stamp = stampOf(status);
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(status.st_size));
    char buffer[1 << 16];
    while (true) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count == 0) {
            return 0;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
}

// Closes a descriptor at the end of a scope.
class DescriptorCloser {
public:
    explicit DescriptorCloser(int descriptor) noexcept : descriptor_(descriptor) {}
    DescriptorCloser(const DescriptorCloser&) = delete;
    DescriptorCloser& operator=(const DescriptorCloser&) = delete;
    ~DescriptorCloser() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    // Gives the descriptor up without closing it.
    void vRelease() noexcept { descriptor_ = -1; }
    // Closes now; the errno of a failed close, or 0.
    int closeGet() noexcept {
        const int result = ::close(std::exchange(descriptor_, -1));
        return result == 0 ? 0 : errno;
    }

private:
    int descriptor_;
};

int writeAll(int descriptor, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t count = ::write(descriptor, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return 0;
}

// A name for a temporary file that no other writer, in this process or
// another, picks at the same time.
std::string temporaryName(std::string_view name) {
    static std::atomic<std::uint64_t> counter{std::random_device{}()};
    const std::uint64_t value = counter.fetch_add(0x9E3779B97F4A7C15ULL) ^
                                (static_cast<std::uint64_t>(::getpid()) << 40) ^
                                static_cast<std::uint64_t>(
                                    std::chrono::steady_clock::now().time_since_epoch().count());
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(value));
    std::string temporary;
    temporary.reserve(name.size() + kTemporaryNameExtra);
    temporary += '.';
    temporary += name;
    temporary += '.';
    temporary += hex;
    temporary += ".tmp";
    return temporary;
}

// Publishes the temporary file under the name without replacing anything:
// an atomic no-replace rename where the file system has one, else a hard
// link (which fails on an existing name) and the removal of the temporary.
int publishNew(int folder, const std::string& temporary, const std::string& name) noexcept {
    if (::renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return errno;
    }
    if (::linkat(folder, temporary.c_str(), folder, name.c_str(), 0) != 0) {
        // Over a network a lost reply can report a link that was made:
        // the temporary file's link count tells.
        const int error = errno;
        struct stat status {};
        if (error != EEXIST || ::fstatat(folder, temporary.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            status.st_nlink != 2) {
            return error;
        }
    }
    (void)::unlinkat(folder, temporary.c_str(), 0);
    return 0;
}

// The locks this process holds, by the identity of their lock files.
struct LockTable {
    std::mutex mutex;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::weak_ptr<FileLock>> held; // guarded by mutex
};

LockTable& lockTable() {
    static LockTable table;
    return table;
}

} // namespace

std::int64_t ticksFromUnix(std::int64_t seconds, std::int64_t nanoseconds) noexcept {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = kTicksUnknown + 1;
    // Whole seconds since 1601, then ticks; each step checked for overflow.
    constexpr std::int64_t kSecondsFrom1601To1970 = kTicksFrom1601To1970 / kTicksPerSecond;
    std::int64_t since1601 = 0;
    if (__builtin_add_overflow(seconds, kSecondsFrom1601To1970, &since1601)) {
        return seconds > 0 ? kMax : kMin;
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
    const int result = path.empty() ? (errno = ENOENT, -1) : ::stat(path.c_str(), &status);
    return probeOf(result, status);
}

int readRegular(const std::filesystem::path& path, std::string& bytes, FileStamp& stamp) {
    struct stat status {};
    if (path.empty()) {
        return ENOENT;
    }
    if (::stat(path.c_str(), &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return EINVAL;
    }
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    const DescriptorCloser closer(descriptor);
    return readDescriptor(descriptor, bytes, stamp);
}

std::uint64_t contentHash(std::string_view bytes) noexcept { return std::hash<std::string_view>{}(bytes); }

int Folder::open(const std::filesystem::path& base, const std::filesystem::path& file) {
    vClose();
    if (base.empty() || file.empty()) {
        return ENOENT;
    }
    const std::filesystem::path relative = file.lexically_relative(base);
    if (relative.empty() || !relative.has_filename() || *relative.begin() == "..") {
        return EXDEV;
    }
    int current = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (current < 0) {
        return errno;
    }
    const std::filesystem::path parent = relative.parent_path();
    for (const std::filesystem::path& component : parent) {
        const std::string& text = component.native();
        if (text.empty() || text == ".") {
            continue;
        }
        if (text == "..") {
            ::close(current);
            return EXDEV;
        }
        const int next = ::openat(current, text.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        if (next < 0 && error == ENOTDIR) {
            // With O_DIRECTORY a link shows as ENOTDIR; name it as a link.
            struct stat status {};
            if (::fstatat(current, text.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
                error = ELOOP;
            }
        }
        ::close(current);
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
    const int result = ::fstatat(descriptor_, text.c_str(), &status, AT_SYMLINK_NOFOLLOW);
    return probeOf(result, status);
}

int Folder::read(std::string_view name, std::string& bytes, FileStamp& stamp) const {
    const std::string text(name);
    struct stat status {};
    if (::fstatat(descriptor_, text.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    if (S_ISLNK(status.st_mode)) {
        return ELOOP;
    }
    if (!S_ISREG(status.st_mode)) {
        return EINVAL;
    }
    const int descriptor = ::openat(descriptor_, text.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    const DescriptorCloser closer(descriptor);
    return readDescriptor(descriptor, bytes, stamp);
}

int Folder::write(std::string_view name, std::string_view bytes, bool boReplace, int permissions,
                  FileStamp& stamp) const {
    const std::string target(name);
    std::string temporary;
    int descriptor = -1;
    for (int attempt = 0; descriptor < 0; ++attempt) {
        temporary = temporaryName(name);
        descriptor =
            ::openat(descriptor_, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (descriptor < 0 && (errno != EEXIST || attempt >= 100)) {
            return errno;
        }
    }
    DescriptorCloser closer(descriptor);
    bool boPublished = false;
    const auto removeTemporary = [&] {
        if (!boPublished) {
            (void)::unlinkat(descriptor_, temporary.c_str(), 0);
        }
    };
    if (permissions >= 0) {
        (void)::fchmod(descriptor, static_cast<mode_t>(permissions));
    }
    int error = writeAll(descriptor, bytes);
    if (error == 0 && ::fsync(descriptor) != 0) {
        error = errno;
    }
    struct stat status {};
    if (error == 0 && ::fstat(descriptor, &status) != 0) {
        error = errno;
    }
    if (error == 0) {
        error = closer.closeGet();
    }
    if (error != 0) {
        removeTemporary();
        return error;
    }
    if (boReplace) {
        error = ::renameat(descriptor_, temporary.c_str(), descriptor_, target.c_str()) == 0 ? 0 : errno;
    } else {
        error = publishNew(descriptor_, temporary, target);
    }
    boPublished = error == 0;
    removeTemporary();
    if (error != 0) {
        return error;
    }
    stamp = stampOf(status);
    // Makes the rename itself durable; the file is in place already.
    (void)::fsync(descriptor_);
    return 0;
}

FileLock::~FileLock() {
    LockTable& table = lockTable();
    {
        const std::lock_guard lock(table.mutex);
        const auto found = table.held.find({device_, inode_});
        if (found != table.held.end() && found->second.expired()) {
            table.held.erase(found);
        }
    }
    ::close(descriptor_); // releases the record lock
}

std::shared_ptr<FileLock> FileLock::acquire(const Folder& folder, std::string_view name,
                                            std::chrono::milliseconds wait, int& error, bool& boShared) {
    boShared = false;
    const std::string text(name);
    // Only a regular file carries the lock: a link is refused by the open,
    // and anything else before it (a pipe or a device there is never
    // opened). A new lock file may be written by whoever may write the
    // folder, whatever this process's umask.
    struct stat status {};
    if (::fstatat(folder.descriptorGet(), text.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode)) {
        error = S_ISLNK(status.st_mode) ? ELOOP : EINVAL;
        return nullptr;
    }
    int descriptor = ::openat(folder.descriptorGet(), text.c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
        struct stat folderStatus {};
        if (::fstat(folder.descriptorGet(), &folderStatus) == 0) {
            (void)::fchmod(descriptor, folderStatus.st_mode & 0666);
        }
    } else if (errno == EEXIST) {
        descriptor = ::openat(folder.descriptorGet(), text.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    if (descriptor < 0) {
        error = errno;
        return nullptr;
    }
    DescriptorCloser closer(descriptor);
    if (::fstat(descriptor, &status) != 0) {
        error = errno;
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        error = EINVAL;
        return nullptr;
    }
    const std::pair<std::uint64_t, std::uint64_t> key{static_cast<std::uint64_t>(status.st_dev),
                                                      static_cast<std::uint64_t>(status.st_ino)};
    LockTable& table = lockTable();
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        {
            const std::lock_guard lock(table.mutex);
            if (auto held = table.held[key].lock()) {
                boShared = true;
                return held;
            }
            struct flock range {};
            range.l_type = F_WRLCK;
            range.l_whence = SEEK_SET;
            if (::fcntl(descriptor, F_OFD_SETLK, &range) == 0) {
                closer.vRelease(); // the lock owns the descriptor now
                std::shared_ptr<FileLock> made(new FileLock(descriptor, key.first, key.second));
                table.held[key] = made;
                return made;
            }
            if (errno != EAGAIN && errno != EACCES) {
                error = errno;
                table.held.erase(key);
                return nullptr;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = EWOULDBLOCK;
            const std::lock_guard lock(table.mutex);
            if (table.held[key].expired()) {
                table.held.erase(key);
            }
            return nullptr;
        }
        // A short, random pause: a holder that lets go and locks again at
        // once does not keep every waiter out.
        thread_local std::minstd_rand jitter{std::random_device{}()};
        std::this_thread::sleep_for(std::chrono::microseconds(500 + jitter() % 4500));
    }
}

} // namespace vyr::platform
