// The write path with other programs and processes at work on the same
// folders: files restored or rewritten behind the store's back (on a file
// system with whole-second times too), links and hard links at level paths,
// a pipe where a file should be, creators that race, and a lock held by
// another process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "external/platform/SystemCalls.h"
#include "tests/reliability/ReliabilitySupport.h"

namespace vyr::test {
namespace {

using namespace std::chrono_literals;

class WritePathTest : public ReliabilityFixture {
protected:
    const Mapping fruit = mappingMake("fruit", {{"apple", {"red"}}, {"pear", {"green"}}});

    // Adds one pair at the level through a fresh write access; whether the
    // lock and the edit were taken.
    static bool boAdd(AdminWrapper& wrapper, const std::string& source, const std::string& classified,
                      Level level = cache::User) {
        auto access = wrapper.writeAccessGet("fruit");
        return access.boLockFile(level) && access.boAddMapping(source, classified, level);
    }

    Mapping levelOf(Level level) const {
        Mapping mapping;
        EXPECT_TRUE(boReadLevel("fruit", level, mapping));
        return mapping;
    }
};

TEST_F(WritePathTest, RestoredAndRewrittenFilesGetTheEditOnTop) {
    const fs::path file = fileAt("fruit", cache::User);
    vWriteLevel("fruit", cache::User, fruit);
    setFileTime(file, -1h);
    AdminWrapper wrapper;
    ASSERT_TRUE(boAdd(wrapper, "plum", "blue"));

    // A backup restored with its old time (cp -p): the next edit keeps it.
    const Mapping restored = mappingMake("fruit", {{"apple", {"restored"}}});
    vWriteLevel("fruit", cache::User, restored);
    setFileTime(file, -2h);
    ASSERT_TRUE(boAdd(wrapper, "kiwi", "brown"));
    Mapping expected = restored;
    expected.sourceToClassified["kiwi"] = {"brown"};
    EXPECT_EQ(levelOf(cache::User), expected);

    // Rewritten in place with the same size and time (touch -r): only the
    // content tells, and the lock compares it.
    std::string content = readFile(file);
    const fs::file_time_type time = fs::last_write_time(file);
    content.replace(content.find("restored"), 8, "rewrote!");
    {
        std::FILE* inPlace = std::fopen(file.c_str(), "r+b");
        ASSERT_NE(inPlace, nullptr);
        std::fwrite(content.data(), 1, content.size(), inPlace);
        std::fclose(inPlace);
    }
    fs::last_write_time(file, time);
    ASSERT_TRUE(boAdd(wrapper, "fig", "purple"));
    expected.sourceToClassified["apple"] = {"rewrote!"};
    expected.sourceToClassified["fig"] = {"purple"};
    EXPECT_EQ(levelOf(cache::User), expected);
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "rewrote!");
}

// What another program does to a locked level file before the write-back:
// a deleted file is made again with the edits; anything else that cannot
// take them is refused with its reason and left as that program left it.
TEST_F(WritePathTest, ChangesUnderTheLockAreWrittenOverOrRefusedWithTheirReason) {
    const fs::path file = fileAt("fruit", cache::User);
    const fs::path second = folder / "second.xml";
    struct Change {
        const char* what;
        std::function<void()> make;
        const char* report; // none: the edits are written
        classification::FailureKind kind;
    };
    using Kind = classification::FailureKind;
    const std::vector<Change> changes = {
        {"deleted", [&] { fs::remove(file); }, nullptr, Kind::None},
        {"given a second name", [&] { fs::create_hard_link(file, second); },
         "Level file has several hard links; not written back", Kind::SeveralLinks},
        {"replaced by one that does not read", [&] { writeFile(file, "<classification"); },
         "Level file was replaced by one that does not read; not written back", Kind::NotWellFormed},
        {"replaced by a folder", [&] {
             fs::remove(file);
             fs::create_directory(file);
         },
         "Level path is no longer a regular file; not written back", Kind::NotRegularFile},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        std::error_code ignored;
        fs::remove_all(file, ignored);
        fs::remove(second, ignored);
        vWriteLevel("fruit", cache::User, fruit);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        const AssertCapture capture;
        auto access = wrapper.writeAccessGet("fruit");
        ASSERT_TRUE(access.boLockFile(cache::User));
        ASSERT_TRUE(access.boAddMapping("plum", "blue", cache::User));
        change.make();
        const auto before = snapshotOf(folder.path());
        EXPECT_EQ(access.boWriteBack(), change.report == nullptr);
        EXPECT_EQ(access.failureGet().kind, change.kind);
        if (change.report == nullptr) {
            EXPECT_EQ(levelOf(cache::User).sourceToClassified.count("plum"), 1U);
        } else {
            EXPECT_EQ(capture.messages(), std::vector<std::string>{change.report});
            EXPECT_EQ(snapshotOf(folder.path()), before);
        }
    }
}

// Two write accesses of this process hold one level, another program
// replaces the file, and a third access is made meanwhile: every edit of
// both holders lands on the replacement, pair by pair.
TEST_F(WritePathTest, HoldersInOneProcessLoseNoEditWhenTheFileIsReplaced) {
    vWriteLevel("fruit", cache::User, fruit);
    AdminWrapper wrapper;
    {
        auto first = wrapper.writeAccessGet("fruit");
        ASSERT_TRUE(first.boLockFile(cache::User));
        ASSERT_TRUE(first.boAddMapping("apple", "mine", cache::User));
        {
            auto second = wrapper.writeAccessGet("fruit");
            ASSERT_TRUE(second.boLockFile(cache::User));
            ASSERT_TRUE(second.boAddMapping("kiwi", "brown", cache::User));
            vWriteLevel("fruit", cache::User,
                        mappingMake("fruit", {{"apple", {"red", "theirs"}}, {"plum", {"blue"}}}));
            // Made while the level is held: it must not read the new file
            // over the holders' edits.
            { const auto third = wrapper.writeAccessGet("fruit"); }
            EXPECT_TRUE(wrapper.boMappingExists("fruit", "apple", "mine"));
        }
        ASSERT_TRUE(first.boAddMapping("fig", "purple", cache::User));
    }
    const Mapping::Relation expected = {{"apple", {"mine", "red", "theirs"}},
                                        {"fig", {"purple"}},
                                        {"kiwi", {"brown"}},
                                        {"plum", {"blue"}}};
    EXPECT_EQ(levelOf(cache::User).sourceToClassified, expected);
    AdminWrapper::vAdminReset();
    AdminWrapper fresh;
    EXPECT_EQ(fresh.sClassifiedIdGet("fruit", "plum"), "blue");
}

TEST_F(WritePathTest, LinksAndHardLinksAreNeverWrittenThrough) {
    vWriteLevel("fruit", cache::Shared, fruit);
    const fs::path outside = folder / "outside.xml";
    ASSERT_TRUE(writeMapping(outside, mappingMake("fruit", {{"apple", {"outside"}}})));
    fs::create_directories(levelFolder(cache::User));
    fs::create_directories(folder / "elsewhere");
    ASSERT_TRUE(writeMapping(folder / "elsewhere" / "x.xml", mappingMake("sub/x")));
    fs::create_directory_symlink(folder / "elsewhere", levelFolder(cache::User) / "sub");

    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"symlink to a file outside", [&] { fs::create_symlink(outside, fileAt("fruit", cache::User)); }},
        {"symlink to another level's file",
         [&] { fs::create_symlink(fileAt("fruit", cache::Shared), fileAt("fruit", cache::User)); }},
        {"hard link to another level's file",
         [&] { fs::create_hard_link(fileAt("fruit", cache::Shared), fileAt("fruit", cache::User)); }},
    };
    for (const auto& [what, make] : cases) {
        SCOPED_TRACE(what);
        fs::remove(fileAt("fruit", cache::User));
        make();
        const auto before = snapshotOf(folder.path());
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        const AssertCapture capture;
        EXPECT_FALSE(boAdd(wrapper, "apple", "mine"));
        EXPECT_EQ(capture.count(), 1U);
        EXPECT_EQ(snapshotOf(folder.path()), before);
    }

    // An id through a linked subfolder: neither locked nor created.
    const auto before = snapshotOf(folder.path());
    AdminWrapper wrapper;
    {
        auto access = wrapper.writeAccessGet("sub/x");
        EXPECT_FALSE(access.boLockFile(cache::User));
    }
    EXPECT_FALSE(wrapper.boCreateClassification("sub/y", "2", "3", "4", "5", false, false, cache::User));
    EXPECT_EQ(snapshotOf(folder.path()), before);
    EXPECT_FALSE(fs::exists(folder / "elsewhere" / "y.xml"));

    // "1:x" is an ordinary id; only a letter and ':' look like a drive.
    EXPECT_TRUE(wrapper.boCreateClassification("1:x", "2", "3", "4", "5", false, false, cache::User));
    EXPECT_TRUE(fs::is_regular_file(levelFolder(cache::User) / "1:x.xml"));
    EXPECT_FALSE(wrapper.boCreateClassification("c:x", "2", "3", "4", "5", false, false, cache::User));
}

