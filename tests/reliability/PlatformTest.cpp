// The platform layer on its own, on real files in a temporary folder: the
// races and failures that a store rarely meets (a file renamed away between
// its status and its open, a lock file deleted while someone waits on it, a
// hard link that a network reports failed but made) are played through the
// table of system calls, which a case replaces entries of and puts back.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "external/platform/FileSystem.h"
#include "external/platform/FileSystemKind.h"
#include "external/platform/SystemCalls.h"
#include "tests/common/TestSupport.h"

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::FileLock;
using platform::FileStamp;
using platform::Folder;
using platform::PendingFile;

// The state of the replaced calls below; each case runs on one thread.
int gCalls = 0;
// A monotonic clock of each thread's own that moves on by tClockStepMs at
// every read (the real one when 0), so that a test sets how fast a
// locker's waits pass.
thread_local std::int64_t tClockStepMs = 0;
thread_local std::int64_t tClockMs = 0;
int steppedClock(clockid_t clock, struct timespec* time) {
    if (clock != CLOCK_MONOTONIC || tClockStepMs == 0) {
        return ::clock_gettime(clock, time);
    }
    tClockMs += tClockStepMs;
    time->tv_sec = tClockMs / 1000;
    time->tv_nsec = (tClockMs % 1000) * 1'000'000;
    return 0;
}
int gFailAt = 0;      // the call (1-based) that fails, 0 for none
int gDescriptor = -1; // the descriptor a replaced call looks at
fs::path gPath;       // a file that a replaced call changes on the side

// A case's table, put back to the real calls when it ends, and its folder.
class PlatformTest : public ::testing::Test {
protected:
    PlatformTest() { gCalls = gFailAt = 0, gDescriptor = -1; }
    ~PlatformTest() override { platform::vSystemCallsReset(); }

    static platform::SystemCalls& calls() { return platform::systemCalls(); }

    TempFolder temp;
};

TEST_F(PlatformTest, TicksSaturateAtBothEnds) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = platform::kTicksUnknown + 1;
    constexpr std::int64_t kLastSecond = kMax / 10'000'000 - platform::kTicksFrom1601To1970 / 10'000'000;
    EXPECT_EQ(platform::ticksFromUnix(kMax - 1, 0), kMax);
    EXPECT_EQ(platform::ticksFromUnix(kLastSecond + 1, 0), kMax);
    EXPECT_LT(platform::ticksFromUnix(kLastSecond, 0), kMax);
    EXPECT_EQ(platform::ticksFromUnix(kLastSecond, kMax), kMax);
    EXPECT_EQ(platform::ticksFromUnix(std::numeric_limits<std::int64_t>::min(), 0), kMin);
    EXPECT_EQ(platform::ticksFromUnix(-kLastSecond - 2 * 11644473600LL, -477'580'800), kMin);
    EXPECT_EQ(platform::ticksFromUnix(-kLastSecond - 2 * 11644473600LL, std::numeric_limits<std::int64_t>::min()),
              kMin);
    EXPECT_EQ(platform::ticksFromUnix(1, 100), platform::kTicksFrom1601To1970 + 10'000'001);

    calls().clock_gettime = [](clockid_t, struct timespec*) { return errno = EINVAL, -1; };
    EXPECT_EQ(platform::clockTicksGet(), platform::kTicksUnknown);
}

