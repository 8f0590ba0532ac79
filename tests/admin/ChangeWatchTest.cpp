// Hearing of changes: every way another program changes a level file wakes
// the change descriptor and the refresh names the id; nothing else wakes it,
// and a lock or temporary file wakes it at no cost. The same results come
// through the poll interval when the watch is refused.

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "external/platform/SystemCalls.h"
#include "tests/admin/AdminTestSupport.h"

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

class ChangeWatchTest : public AdminFixture {
protected:
    void TearDown() override {
        platform::vSystemCallsReset();
        AdminFixture::TearDown();
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
        vWriteLevel("a", cache::User, mappingMake("a", "a", {{"oak", {"leaf"}}}));
        vWriteLevel("b", cache::User, mappingMake("b", "b", {{"oak", {"leaf"}}}));
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
        vWriteLevel("a", cache::User, mappingMake("a", "a", {{"oak", {"bark"}}}));
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
        ASSERT_TRUE(writeMapping(other, mappingMake("a", "a", {{"elm", {"seed"}}})));
        ASSERT_EQ(std::system(("cp '" + other.string() + "' '" + fileAt("a", cache::User).string() + "'").c_str()), 0);
        EXPECT_EQ(refreshed(), Ids{"a"});
        EXPECT_TRUE(wrapper.boMappingExists("a", "elm", "seed"));
        // A new level file.
        vWriteLevel("c", cache::User, mappingMake("c", "c", {{"fir", {"cone"}}}));
        EXPECT_EQ(refreshed(), Ids{"c"});
        // A level folder made after the first load, with a file in it.
        vWriteLevel("d", cache::Shared, mappingMake("d", "d", {{"yew", {"berry"}}}));
        EXPECT_EQ(refreshed(), Ids{"d"});
        EXPECT_TRUE(wrapper.boMappingExists("d", "yew", "berry"));
        // A deleted level file wakes the host; the level keeps what it held,
        // as at every refresh, so no view changed.
        fs::remove(fileAt("c", cache::User));
        EXPECT_TRUE(refreshed().empty());
        EXPECT_TRUE(wrapper.boMappingExists("c", "fir", "cone"));
        // A file in the new folder changes: seen there too.
        vWriteLevel("d", cache::Shared, mappingMake("d", "d", {{"yew", {"bark"}}}));
        EXPECT_EQ(refreshed(), Ids{"d"});
        // A level file that stops reading is named in the failure value.
        writeFile(fileAt("b", cache::User), "<classification version=\"1\" id=\"b\">\n");
        {
            const AssertCapture capture;
            EXPECT_TRUE(refreshed().empty());
        }
        EXPECT_EQ(failure.file, fileAt("b", cache::User));
        vWriteLevel("b", cache::User, mappingMake("b", "b", {{"oak", {"leaf"}}}));
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

} // namespace
} // namespace vyr::test
