// The write paths under every failing system call and under a power cut.
//
// The sweep runs each write path once to count its system calls, then once
// for every call N with that call failing: once only, and from N on (a disk
// that stays full, a file system gone read-only). A failing call gives the
// error it would really give and does not act, except close, which closes
// the descriptor as Linux does even when it reports an error. After each run
// the level file must be the old version or the new one, byte for byte; the
// lock must be free; a fresh store must read what the file says; no
// temporary file may be left once the next lock has run; and the write must
// have succeeded or reported its reason.
//
// The power-loss model records what each fsync made durable: a file's bytes,
// and a folder's names as they stood at the folder's fsync. After every
// call, what a power cut would leave (unsynced bytes and unsynced names
// dropped) must be the old file or the new one, never an empty or torn one;
// after a successful write, the new one.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "external/platform/FileSystem.h"
#include "external/platform/SystemCalls.h"
#include "tests/reliability/ReliabilitySupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VYR_SWEEP_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VYR_SWEEP_SANITIZED 1
#endif
#endif

namespace vyr::test {
namespace {

using platform::SystemCalls;

// Under the sanitizers every call is several times slower: a sample of the
// call sites is enough there.
#ifdef VYR_SWEEP_SANITIZED
constexpr std::size_t kRunsPerPass = 40;
#else
constexpr std::size_t kRunsPerPass = 600;
#endif

enum class Call {
    Openat, Close, Read, Write, Fsync, Fstat, Fstatat, Renameat, Renameat2, Linkat, Unlinkat, Fchmod, Fchown,
    FcntlLock, Flistxattr, Fgetxattr, Fsetxattr, Fdopendir, Readdir, Closedir
};

constexpr const char* kCallNames[] = {"openat",   "close",    "read",      "write",     "fsync",
                                      "fstat",    "fstatat",  "renameat",  "renameat2", "linkat",
                                      "unlinkat", "fchmod",   "fchown",    "fcntl",     "flistxattr",
                                      "fgetxattr", "fsetxattr", "fdopendir", "readdir",  "closedir"};

// The error each call gives when it fails for real: a full disk where the
// call allocates, an input/output error where it reaches the device, a
// refusal where it checks permissions, no record locks left on a network
// file system.
int errorOf(Call call) {
    switch (call) {
    case Call::Openat:
    case Call::Fstatat:
    case Call::Unlinkat:
        return EACCES;
    case Call::Write:
    case Call::Renameat:
    case Call::Renameat2:
    case Call::Linkat:
    case Call::Fsetxattr:
        return ENOSPC;
    case Call::Fchmod:
    case Call::Fchown:
        return EPERM;
    case Call::FcntlLock:
        return ENOLCK;
    case Call::Fdopendir:
        return ENOMEM;
    default:
        return EIO;
    }
}

// One call as the sweep saw it: its kind and where in the platform layer it
// was made (the return address), which tells call sites apart.
struct Site {
    Call call;
    const void* where;
    bool operator<(const Site& other) const {
        return std::pair(call, where) < std::pair(other.call, other.where);
    }
};

enum class Mode { Pass, Once, From };

// What a power cut would leave of the tracked level folders: the names as
// of each folder's last fsync and the bytes of each file as of its last
// fsync (or as found at the start). Files are known by their inode numbers;
// a file removed since keeps its place under a number of its own, as its
// number may be given to a new file.
struct Durable {
    std::map<ino_t, std::map<std::string, ino_t>> names; // folder inode -> name -> file
    std::map<ino_t, std::string> bytes;                  // file -> synced bytes
    ino_t gone = ~ino_t{0};                              // the next number for a removed file
};

// The sweep's state. Used by the test's thread only, while it runs a path.
struct Sweep {
    Mode mode = Mode::Pass;
    long target = -1; // the call that fails (Once), or the first that fails (From)
    int error = 0;    // the error of the target call; later calls give their own
    bool boNoReplaceRename = true; // false: renameat2 is missing (EINVAL), as on some file systems
    long calls = 0;
    std::vector<Site> sites;   // every call, in order (when recording)
    bool boRecording = false;
    std::set<int> injected;    // the errors given in this run
    std::optional<Durable> durable;
    std::function<void()> afterCall; // the power-loss check
};
Sweep gSweep;

const SystemCalls& real() {
    static const SystemCalls calls = [] {
        platform::vSystemCallsReset();
        return platform::systemCalls();
    }();
    return calls;
}

// The error to give for this call, or 0 to make it.
int faultFor(Call call, const void* where) {
    const long index = gSweep.calls++;
    if (gSweep.boRecording) {
        gSweep.sites.push_back({call, where});
    }
    const bool boFail = (gSweep.mode == Mode::Once && index == gSweep.target) ||
                        (gSweep.mode == Mode::From && index >= gSweep.target);
    if (!boFail) {
        return 0;
    }
    const int error = index == gSweep.target ? gSweep.error : errorOf(call);
    gSweep.injected.insert(error);
    return error;
}

void afterCall() {
    if (gSweep.afterCall) {
        const int saved = errno;
        gSweep.afterCall();
        errno = saved;
    }
}

// The folder's names and their inodes, read with the real calls.
std::map<std::string, ino_t> namesOf(const fs::path& folder) {
    std::map<std::string, ino_t> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        struct stat status {};
        if (::lstat(entry.path().c_str(), &status) == 0) {
            names.emplace(entry.path().filename().string(), status.st_ino);
        }
    }
    return names;
}

// What an fsync made durable: the file's bytes, or a tracked folder's names.
void vSynced(int descriptor) {
    if (!gSweep.durable) {
        return;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        if (gSweep.durable->names.count(status.st_ino) != 0) {
            char link[64];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
            gSweep.durable->names[status.st_ino] = namesOf(fs::read_symlink(link));
        }
        return;
    }
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t count = ::pread(descriptor, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (count <= 0) {
            break;
        }
        got += static_cast<std::size_t>(count);
    }
    bytes.resize(got);
    gSweep.durable->bytes[status.st_ino] = std::move(bytes);
}

// A new file at the descriptor: a removed file that had its inode number
// keeps its durable state under a number of its own.
void vCreated(int descriptor) {
    struct stat status {};
    if (!gSweep.durable || ::fstat(descriptor, &status) != 0) {
        return;
    }
    Durable& durable = *gSweep.durable;
    const ino_t moved = durable.gone--;
    for (auto& [folder, names] : durable.names) {
        for (auto& [name, file] : names) {
            if (file == status.st_ino) {
                file = moved;
            }
        }
    }
    if (const auto found = durable.bytes.find(status.st_ino); found != durable.bytes.end()) {
        durable.bytes[moved] = std::move(found->second);
        durable.bytes.erase(found);
    }
}

// The replacements: each asks whether to fail, else makes the real call.
// A failed call does not act; close and closedir close all the same.
#define VYR_SWEEP_CALL(kind, failed, call)                                                \
    if (const int error = faultFor(kind, __builtin_return_address(0)); error != 0) {      \
        errno = error;                                                                    \
        return failed;                                                                    \
    }                                                                                     \
    const auto result = call;                                                             \
    afterCall();                                                                          \
    return result

int sweptOpenat(int folder, const char* name, int flags, mode_t mode) {
    if (const int error = faultFor(Call::Openat, __builtin_return_address(0)); error != 0) {
        errno = error;
        return -1;
    }
    const int result = real().openat(folder, name, flags, mode);
    if (result >= 0 && (flags & O_CREAT) != 0) {
        const int saved = errno;
        vCreated(result);
        errno = saved;
    }
    afterCall();
    return result;
}
int sweptClose(int descriptor) {
    if (const int error = faultFor(Call::Close, __builtin_return_address(0)); error != 0) {
        real().close(descriptor);
        errno = error;
        return -1;
    }
    const int result = real().close(descriptor);
    afterCall();
    return result;
}
ssize_t sweptRead(int descriptor, void* buffer, size_t size) {
    VYR_SWEEP_CALL(Call::Read, -1, real().read(descriptor, buffer, size));
}
ssize_t sweptWrite(int descriptor, const void* buffer, size_t size) {
    VYR_SWEEP_CALL(Call::Write, -1, real().write(descriptor, buffer, size));
}
int sweptFsync(int descriptor) {
    if (const int error = faultFor(Call::Fsync, __builtin_return_address(0)); error != 0) {
        errno = error;
        return -1;
    }
    const int result = real().fsync(descriptor);
    if (result == 0) {
        vSynced(descriptor);
    }
    afterCall();
    return result;
}
int sweptFstat(int descriptor, struct stat* status) {
    VYR_SWEEP_CALL(Call::Fstat, -1, real().fstat(descriptor, status));
}
int sweptFstatat(int folder, const char* name, struct stat* status, int flags) {
    VYR_SWEEP_CALL(Call::Fstatat, -1, real().fstatat(folder, name, status, flags));
}
int sweptRenameat(int fromFolder, const char* from, int toFolder, const char* to) {
    VYR_SWEEP_CALL(Call::Renameat, -1, real().renameat(fromFolder, from, toFolder, to));
}
int sweptRenameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    if (!gSweep.boNoReplaceRename) {
        (void)faultFor(Call::Renameat2, __builtin_return_address(0));
        errno = EINVAL;
        return -1;
    }
    VYR_SWEEP_CALL(Call::Renameat2, -1, real().renameat2(fromFolder, from, toFolder, to, flags));
}
int sweptLinkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    VYR_SWEEP_CALL(Call::Linkat, -1, real().linkat(fromFolder, from, toFolder, to, flags));
}
int sweptUnlinkat(int folder, const char* name, int flags) {
    VYR_SWEEP_CALL(Call::Unlinkat, -1, real().unlinkat(folder, name, flags));
}
int sweptFchmod(int descriptor, mode_t mode) { VYR_SWEEP_CALL(Call::Fchmod, -1, real().fchmod(descriptor, mode)); }
int sweptFchown(int descriptor, uid_t owner, gid_t group) {
    VYR_SWEEP_CALL(Call::Fchown, -1, real().fchown(descriptor, owner, group));
}
int sweptFcntlLock(int descriptor, int command, struct flock* range) {
    VYR_SWEEP_CALL(Call::FcntlLock, -1, real().fcntlLock(descriptor, command, range));
}
ssize_t sweptFlistxattr(int descriptor, char* names, size_t size) {
    VYR_SWEEP_CALL(Call::Flistxattr, -1, real().flistxattr(descriptor, names, size));
}
ssize_t sweptFgetxattr(int descriptor, const char* name, void* value, size_t size) {
    VYR_SWEEP_CALL(Call::Fgetxattr, -1, real().fgetxattr(descriptor, name, value, size));
}
int sweptFsetxattr(int descriptor, const char* name, const void* value, size_t size, int flags) {
    VYR_SWEEP_CALL(Call::Fsetxattr, -1, real().fsetxattr(descriptor, name, value, size, flags));
}
DIR* sweptFdopendir(int descriptor) {
    VYR_SWEEP_CALL(Call::Fdopendir, static_cast<DIR*>(nullptr), real().fdopendir(descriptor));
}
struct dirent* sweptReaddir(DIR* stream) {
    VYR_SWEEP_CALL(Call::Readdir, static_cast<struct dirent*>(nullptr), real().readdir(stream));
}
int sweptClosedir(DIR* stream) {
    if (const int error = faultFor(Call::Closedir, __builtin_return_address(0)); error != 0) {
        real().closedir(stream);
        errno = error;
        return -1;
    }
    const int result = real().closedir(stream);
    afterCall();
    return result;
}

