#include "external/platform/FileSystemKind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "external/platform/SystemCalls.h"

namespace vyr::platform {
namespace {

SystemCalls& sys() noexcept { return systemCalls(); }

// File-system types, as statfs reports them, with the names the mount
// table would give them: those where other machines write.
struct Magic {
    std::uint32_t magic;
    const char* type;
};
constexpr std::array<Magic, 14> kRemoteMagics{{
    {0x6969, "nfs"},
    {0xFF534D42, "cifs"},
    {0xFE534D42, "smb3"},
    {0x517B, "smbfs"},
    {0x65735546, "fuse"},
    {0x01021997, "9p"},
    {0x00C36400, "ceph"},
    {0x5346414F, "afs"},
    {0x6B414653, "afs"},
    {0x73757245, "coda"},
    {0x7461636F, "ocfs2"},
    {0x01161970, "gfs2"},
    {0x0BD00BD0, "lustre"},
    {0x47504653, "gpfs"},
}};

// Mount-table types of network and cluster file systems.
constexpr std::array<std::string_view, 18> kRemoteTypes{
    "nfs",   "nfs4", "cifs",   "smb3",   "smbfs", "9p",        "virtiofs", "ceph",    "afs",
    "coda",  "ncpfs", "ocfs2", "gfs2",   "lustre", "gpfs",     "glusterfs", "beegfs", "orangefs",
};

// A FUSE file system: its server decides what a write or a lock means, and
// most servers leave record locks to this machine's kernel, so a FUSE file
// system counts as one that does not share them. A FUSE file system on a
// local block device (fuseblk) is local.
bool boFuse(std::string_view type) noexcept { return type == "fuse" || type.starts_with("fuse."); }

bool boNfs(std::string_view type) noexcept { return type == "nfs" || type == "nfs4"; }

bool boCifs(std::string_view type) noexcept { return type == "cifs" || type == "smb3"; }

// One entry of the mount table that describes the folder's file system.
struct MountEntry {
    std::string mountPoint;
    std::string type;
    std::vector<std::string> options; // the mount's own and the file system's
};

// The fields of a line, split at spaces.
std::vector<std::string_view> fieldsOf(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const std::size_t end = std::min(line.find(' '), line.size());
        if (end > 0) {
            fields.push_back(line.substr(0, end));
        }
        line.remove_prefix(std::min(end + 1, line.size()));
    }
    return fields;
}

// A mount-table field with its octal escapes (\040 for a space) decoded.
std::string unescaped(std::string_view field) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
            octal(field[i + 3])) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// Adds the options of a comma-separated list.
void vOptionsAdd(std::string_view list, std::vector<std::string>& options) {
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(','), list.size());
        options.emplace_back(list.substr(0, end));
        list.remove_prefix(std::min(end + 1, list.size()));
    }
}

