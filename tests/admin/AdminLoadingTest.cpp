// Loading of classifications from their level files: what the first query
// reads, when a file is read again, and what a file that does not parse
// leaves behind.

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>

#include "tests/common/FileTimes.h"
#include "tests/common/StoreFixture.h"

namespace vyr::test {
namespace {

using namespace std::chrono_literals;
using classification::Failure;
using classification::WriteAccess;

class AdminLoadingTest : public StoreFixture {};

TEST_F(AdminLoadingTest, FirstQueryReadsSysAndUserWithTheTopLevelDeciding) {
    Mapping sys = mappingOf("from-sys", {{"apple", {"green", "red"}}, {"stone", {"grey"}}}, "sys");
    Mapping user = mappingOf("from-user", {{"apple", {"yellow"}}}, "user");
    user.sText5.clear(); // empty at the top level, set below it
    vWriteLevel("fruit", cache::Sys, sys);
    vWriteLevel("fruit", cache::User, user);

    AdminWrapper wrapper;
    EXPECT_FALSE(admin().boIsCached("fruit"));
    EXPECT_EQ(wrapper.sText2Get("fruit"), "user2");
    ASSERT_TRUE(admin().boIsCached("fruit"));

    {
        Admin& target = admin();
        const std::lock_guard lock(target.mutex);
        const Admin::Cache& cache = target.caches.find("fruit")->second;
        ASSERT_EQ(cache.levels.size(), 2U);
        EXPECT_EQ(cache.levels.at(cache::Sys), sys);
        EXPECT_EQ(cache.levels.at(cache::User), user);
        // The cache's id follows the mapping stored last: User is read
        // first, Sys after it.
        EXPECT_EQ(cache.id, "from-sys");
        // The merged view was rebuilt after both reads.
        const Relation expected{{"apple", {"yellow"}}, {"stone", {"grey"}}};
        EXPECT_EQ(Relation(cache.merged.sourceToClassified.begin(), cache.merged.sourceToClassified.end()),
                  expected);
        EXPECT_EQ(cache.merged.classifiedToSourceGet().count("green"), 0U);
        EXPECT_EQ(cache.merged.classifiedToSourceGet().count("yellow"), 1U);

        const auto& records = target.files.find("fruit")->second;
        EXPECT_EQ(records.at(cache::Sys).lastWrite, vyr::test::lastWriteTicksGet(fileAt("fruit", cache::Sys)));
        EXPECT_EQ(records.at(cache::User).lastWrite, vyr::test::lastWriteTicksGet(fileAt("fruit", cache::User)));
        EXPECT_GT(records.at(cache::User).lastWrite, 0);
        EXPECT_EQ(records.at(cache::Shared).lastWrite, 0);
    }

    // Every text getter reads the top mapping alone.
    EXPECT_EQ(wrapper.sText3Get("fruit"), "user3");
    EXPECT_EQ(wrapper.sText4Get("fruit"), "user4");
    EXPECT_EQ(wrapper.sText5Get("fruit"), "");
    EXPECT_EQ(wrapper.sText6Get("fruit"), "user6");
    EXPECT_TRUE(wrapper.boMappingExists("fruit", "apple", "yellow"));
    EXPECT_FALSE(wrapper.boMappingExists("fruit", "apple", "green"));
    EXPECT_TRUE(wrapper.boMappingExists("fruit", "stone", "grey"));
}

// A mapping of the id with up to six random source ids (s0 to s5), each
// with up to three classified ids (c0 to c3), texts telling the level.
template <typename Pick>
Mapping randomMappingOf(const std::string& id, Level level, Pick& pick) {
    Mapping mapping = mappingOf(id, {}, "level" + std::to_string(level) + "-");
    for (int entry = pick(6); entry > 0; --entry) {
        std::set<std::string>& set = mapping.sourceToClassified["s" + std::to_string(pick(6))];
        for (int classified = pick(3); classified > 0; --classified) {
            set.insert("c" + std::to_string(pick(4)));
        }
    }
    return mapping;
}

// A question about one source id read straight from the level files gives
// what the full load shows of it: the same levels (a file that does not
// read is left out of both), the same texts and flags, the same entries of
// the source id at each level (a source id listed twice is read as the
// union), the same merged set and the same deciding and hidden levels.
// Random files at random levels, random source ids (s6 is never listed).
TEST_F(AdminLoadingTest, OneSourceReadAnswersAsTheFullLoad) {
    std::mt19937 random(2024);
    const auto pick = [&random](unsigned count) { return static_cast<int>(random() % count); };
    const auto headerOf = [](Mapping mapping) {
        mapping.sourceToClassified.clear();
        mapping.secondRelation.clear();
        return mapping;
    };
    const auto entryOf = [](const Mapping::Relation& relation, const std::string& source) {
        const auto found = relation.find(source);
        return found == relation.end() ? std::optional<std::set<std::string>>() : found->second;
    };
    for (int round = 0; round < 40; ++round) {
        const std::string id = "random" + std::to_string(round);
        for (const Level level : {cache::Sys, cache::Shared, cache::User}) {
            const int shape = pick(6);
            if (shape == 1) {
                writeFile(fileAt(id, level), "<classification version=\"1\"><relation><source id=\"s1\">");
            } else if (shape == 2) {
                writeFile(fileAt(id, level), "<classification version=\"1\" text2=\"twice\"><relation>"
                                             "<source id=\"s1\"><classified id=\"c1\"/></source><source id=\"s2\"/>"
                                             "<source id=\"s1\"><classified id=\"c2\"/></source></relation>"
                                             "<secondRelation><source id=\"s1\"/></secondRelation></classification>");
            } else if (shape > 2) {
                vWriteLevel(id, level, randomMappingOf(id, level, pick));
            }
        }
        AdminWrapper wrapper;
        for (int question = 0; question < 5; ++question) {
            const std::string source = "s" + std::to_string(pick(7));
            SCOPED_TRACE(id + ", source " + source);
            const Admin::Cache one = wrapper.sourceCacheRead(id, source);
            const Admin::Cache& full = *wrapper.cachesGet(id);
            ASSERT_EQ(one.levels.size(), full.levels.size());
            for (const auto& [level, mapping] : one.levels) {
                ASSERT_EQ(full.levels.count(level), 1U) << level;
                const Mapping& whole = full.levels.at(level);
                EXPECT_EQ(headerOf(mapping), headerOf(whole)) << level;
                EXPECT_EQ(entryOf(mapping.sourceToClassified, source), entryOf(whole.sourceToClassified, source));
            }
            EXPECT_EQ(entryOf(Mapping::Relation(one.merged.sourceToClassified.begin(),
                                                one.merged.sourceToClassified.end()), source),
                      entryOf(Mapping::Relation(full.merged.sourceToClassified.begin(),
                                                full.merged.sourceToClassified.end()), source));
            EXPECT_EQ(AdminWrapper::sourceLevelsGet(one, source), AdminWrapper::sourceLevelsGet(full, source));
            if (!one.levels.empty()) {
                EXPECT_EQ(one.id, full.id);
            }
        }
    }
}

// An edit through a one-source write access leaves every level file with
// the bytes that the same edit through the store's own access leaves, and
// fails or succeeds alike (a file that does not read is refused with the
// same reason); its cache shows the source id as the store's view then
// does. Random files (some laid out by hand: comments, unsorted and
// repeated source ids, a second relation), random edits at random levels.
TEST_F(AdminLoadingTest, OneSourceEditWritesWhatTheFullEditWrites) {
    std::mt19937 random(37);
    const auto pick = [&random](unsigned count) { return static_cast<int>(random() % count); };
    const std::array<Level, 3> levels = {cache::Sys, cache::Shared, cache::User};
    for (int round = 0; round < 60; ++round) {
        const std::string id = "edit" + std::to_string(round);
        std::map<Level, std::string> before;
        for (const Level level : levels) {
            const int shape = pick(6);
            if (shape == 1) {
                before[level] = "<classification version=\"1\"><relation><source id=\"s1\">";
            } else if (shape == 2) {
                before[level] = "<?xml version=\"1.0\"?>\n<!-- by hand -->\n<classification version=\"1\" text2=\"h\">\n"
                                "    <relation>\n        <source id=\"s4\"><classified id=\"c0\"/></source>\n"
                                "        <source id=\"s1\"/>\n        <source id=\"s4\"><classified id=\"c2\"/></source>\n"
                                "    </relation>\n    <secondRelation><source id=\"s1\"/></secondRelation>\n"
                                "</classification>\n";
            } else if (shape > 2) {
                vWriteLevel(id, level, randomMappingOf(id, level, pick));
                before[level] = readFile(fileAt(id, level));
            }
        }
        const std::string source = "s" + std::to_string(pick(7));
        const std::string classified = "c" + std::to_string(pick(5));
        const Level level = pick(2) == 0 ? cache::User : cache::Shared;
        const int edit = pick(5);
        SCOPED_TRACE(id + ": edit " + std::to_string(edit) + " of " + source + " -> " + classified);
        std::map<Level, std::string> after[2];
        std::string reasons[2];
        std::optional<std::set<std::string>> shown[2];
        for (int way = 0; way < 2; ++way) {
            AdminWrapper::vAdminReset();
            for (const Level at : levels) {
                std::filesystem::remove(fileAt(id, at));
                if (before.count(at) != 0) {
                    writeFile(fileAt(id, at), before[at]);
                }
            }
            AdminWrapper wrapper;
            {
                WriteAccess access = way == 0 ? wrapper.writeAccessGet(id) : wrapper.sourceWriteAccessGet(id, source);
                bool boDone = access.boLockFile(level);
                if (boDone) {
                    switch (edit) {
                    case 0: boDone = access.boAddMapping(source, classified, level); break;
                    case 1: boDone = access.boSetMapping(source, classified, level); break;
                    case 2: access.vMappingRemove(source, classified, level); break;
                    case 3: access.vMappedToSourceRemove(source, level); break;
                    default: access.vMappedToSourceInherit(source, level); break;
                    }
                    boDone = boDone && access.boWriteBack();
                }
                reasons[way] = boDone ? "" : access.failureGet().sWhat + ": " + access.failureGet().sReason;
                const Admin::Cache* cache = way == 0 ? wrapper.cachesGet(id) : access.pSourceCacheGet();
                if (const auto* set = cache == nullptr ? nullptr : cache->merged.pClassifiedIdsGet(source)) {
                    shown[way] = *set;
                }
            }
            for (const Level at : levels) {
                if (std::filesystem::exists(fileAt(id, at))) {
                    after[way][at] = readFile(fileAt(id, at));
                }
            }
        }
        EXPECT_EQ(reasons[0], reasons[1]);
        EXPECT_EQ(after[0], after[1]);
        EXPECT_EQ(shown[0], shown[1]);
    }

    // A one-source access refuses every edit that reaches beyond its source
    // id, which its write-back would never carry to the file.
    vWriteLevel("other", cache::User, mappingOf("other", {{"s1", {"c1"}}, {"s2", {"c2"}}}));
    const std::string file = readFile(fileAt("other", cache::User));
    AdminWrapper wrapper;
    {
        WriteAccess access = wrapper.sourceWriteAccessGet("other", "s1");
        ASSERT_TRUE(access.boLockFile(cache::User));
        EXPECT_FALSE(access.boAddMapping("s2", "c3", cache::User));
        EXPECT_EQ(access.failureGet().kind, cache::FailureKind::OtherSource);
        access.vMappedToClassifiedRemove("c1", cache::User);
        EXPECT_EQ(access.failureGet().kind, cache::FailureKind::OtherSource);
        EXPECT_FALSE(access.boLevelReplace(cache::User, file));
        EXPECT_EQ(access.failureGet().kind, cache::FailureKind::OtherSource);
        ASSERT_TRUE(access.boWriteBack());
    }
    EXPECT_EQ(readFile(fileAt("other", cache::User)), file);
}

TEST_F(AdminLoadingTest, IdWithoutFilesStaysUncachedUntilCachesGet) {
    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.sText2Get("ghost"), "");
    EXPECT_FALSE(wrapper.boMappingExists("ghost", "a", "b"));
    EXPECT_EQ(wrapper.pClassifiedIdsGet("ghost", "a"), nullptr);
    EXPECT_FALSE(wrapper.boClassificationExists("ghost"));
    EXPECT_FALSE(admin().boIsCached("ghost"));