#undef VYR_SWEEP_CALL

void vSweptCallsInstall() {
    (void)real();
    SystemCalls& calls = platform::systemCalls();
    calls.openat = &sweptOpenat;
    calls.close = &sweptClose;
    calls.read = &sweptRead;
    calls.write = &sweptWrite;
    calls.fsync = &sweptFsync;
    calls.fstat = &sweptFstat;
    calls.fstatat = &sweptFstatat;
    calls.renameat = &sweptRenameat;
    calls.renameat2 = &sweptRenameat2;
    calls.linkat = &sweptLinkat;
    calls.unlinkat = &sweptUnlinkat;
    calls.fchmod = &sweptFchmod;
    calls.fchown = &sweptFchown;
    calls.fcntlLock = &sweptFcntlLock;
    calls.flistxattr = &sweptFlistxattr;
    calls.fgetxattr = &sweptFgetxattr;
    calls.fsetxattr = &sweptFsetxattr;
    calls.fdopendir = &sweptFdopendir;
    calls.readdir = &sweptReaddir;
    calls.closedir = &sweptClosedir;
}

// Where a call site is, for a message: its offset in the binary that holds
// it (addr2line -e <binary> <offset>).
std::string siteText(const Site& site) {
    Dl_info info{};
    const auto address = reinterpret_cast<std::uintptr_t>(site.where);
    const std::uintptr_t base =
        ::dladdr(site.where, &info) != 0 ? reinterpret_cast<std::uintptr_t>(info.dli_fbase) : 0;
    char text[96];
    std::snprintf(text, sizeof text, "%s at +0x%zx", kCallNames[static_cast<int>(site.call)],
                  static_cast<std::size_t>(address - base));
    return text;
}