TEST_F(WritePathTest, APipeAtALevelPathNeverBlocks) {
    vWriteLevel("fruit", cache::Sys, fruit);
    fs::create_directories(levelFolder(cache::User));
    fs::create_directories(levelFolder(cache::Shared));
    ASSERT_EQ(::mkfifo(fileAt("fruit", cache::User).c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(fileAt("fruit", cache::Shared).c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(fileAt("piped", cache::User).c_str(), 0600), 0);
    vWriteLevel("guarded", cache::User, fruit);
    ASSERT_EQ(::mkfifo((fileAt("guarded", cache::User).native() + ".lock").c_str(), 0600), 0);

    // Every operation runs in a child; one that blocks is killed by the
    // alarm and fails the test.
    const pid_t child = childStart([&] {
        ::alarm(5);
        assert::Assert::vEnable(true);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        if (wrapper.sClassifiedIdGet("fruit", "apple") != "red") {
            return 3;
        }
        if (wrapper.boCreateClassification("fruit", "2", "3", "4", "5", false, false, cache::User) ||
            wrapper.boCreateClassification("piped", "2", "3", "4", "5", false, false, cache::User)) {
            return 4;
        }
        auto access = wrapper.writeAccessGet("fruit");
        access.vCreateFileIfNotAtLevel(cache::Shared);
        if (access.boLockFile(cache::User) || access.boLockFile(cache::Shared)) {
            return 5;
        }
        auto guarded = wrapper.writeAccessGet("guarded");
        return guarded.boLockFile(cache::User) ? 6 : 0;
    });
    EXPECT_EQ(childWait(child), 0);
    EXPECT_TRUE(fs::is_fifo(fileAt("fruit", cache::User)));
    EXPECT_TRUE(fs::is_fifo(fileAt("piped", cache::User)));
}

TEST_F(WritePathTest, RacingCreatorsNeverReplaceEachOther) {
    fs::create_directories(levelFolder(cache::User));
    constexpr int kCreators = 6;
    for (int round = 0; round < 20; ++round) {
        const std::string id = "race-" + std::to_string(round);
        StartGate gate;
        std::vector<pid_t> children;
        for (int creator = 0; creator < kCreators; ++creator) {
            children.push_back(childStart([&, creator] {
                gate.vWait();
                AdminWrapper::vAdminReset();
                AdminWrapper wrapper;
                return wrapper.boCreateClassification(id, std::to_string(creator), "", "", "", false, false,
                                                      cache::User)
                           ? 10 + creator
                           : 0;
            }));
        }
        gate.vOpen();
        std::vector<int> winners;
        for (const pid_t child : children) {
            if (const int status = childWait(child); status >= 10) {
                winners.push_back(status - 10);
            }
        }
        ASSERT_EQ(winners.size(), 1U) << id;
        Mapping written;
        ASSERT_TRUE(readMapping(fileAt(id, cache::User), written));
        EXPECT_EQ(written.sText2, std::to_string(winners.front()));
    }
}

// A lock held by another process is waited for, and freed when the holder
// ends or dies; deleting the lock file while it is held (a cleanup job) does
// not let a second process in.
TEST_F(WritePathTest, ALockHeldByAnotherProcessIsWaitedForAndFreedWhenItDies) {
    vWriteLevel("fruit", cache::User, fruit);
    const fs::path lockFile = fileAt("fruit", cache::User).string() + ".lock";
    enum class Holder { Busy, BusyLockFileDeleted, Killed };
    for (const Holder mode : {Holder::Busy, Holder::BusyLockFileDeleted, Holder::Killed}) {
        SCOPED_TRACE(static_cast<int>(mode));
        int ready[2];
        int release[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(release), 0);
        const pid_t holder = lockHolderStart("fruit", "held", "by-child", ready, release);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        if (mode == Holder::Killed) {
            ::kill(holder, SIGKILL);
            childWait(holder);
            EXPECT_TRUE(boAdd(wrapper, "after", "kill"));
        } else {
            if (mode == Holder::BusyLockFileDeleted) {
                ASSERT_TRUE(fs::remove(lockFile));
            }
            const AssertCapture capture;
            {
                auto access = wrapper.writeAccessGet("fruit");
                EXPECT_FALSE(access.boLockFile(cache::User));
                EXPECT_EQ(access.failureGet().kind, classification::FailureKind::Busy);
            }
            EXPECT_EQ(capture.messages(), std::vector<std::string>{"Level file is locked by another process"});
            (void)!::write(release[1], "g", 1);
            EXPECT_EQ(childWait(holder), 0);
            EXPECT_TRUE(boAdd(wrapper, "after", "release"));
        }
        for (const int fd : {ready[0], ready[1], release[0], release[1]}) {
            ::close(fd);
        }
    }
    const Mapping result = levelOf(cache::User);
    EXPECT_EQ(result.sourceToClassified.count("held"), 1U); // written by the holders that finished
    EXPECT_EQ(result.sourceToClassified.count("while"), 0U);
    EXPECT_EQ(result.sourceToClassified.count("after"), 1U);
}

// An administrator's edit in a folder that belongs to a user and a shared
// group leaves the file as it was theirs: owner, group, bits and extended
// attributes; a lock file it makes takes the folder's group and bits, so
// the user can lock afterwards.
TEST_F(WritePathTest, AnAdministratorsEditKeepsWhatTheFileHadAndTheUserCanLockAfterwards) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs a privileged process to act as two users";
    }
    constexpr uid_t kUser = 12345;
    constexpr gid_t kGroup = 23456;
    vWriteLevel("fruit", cache::User, fruit);
    const fs::path file = fileAt("fruit", cache::User);
    const fs::path levelFolder = file.parent_path();
    for (const fs::path& reached : {fs::path(folder.path()), levelFolder.parent_path()}) {
        fs::permissions(reached, fs::perms::all);
    }
    ASSERT_EQ(::chown(levelFolder.c_str(), kUser, kGroup), 0);
    ASSERT_EQ(::chmod(levelFolder.c_str(), 0775), 0);
    ASSERT_EQ(::chown(file.c_str(), kUser, kGroup), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    const bool boAttributes = ::setxattr(file.c_str(), "user.note", "kept", 4, 0) == 0;

    AdminWrapper wrapper;
    EXPECT_TRUE(boAdd(wrapper, "fig", "purple"));
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kUser);
    EXPECT_EQ(status.st_gid, kGroup);
    EXPECT_EQ(status.st_mode & 07777, 0640U);
    if (boAttributes) {
        char value[8] = {};
        EXPECT_EQ(::getxattr(file.c_str(), "user.note", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    }
    ASSERT_EQ(::stat((file.string() + ".lock").c_str(), &status), 0);
    EXPECT_EQ(status.st_gid, kGroup);
    EXPECT_EQ(status.st_mode & 0777, 0664U);

    const pid_t user = childStart([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kGroup) != 0 || ::setuid(kUser) != 0) {
            return 4;
        }
        AdminWrapper::vAdminReset();
        AdminWrapper mine;
        return boAdd(mine, "kiwi", "brown") ? 0 : 3;
    });
    EXPECT_EQ(childWait(user), 0);
    EXPECT_EQ(levelOf(cache::User).sourceToClassified.count("kiwi"), 1U);
}