// A folder is reached only inside the base, through real folders: "." is
// passed over, "..", a link or a file on the way are refused, and a folder
// that cannot be opened or listed gives its reason.
TEST_F(PlatformTest, FoldersAreReachedOnlyThroughFoldersInsideTheBase) {
    fs::create_directories(temp / "a" / "b");
    fs::create_directory_symlink(temp / "a", temp / "link");
    writeFile(temp / "file", "x");
    Folder folder;
    EXPECT_EQ(folder.open(temp.path(), temp / "a" / "." / "b" / "level.xml"), 0);
    EXPECT_EQ(folder.nameGet(), "level.xml");
    EXPECT_EQ(folder.open(temp.path(), temp / "a" / ".." / "a" / "level.xml"), EXDEV);
    EXPECT_FALSE(folder.boOpen());
    EXPECT_EQ(folder.open(temp.path(), temp.path().parent_path() / "level.xml"), EXDEV);
    EXPECT_EQ(folder.open(temp.path(), temp / "link" / "b" / "level.xml"), ELOOP);
    EXPECT_EQ(folder.open(temp.path(), temp / "file" / "level.xml"), ENOTDIR);
    EXPECT_EQ(folder.open(temp / "missing", temp / "missing" / "level.xml"), ENOENT);
    EXPECT_EQ(folder.open({}, temp / "level.xml"), ENOENT);
    EXPECT_EQ(platform::probe({}).kind, platform::FileKind::Missing);

    ASSERT_EQ(folder.open(temp.path(), temp / "level.xml"), 0);
    std::vector<std::string> names;
    ASSERT_EQ(folder.namesGet(names), 0);
    EXPECT_EQ(names.size(), 3U);
    calls().readdir = [](DIR*) -> struct dirent* { return errno = EIO, nullptr; };
    EXPECT_EQ(folder.namesGet(names), EIO);
    calls().fdopendir = [](int) -> DIR* { return errno = ENOMEM, nullptr; };
    EXPECT_EQ(folder.namesGet(names), ENOMEM);
    calls().openat = [](int, const char*, int, mode_t) { return errno = EMFILE, -1; };
    EXPECT_EQ(folder.namesGet(names), EMFILE);
    EXPECT_EQ(folder.open(temp.path(), temp / "level.xml"), EMFILE);
}

// Reads take only regular files, look again at a file that is being
// replaced (but not for ever), retry an interrupted read and report any
// other failure.
TEST_F(PlatformTest, ReadsTakeOnlyRegularFilesAndReportTheirFailures) {
    writeFile(temp / "level.xml", "content");
    fs::create_symlink(temp / "level.xml", temp / "link.xml");
    ASSERT_EQ(::mkfifo((temp / "pipe.xml").c_str(), 0600), 0);
    Folder folder;
    ASSERT_EQ(folder.open(temp.path(), temp / "level.xml"), 0);
    std::string bytes;
    FileStamp stamp;
    EXPECT_EQ(folder.read("link.xml", bytes, stamp), ELOOP);
    EXPECT_EQ(folder.read("pipe.xml", bytes, stamp), EINVAL);
    EXPECT_EQ(platform::readRegular({}, bytes, stamp), ENOENT);

    // A comparison with bytes in hand tells only whether the file holds them.
    bool boSame = false;
    EXPECT_EQ(folder.compare("level.xml", "content", boSame, stamp), 0);
    EXPECT_TRUE(boSame);
    for (const std::string_view other : {"contenT", "conten", "content!", ""}) {
        EXPECT_EQ(folder.compare("level.xml", other, boSame, stamp), 0);
        EXPECT_FALSE(boSame) << other;
    }
    EXPECT_EQ(folder.compare("pipe.xml", "content", boSame, stamp), EINVAL);
    // A read and a comparison meet every fault alike: `error` from both.
    const auto both = [&](int error) {
        bytes = "old";
        EXPECT_EQ(folder.read("level.xml", bytes, stamp), error);
        if (error == 0) {
            EXPECT_EQ(bytes, "content");
        }
        gCalls = 0;
        boSame = false;
        EXPECT_EQ(folder.compare("level.xml", "content", boSame, stamp), error);
        EXPECT_EQ(boSame, error == 0);
        gCalls = 0;
    };
    // Interrupted once: read on.
    calls().read = [](int descriptor, void* buffer, size_t size) -> ssize_t {
        return ++gCalls == 1 ? (errno = EINTR, -1) : ::read(descriptor, buffer, size);
    };
    both(0);
    calls().read = [](int, void*, size_t) -> ssize_t { return errno = EIO, -1; };
    both(EIO);
    platform::vSystemCallsReset();
    // A file that grew after its status is read to its end.
    calls().fstat = [](int descriptor, struct stat* status) {
        const int result = ::fstat(descriptor, status);
        status->st_size = 2;
        return result;
    };
    ASSERT_EQ(folder.read("level.xml", bytes, stamp), 0);
    EXPECT_EQ(bytes, "content");
    // A pipe swapped in between the status and the open.
    calls().fstat = [](int descriptor, struct stat* status) {
        const int result = ::fstat(descriptor, status);
        status->st_mode = S_IFIFO | 0600;
        return result;
    };
    both(EINVAL);
    calls().fstat = [](int, struct stat*) { return errno = EIO, -1; };
    both(EIO);
    // A file that the status keeps showing and the open keeps missing is
    // missing after the last look.
    calls().openat = [](int, const char*, int, mode_t) { return ++gCalls, errno = ENOENT, -1; };
    gCalls = 0;
    EXPECT_EQ(folder.read("level.xml", bytes, stamp), ENOENT);
    EXPECT_EQ(gCalls, 9);
}

