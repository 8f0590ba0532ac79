// The process-wide admin behind the wrappers: created by the first wrapper,
// shared by later ones, destroyed by a reset and made anew afterwards.

#include <barrier>
#include <thread>
#include <vector>

#include "external/platform/SystemCalls.h"
#include "tests/admin/AdminTestSupport.h"

namespace vyr::test {
namespace {

class AdminWrapperTest : public AdminFixture {};

TEST_F(AdminWrapperTest, FirstWrapperCreatesTheAdminAndLaterOnesShareIt) {
    // The admin reads the directory service when it is made, so the folders
    // it holds tell when that was.
    TempFolder first;
    TempFolder second;
    vDirectoriesSet(first.path());
    AdminWrapper one;
    vDirectoriesSet(second.path());
    AdminWrapper two;

    EXPECT_EQ(admin().path(cache::User), first / "user" / "Classification");
    EXPECT_EQ(one.cachesGet("shared-id"), two.cachesGet("shared-id"));
    EXPECT_TRUE(admin().boIsCached("shared-id"));
    EXPECT_TRUE(two.boClassificationExists("shared-id"));
    EXPECT_TRUE(one.boCreateClassification("made", "m", "", "", "", false, false, cache::User));
    EXPECT_EQ(two.sText2Get("made"), "m");
    EXPECT_TRUE(fs::exists(first / "user" / "Classification" / "made.xml"));
}

TEST_F(AdminWrapperTest, ResetWithoutAnAdminLeavesNone) {
    AdminWrapper::vAdminReset();
    AdminWrapper::vAdminReset();
    TempFolder other;
    vDirectoriesSet(other.path());
    AdminWrapper wrapper;
    EXPECT_EQ(admin().path(cache::Sys), other / "sys" / "Resources" / "Classification");
    EXPECT_FALSE(admin().boIsCached("anything"));
}

TEST_F(AdminWrapperTest, AfterAResetTheFilesAreReadAgain) {
    vWriteLevel("fruit", cache::User, mappingMake("fruit", "before", {{"apple", {"red"}}}));
    {
        AdminWrapper wrapper;
        EXPECT_EQ(wrapper.sText2Get("fruit"), "before2");
        EXPECT_TRUE(admin().boIsCached("fruit"));
    }
    // Rewritten with an older time: a new admin has no record, so it reads
    // the file anyway.
    const fs::file_time_type stamp = fs::last_write_time(fileAt("fruit", cache::User));
    vWriteLevel("fruit", cache::User, mappingMake("fruit", "after", {{"apple", {"green"}}}));
    fs::last_write_time(fileAt("fruit", cache::User), stamp - std::chrono::seconds(60));

    AdminWrapper::vAdminReset();
    AdminWrapper wrapper;
    EXPECT_FALSE(admin().boIsCached("fruit"));
    EXPECT_EQ(wrapper.sText2Get("fruit"), "after2");
    EXPECT_TRUE(wrapper.boMappingExists("fruit", "apple", "green"));
    EXPECT_FALSE(wrapper.boMappingExists("fruit", "apple", "red"));
}

TEST_F(AdminWrapperTest, ConcurrentFirstWrappersShareOneAdmin) {
    // Several threads make the first wrapper of a fresh owner at once; all
    // must land on the same admin and see the same cache entry.
    AdminWrapper::vAdminReset();
    constexpr int kThreads = 6;
    std::vector<AdminWrapper::Cache*> seen(kThreads, nullptr); // one slot per thread
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int index = 0; index < kThreads; ++index) {
        threads.emplace_back([&, index] {
            start.arrive_and_wait();
            AdminWrapper wrapper;
            seen[static_cast<std::size_t>(index)] = wrapper.cachesGet("common");
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (AdminWrapper::Cache* cache : seen) {
        EXPECT_EQ(cache, seen.front());
    }
    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.cachesGet("common"), seen.front());
}

TEST_F(AdminWrapperTest, ConcurrentResetsAndWrappersLoseNoAdmin) {
    // Resets racing with wrapper creation must neither leak an admin (the
    // address sanitizer build would report it) nor leave two behind: after
    // the threads, one owner holds one admin that every new wrapper shares.
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int index = 0; index < kThreads; ++index) {
        threads.emplace_back([&, index] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                if ((round + index) % 2 == 0) {
                    AdminWrapper::vAdminReset();
                } else {
                    (void)bridge::classification::adminInstanceGet();
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    AdminWrapper one;
    AdminWrapper two;
    EXPECT_EQ(one.cachesGet("x"), two.cachesGet("x"));
}

// A host learns whether its edits reached the file, and sees what other
// programs wrote once it refreshes: the change count tells it cheaply.
TEST_F(AdminWrapperTest, AHostSavesAndChecksAndRefreshesWhatOthersWrote) {
    using namespace std::chrono_literals;
    vWriteLevel("tree", cache::User, mappingMake("tree", "t", {{"oak", {"leaf"}}}));
    setFileTime(fileAt("tree", cache::User), -100s);
    AdminWrapper wrapper;
    {
        auto access = wrapper.writeAccessGet("tree");
        ASSERT_TRUE(access.boLockFile(cache::User));
        ASSERT_TRUE(access.boAddMapping("elm", "seed", cache::User));
        // Every write of the file makes no progress: false, and the store
        // goes back to what the file holds.
        platform::systemCalls().write = [](int, const void*, size_t) -> ssize_t { return 0; };
        EXPECT_FALSE(access.boWriteBack());
        platform::vSystemCallsReset();
        EXPECT_FALSE(wrapper.boMappingExists("tree", "elm", "seed"));
        ASSERT_TRUE(access.boAddMapping("elm", "seed", cache::User));
        EXPECT_TRUE(access.boWriteBack());
        const auto written = fs::last_write_time(fileAt("tree", cache::User));
        EXPECT_TRUE(access.boWriteBack()); // nothing changed since: not rewritten
        EXPECT_EQ(fs::last_write_time(fileAt("tree", cache::User)), written);
    }
    Mapping onDisk;
    ASSERT_TRUE(readMapping(fileAt("tree", cache::User), onDisk));
    EXPECT_EQ(onDisk.sourceToClassified.at("elm"), std::set<std::string>{"seed"});

    // Nothing changed: the set pointers stay valid.
    const std::set<std::string>* oak = wrapper.pClassifiedIdsGet("tree", "oak");
    const std::uint64_t count = wrapper.changeCountGet("tree");
    EXPECT_FALSE(wrapper.boRefresh("tree"));
    EXPECT_EQ(wrapper.pClassifiedIdsGet("tree", "oak"), oak);
    EXPECT_EQ(wrapper.changeCountGet("tree"), count);

    // Another program rewrites the file: seen after the refresh only.
    vWriteLevel("tree", cache::User, mappingMake("tree", "t", {{"oak", {"bark"}}}));
    EXPECT_TRUE(wrapper.boMappingExists("tree", "oak", "leaf"));
    EXPECT_EQ(wrapper.changeCountGet("tree"), count);
    EXPECT_TRUE(wrapper.boRefresh("tree"));
    EXPECT_TRUE(wrapper.boMappingExists("tree", "oak", "bark"));
    EXPECT_NE(wrapper.changeCountGet("tree"), count);
    EXPECT_EQ(wrapper.changeCountGet("never-loaded"), 0U);

    // The file stops reading: the level keeps what it held, and the refresh
    // says so in a record and in its failure value, at every refresh.
    writeFile(fileAt("tree", cache::User), "<classification version=\"1\" id=\"tree\">\n  <relation>\n");
    const AssertCapture capture;
    classification::Failure failure;
    for (int refresh = 0; refresh < 2; ++refresh) {
        EXPECT_FALSE(wrapper.boRefresh("tree", failure));
        EXPECT_TRUE(wrapper.boMappingExists("tree", "oak", "bark"));
        EXPECT_EQ(failure.level, cache::User);
        EXPECT_EQ(failure.file, fileAt("tree", cache::User));
        EXPECT_EQ(failure.kind, classification::FailureKind::NotWellFormed);
        EXPECT_EQ(failure.error, 0);
        EXPECT_NE(failure.sReason.find(" at line 2, column "), std::string::npos) << failure.sReason;
    }
    EXPECT_FALSE(wrapper.boRefresh("tree"));
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>(3, "Level file does not read; the level keeps what it held"));
    EXPECT_EQ(capture.functions(), std::vector<std::string>(3, "vyr::classification::Admin::boRefresh"));
    // Once it reads again, the refresh takes it and the value is empty.
    vWriteLevel("tree", cache::User, mappingMake("tree", "t", {{"oak", {"root"}}}));
    EXPECT_TRUE(wrapper.boRefresh("tree", failure));
    EXPECT_FALSE(failure.boFailed());
    EXPECT_TRUE(wrapper.boMappingExists("tree", "oak", "root"));
}

// A module reads a whole classification through mappingsGet: the merged
// pairs, copied under the store's lock, so a refresh on another thread never
// shows it half of one version and half of the other.
TEST_F(AdminWrapperTest, MappingsGetCopiesTheMergedPairsUnderTheLock) {
    const Relation shared{{"oak", {"leaf"}}, {"elm", {"seed", "bark"}}};
    const Relation userA{{"oak", {"acorn"}}, {"ash", {"key"}}};
    const Relation userB{{"oak", {"twig", "bud"}}, {"yew", {"berry"}}};
    vWriteLevel("tree", cache::Shared, mappingMake("tree", "s", shared));
    vWriteLevel("tree", cache::User, mappingMake("tree", "u", userA));
    const Pairs pairsA = pairsOf(mergeOf({{cache::Shared, mappingMake("tree", "s", shared)},
                                          {cache::User, mappingMake("tree", "u", userA)}}));
    const Pairs pairsB = pairsOf(mergeOf({{cache::Shared, mappingMake("tree", "s", shared)},
                                          {cache::User, mappingMake("tree", "u", userB)}}));
    ASSERT_NE(pairsA, pairsB);

    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.mappingsGet("tree"), pairsA);
    EXPECT_EQ(wrapper.mappingsGet("tree"), admin().mappingsGet("tree"));
    EXPECT_TRUE(wrapper.mappingsGet("no-such-id").empty());

    // One thread rewrites the user level and refreshes; the other reads.
    constexpr int kRounds = 40;
    std::barrier start(2);
    std::thread writer([&] {
        start.arrive_and_wait();
        for (int round = 1; round <= kRounds; ++round) {
            vWriteLevel("tree", cache::User, mappingMake("tree", "u", round % 2 == 0 ? userA : userB));
            setFileTime(fileAt("tree", cache::User), std::chrono::seconds(round));
            (void)wrapper.boRefresh("tree");
        }
    });
    start.arrive_and_wait();
    for (int round = 0; round < kRounds; ++round) {
        const Pairs seen = wrapper.mappingsGet("tree");
        EXPECT_TRUE(seen == pairsA || seen == pairsB);
    }
    writer.join();
    EXPECT_EQ(wrapper.mappingsGet("tree"), pairsA);
}

TEST_F(AdminWrapperTest, TheStorePublishesItsRules) {
    // What a text and an id may hold, in the store's words.
    EXPECT_EQ(AdminWrapper::sTextProblemGet("caf\xC3\xA9 / \t"), "");
    EXPECT_EQ(AdminWrapper::sTextProblemGet("ab\xFF"), "the text is not valid UTF-8 at byte 2 of the value");
    EXPECT_EQ(AdminWrapper::sTextProblemGet("bell\a"),
              "the text holds a character that XML 1.0 cannot represent at byte 4 of the value");
    for (const std::string id : {"a.b", "m.xml", "sub/x", "1:x"}) {
        EXPECT_EQ(AdminWrapper::sIdProblemGet(id), "") << id;
    }
    for (const std::string id : {"", "..", "../x", "/abs", "C:x", "a/", "a/.", "x\x07"}) {
        EXPECT_NE(AdminWrapper::sIdProblemGet(id), "") << id;
    }

    // Where each level's folder is, and the file of an id in it.
    AdminWrapper wrapper;
    for (const cache::Level level : {cache::Sys, cache::Shared, cache::User}) {
        EXPECT_EQ(wrapper.levelFolderGet(level), levelFolder(level));
    }
    EXPECT_EQ(wrapper.levelFilePathGet("a.b", cache::User), fileAt("a.b", cache::User));
    EXPECT_EQ(wrapper.levelFilePathGet("../x", cache::User), fs::path());

    // What a lock refuses.
    vWriteLevel("plain", cache::User, Mapping("plain", "", "", "", "", false, false));
    vWriteLevel("shared", cache::User, Mapping("shared", "", "", "", "", false, false));
    fs::create_hard_link(fileAt("shared", cache::User), folder / "second-name.xml");
    fs::create_symlink(fileAt("plain", cache::User), fileAt("link", cache::User));
    fs::create_directories(fileAt("folder", cache::User));
    using Refusal = AdminWrapper::LockRefusal;
    EXPECT_EQ(AdminWrapper::lockRefusalGet(fileAt("plain", cache::User)), Refusal::None);
    EXPECT_EQ(AdminWrapper::lockRefusalGet(fileAt("missing", cache::User)), Refusal::None);
    EXPECT_EQ(AdminWrapper::lockRefusalGet(fileAt("shared", cache::User)), Refusal::SeveralNames);
    EXPECT_EQ(AdminWrapper::lockRefusalGet(fileAt("link", cache::User)), Refusal::SymbolicLink);
    EXPECT_EQ(AdminWrapper::lockRefusalGet(fileAt("folder", cache::User)), Refusal::NotAFile);

    // Which levels list a source id, highest first.
    Mapping sys("m", "", "", "", "", false, false);
    sys.sourceToClassified = {{"both", {"a"}}, {"low", {"b"}}};
    Mapping user("m", "", "", "", "", false, false);
    user.sourceToClassified = {{"both", {}}, {"high", {"c"}}};
    vWriteLevel("m", cache::Sys, sys);
    vWriteLevel("m", cache::User, user);
    const AdminWrapper::Cache& cache = *wrapper.cachesGet("m");
    using Levels = std::vector<cache::Level>;
    EXPECT_EQ(AdminWrapper::sourceLevelsGet(cache, "both"), (Levels{cache::User, cache::Sys}));
    EXPECT_EQ(AdminWrapper::sourceLevelsGet(cache, "low"), (Levels{cache::Sys}));
    EXPECT_EQ(AdminWrapper::sourceLevelsGet(cache, "none"), Levels());
}

} // namespace
} // namespace vyr::test