    // A file that appears while the id is not cached is found by the next query.
    vWriteLevel("late", cache::Shared, mappingOf("late", {{"a", {"b"}}}, "shared"));
    EXPECT_EQ(wrapper.sText2Get("ghost"), "");
    EXPECT_TRUE(wrapper.boMappingExists("late", "a", "b"));

    // Once cached (empty), a later file is not seen by queries...
    Admin::Cache* cache = wrapper.cachesGet("ghost");
    ASSERT_NE(cache, nullptr);
    EXPECT_TRUE(admin().boIsCached("ghost"));
    EXPECT_TRUE(cache->levels.empty());
    vWriteLevel("ghost", cache::User, mappingOf("ghost", {{"a", {"b"}}}, "user"));
    EXPECT_EQ(wrapper.sText2Get("ghost"), "");
    EXPECT_FALSE(wrapper.boMappingExists("ghost", "a", "b"));
    EXPECT_TRUE(wrapper.boClassificationExists("ghost"));

    // ...until writeAccessGet reads the newer files.
    { const auto access = wrapper.writeAccessGet("ghost"); }
    EXPECT_EQ(wrapper.sText2Get("ghost"), "user2");
    EXPECT_TRUE(wrapper.boMappingExists("ghost", "a", "b"));
    EXPECT_EQ(wrapper.cachesGet("ghost"), cache);
}

TEST_F(AdminLoadingTest, CreationReadsTheFilesOfACachedId) {
    AdminWrapper wrapper;
    EXPECT_NE(wrapper.cachesGet("phantom"), nullptr);
    vWriteLevel("phantom", cache::User, mappingOf("phantom", {{"s", {"c"}}}, "user"));
    EXPECT_FALSE(wrapper.boMappingExists("phantom", "s", "c"));

    // Creating at Shared runs the update first, which finds the User file.
    EXPECT_TRUE(wrapper.boCreateClassification("phantom", "n2", "n3", "n4", "n5", true, false, cache::Shared));
    EXPECT_TRUE(wrapper.boMappingExists("phantom", "s", "c"));
    EXPECT_EQ(wrapper.sText2Get("phantom"), "user2");
}

// An update reads a level file again when its status differs from the
// version last read (times, size or identity); a rewrite in place that puts
// the modification time back still changes the status change time.
TEST_F(AdminLoadingTest, AChangedFileIsReadAgainAndTheLockComparesTheContent) {
    vWriteLevel("tree", cache::User, mappingOf("tree", {{"oak", {"leaf"}}}, "first"));
    const fs::path file = fileAt("tree", cache::User);
    setFileTime(file, -100s);
    const fs::file_time_type stamp = fs::last_write_time(file);

    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.sText2Get("tree"), "first2");