// One level file a write path writes: what it holds before (nothing for a
// creation) and a query whose answer tells the versions apart.
struct LevelWritten {
    Level level;
    std::optional<Mapping> before;
    std::function<std::string(AdminWrapper&)> answer;
};

// A write path: the level files it writes and the operation, which returns
// whether the write succeeded as the store reports it.
struct WritePath {
    std::string name;
    std::string id;
    std::vector<LevelWritten> levels;
    std::function<bool(AdminWrapper&)> run;
    bool boNoReplaceRename = true;
};

std::string queryOf(AdminWrapper& wrapper, const std::string& id, const std::string& source) {
    return wrapper.sClassifiedIdGet(id, source);
}

const Mapping kFruit = mappingMake("fruit", {{"apple", {"red"}}, {"pear", {"green"}}});
const Mapping kFruitShared = mappingMake("fruit", {{"cherry", {"dark"}}});

std::vector<WritePath> writePaths() {
    const auto added = [](const std::string& source) {
        return [source](AdminWrapper& wrapper) { return queryOf(wrapper, "fruit", source); };
    };
    const auto createPath = [](std::string name, bool boNoReplaceRename) {
        const auto text = [](AdminWrapper& wrapper) { return wrapper.sText2Get("fresh"); };
        return WritePath{std::move(name),
                         "fresh",
                         {{cache::User, std::nullopt, text}},
                         [](AdminWrapper& wrapper) {
                             return wrapper.boCreateClassification("fresh", "made", "3", "4", "5", false, false,
                                                                   cache::User);
                         },
                         boNoReplaceRename};
    };
    return {
        {"edit's write-back",
         "fruit",
         {{cache::User, kFruit, added("plum")}},
         [](AdminWrapper& wrapper) {
             auto access = wrapper.writeAccessGet("fruit");
             return access.boLockFile(cache::User) && access.boAddMapping("plum", "blue", cache::User) &&
                    access.boWriteBack();
         }},
        createPath("creation", true),
        createPath("creation without a no-replace rename", false),
        {"hand edit's replace",
         "fruit",
         {{cache::User, kFruit, added("hand")}},
         [](AdminWrapper& wrapper) {
             auto access = wrapper.writeAccessGet("fruit");
             std::string document;
             if (!access.boLockFile(cache::User) || !access.boLevelDocumentGet(cache::User, document)) {
                 return false;
             }
             Mapping edited = kFruit;
             edited.sourceToClassified["hand"] = {"made"};
             std::ostringstream rendered;
             if (!classification::XmlDocument(edited).boWrite(rendered)) {
                 return false;
             }
             std::string edit = rendered.str();
             edit.insert(edit.rfind("</"), "<!-- edited by hand -->\n");
             return access.boLevelReplace(cache::User, edit) && access.boWriteBack();
         }},
        {"two levels written back by one access",
         "fruit",
         {{cache::User, kFruit, added("plum")}, {cache::Shared, kFruitShared, added("fig")}},
         [](AdminWrapper& wrapper) {
             auto access = wrapper.writeAccessGet("fruit");
             return access.boLockFile(cache::User) && access.boLockFile(cache::Shared) &&
                    access.boAddMapping("plum", "blue", cache::User) &&
                    access.boAddMapping("fig", "purple", cache::Shared) && access.boWriteBack();
         }},
    };
}

