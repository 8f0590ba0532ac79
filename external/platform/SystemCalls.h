#pragma once

// The system calls of the platform layer, behind one table. Every call the
// layer makes on a file or a folder, and every read of the clock, goes
// through it, so that a test can replace one entry and make that call fail
// on purpose (a full disk at the fsync, a rename that is refused) or show
// another file system or time, without forking or resource limits.
// Nothing in the library changes the table.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <time.h>

namespace vyr::platform {

struct SystemCalls {
    int (*openat)(int folder, const char* name, int flags, mode_t mode);
    int (*close)(int descriptor);
    ssize_t (*read)(int descriptor, void* buffer, size_t size);
    ssize_t (*write)(int descriptor, const void* buffer, size_t size);
    int (*fsync)(int descriptor);
    int (*fstat)(int descriptor, struct stat* status);
    int (*fstatat)(int folder, const char* name, struct stat* status, int flags);
    // Our clocks: the real-time clock, read to tell how old a file's times
    // are when it is read and to order the waiters of a lock, and the
    // monotonic clock, which times a lock's waits and a file still being
    // written.
    int (*clock_gettime)(clockid_t clock, struct timespec* time);
    int (*renameat)(int fromFolder, const char* from, int toFolder, const char* to);
    int (*renameat2)(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);
    int (*linkat)(int fromFolder, const char* from, int toFolder, const char* to, int flags);
    int (*unlinkat)(int folder, const char* name, int flags);
    int (*fchmod)(int descriptor, mode_t mode);
    int (*fchown)(int descriptor, uid_t owner, gid_t group);
    int (*fcntlLock)(int descriptor, int command, struct flock* range);
    ssize_t (*flistxattr)(int descriptor, char* names, size_t size);
    ssize_t (*fgetxattr)(int descriptor, const char* name, void* value, size_t size);
    int (*fsetxattr)(int descriptor, const char* name, const void* value, size_t size, int flags);
    int (*statfs)(const char* path, struct statfs* status);
    // Opens this process's mount table (/proc/self/mountinfo) for reading:
    // a descriptor, or -1 with errno.
    int (*mountTableOpen)();
    // The listing of a folder: fdopendir takes the descriptor over, and
    // closedir closes it even when it reports an error, as close does.
    DIR* (*fdopendir)(int descriptor);
    struct dirent* (*readdir)(DIR* stream);
    int (*closedir)(DIR* stream);
    // Whether this process may give files away (a privileged one). Cannot fail.
    uid_t (*geteuid)();
    // The folder watch (FolderWatch.h): a test refuses a watch with ENOSPC
    // (the limit reached) or the facility with ENOSYS. Events are read
    // with `read` above.
    int (*inotify_init1)(int flags);
    int (*inotify_add_watch)(int descriptor, const char* path, uint32_t mask);
    int (*inotify_rm_watch)(int descriptor, int watch);
};

// The table in use. Not synchronised: a test replaces entries only while
// no other thread is inside the platform layer.
[[nodiscard]] SystemCalls& systemCalls() noexcept;

// Puts every entry back to the real call.
void vSystemCallsReset() noexcept;

} // namespace vyr::platform
