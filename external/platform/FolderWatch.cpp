#include "external/platform/FolderWatch.h"

#include <sys/inotify.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <set>

#include "external/platform/FileSystem.h"
#include "external/platform/FileSystemKind.h"
#include "external/platform/SystemCalls.h"

namespace vyr::platform {
namespace {

// On the folder itself: what changes a file's content or presence, and the
// folder's own going away; never an open or a read. IN_CREATE also tells
// of a file that is still being written.
constexpr std::uint32_t kFolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                      IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
// On a folder of the path whose next name exists: that name renamed away
// or onto, or removed, and the folder's own going away. Creations are left
// out, so that a busy folder high up (/tmp) wakes nobody for its new files.
constexpr std::uint32_t kPathMask =
    IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
// Added on the last existing folder of the path: the next name's creation.
constexpr std::uint32_t kAwaitMask = kPathMask | IN_CREATE;
// Events that end a pending creation of a file.
constexpr std::uint32_t kWritingEnds = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
// Events that say the watched folder itself went away.
constexpr std::uint32_t kSelfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;

std::string refusalOf(int error) {
    if (error == ENOSPC) {
        return "watch limit reached";
    }
    if (error == ENOSYS || error == EMFILE || error == ENFILE) {
        return std::string("no watch facility (") + std::strerror(error) + ")";
    }
    return std::string("watch refused (") + std::strerror(error) + ")";
}

bool boFolderThere(const std::filesystem::path& path) { return probe(path).kind == FileKind::Folder; }

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
    folders_.push_back(Folder{folder, {}, {}, false});
    vArm(folders_.back());
    return folders_.size() - 1;
}

void FolderWatch::vFolderMove(std::size_t folder, const std::filesystem::path& path) {
    Folder& moved = folders_.at(folder);
    moved.path = path;
    vArm(moved);
}

bool FolderWatch::boLinksSet(Folder& folder, int& error) {
    // The folders of the path, from the top down.
    std::vector<std::filesystem::path> chain;
    for (std::filesystem::path at = folder.path;;) {
        chain.push_back(at);
        const std::filesystem::path parent = at.parent_path();
        if (parent.empty() || parent == at) {
            break;
        }
        at = parent;
    }
    std::reverse(chain.begin(), chain.end());
    if (!boFolderThere(chain.front())) {
        error = ENOENT;
        return false;
    }
    const auto add = [&](const std::filesystem::path& path, std::uint32_t mask) {
        return systemCalls().inotify_add_watch(descriptor_, path.c_str(), mask);
    };
    // Each folder is watched before the name below it is looked at, so a
    // folder made meanwhile is either seen by that look or reported.
    std::size_t deepest = 0;
    std::size_t steps = 0;
    for (std::size_t index = 0; index < chain.size(); ++index) {
        if (++steps > 4 * chain.size()) {
            error = EAGAIN; // the path keeps changing: poll, and try again later
            return false;
        }
        const bool boLast = index + 1 == chain.size();
        const int watch = add(chain[index], boLast ? kFolderMask : kPathMask);
        if (watch < 0) {
            if (index > 0 && (errno == ENOENT || errno == ENOTDIR)) {
                // Gone since it was looked at: its parent's watch, set
                // before, has the removal; wait there for it to come back.
                --index;
            } else if (errno == EACCES && !boLast && boFolderThere(chain[index + 1])) {
                continue; // may not be read: renames inside it go unheard
            } else {
                error = errno;
                return false;
            }
        } else {
            folder.links.push_back({watch, boLast ? std::string() : chain[index + 1].filename().string()});
            deepest = index;
            if (boLast) {
                break;
            }
            if (boFolderThere(chain[index + 1])) {
                continue;
            }
        }
        // The next folder is missing: hear its creation, then look once
        // more, and move down when it was made meanwhile.
        if (add(chain[index], kAwaitMask) < 0) {
            error = errno;
            return false;
        }
        deepest = index;
        if (!boFolderThere(chain[index + 1])) {
            folder.state = {true, "missing; its creation is watched in " + chain[index].string()};
            break;
        }
    }
    FileSystemKind kind;
    if (fileSystemKindGet(chain[deepest], kind) == 0 && kind.boRemote) {
        folder.links.clear();
        folder.state = {false, "network or FUSE file system (" + kind.type +
                                   "): writes made on other machines are not reported"};
        return true;
    }
    if (folder.links.empty() || !folder.links.back().next.empty()) {
        return true; // awaited, as the state says
    }
    folder.state = {true, {}};
    return true;
}

void FolderWatch::vArm(Folder& folder) {
    const std::vector<Link> before = std::move(folder.links);
    folder.links.clear();
    folder.boRetry = false;
    folder.state = {};
    const std::size_t index = static_cast<std::size_t>(&folder - folders_.data());
    for (auto pending = writing_.lower_bound({index, {}}); pending != writing_.end() && pending->first.first == index;) {
        pending = writing_.erase(pending); // their closes may have been missed
    }
    if (descriptor_ < 0) {
        folder.state = {false, refusalOf(openError_ == 0 ? ENOSYS : openError_)};
    } else if (int error = 0; !boLinksSet(folder, error)) {
        folder.links.clear();
        folder.boRetry = true;
        folder.state = {false, error == ENOENT ? "no existing folder above it" : refusalOf(error)};
    }
    vUnusedDrop(before);
}

void FolderWatch::vUnusedDrop(const std::vector<Link>& before) {
    std::set<int> used;
    for (const Folder& folder : folders_) {
        for (const Link& link : folder.links) {
            used.insert(link.watch);
        }
    }
    std::set<int> dropped;
    for (const Link& link : before) {
        if (used.count(link.watch) == 0 && dropped.insert(link.watch).second) {
            (void)systemCalls().inotify_rm_watch(descriptor_, link.watch); // gone already: EINVAL
        }
    }
}

std::int64_t FolderWatch::writingSinceGet(std::size_t folder, const std::string& name) const {
    const auto found = writing_.find({folder, name});
    return found == writing_.end() ? -1 : found->second;
}

void FolderWatch::vWritingForget(std::int64_t before) {
    for (auto pending = writing_.begin(); pending != writing_.end();) {
        pending = pending->second < before ? writing_.erase(pending) : std::next(pending);
    }
}

std::vector<FolderWatch::Change> FolderWatch::changesRead() {
    std::vector<Change> changes;
    std::vector<bool> rearm(folders_.size(), false);
    for (std::size_t index = 0; index < folders_.size(); ++index) {
        rearm[index] = folders_[index].boRetry;
    }
    alignas(struct inotify_event) char buffer[16 * 1024];
    for (;;) {
        if (descriptor_ < 0) {
            break;
        }
        const ssize_t size = systemCalls().read(descriptor_, buffer, sizeof buffer);
        if (size <= 0) {
            break; // EAGAIN: drained
        }
        for (ssize_t at = 0; at < size;) {
            struct inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            const std::string_view eventName = event.len > 0 ? std::string_view(name) : std::string_view();
            for (std::size_t index = 0; index < folders_.size(); ++index) {
                if ((event.mask & IN_Q_OVERFLOW) != 0) {
                    rearm[index] = true; // folders may have been replaced unheard
                    continue;
                }
                for (const Link& link : folders_[index].links) {
                    if (link.watch != event.wd) {
                        continue;
                    }
                    if ((event.mask & kSelfGone) != 0) {
                        rearm[index] = true;
                    } else if (!link.next.empty()) {
                        // On the way: only the next name counts.
                        rearm[index] = rearm[index] || eventName == link.next;
                    } else if (!eventName.empty()) {
                        const std::pair<std::size_t, std::string> key{index, std::string(eventName)};
                        if ((event.mask & IN_CREATE) != 0 && (event.mask & IN_ISDIR) == 0) {
                            writing_[key] = monotonicMillisecondsGet();
                        } else if ((event.mask & kWritingEnds) != 0) {
                            writing_.erase(key);
                        }
                        changes.push_back({index, key.second});
                    }
                }
            }
        }
    }
    for (std::size_t index = 0; index < folders_.size(); ++index) {
        if (rearm[index]) {
            // Appeared, replaced, gone, or its events lost: its files may
            // all be other ones now.
            vArm(folders_[index]);
            changes.push_back({index, {}});
        }
    }
    return changes;
}

} // namespace vyr::platform