// Publication: a rename over the old file, or one that replaces nothing;
// where the system has no such rename, a hard link, which a network can
// report failed although it was made.
TEST_F(PlatformTest, PublicationReplacesOnlyWhatItMayAndTellsWhatHappened) {
    Folder folder;
    ASSERT_EQ(folder.open(temp.path(), temp / "level.xml"), 0);
    bool boPublished = true;
    {
        PendingFile pending;
        ASSERT_EQ(pending.create(folder, ".level.xml.1.tmp"), 0);
        calls().write = [](int descriptor, const void* buffer, size_t size) -> ssize_t {
            return ++gCalls == 1 ? (errno = EINTR, -1) : ::write(descriptor, buffer, size);
        };
        ASSERT_EQ(pending.write("new"), 0);
        calls().renameat = [](int, const char*, int, const char*) { return errno = EXDEV, -1; };
        EXPECT_EQ(pending.publish("level.xml", true, boPublished), EXDEV);
        EXPECT_FALSE(boPublished);
        calls().renameat2 = [](int, const char*, int, const char*, unsigned) { return errno = EPERM, -1; };
        EXPECT_EQ(pending.publish("level.xml", false, boPublished), EPERM);
        // No no-replace rename: the link made, its reply lost.
        calls().renameat2 = [](int, const char*, int, const char*, unsigned) { return errno = ENOSYS, -1; };
        calls().linkat = [](int from, const char* fromName, int to, const char* toName, int flags) {
            EXPECT_EQ(::linkat(from, fromName, to, toName, flags), 0);
            return errno = EEXIST, -1;
        };
        EXPECT_EQ(pending.publish("level.xml", false, boPublished), 0);
        EXPECT_TRUE(boPublished);
    }
    EXPECT_EQ(readFile(temp / "level.xml"), "new");
    EXPECT_EQ(fs::hard_link_count(temp / "level.xml"), 1U);

    // The name taken by another file meanwhile: nothing replaced.
    platform::vSystemCallsReset();
    calls().renameat2 = [](int, const char*, int, const char*, unsigned) { return errno = EINVAL, -1; };
    {
        PendingFile pending;
        ASSERT_EQ(pending.create(folder, ".level.xml.2.tmp"), 0);
        PendingFile same;
        EXPECT_EQ(same.create(folder, ".level.xml.2.tmp"), EEXIST);
    }
    {
        PendingFile pending;
        ASSERT_EQ(pending.create(folder, ".level.xml.3.tmp"), 0);
        EXPECT_EQ(pending.publish("level.xml", false, boPublished), EEXIST);
        EXPECT_FALSE(boPublished);
        calls().fstat = [](int, struct stat*) { return errno = EIO, -1; };
        FileStamp stamp;
        EXPECT_EQ(pending.stampGet(stamp), EIO);
    }
    EXPECT_EQ(readFile(temp / "level.xml"), "new");
    EXPECT_EQ(fs::hard_link_count(temp / "level.xml"), 1U);
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 1);
}