// Reads the whole mount table. 0 or errno.
int mountTableRead(std::string& text) {
    const int descriptor = sys().mountTableOpen();
    if (descriptor < 0) {
        return errno;
    }
    char buffer[1 << 14];
    int error = 0;
    for (;;) {
        const ssize_t count = sys().read(descriptor, buffer, sizeof buffer);
        if (count == 0) {
            break;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    sys().close(descriptor);
    return error;
}

// Whether the path lies at or below the mount point, component by component.
bool boUnder(const std::filesystem::path& path, const std::filesystem::path& mountPoint) {
    auto at = path.begin();
    for (const std::filesystem::path& component : mountPoint) {
        if (component.empty()) {
            continue;
        }
        if (at == path.end() || *at != component) {
            return false;
        }
        ++at;
    }
    return true;
}

// The entry of the mount table for the file system with the device number:
// of several (bind mounts), the deepest that holds the folder's path. False
// when the table has none.
bool boMountFind(std::string_view table, dev_t device, const std::filesystem::path& folder, MountEntry& found) {
    bool boFound = false;
    std::size_t bestDepth = 0;
    bool boBestHolds = false;
    while (!table.empty()) {
        const std::size_t end = std::min(table.find('\n'), table.size());
        const std::vector<std::string_view> fields = fieldsOf(table.substr(0, end));
        table.remove_prefix(std::min(end + 1, table.size()));
        // ID, parent ID, major:minor, root, mount point, mount options,
        // optional fields, "-", type, source, file-system options.
        if (fields.size() < 8) {
            continue;
        }
        const auto separator = std::find(fields.begin() + 6, fields.end(), std::string_view("-"));
        if (fields.end() - separator < 2) {
            continue;
        }
        unsigned deviceMajor = 0;
        unsigned deviceMinor = 0;
        char colon = 0;
        const std::string number(fields[2]);
        if (std::sscanf(number.c_str(), "%u%c%u", &deviceMajor, &colon, &deviceMinor) != 3 || colon != ':' ||
            deviceMajor != major(device) || deviceMinor != minor(device)) {
            continue;
        }
        MountEntry entry;
        entry.mountPoint = unescaped(fields[4]);
        entry.type = unescaped(separator[1]);
        vOptionsAdd(fields[5], entry.options);
        if (fields.end() - separator >= 4) {
            vOptionsAdd(separator[3], entry.options);
        }
        const std::filesystem::path point(entry.mountPoint);
        const bool boHolds = boUnder(folder, point);
        const std::size_t depth = static_cast<std::size_t>(std::distance(point.begin(), point.end()));
        if (!boFound || (boHolds && (!boBestHolds || depth > bestDepth))) {
            found = std::move(entry);
            boFound = true;
            boBestHolds = boHolds;
            bestDepth = depth;
        }
    }
    return boFound;
}

bool boOption(const MountEntry& entry, std::string_view option) {
    return std::find(entry.options.begin(), entry.options.end(), option) != entry.options.end();
}

// Why a mounted file system keeps record locks on this machine; empty when
// it shares them.
std::string lockReasonOf(const MountEntry& entry) {
    if (boCifs(entry.type) && boOption(entry, "nobrl")) {
        return "CIFS mounted with nobrl";
    }
    if (boNfs(entry.type)) {
        for (const char* option : {"nolock", "local_lock=all", "local_lock=posix"}) {
            if (boOption(entry, option)) {
                return std::string("NFS mounted with ") + option;
            }
        }
    }
    if (boFuse(entry.type)) {
        return "FUSE file system " + entry.type;
    }
    return {};
}

} // namespace

int fileSystemKindGet(const std::filesystem::path& folder, FileSystemKind& kind) {
    kind = FileSystemKind();
    struct stat status {};
    if (sys().fstatat(AT_FDCWD, folder.c_str(), &status, 0) != 0) {
        return errno;
    }
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(folder, ignored).lexically_normal();
    std::string table;
    MountEntry entry;
    const bool boMounted = mountTableRead(table) == 0 && boMountFind(table, status.st_dev, absolute, entry);

    struct statfs fileSystem {};
    const int statfsResult = sys().statfs(folder.c_str(), &fileSystem);
    const int statfsError = statfsResult == 0 ? 0 : errno;
    const Magic* magic = nullptr;
    if (statfsResult == 0) {
        const auto type = static_cast<std::uint32_t>(fileSystem.f_type);
        const auto found = std::find_if(kRemoteMagics.begin(), kRemoteMagics.end(),
                                        [type](const Magic& known) { return known.magic == type; });
        magic = found == kRemoteMagics.end() ? nullptr : &*found;
    }
    if (!boMounted && statfsResult != 0) {
        return statfsError;
    }

    if (boMounted) {
        kind.type = entry.type;
        kind.mountPoint = entry.mountPoint;
        kind.lockReason = lockReasonOf(entry);
    } else if (magic != nullptr) {
        kind.type = magic->type;
        if (boFuse(kind.type)) {
            kind.lockReason = "FUSE file system";
        }
    }
    kind.boRemote = magic != nullptr || boFuse(kind.type) ||
                    std::find(kRemoteTypes.begin(), kRemoteTypes.end(), kind.type) != kRemoteTypes.end();
    kind.boLocksShared = kind.lockReason.empty();
    return 0;
}

std::size_t fileNameMaxGet(const std::filesystem::path& folder) {
    // An empty path is the working folder, as for every relative one.
    std::filesystem::path asked = folder;
    for (;;) {
        struct statfs fileSystem {};
        if (sys().statfs(asked.empty() ? "." : asked.c_str(), &fileSystem) == 0 && fileSystem.f_namelen > 0) {
            return static_cast<std::size_t>(fileSystem.f_namelen);
        }
        if (asked.empty() || !asked.has_relative_path()) {
            return NAME_MAX;
        }
        asked = asked.parent_path();
    }
}

} // namespace vyr::platform