// What a level file holds: its bytes, or nothing when it is missing.
using Content = std::optional<std::string>;

class FaultSweepTest : public ReliabilityFixture, public ::testing::WithParamInterface<int> {
protected:
    void TearDown() override {
        gSweep = Sweep{};
        platform::vSystemCallsReset();
        ReliabilityFixture::TearDown();
    }

    // The level files as the path finds them; the level folders exist.
    void vPrepare(const WritePath& path) {
        AdminWrapper::vAdminReset();
        std::error_code ignored;
        for (const char* top : {"sys", "shared", "user"}) {
            fs::remove_all(folder / top, ignored);
        }
        // The level folders belong to a group of their own where this
        // process may give them one: new files and lock files take it.
        for (const Level level : {cache::Sys, cache::Shared, cache::User}) {
            fs::create_directories(levelFolder(level));
            if (::geteuid() == 0) {
                (void)!::chown(levelFolder(level).c_str(), static_cast<uid_t>(-1), 23456);
            }
        }
        // Each old file carries an extended attribute that its replacement
        // keeps, and a writer killed earlier left a temporary file beside it.
        for (const LevelWritten& written : path.levels) {
            const fs::path file = fileAt(path.id, written.level);
            if (written.before) {
                vWriteLevel(path.id, written.level, *written.before);
                (void)::setxattr(file.c_str(), "user.origin", "sweep", 5, 0);
            }
            writeFile(file.parent_path() / cache::temporaryFileName(file.filename().string(), 0xfeed), "stale");
        }
    }