// A file system with whole-second times, as the store sees it through the
// system-call table: every status shows times without their fraction, and
// the change time equal to the modification time, so that the test decides
// in which second each version was written (a rewrite within the second of
// the last one leaves both times as they were). Our clock stands where the
// test puts it. The test runs them on its own thread.
std::int64_t gClockNanoseconds = 0; // our clock, since 1970
int gLevelOpens = 0;                // opens of the level file "fruit.xml"

void wholeSeconds(struct stat& status) {
    status.st_mtim.tv_nsec = 0;
    status.st_ctim = status.st_mtim;
}
int fstatWholeSeconds(int descriptor, struct stat* status) {
    const int result = ::fstat(descriptor, status);
    wholeSeconds(*status);
    return result;
}
int fstatatWholeSeconds(int folder, const char* name, struct stat* status, int flags) {
    const int result = ::fstatat(folder, name, status, flags);
    wholeSeconds(*status);
    return result;
}
int clockSet(clockid_t, struct timespec* time) {
    time->tv_sec = static_cast<time_t>(gClockNanoseconds / 1'000'000'000);
    time->tv_nsec = static_cast<long>(gClockNanoseconds % 1'000'000'000);
    return 0;
}
int openatCounted(int folder, const char* name, int flags, mode_t mode) {
    const std::string_view path(name);
    if (path == "fruit.xml" || path.ends_with("/fruit.xml")) {
        ++gLevelOpens;
    }
    return ::openat(folder, name, flags, mode);
}

struct SystemCallsRestore {
    SystemCallsRestore() = default;
    SystemCallsRestore(const SystemCallsRestore&) = delete;
    SystemCallsRestore& operator=(const SystemCallsRestore&) = delete;
    ~SystemCallsRestore() { platform::vSystemCallsReset(); }
};

// The second the file's modification time lies in.
time_t secondOf(const fs::path& file) {
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0);
    return status.st_mtim.tv_sec;
}

// Gives the file the modification time `second`.
void vSecondSet(const fs::path& file, time_t second) {
    const struct timespec times[2] = {{second, 0}, {second, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

// Rewrites the file in place with one text replaced by another of the same
// size, within `second`: the stamp stays as it was.
void vRewriteInSecond(const fs::path& file, const std::string& from, const std::string& to, time_t second) {
    ASSERT_EQ(from.size(), to.size());
    std::string content = readFile(file);
    const std::size_t at = content.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    content.replace(at, from.size(), to);
    std::FILE* inPlace = std::fopen(file.c_str(), "r+b");
    ASSERT_NE(inPlace, nullptr);
    std::fwrite(content.data(), 1, content.size(), inPlace);
    std::fclose(inPlace);
    vSecondSet(file, second);
}

TEST_F(WritePathTest, SameSizeRewritesWithinTheSecondOfTheReadAreSeen) {
    const SystemCallsRestore restore;
    platform::systemCalls().fstat = &fstatWholeSeconds;
    platform::systemCalls().fstatat = &fstatatWholeSeconds;
    platform::systemCalls().clock_gettime = &clockSet;
    platform::systemCalls().openat = &openatCounted;
    const fs::path file = fileAt("fruit", cache::User);
    const time_t second = std::time(nullptr);
    const auto clockAt = [](time_t at, std::int64_t milliseconds) {
        gClockNanoseconds = static_cast<std::int64_t>(at) * 1'000'000'000 + milliseconds * 1'000'000;
    };
    clockAt(second, 500);

    // Read for a query in the second it was written, then rewritten within
    // it: a refresh sees the rewrite, and so does an edit.
    vWriteLevel("fruit", cache::User, fruit);
    vSecondSet(file, second);
    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "red");
    vRewriteInSecond(file, "red", "tan", second);
    EXPECT_TRUE(wrapper.boRefresh("fruit"));
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "tan");
    vRewriteInSecond(file, "tan", "oak", second);
    ASSERT_TRUE(boAdd(wrapper, "plum", "blue"));
    EXPECT_EQ(levelOf(cache::User).sourceToClassified,
              (Mapping::Relation{{"apple", {"oak"}}, {"pear", {"green"}}, {"plum", {"blue"}}}));

    // Rewritten within the second of the store's own write-back.
    const time_t written = secondOf(file);
    vRewriteInSecond(file, "blue", "navy", written);
    EXPECT_TRUE(wrapper.boRefresh("fruit"));
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "plum"), "navy");
    vRewriteInSecond(file, "green", "olive", written);
    ASSERT_TRUE(boAdd(wrapper, "kiwi", "brown"));
    EXPECT_EQ(levelOf(cache::User).sourceToClassified,
              (Mapping::Relation{{"apple", {"oak"}}, {"kiwi", {"brown"}}, {"pear", {"olive"}}, {"plum", {"navy"}}}));

    // Once our clock is past the window, one refresh finds the content
    // unchanged; from then on the stamp alone decides.
    clockAt(secondOf(file) + 3, 0);
    gLevelOpens = 0;
    EXPECT_FALSE(wrapper.boRefresh("fruit"));
    EXPECT_EQ(gLevelOpens, 1);
    EXPECT_FALSE(wrapper.boRefresh("fruit"));
    EXPECT_EQ(gLevelOpens, 1);

    // A file read long after its times is not hashed for a query; a lock
    // still takes the level from what it reads, never from the stamp.
    AdminWrapper::vAdminReset();
    const time_t old = second - 60;
    vRewriteInSecond(file, "oak", "elm", old);
    AdminWrapper fresh;
    EXPECT_EQ(fresh.sClassifiedIdGet("fruit", "apple"), "elm");
    vRewriteInSecond(file, "elm", "ash", old);
    ASSERT_TRUE(boAdd(fresh, "fig", "purple"));
    EXPECT_EQ(levelOf(cache::User).sourceToClassified.at("apple"), std::set<std::string>{"ash"});
    EXPECT_EQ(levelOf(cache::User).sourceToClassified.at("fig"), std::set<std::string>{"purple"});
}

} // namespace
} // namespace vyr::test
