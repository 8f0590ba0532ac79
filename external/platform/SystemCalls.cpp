#include "external/platform/SystemCalls.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>

namespace vyr::platform {
namespace {

// The real calls; open and fcntl are variadic in the C library.
int openAt(int folder, const char* name, int flags, mode_t mode) { return ::openat(folder, name, flags, mode); }
int fcntlLock(int descriptor, int command, struct flock* range) { return ::fcntl(descriptor, command, range); }
int mountTableOpen() { return ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC); }

constexpr SystemCalls kReal{
    &openAt,   &::close,  &::read,    &::write,  &::fsync,      &::fstat,     &::fstatat,
    &::clock_gettime,     &::renameat,
    &::renameat2, &::linkat, &::unlinkat, &::fchmod, &::fchown, &fcntlLock, &::flistxattr, &::fgetxattr,
    &::fsetxattr, &::statfs, &mountTableOpen, &::fdopendir, &::readdir,  &::closedir, &::geteuid,
    &::inotify_init1, &::inotify_add_watch, &::inotify_rm_watch,
};

SystemCalls& table() noexcept {
    static SystemCalls calls = kReal;
    return calls;
}

} // namespace

SystemCalls& systemCalls() noexcept { return table(); }

void vSystemCallsReset() noexcept { table() = kReal; }

} // namespace vyr::platform