    Content contentOf(const WritePath& path, Level level) const {
        const fs::path file = fileAt(path.id, level);
        if (!fs::exists(fs::symlink_status(file))) {
            return std::nullopt;
        }
        return readFile(file);
    }

    // Runs the path on the swept calls, with the power-loss model tracking
    // the level folders. Returns whether it succeeded.
    bool boRun(const WritePath& path, Mode mode, long target, int error, bool boRecording) {
        vPrepare(path);
        gSweep = Sweep{};
        gSweep.mode = mode;
        gSweep.target = target;
        gSweep.error = error;
        gSweep.boRecording = boRecording;
        gSweep.boNoReplaceRename = path.boNoReplaceRename;
        Durable durable;
        for (const LevelWritten& written : path.levels) {
            const fs::path levelPath = levelFolder(written.level);
            struct stat status {};
            ::stat(levelPath.c_str(), &status);
            durable.names[status.st_ino] = namesOf(levelPath);
            const fs::path file = fileAt(path.id, written.level);
            if (::stat(file.c_str(), &status) == 0) {
                durable.bytes[status.st_ino] = readFile(file);
            }
        }
        gSweep.durable = std::move(durable);
        gSweep.afterCall = [this, &path] { vPowerLossCheck(path, false); };
        vSweptCallsInstall();
        bool boSucceeded = false;
        {
            AdminWrapper wrapper;
            boSucceeded = path.run(wrapper);
        }
        platform::vSystemCallsReset();
        gSweep.afterCall = nullptr;
        vPowerLossCheck(path, boSucceeded);
        return boSucceeded;
    }

    // What a power cut now would leave at each level file: the old file or
    // the new one; after a successful write, the new one.
    void vPowerLossCheck(const WritePath& path, bool boSucceeded) {
        if (!gSweep.durable || !powerLossFault.empty()) {
            return;
        }
        for (std::size_t i = 0; i < path.levels.size(); ++i) {
            const LevelWritten& written = path.levels[i];
            struct stat status {};
            ::stat(levelFolder(written.level).c_str(), &status);
            const auto& names = gSweep.durable->names[status.st_ino];
            Content left;
            if (const auto found = names.find(cache::levelFileName(path.id)); found != names.end()) {
                const auto bytes = gSweep.durable->bytes.find(found->second);
                left = bytes == gSweep.durable->bytes.end() ? std::string() : bytes->second;
            }
            const bool boOld = left == before[i];
            const bool boNew = left == after[i];
            if (boSucceeded ? !boNew : !(boOld || boNew)) {
                powerLossFault = "level " + std::to_string(static_cast<int>(written.level)) + " after call " +
                                 std::to_string(gSweep.calls) + ": " +
                                 (left ? "a file of " + std::to_string(left->size()) + " bytes" : "no file") +
                                 " (old " + (before[i] ? std::to_string(before[i]->size()) : "none") + ", new " +
                                 (after[i] ? std::to_string(after[i]->size()) : "none") + ")" +
                                 (boSucceeded ? " after a successful write" : "");
            }
        }
    }

