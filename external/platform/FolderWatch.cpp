#include "external/platform/FolderWatch.h"

#include <sys/inotify.h>

#include <cerrno>
#include <cstring>

#include "external/platform/FileSystem.h"
#include "external/platform/FileSystemKind.h"
#include "external/platform/SystemCalls.h"

namespace vyr::platform {
namespace {

// What changes a file's content or presence, and the folder's own going
// away; never an open or a read.
constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string refusalOf(int error) {
    if (error == ENOSPC) {
        return "watch limit reached";
    }
    if (error == ENOSYS || error == EMFILE || error == ENFILE) {
        return std::string("no watch facility (") + std::strerror(error) + ")";
    }
    return std::string("watch refused (") + std::strerror(error) + ")";
}

} // namespace

FolderWatch::FolderWatch() {
    descriptor_ = systemCalls().inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor_ < 0) {
        openError_ = errno;
        descriptor_ = -1;
    }
}

FolderWatch::~FolderWatch() {
    if (descriptor_ >= 0) {
        systemCalls().close(descriptor_);
    }
}

std::size_t FolderWatch::folderAdd(const std::filesystem::path& folder) {
    folders_.push_back(Folder{folder, {}, -1, false});
    vArm(folders_.back());
    return folders_.size() - 1;
}

void FolderWatch::vArm(Folder& folder) {
    folder.watch = -1;
    folder.boDirect = false;
    if (descriptor_ < 0) {
        folder.state = {false, refusalOf(openError_ == 0 ? ENOSYS : openError_)};
        return;
    }
    // The nearest existing folder on the way up.
    std::filesystem::path existing = folder.path;
    while (probe(existing).kind != FileKind::Folder) {
        const std::filesystem::path parent = existing.parent_path();
        if (parent.empty() || parent == existing) {
            folder.state = {false, "no existing folder above it"};
            return;
        }
        existing = parent;
    }
    FileSystemKind kind;
    if (fileSystemKindGet(existing, kind) == 0 && kind.boRemote) {
        folder.state = {false, "network or FUSE file system (" + kind.type +
                                   "): writes made on other machines are not reported"};
        return;
    }
    const int watch = systemCalls().inotify_add_watch(descriptor_, existing.c_str(), kMask);
    if (watch < 0) {
        folder.state = {false, refusalOf(errno)};
        return;
    }
    folder.watch = watch;
    folder.boDirect = existing == folder.path;
    folder.state = {true, folder.boDirect ? std::string()
                                          : "missing; its creation is watched in " + existing.string()};
}

std::vector<FolderWatch::Change> FolderWatch::changesRead() {
    std::vector<Change> changes;
    if (descriptor_ < 0) {
        return changes;
    }
    std::vector<bool> rearm(folders_.size(), false);
    alignas(struct inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t size = systemCalls().read(descriptor_, buffer, sizeof buffer);
        if (size <= 0) {
            break; // EAGAIN: drained
        }
        for (ssize_t at = 0; at < size;) {
            struct inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            for (std::size_t index = 0; index < folders_.size(); ++index) {
                Folder& folder = folders_[index];
                if ((event.mask & IN_Q_OVERFLOW) != 0) {
                    if (folder.state.boWatched) {
                        changes.push_back({index, {}});
                    }
                    continue;
                }
                if (folder.watch != event.wd || folder.watch < 0) {
                    continue;
                }
                if (!folder.boDirect) {
                    // Something came or went above a missing folder.
                    rearm[index] = true;
                } else if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                    rearm[index] = true;
                    changes.push_back({index, {}});
                } else if (event.len > 0 && name[0] != '\0') {
                    changes.push_back({index, std::string(name)});
                }
            }
        }
    }
    for (std::size_t index = 0; index < folders_.size(); ++index) {
        if (rearm[index]) {
            vArm(folders_[index]);
            if (folders_[index].boDirect || !folders_[index].state.boWatched) {
                changes.push_back({index, {}}); // it appeared: its files are new
            }
        }
    }
    return changes;
}

} // namespace vyr::platform
