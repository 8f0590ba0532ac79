// Hearing of changes: every way another program changes a level file wakes
// the change descriptor and the refresh names the id; nothing else wakes it,
// and a lock or temporary file wakes it at no cost. The same results come
// through the poll interval when the watch is refused.

#include <poll.h>

#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>
#include <utility>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "external/classification/XmlDocument.h"
#include "external/platform/SystemCalls.h"
#include "tests/common/StoreFixture.h"

namespace vyr::test {
namespace {

using namespace std::chrono_literals;

int statusCalls = 0;
int countedFstatat(int folder, const char* name, struct stat* status, int flags) {
    ++statusCalls;
    return ::fstatat(folder, name, status, flags);
}
int refusedWatch(int, const char*, uint32_t) {
    errno = ENOSPC;
    return -1;
}

// Another program's step, run inside the watch call for `stepPath` that
// asks for creations (the look for a missing folder), once.
std::function<void()> step;
std::string stepPath;
int steppingWatch(int descriptor, const char* path, uint32_t mask) {
    if (step && path == stepPath && (mask & IN_CREATE) != 0) {
        std::exchange(step, nullptr)();
    }
    return ::inotify_add_watch(descriptor, path, mask);
}
// Reads the real events and gives an overflow in their place, once.
bool boOverflow = false;
ssize_t overflowingRead(int descriptor, void* buffer, size_t size) {
    if (!boOverflow) {
        return ::read(descriptor, buffer, size);
    }
    boOverflow = false;
    alignas(struct inotify_event) char drained[64 * 1024];
    while (::read(descriptor, drained, sizeof drained) > 0) {
    }
    struct inotify_event event {};
    event.wd = -1;
    event.mask = IN_Q_OVERFLOW;
    std::memcpy(buffer, &event, sizeof event);
    return static_cast<ssize_t>(sizeof event);
}
// Fails the inotify call of number `failAt` (counted from 1) once.
int inotifyCalls = 0;
int failAt = 0;
bool boFailNow() { return ++inotifyCalls == failAt; }
int sweptInit(int flags) {
    if (boFailNow()) {
        errno = EMFILE;
        return -1;
    }
    return ::inotify_init1(flags);
}
int sweptWatch(int descriptor, const char* path, uint32_t mask) {
    if (boFailNow()) {
        errno = ENOMEM;
        return -1;
    }
    return ::inotify_add_watch(descriptor, path, mask);
}
int sweptRemove(int descriptor, int watch) {
    if (boFailNow()) {
        errno = EINVAL;
        return -1;
    }
    return ::inotify_rm_watch(descriptor, watch);
}

class ChangeWatchTest : public StoreFixture {
protected:
    void TearDown() override {
        platform::vSystemCallsReset();
        step = nullptr;
        StoreFixture::TearDown();
    }