    // The checks after one run; a description of what went wrong, or empty.
    std::string faultAfter(const WritePath& path, bool boSucceeded, const std::vector<std::string>& reports) {
        std::string fault;
        const auto note = [&fault](const std::string& text) { fault += (fault.empty() ? "" : "; ") + text; };
        std::vector<bool> boNew;
        for (std::size_t i = 0; i < path.levels.size(); ++i) {
            const Content now = contentOf(path, path.levels[i].level);
            boNew.push_back(now == after[i]);
            if (now != before[i] && now != after[i]) {
                note("level file " + std::to_string(i) + " is neither the old nor the new one (" +
                     (now ? std::to_string(now->size()) + " bytes" : "missing") + ")");
            } else if (boSucceeded && !boNew.back()) {
                note("reported written, but level file " + std::to_string(i) + " is the old one");
            }
        }
        if (!powerLossFault.empty()) {
            note("power loss: " + std::exchange(powerLossFault, std::string()));
        }
        if (!boSucceeded) {
            bool boReason = false;
            for (const int error : gSweep.injected) {
                const std::string reason = assert::errnoMessage("", error).substr(2);
                for (const std::string& report : reports) {
                    boReason = boReason || report.find(reason) != std::string::npos;
                }
            }
            if (!boReason) {
                std::string seen;
                for (const std::string& report : reports) {
                    seen += " [" + report + "]";
                }
                note("failed without its reason:" + (seen.empty() ? std::string(" no report") : seen));
            }
        }
        // The lock is free: another open file takes it at once. Its file
        // keeps the owner's read and write bits, so others may lock too.
        for (const LevelWritten& written : path.levels) {
            platform::Folder level;
            const fs::path file = fileAt(path.id, written.level);
            struct stat status {};
            if (::stat((file.native() + ".lock").c_str(), &status) == 0 && (status.st_mode & 0600) != 0600) {
                note("the lock file lost its bits");
            }
            int error = level.open(levelFolder(written.level).parent_path(), file);
            int keepError = 0;
            if (error == 0 && platform::FileLock::acquire(level, cache::lockFileName(level.nameGet()), level.nameGet(),
                                                          std::chrono::milliseconds(0), error, keepError) == nullptr) {
                note("the lock is not free: " + assert::errnoMessage("", error));
            }
        }
        // A fresh store reads what each file says.
        AdminWrapper::vAdminReset();
        {
            AdminWrapper fresh;
            for (std::size_t i = 0; i < path.levels.size(); ++i) {
                const std::string answer = path.levels[i].answer(fresh);
                const std::string& expected = boNew[i] ? answersAfter[i] : answersBefore[i];
                if (answer != expected) {
                    note("a fresh store answers \"" + answer + "\" for level file " + std::to_string(i) +
                         " instead of \"" + expected + "\"");
                }
            }
        }
        // The next lock removes every temporary file.
        AdminWrapper::vAdminReset();
        {
            const AssertCapture quiet(false);
            AdminWrapper next;
            auto access = next.writeAccessGet(path.id);
            for (const LevelWritten& written : path.levels) {
                (void)access.boLockFile(written.level);
            }
        }
        for (const LevelWritten& written : path.levels) {
            for (const auto& [name, inode] : namesOf(levelFolder(written.level))) {
                if (const auto parsed = cache::parseFileName(name);
                    parsed && parsed->type == cache::FileType::Temporary) {
                    note("temporary file " + name + " left after the next lock");
                }
            }
        }
        AdminWrapper::vAdminReset();
        return fault;
    }

    // The level files and the store's answers before and after a run
    // without fault.
    void vBaselineTake(const WritePath& path) {
        before.clear();
        after.clear();
        answersBefore.clear();
        answersAfter.clear();
        vPrepare(path);
        for (const LevelWritten& written : path.levels) {
            before.push_back(contentOf(path, written.level));
            AdminWrapper::vAdminReset();
            AdminWrapper wrapper;
            answersBefore.push_back(written.answer(wrapper));
        }
        AdminWrapper::vAdminReset();
        {
            AdminWrapper wrapper;
            ASSERT_TRUE(path.run(wrapper)) << path.name;
        }
        for (const LevelWritten& written : path.levels) {
            after.push_back(contentOf(path, written.level));
            AdminWrapper::vAdminReset();
            AdminWrapper wrapper;
            answersAfter.push_back(written.answer(wrapper));
            ASSERT_NE(answersAfter.back(), answersBefore.back()) << path.name;
        }
    }

    std::vector<Content> before;
    std::vector<Content> after;
    std::vector<std::string> answersBefore;
    std::vector<std::string> answersAfter;
    std::string powerLossFault;
};

// The calls to fail: the first call at each site, and the repeats sampled
// evenly so that a pass stays within kRunsPerPass runs.
std::vector<long> targetsOf(const std::vector<Site>& sites) {
    std::vector<long> targets;
    std::vector<long> repeats;
    std::set<Site> seen;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        (seen.insert(sites[i]).second ? targets : repeats).push_back(static_cast<long>(i));
    }