    // Rewritten in place, same size, time put back.
    std::string content = readFile(file);
    content.replace(content.find("leaf"), 4, "bark");
    {
        std::fstream inPlace(file, std::ios::in | std::ios::out | std::ios::binary);
        inPlace.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    fs::last_write_time(file, stamp);
    { const auto access = wrapper.writeAccessGet("tree"); }
    EXPECT_TRUE(wrapper.boMappingExists("tree", "oak", "bark"));

    // Restored with an older time: read.
    vWriteLevel("tree", cache::User, mappingOf("tree", {{"oak", {"needle"}}}, "second"));
    fs::last_write_time(file, stamp - 10s);
    { const auto access = wrapper.writeAccessGet("tree"); }
    EXPECT_EQ(wrapper.sText2Get("tree"), "second2");
    EXPECT_TRUE(wrapper.boMappingExists("tree", "oak", "needle"));
    EXPECT_FALSE(wrapper.boMappingExists("tree", "oak", "bark"));

    // A one-source access reads before it locks: rewritten in place
    // meanwhile (same size, time put back), the file is taken as the lock
    // finds it, and the edit goes on top of that.
    vWriteLevel("tree", cache::User, mappingOf("tree", {{"oak", {"leaf"}}}, "first"));
    setFileTime(file, -100s);
    {
        WriteAccess access = wrapper.sourceWriteAccessGet("tree", "oak");
        const fs::file_time_type before = fs::last_write_time(file);
        std::string rewritten = readFile(file);
        rewritten.replace(rewritten.find("leaf"), 4, "bark");
        {
            std::fstream inPlace(file, std::ios::in | std::ios::out | std::ios::binary);
            inPlace.write(rewritten.data(), static_cast<std::streamsize>(rewritten.size()));
        }
        fs::last_write_time(file, before);
        ASSERT_TRUE(access.boLockFile(cache::User));
        EXPECT_EQ(access.pSourceCacheGet()->levels.at(cache::User).sourceToClassified.at("oak"),
                  std::set<std::string>{"bark"});
        ASSERT_TRUE(access.boAddMapping("oak", "twig", cache::User));
        ASSERT_TRUE(access.boWriteBack());
    }
    const std::string written = readFile(file);
    EXPECT_NE(written.find("\"bark\""), std::string::npos) << written;
    EXPECT_NE(written.find("\"twig\""), std::string::npos) << written;
    EXPECT_EQ(written.find("\"leaf\""), std::string::npos) << written;
}

TEST_F(AdminLoadingTest, FileThatFailsToParseIsCachedEmptyAndTriedAgain) {
    const fs::path file = fileAt("broken", cache::User);
    writeFile(file, "<classification version=\"1\" id=\"broken\"><relation>");
    setFileTime(file, -100s);

    const AssertCapture records;
    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.sText2Get("broken"), "");
    EXPECT_EQ(wrapper.pClassifiedIdsGet("broken", "a"), nullptr);
    // The load says nothing; the host asks what it found.
    EXPECT_TRUE(records.messages().empty());
    const std::vector<Failure> unread = wrapper.readFailuresGet("broken");
    ASSERT_EQ(unread.size(), 1U);
    EXPECT_EQ(unread[0].level, cache::User);
    EXPECT_EQ(unread[0].file, file);
    EXPECT_EQ(unread[0].kind, classification::FailureKind::NotWellFormed);
    EXPECT_EQ(unread[0].sReason, "XML parse error: Start-end tags mismatch at line 1, column 50");
    EXPECT_TRUE(records.messages().empty());
    EXPECT_TRUE(admin().boIsCached("broken"));
    EXPECT_TRUE(wrapper.boClassificationExists("broken"));
    {
        Admin& target = admin();
        const std::lock_guard lock(target.mutex);
        EXPECT_TRUE(target.caches.find("broken")->second.levels.empty());
        EXPECT_EQ(target.files.find("broken")->second.at(cache::User).lastWrite, 0);
    }