// A replacement keeps what the old file had, each thing named when it
// cannot be kept; the extended attributes are copied as far as they belong
// to the file (the user's, the access control list, and the trusted ones
// only for a privileged process), and a list or value that grew between
// its size and its read is read again.
TEST_F(PlatformTest, AReplacementKeepsTheOldFilesAttributesOrNamesWhatItCannotKeep) {
    writeFile(temp / "level.xml", "old");
    Folder folder;
    ASSERT_EQ(folder.open(temp.path(), temp / "level.xml"), 0);
    const platform::FileProbe old = folder.probe("level.xml");
    PendingFile pending;
    ASSERT_EQ(pending.create(folder, ".level.xml.1.tmp"), 0);
    std::string_view what;

    // Attributes as a file system would report them, the list growing once.
    static std::vector<std::string> gSet;
    gSet.clear();
    calls().flistxattr = [](int, char* names, size_t size) -> ssize_t {
        static constexpr char kNames[] = "user.a\0security.selinux\0trusted.t\0system.posix_acl_access";
        if (size == 0) {
            return ++gCalls == 1 ? 4 : sizeof kNames;
        }
        if (size < sizeof kNames) {
            return errno = ERANGE, -1;
        }
        std::memcpy(names, kNames, sizeof kNames);
        return sizeof kNames;
    };
    calls().fgetxattr = [](int, const char* name, void* value, size_t size) -> ssize_t {
        static int asked = 0;
        if (size == 0) {
            return ++asked == 1 ? 2 : 5; // grew after its size was first asked
        }
        if (size < 5) {
            return errno = ERANGE, -1;
        }
        std::memcpy(value, name, 5);
        return 5;
    };
    calls().fsetxattr = [](int, const char* name, const void*, size_t size, int) {
        EXPECT_EQ(size, 5U);
        gSet.emplace_back(name);
        return 0;
    };
    calls().geteuid = [] { return uid_t{1000}; };
    ASSERT_EQ(pending.attributesTake("level.xml", old.stamp, what), 0);
    EXPECT_EQ(gSet, (std::vector<std::string>{"user.a", "system.posix_acl_access"}));
    calls().geteuid = [] { return uid_t{0}; };
    calls().fchown = [](int, uid_t, gid_t) { return 0; };
    gSet.clear();
    ASSERT_EQ(pending.attributesTake("level.xml", old.stamp, what), 0);
    EXPECT_EQ(gSet, (std::vector<std::string>{"user.a", "trusted.t", "system.posix_acl_access"}));

    calls().fsetxattr = [](int, const char*, const void*, size_t, int) { return errno = ENOTSUP, -1; };
    EXPECT_EQ(pending.attributesTake("level.xml", old.stamp, what), ENOTSUP);
    EXPECT_EQ(what, "extended attributes");
    calls().fgetxattr = [](int, const char*, void*, size_t) -> ssize_t { return errno = ENODATA, -1; };
    EXPECT_EQ(pending.attributesTake("level.xml", old.stamp, what), ENODATA);
    calls().fgetxattr = [](int, const char*, void*, size_t size) -> ssize_t {
        return size == 0 ? 5 : (errno = EIO, -1);
    };
    EXPECT_EQ(pending.attributesTake("level.xml", old.stamp, what), EIO);
    calls().flistxattr = [](int, char*, size_t size) -> ssize_t { return size == 0 ? 8 : (errno = EIO, -1); };
    EXPECT_EQ(pending.attributesTake("level.xml", old.stamp, what), EIO);
    calls().flistxattr = [](int, char*, size_t) -> ssize_t { return errno = EACCES, -1; };
    EXPECT_EQ(pending.attributesTake("level.xml", old.stamp, what), EACCES);
    calls().flistxattr = [](int, char*, size_t) -> ssize_t { return errno = ENOTSUP, -1; };
    EXPECT_EQ(pending.attributesTake("level.xml", old.stamp, what), 0);

    // The model gone, replaced, or its status unreadable.
    EXPECT_EQ(pending.attributesTake("gone.xml", old.stamp, what), ESTALE);
    writeFile(temp / "other.xml", "other");
    EXPECT_EQ(pending.attributesTake("other.xml", old.stamp, what), ESTALE);
    calls().fstat = [](int, struct stat*) { return errno = EIO, -1; };
    EXPECT_EQ(pending.attributesTake("level.xml", old.stamp, what), EIO);
    EXPECT_EQ(what, "status");
    EXPECT_EQ(pending.attributesForNew(what), EIO);
    calls().openat = [](int, const char*, int, mode_t) { return errno = EACCES, -1; };
    EXPECT_EQ(pending.attributesTake("level.xml", old.stamp, what), EACCES);

    // A new file: the folder's owner for a privileged process, else its group.
    platform::vSystemCallsReset();
    calls().geteuid = [] { return uid_t{0}; };
    calls().fstat = [](int descriptor, struct stat* status) {
        const int result = ::fstat(descriptor, status);
        status->st_uid += descriptor == gDescriptor ? 1 : 0; // the folder's owner is another user
        return result;
    };
    calls().fchown = [](int, uid_t, gid_t) { return ++gCalls, errno = EPERM, -1; };
    gDescriptor = folder.descriptorGet();
    gCalls = 0;
    EXPECT_EQ(pending.attributesForNew(what), EPERM);
    EXPECT_EQ(what, "owner and group");
    EXPECT_EQ(gCalls, 1);
    calls().fstat = [](int descriptor, struct stat* status) {
        return descriptor == gDescriptor ? ::fstat(descriptor, status) : (errno = EIO, -1);
    };
    EXPECT_EQ(pending.attributesForNew(what), EIO);
    calls().fstat = [](int descriptor, struct stat* status) {
        const int result = ::fstat(descriptor, status);
        status->st_mode = descriptor == gDescriptor ? S_IFREG : status->st_mode;
        return result;
    };
    EXPECT_EQ(pending.attributesForNew(what), EIO);
}