    // Waits for the descriptor (or the wait refreshWaitGet gives), then
    // refreshes; the ids whose view changed.
    std::vector<std::string> refreshed(AdminWrapper& wrapper, classification::Failure& failure) {
        const auto wait = wrapper.refreshWaitGet();
        pollfd entry{wrapper.changeDescriptorGet(), POLLIN, 0};
        (void)::poll(&entry, 1, wait ? static_cast<int>(wait->count()) : 1000);
        return wrapper.changedRefresh(failure);
    }
    // The view of the id equals what a fresh admin would read from the files.
    void vViewIsFiles(const std::string& id) {
        EXPECT_EQ(admin().mappingsGet(id), pairsOf(mergeOf(filesOf(id)).sourceToClassified)) << id;
    }
};

TEST_F(ChangeWatchTest, EveryChangeOfALevelFileNamesItsIdWatchedOrPolled) {
    for (const bool boPolled : {false, true}) {
        SCOPED_TRACE(boPolled ? "polled" : "watched");
        AdminWrapper::vAdminReset();
        fs::remove_all(folder.path() / "user");
        fs::remove_all(folder.path() / "shared");
        if (boPolled) {
            platform::systemCalls().inotify_add_watch = &refusedWatch;
        }
        vWriteLevel("a", cache::User, mappingOf("a", {{"oak", {"leaf"}}}, "a"));
        vWriteLevel("b", cache::User, mappingOf("b", {{"oak", {"leaf"}}}, "b"));
        AdminWrapper wrapper;
        for (const char* id : {"a", "b", "c", "d"}) {
            (void)wrapper.cachesGet(id); // c and d have no file yet
        }
        wrapper.vPollIntervalSet(20ms);
        const int descriptor = wrapper.changeDescriptorGet();
        ASSERT_GE(descriptor, 0);
        // What changed before the watch was made is looked for at once.
        EXPECT_EQ(wrapper.refreshWaitGet(), std::optional(0ms));
        const std::vector<AdminWrapper::LevelWatch> watches = wrapper.watchesGet();
        ASSERT_EQ(watches.size(), 3U);
        for (const AdminWrapper::LevelWatch& watch : watches) {
            EXPECT_EQ(watch.boWatched, !boPolled) << watch.folder;
            EXPECT_EQ(watch.sReason.empty(), !boPolled && watch.level == cache::User) << watch.sReason;
        }
        EXPECT_EQ(watches.front().folder, levelFolder(cache::Sys));
        EXPECT_EQ(watches[1].sReason, boPolled ? "watch limit reached"
                                               : "missing; its creation is watched in " + folder.path().string());
        classification::Failure failure;
        EXPECT_TRUE(wrapper.changedRefresh(failure).empty());
        EXPECT_EQ(wrapper.refreshWaitGet(), boPolled ? std::optional(20ms) : std::optional<std::chrono::milliseconds>());

        // The host's loop: wait on the descriptor for at most the interval,
        // then refresh. Watched, the descriptor wakes within a second.
        const auto refreshed = [&] {
            pollfd entry{descriptor, POLLIN, 0};
            const auto wait = wrapper.refreshWaitGet();
            const int ready = ::poll(&entry, 1, wait ? static_cast<int>(wait->count()) : 1000);
            EXPECT_EQ(ready, boPolled ? 0 : 1);
            return wrapper.changedRefresh(failure);
        };
        using Ids = std::vector<std::string>;
        // Nothing changed: the descriptor stays quiet.
        pollfd quiet{descriptor, POLLIN, 0};
        EXPECT_EQ(::poll(&quiet, 1, 0), 0);

        // A save by rename (write a temporary file, rename it over).
        vWriteLevel("a", cache::User, mappingOf("a", {{"oak", {"bark"}}}, "a"));
        const std::uint64_t bCount = wrapper.changeCountGet("b");
        const std::set<std::string>* bOak = wrapper.pClassifiedIdsGet("b", "oak");
        EXPECT_EQ(refreshed(), Ids{"a"});
        EXPECT_TRUE(wrapper.boMappingExists("a", "oak", "bark"));
        EXPECT_EQ(wrapper.changeCountGet("b"), bCount);
        EXPECT_EQ(wrapper.pClassifiedIdsGet("b", "oak"), bOak);
        // sed -i.
        const std::string b = fileAt("b", cache::User).string();
        ASSERT_EQ(std::system(("sed -i 's/leaf/twig/' '" + b + "'").c_str()), 0);
        EXPECT_EQ(refreshed(), Ids{"b"});
        EXPECT_TRUE(wrapper.boMappingExists("b", "oak", "twig"));
        EXPECT_NE(wrapper.changeCountGet("b"), bCount);
        // cp over the file (the same file, truncated and written).
        const fs::path other = folder / "other.xml";
        ASSERT_TRUE(writeMapping(other, mappingOf("a", {{"elm", {"seed"}}}, "a")));
        ASSERT_EQ(std::system(("cp '" + other.string() + "' '" + fileAt("a", cache::User).string() + "'").c_str()), 0);
        EXPECT_EQ(refreshed(), Ids{"a"});
        EXPECT_TRUE(wrapper.boMappingExists("a", "elm", "seed"));
        // A new level file.
        vWriteLevel("c", cache::User, mappingOf("c", {{"fir", {"cone"}}}, "c"));
        EXPECT_EQ(refreshed(), Ids{"c"});
        // A level folder made after the first load, with a file in it.
        vWriteLevel("d", cache::Shared, mappingOf("d", {{"yew", {"berry"}}}, "d"));
        EXPECT_EQ(refreshed(), Ids{"d"});
        EXPECT_TRUE(wrapper.boMappingExists("d", "yew", "berry"));
        // A deleted level file wakes the host; the level keeps what it held,
        // as at every refresh, so no view changed.
        fs::remove(fileAt("c", cache::User));
        EXPECT_TRUE(refreshed().empty());
        EXPECT_TRUE(wrapper.boMappingExists("c", "fir", "cone"));
        // A file in the new folder changes: seen there too.
        vWriteLevel("d", cache::Shared, mappingOf("d", {{"yew", {"bark"}}}, "d"));
        EXPECT_EQ(refreshed(), Ids{"d"});
        // A level file that stops reading is named in the failure value.
        writeFile(fileAt("b", cache::User), "<classification version=\"1\" id=\"b\">\n");
        {
            const AssertCapture capture;
            EXPECT_TRUE(refreshed().empty());
        }
        EXPECT_EQ(failure.file, fileAt("b", cache::User));
        vWriteLevel("b", cache::User, mappingOf("b", {{"oak", {"leaf"}}}, "b"));
        EXPECT_EQ(refreshed(), Ids{"b"});
        EXPECT_FALSE(failure.boFailed());

        if (!boPolled) {
            // Lock and temporary files wake the descriptor, but their names
            // alone tell them apart: no status call, no change.
            writeFile(levelFolder(cache::User) / "a.xml.lock", "");
            writeFile(levelFolder(cache::User) / ".a.xml.0123456789abcdef.tmp", "x");
            platform::systemCalls().fstatat = &countedFstatat;
            statusCalls = 0;
            EXPECT_TRUE(refreshed().empty());
            EXPECT_EQ(statusCalls, 0);
            platform::vSystemCallsReset();
            EXPECT_EQ(::poll(&quiet, 1, 0), 0);
        }
        // The reset closes the descriptor; the next admin has a new one.
        AdminWrapper::vAdminReset();
        EXPECT_EQ(::fcntl(descriptor, F_GETFD), -1);
        platform::vSystemCallsReset();
    }
}

TEST_F(ChangeWatchTest, NoChangeIsLostWhileWatchesAreSetOrTheirPathsChange) {
    using Ids = std::vector<std::string>;
    classification::Failure failure;
    fs::remove_all(folder.path() / "user");
    fs::create_directories(levelFolder(cache::Sys));
    vWriteLevel("a", cache::Shared, mappingOf("a", {{"oak", {"leaf"}}}, "a"));
    AdminWrapper wrapper;
    (void)wrapper.cachesGet("a");
    // A change between the first load and the first change call: the first
    // wait is zero and the refresh finds it.
    vWriteLevel("a", cache::Shared, mappingOf("a", {{"oak", {"bark"}}}, "a"));
    // The User folder is made while its parent's watch is set.
    stepPath = folder.path().string();
    step = [&] { vWriteLevel("a", cache::User, mappingOf("a", {{"elm", {"seed"}}}, "a")); };
    platform::systemCalls().inotify_add_watch = &steppingWatch;
    EXPECT_EQ(wrapper.refreshWaitGet(), std::optional(0ms));
    EXPECT_EQ(step, nullptr);
    EXPECT_EQ(wrapper.watchesGet()[2].sReason, "");
    EXPECT_EQ(wrapper.changedRefresh(failure), Ids{"a"});
    vViewIsFiles("a");
    EXPECT_EQ(wrapper.refreshWaitGet(), std::nullopt);
    vWriteLevel("a", cache::User, mappingOf("a", {{"elm", {"twig"}}}, "a"));
    EXPECT_EQ(refreshed(wrapper, failure), Ids{"a"});
    vViewIsFiles("a");

    // An ancestor replaced by rename, as an install does: the new folder
    // is watched, the old one no more.
    fs::create_directories(folder / "new" / "Classification");
    ASSERT_TRUE(writeMapping(folder / "new" / "Classification" / "a.xml", mappingOf("a", {{"ash", {"key"}}}, "a")));
    fs::rename(folder / "user", folder / "user.old");
    fs::rename(folder / "new", folder / "user");
    EXPECT_EQ(refreshed(wrapper, failure), Ids{"a"});
    vViewIsFiles("a");
    ASSERT_TRUE(writeMapping(folder / "user.old" / "Classification" / "a.xml", mappingOf("a", {}, "a")));
    vWriteLevel("a", cache::User, mappingOf("a", {{"ash", {"bud"}}}, "a"));
    EXPECT_EQ(refreshed(wrapper, failure), Ids{"a"});
    vViewIsFiles("a");

    // Events lost: every watch is set again and every loaded id refreshed,
    // here after the User folder was removed and made again unheard.
    boOverflow = true;
    platform::systemCalls().read = &overflowingRead;
    fs::remove_all(folder / "user");
    vWriteLevel("a", cache::User, mappingOf("a", {{"fir", {"cone"}}}, "a"));
    EXPECT_EQ(refreshed(wrapper, failure), Ids{"a"});
    vViewIsFiles("a");
    vWriteLevel("a", cache::User, mappingOf("a", {{"fir", {"needle"}}}, "a"));
    EXPECT_EQ(refreshed(wrapper, failure), Ids{"a"});
    vViewIsFiles("a");

    // The User folder moves: the new one is watched, the old one no more.
    // (An id's file path is kept from its first load, so a new id shows it.)
    fs::create_directories(folder / "elsewhere" / "Classification");
    admin().vLevelFolderChange(cache::User, (folder / "elsewhere" / "Classification").string());
    EXPECT_EQ(wrapper.refreshWaitGet(), std::optional(0ms));
    (void)wrapper.changedRefresh(failure);
    (void)wrapper.cachesGet("e");
    ASSERT_TRUE(writeMapping(folder / "elsewhere" / "Classification" / "e.xml",
                             mappingOf("e", {{"yew", {"berry"}}}, "e")));
    EXPECT_EQ(refreshed(wrapper, failure), Ids{"e"});
    EXPECT_TRUE(wrapper.boMappingExists("e", "yew", "berry"));
    // What is still pending (a recheck of a racy time on a slow machine)
    // is taken first, so that only the write in the old folder counts.
    (void)wrapper.changedRefresh(failure);
    vWriteLevel("a", cache::User, mappingOf("a", {}, "a"));
    pollfd quiet{wrapper.changeDescriptorGet(), POLLIN, 0};
    EXPECT_EQ(::poll(&quiet, 1, 0), 0);

    // A file written in place: made empty, written, then closed. Until the
    // close it is not reported; then its content is.
    wrapper.vPollIntervalSet(60s);
    const fs::path file = folder / "elsewhere" / "Classification" / "b.xml";
    (void)wrapper.cachesGet("b");
    const int descriptor = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(descriptor, 0);
    EXPECT_TRUE(refreshed(wrapper, failure).empty());
    EXPECT_FALSE(failure.boFailed()) << failure.sWhat;
    const auto wait = wrapper.refreshWaitGet();
    ASSERT_TRUE(wait.has_value());
    EXPECT_GT(*wait, 50s);
    std::ostringstream bytes;
    Mapping written = mappingOf("b", {{"oak", {"gall"}}}, "b");
    ASSERT_TRUE(classification::XmlDocument(written).boWrite(bytes));
    const std::string text = bytes.str();
    ASSERT_EQ(::write(descriptor, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(descriptor);
    EXPECT_EQ(refreshed(wrapper, failure), Ids{"b"});
    EXPECT_FALSE(failure.boFailed());
    EXPECT_EQ(wrapper.refreshWaitGet(), std::nullopt);
    // Not closed within one interval: reported at the refresh after it. The
    // interval leaves a loaded machine time for the first refresh.
    wrapper.vPollIntervalSet(500ms);
    const int stuck = ::open((folder / "elsewhere" / "Classification" / "c.xml").c_str(),
                             O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(stuck, 0);
    (void)wrapper.cachesGet("c");
    {
        const AssertCapture capture;
        EXPECT_TRUE(refreshed(wrapper, failure).empty());
        EXPECT_FALSE(failure.boFailed());
        // Each refresh waits at most until the interval ends; another event
        // may wake it sooner.
        for (int round = 0; round < 20 && !failure.boFailed(); ++round) {
            EXPECT_TRUE(refreshed(wrapper, failure).empty());
        }
        EXPECT_TRUE(failure.boFailed());
    }
    ::close(stuck);
}

TEST_F(ChangeWatchTest, EveryInotifyCallFailingOnceLeavesTheHostWatchingOrPolling) {
    using Ids = std::vector<std::string>;
    for (failAt = 1;; ++failAt) {
        SCOPED_TRACE(failAt);
        AdminWrapper::vAdminReset();
        platform::vSystemCallsReset();
        fs::remove_all(folder.path() / "user");
        vWriteLevel("a", cache::Shared, mappingOf("a", {{"oak", {"leaf"}}}, "a"));
        inotifyCalls = 0;
        platform::systemCalls().inotify_init1 = &sweptInit;
        platform::systemCalls().inotify_add_watch = &sweptWatch;
        platform::systemCalls().inotify_rm_watch = &sweptRemove;
        AdminWrapper wrapper;
        wrapper.vPollIntervalSet(20ms);
        (void)wrapper.cachesGet("a");
        classification::Failure failure;
        (void)wrapper.changedRefresh(failure);
        // The User folder appears, then the Shared one is replaced.
        vWriteLevel("a", cache::User, mappingOf("a", {{"elm", {"seed"}}}, "a"));
        (void)refreshed(wrapper, failure);
        fs::rename(folder / "shared", folder / "shared.old");
        vWriteLevel("a", cache::Shared, mappingOf("a", {{"ash", {"key"}}}, "a"));
        (void)refreshed(wrapper, failure);
        vViewIsFiles("a");
        // Now watching, or told to poll: a save is heard either way.
        for (const AdminWrapper::LevelWatch& watch : wrapper.watchesGet()) {
            EXPECT_TRUE(watch.boWatched || (!watch.sReason.empty() && wrapper.refreshWaitGet().has_value()))
                << watch.folder;
        }
        vWriteLevel("a", cache::User, mappingOf("a", {{"elm", {"twig"}}}, "a"));
        EXPECT_EQ(refreshed(wrapper, failure), Ids{"a"});
        vViewIsFiles("a");
        fs::remove_all(folder / "shared.old");
        if (failAt > inotifyCalls) {
            break; // no call left to fail
        }
    }
    EXPECT_GT(failAt, 5);

    // Folders on a network file system are polled, and say why: a watch
    // hears only this machine's writes.
    AdminWrapper::vAdminReset();
    platform::vSystemCallsReset();
    platform::systemCalls().mountTableOpen = [] { return errno = ENOENT, -1; };
    platform::systemCalls().statfs = [](const char* path, struct statfs* status) {
        const int result = ::statfs(path, status);
        status->f_type = 0x6969; // nfs
        return result;
    };
    AdminWrapper wrapper;
    wrapper.vPollIntervalSet(20ms);
    (void)wrapper.cachesGet("a");
    classification::Failure failure;
    (void)wrapper.changedRefresh(failure);
    for (const AdminWrapper::LevelWatch& watch : wrapper.watchesGet()) {
        EXPECT_FALSE(watch.boWatched) << watch.folder;
        EXPECT_EQ(watch.sReason, "network or FUSE file system (nfs): writes made on other machines are not reported");
    }
    EXPECT_EQ(wrapper.refreshWaitGet(), std::optional(20ms));
}

} // namespace
} // namespace vyr::test