    // Fixed, and given a newer time: queries still answer from memory, and
    // writeAccessGet reads the file.
    vWriteLevel("broken", cache::User, mappingOf("broken", {{"a", {"b"}}}, "fixed"));
    setFileTime(file, 100s);
    EXPECT_EQ(wrapper.sText2Get("broken"), "");
    EXPECT_EQ(wrapper.readFailuresGet("broken").size(), 1U);
    { const auto access = wrapper.writeAccessGet("broken"); }
    EXPECT_EQ(wrapper.sText2Get("broken"), "fixed2");
    EXPECT_EQ(wrapper.sClassifiedIdGet("broken", "a"), "b");
    EXPECT_TRUE(wrapper.readFailuresGet("broken").empty());
}

TEST_F(AdminLoadingTest, BrokenUpperLevelKeepsTheLowerOne) {
    vWriteLevel("half", cache::Sys, mappingOf("half", {{"a", {"b"}}}, "sys"));
    writeFile(fileAt("half", cache::User), "not a mapping");

    fs::create_directories(fileAt("half", cache::Shared));

    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.sText2Get("half"), "sys2");
    EXPECT_TRUE(wrapper.boMappingExists("half", "a", "b"));
    // Each level that did not read, lowest first; the first query of an id
    // may be this one.
    AdminWrapper::vAdminReset();
    const std::vector<Failure> unread = AdminWrapper().readFailuresGet("half");
    ASSERT_EQ(unread.size(), 2U);
    EXPECT_EQ(unread[0].level, cache::Shared);
    EXPECT_EQ(unread[0].kind, classification::FailureKind::NotRegularFile);
    EXPECT_EQ(unread[0].sReason, "a folder stands where the mapping file should be");
    EXPECT_EQ(unread[1].level, cache::User);
    EXPECT_EQ(unread[1].sReason.rfind("XML parse error: ", 0), 0U) << unread[1].sReason;
    EXPECT_TRUE(AdminWrapper().readFailuresGet("no-such-id").empty());
}