// The lock: refused on anything but a regular file, taken again through a
// lock file deleted between its two opens or while it is waited on, and
// given up when still busy after the wait: while another holder has it,
// while an earlier waiter is in line, or while a holder whose lock file was
// deleted still marks the level file.
TEST_F(PlatformTest, TheLockWaitsInLineAndFollowsALockFileThatWasReplaced) {
    Folder folder;
    ASSERT_EQ(folder.open(temp.path(), temp / "level.xml"), 0);
    writeFile(temp / "level.xml", "level");
    int error = 0;
    int keepError = 0;
    const auto acquire = [&](std::chrono::milliseconds wait, const char* lockName = "level.xml.lock") {
        return FileLock::acquire(folder, lockName, "level.xml", wait, error, keepError);
    };
    fs::create_symlink(temp / "level.xml", temp / "link.lock");
    EXPECT_EQ(acquire(0ms, "link.lock"), nullptr);
    EXPECT_EQ(error, ELOOP);
    ASSERT_EQ(::mkfifo((temp / "pipe.lock").c_str(), 0600), 0);
    EXPECT_EQ(acquire(0ms, "pipe.lock"), nullptr);
    EXPECT_EQ(error, EINVAL);

    // Made by this locker: keeps what it can of the folder's group and bits.
    calls().fchown = [](int, uid_t, gid_t) { return errno = EPERM, -1; };
    calls().fchmod = [](int, mode_t) { return errno = EROFS, -1; };
    std::unique_ptr<FileLock> held = acquire(0ms);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(keepError, EPERM);
    EXPECT_EQ(held->heldConfirm(), 0);
    held.reset();
    fs::remove(temp / "level.xml.lock");
    calls().fchown = [](int, uid_t, gid_t) { return 0; };
    held = acquire(0ms);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(keepError, EROFS);

    // Busy: another holder, and then also an earlier waiter.
    platform::vSystemCallsReset();
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EWOULDBLOCK);
    const int waiter = ::open((temp / "level.xml.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(waiter, 0);
    struct flock line {};
    line.l_type = F_RDLCK;
    line.l_whence = SEEK_SET;
    line.l_start = 3;
    line.l_len = 1;
    ASSERT_EQ(::fcntl(waiter, F_OFD_SETLK, &line), 0);
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EWOULDBLOCK);
    // The earlier waiter never takes the free lock: it is taken after a while.
    const std::pair identity = held->identityGet();
    held.reset();
    held = acquire(10s);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->identityGet(), identity);

    // The stopped waiter costs a later locker at most kYieldToWaiters of
    // free lock time, even while a holder lets go and locks again in a
    // loop. The holder's clock runs fast, so its own deference to both is
    // over within a few looks; the later locker's runs slow and counts the
    // holder's writes too: its whole wait is ten deferences long on it.
    held.reset();
    calls().clock_gettime = &steppedClock;
    std::atomic<bool> boDone = false;
    std::thread relocker([&] {
        tClockStepMs = 50;
        while (!boDone) {
            int relockError = 0;
            int relockKeep = 0;
            const std::unique_ptr<FileLock> relocked =
                FileLock::acquire(folder, "level.xml.lock", "level.xml", 10s, relockError, relockKeep);
            std::this_thread::sleep_for(2ms); // a write under the lock
        }
    });
    tClockStepMs = 1;
    std::unique_ptr<FileLock> later = acquire(10 * FileLock::kYieldToWaiters);
    const bool boTaken = later != nullptr;
    boDone = true;
    later.reset();
    relocker.join();
    tClockStepMs = 0;
    EXPECT_TRUE(boTaken);
    platform::vSystemCallsReset();
    held = acquire(10s);
    ASSERT_NE(held, nullptr);
    ::close(waiter);

    // A waiter whose announcement the system fails gives up; one that it
    // merely refuses waits on unannounced.
    calls().fcntlLock = [](int descriptor, int command, struct flock* range) {
        return command == F_OFD_SETLK && range->l_start > 1 ? (errno = ENOLCK, -1)
                                                            : ::fcntl(descriptor, command, range);
    };
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, ENOLCK);
    calls().fcntlLock = [](int descriptor, int command, struct flock* range) {
        return command == F_OFD_SETLK && range->l_start > 1 ? (errno = EINVAL, -1)
                                                            : ::fcntl(descriptor, command, range);
    };
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EWOULDBLOCK);

    // The lock file deleted while a locker waits on it: the locker looks at
    // the file now at the name, and locks it once the holder is gone.
    static std::unique_ptr<FileLock>* gHeld = nullptr;
    gHeld = &held;
    gPath = temp / "level.xml.lock";
    calls().fcntlLock = [](int descriptor, int command, struct flock* range) {
        const int result = ::fcntl(descriptor, command, range);
        if (result != 0 && command == F_OFD_SETLK && gCalls++ == 0) {
            fs::remove(gPath);
            if (gFailAt != 0) {
                gHeld->reset();
            }
        }
        return result;
    };
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EWOULDBLOCK);
    ASSERT_NE(held, nullptr);
    held.reset();
    held = acquire(0ms);
    ASSERT_NE(held, nullptr);
    gCalls = 0;
    gFailAt = 1;
    std::unique_ptr<FileLock> next = acquire(10s);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(held, nullptr);

    // A holder whose lock file was deleted still marks the level file.
    platform::vSystemCallsReset();
    fs::remove(gPath);
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EWOULDBLOCK);
    next.reset();

    // Deleted between the open that found it and the open that opens it.
    calls().openat = [](int folder, const char* name, int flags, mode_t mode) {
        if ((flags & O_CREAT) == 0 && std::string_view(name).ends_with(".lock") && gCalls++ % 2 == 0) {
            return errno = ENOENT, -1;
        }
        return ::openat(folder, name, flags, mode);
    };
    gCalls = 0;
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EWOULDBLOCK);
    gCalls = 0;
    held = acquire(10s);
    ASSERT_NE(held, nullptr);
    held.reset();

    // A level file that cannot carry the mark leaves the lock file alone
    // to count; a lock file whose status fails or that is no regular file
    // locks nothing; a lock the system fails outright is reported.
    platform::vSystemCallsReset();
    calls().fcntlLock = [](int descriptor, int command, struct flock* range) {
        return command == F_OFD_GETLK ? (errno = EINVAL, -1) : ::fcntl(descriptor, command, range);
    };
    held = acquire(0ms);
    ASSERT_NE(held, nullptr);
    held.reset();
    EXPECT_NE(FileLock::acquire(folder, "level.xml.lock", "absent.xml", 0ms, error, keepError), nullptr);
    fs::create_directory(temp / "folder.xml");
    EXPECT_NE(FileLock::acquire(folder, "level.xml.lock", "folder.xml", 0ms, error, keepError), nullptr);
    calls().fcntlLock = [](int, int, struct flock*) { return errno = EIO, -1; };
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EIO);
    platform::vSystemCallsReset();
    gDescriptor = folder.descriptorGet();
    calls().fstat = [](int descriptor, struct stat* status) {
        return descriptor == gDescriptor ? ::fstat(descriptor, status) : (errno = EIO, -1);
    };
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EIO);
    calls().fstat = [](int descriptor, struct stat* status) {
        const int result = ::fstat(descriptor, status);
        status->st_mode = descriptor == gDescriptor ? status->st_mode : S_IFCHR;
        return result;
    };
    EXPECT_EQ(acquire(0ms), nullptr);
    EXPECT_EQ(error, EINVAL);
    // A new lock file in a folder whose status does not read takes nothing.
    calls().fstat = [](int descriptor, struct stat* status) {
        return descriptor == gDescriptor ? (errno = EACCES, -1) : ::fstat(descriptor, status);
    };
    held = acquire(0ms, "new.lock");
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(keepError, EACCES);
    platform::vSystemCallsReset();
    calls().fcntlLock = [](int, int, struct flock*) { return errno = EACCES, -1; };
    EXPECT_EQ(held->heldConfirm(), ENOLCK);
}