#ifdef VYR_SWEEP_SANITIZED
    if (targets.size() > kRunsPerPass) {
        std::vector<long> sample;
        for (std::size_t i = 0; i < kRunsPerPass; ++i) {
            sample.push_back(targets[i * targets.size() / kRunsPerPass]);
        }
        targets = std::move(sample);
    }
#endif
    if (targets.size() < kRunsPerPass && !repeats.empty()) {
        const std::size_t room = std::min(kRunsPerPass - targets.size(), repeats.size());
        for (std::size_t i = 0; i < room; ++i) {
            targets.push_back(repeats[i * repeats.size() / room]);
        }
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

// A power cut after any call of a write path leaves the old file or the
// new one; once the write reported success, the new one.
TEST_P(FaultSweepTest, APowerCutAfterAnyCallLeavesTheOldOrTheNewFile) {
    const WritePath path = writePaths()[static_cast<std::size_t>(GetParam())];
    vBaselineTake(path);
    if (HasFatalFailure()) {
        return;
    }
    const AssertCapture capture;
    EXPECT_TRUE(boRun(path, Mode::Pass, -1, 0, true));
    const std::vector<std::string> reports = capture.messages();
    EXPECT_EQ(faultAfter(path, true, reports), "");
    EXPECT_EQ(reports, std::vector<std::string>());
    EXPECT_GT(gSweep.calls, 0);
}

TEST_P(FaultSweepTest, EveryFailingCallLeavesTheOldOrTheNewFileAndIsReported) {
    const WritePath path = writePaths()[static_cast<std::size_t>(GetParam())];
    vBaselineTake(path);
    if (HasFatalFailure()) {
        return;
    }
    const auto start = std::chrono::steady_clock::now();

    // The calls of the path, run without a fault.
    std::vector<Site> sites;
    {
        const AssertCapture capture;
        ASSERT_TRUE(boRun(path, Mode::Pass, -1, 0, true));
        sites = gSweep.sites;
    }

    struct Case {
        Mode mode;
        long target;
        int error;
    };
    std::vector<Case> cases;
    for (const long target : targetsOf(sites)) {
        const Call call = sites[static_cast<std::size_t>(target)].call;
        cases.push_back({Mode::Once, target, errorOf(call)});
        cases.push_back({Mode::From, target, errorOf(call)});
        if (call == Call::Read || call == Call::Write) {
            cases.push_back({Mode::Once, target, EINTR}); // retried: nothing to see
        }
    }
    std::vector<std::string> faults;
    for (const Case& run : cases) {
        const AssertCapture capture;
        const bool boSucceeded = boRun(path, run.mode, run.target, run.error, false);
        const std::vector<std::string> reports = capture.messages();
        std::string fault = faultAfter(path, boSucceeded, reports);
        if (run.error == EINTR && (!boSucceeded || !reports.empty())) {
            fault += "an interrupted call that is retried made the write fail or report";
        }
        if (!fault.empty()) {
            const Site& site = sites[static_cast<std::size_t>(run.target)];
            faults.push_back((run.mode == Mode::Once ? "once" : "from then on") + std::string(", call ") +
                             std::to_string(run.target) + " (" + siteText(site) + ", " +
                             assert::errnoMessage("", run.error).substr(2) + "): " + fault);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ sweep    ] %s: %zu calls, %zu sites, %zu runs, %.1f s\n", path.name.c_str(), sites.size(),
                std::set<Site>(sites.begin(), sites.end()).size(), cases.size(), seconds);
    std::string listed;
    for (std::size_t i = 0; i < faults.size() && i < 30; ++i) {
        listed += "\n  " + faults[i];
    }
    EXPECT_TRUE(faults.empty()) << faults.size() << " of " << cases.size() << " runs went wrong:" << listed;
}

INSTANTIATE_TEST_SUITE_P(WritePaths, FaultSweepTest, ::testing::Range(0, static_cast<int>(writePaths().size())),
                         [](const ::testing::TestParamInfo<int>& info) {
                             const std::vector<WritePath> paths = writePaths();
                             std::string name;
                             for (const char c : paths[static_cast<std::size_t>(info.param)].name) {
                                 if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
                                     name += c;
                                 }
                             }
                             return name;
                         });

} // namespace
} // namespace vyr::test