TEST_F(AdminLoadingTest, WriteAccessGetCreatesTheUserAndSharedFolders) {
    AssertCapture capture;
    AdminWrapper wrapper;
    ASSERT_FALSE(fs::exists(levelFolder(cache::User)));
    ASSERT_FALSE(fs::exists(levelFolder(cache::Shared)));

    { const auto access = wrapper.writeAccessGet("nobody"); }

    EXPECT_TRUE(fs::is_directory(levelFolder(cache::User)));
    EXPECT_TRUE(fs::is_directory(levelFolder(cache::Shared)));
    EXPECT_FALSE(fs::exists(folder / "sys"));
    EXPECT_TRUE(admin().boIsCached("nobody"));
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"There is no classification with given id"});
    EXPECT_EQ(capture.functions(), std::vector<std::string>{"vyr::classification::Admin::writeAccessGet"});
}

TEST_F(AdminLoadingTest, WriteAccessEditsReachTheFileAndAreNotReadBack) {
    vWriteLevel("edit", cache::Sys, mappingOf("edit", {{"a", {"b"}}}, "sys"));
    AdminWrapper wrapper;
    {
        auto access = wrapper.writeAccessGet("edit");
        ASSERT_TRUE(access.boLockFile(cache::User));
        EXPECT_TRUE(access.boAddMapping("c", "d", cache::User));
        EXPECT_TRUE(wrapper.boMappingExists("edit", "c", "d"));
        EXPECT_TRUE(wrapper.boMappingExists("edit", "a", "b"));
    }
    // The lock made the User file from the Sys header, without pairs; the
    // edit went into it.
    Mapping written;
    ASSERT_TRUE(readMapping(fileAt("edit", cache::User), written));
    EXPECT_EQ(pairsOf(written.sourceToClassified), (Pairs{{"c", "d"}}));
    EXPECT_EQ(written.sText2, "sys2");
    Admin& target = admin();
    const std::lock_guard lock(target.mutex);
    EXPECT_EQ(target.files.find("edit")->second.at(cache::User).lastWrite,
              vyr::test::lastWriteTicksGet(fileAt("edit", cache::User)));
}

} // namespace
} // namespace vyr::test