// The mount table as a file system can write it: lines that are cut short
// or carry no separator are passed over, a bind mount deeper inside the
// folder's path wins, and a table that fails to read leaves statfs to tell.
TEST_F(PlatformTest, TheMountTableIsReadAsTheSystemWritesIt) {
    struct stat status {};
    ASSERT_EQ(::stat(temp.path().c_str(), &status), 0);
    const std::string device = std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
    const fs::path root = *temp.path().begin() / *std::next(temp.path().begin());
    gPath = temp / "mountinfo";
    writeFile(gPath, "1 0 " + device + " / /elsewhere rw - nfs server:/x rw,nolock\n"
                         "cut short\n"
                         "2 1 " + device + " / / rw shared:1 no separator here\n"
                         "3 1 x:y / / rw - ext4 /dev/sda1 rw\n"
                         "4 1 " + device + " / / rw - ext4 /dev/sda1 rw\n"
                         "5 1 " + device + " / " + root.string() + " rw - nfs4 server:/y rw,local_lock=posix\n"
                         "6 1 " + device + " / /\\0x rw - ext4 /dev/sda1 rw\n");
    calls().mountTableOpen = [] { return ::open(gPath.c_str(), O_RDONLY | O_CLOEXEC); };
    calls().read = [](int descriptor, void* buffer, size_t size) -> ssize_t {
        return ++gCalls == 1 ? (errno = EINTR, -1) : ::read(descriptor, buffer, size);
    };
    platform::FileSystemKind kind;
    ASSERT_EQ(platform::fileSystemKindGet(temp.path(), kind), 0);
    EXPECT_EQ(kind.mountPoint, root.string());
    EXPECT_EQ(kind.type, "nfs4");
    EXPECT_TRUE(kind.boRemote);
    EXPECT_EQ(kind.lockReason, "NFS mounted with local_lock=posix");

    // The table fails to read: statfs alone tells, or nothing does.
    calls().read = [](int, void*, size_t) -> ssize_t { return errno = EIO, -1; };
    calls().statfs = [](const char*, struct statfs* fileSystem) {
        *fileSystem = {};
        fileSystem->f_type = 0x6969; // NFS
        return 0;
    };
    ASSERT_EQ(platform::fileSystemKindGet(temp.path(), kind), 0);
    EXPECT_EQ(kind.type, "nfs");
    EXPECT_TRUE(kind.boRemote);
    EXPECT_TRUE(kind.boLocksShared);
    calls().statfs = [](const char*, struct statfs* fileSystem) {
        *fileSystem = {};
        fileSystem->f_type = 0xEF53; // a local one
        return 0;
    };
    ASSERT_EQ(platform::fileSystemKindGet(temp.path(), kind), 0);
    EXPECT_EQ(kind.type, "");
    EXPECT_FALSE(kind.boRemote);
    calls().statfs = [](const char*, struct statfs*) { return errno = ENOSYS, -1; };
    EXPECT_EQ(platform::fileSystemKindGet(temp.path(), kind), ENOSYS);

    // The longest file name: a folder not made yet answers for the first
    // folder above it that exists; a file system that cannot be asked, the
    // system's general limit.
    platform::vSystemCallsReset();
    const std::size_t longest = platform::fileNameMaxGet(temp.path());
    EXPECT_GT(longest, 0U);
    EXPECT_EQ(platform::fileNameMaxGet(temp / "not" / "made"), longest);
    EXPECT_GT(platform::fileNameMaxGet(""), 0U);
    EXPECT_GT(platform::fileNameMaxGet("not-made/either"), 0U);
    calls().statfs = [](const char*, struct statfs*) { return errno = ENOSYS, -1; };
    EXPECT_EQ(platform::fileNameMaxGet(temp / "not" / "made"), std::size_t{NAME_MAX});
}

} // namespace
} // namespace vyr::test
