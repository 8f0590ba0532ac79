// The level cache of a classification: storing a level, filling a new level
// from an existing one, removals, and when the merged view is rebuilt.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/StoreTestSupport.h"

namespace vyr::test {
namespace {

constexpr const char* kLevelsFile = "Source/Resource/Classification/ClassificationCacheLevels.h";

TEST(CacheLevelsGetOrCreate, PresentLevelIsReturnedUntouchedWithoutRebuild) {
    CountingCache cache;
    cache.vLevelSet(Sys, mappingOf("sys", {{"s", {"a"}}}), false);
    cache.vLevelSet(User, mappingOf("user", {{"s", {"u"}}}), false);
    const Mapping before = cache.levels.at(User);

    Mapping& got = cache.getOrCreate(User);
    EXPECT_EQ(&got, &cache.levels.at(User));
    EXPECT_EQ(got, before);
    EXPECT_EQ(cache.rebuilds, 0);
    EXPECT_TRUE(cache.merged.sourceToClassified.empty()); // still the view before any rebuild
}

TEST(CacheLevelsGetOrCreate, NewLevelIsACopyOfTheLowestPresentLevel) {
    {
        CountingCache cache;
        cache.vLevelSet(Sys, mappingOf("sys", {{"s", {"a"}}}), false);
        cache.vLevelSet(Shared, mappingOf("shared", {{"s", {"b"}}}), false);
        const Mapping& created = cache.getOrCreate(User);
        EXPECT_EQ(created, cache.levels.at(Sys)); // texts, flags and both relations
        EXPECT_EQ(cache.levels.size(), 3U);
        EXPECT_EQ(cache.rebuilds, 0);
    }
    {
        CountingCache cache;
        cache.vLevelSet(Shared, mappingOf("shared", {{"s", {"b"}}}), false);
        EXPECT_EQ(cache.getOrCreate(User), mappingOf("shared", {{"s", {"b"}}}));
    }
    {
        // Between two present levels: still from the lowest.
        CountingCache cache;
        cache.vLevelSet(Sys, mappingOf("sys", {{"s", {"a"}}}), false);
        cache.vLevelSet(User, mappingOf("user", {{"s", {"u"}}}), false);
        EXPECT_EQ(cache.getOrCreate(Shared), mappingOf("sys", {{"s", {"a"}}}));
        EXPECT_EQ(cache.levels.at(User), mappingOf("user", {{"s", {"u"}}}));
    }
}

TEST(CacheLevelsGetOrCreate, NewLevelBelowEveryPresentLevelStaysEmpty) {
    CountingCache cache;
    cache.vLevelSet(User, mappingOf("user", {{"s", {"u"}}}), false);
    const AssertCapture capture;
    EXPECT_EQ(cache.getOrCreate(Shared), Mapping());
    EXPECT_EQ(cache.getOrCreate(Sys), Mapping());
    EXPECT_EQ(cache.levels.size(), 3U);
    EXPECT_EQ(cache.levels.at(User), mappingOf("user", {{"s", {"u"}}}));
    EXPECT_EQ(capture.count(), 0U);
    EXPECT_EQ(cache.rebuilds, 0);
}

TEST(CacheLevelsGetOrCreate, EmptyCacheReportsAndCreatesAnEmptyLevel) {
    for (const bool boEnabled : {true, false}) {
        CountingCache cache;
        const AssertCapture capture(boEnabled);
        Mapping& created = cache.getOrCreate(Shared);
        EXPECT_EQ(created, Mapping());
        ASSERT_EQ(cache.levels.size(), 1U);
        EXPECT_EQ(&created, &cache.levels.at(Shared));
        EXPECT_EQ(cache.rebuilds, 0);
        if (boEnabled) {
            const std::vector<Report> reports = reportsGet();
            ASSERT_EQ(reports.size(), 1U);
            EXPECT_EQ(reports[0].message, "No existing classification to create from");
            EXPECT_EQ(reports[0].function, "vyr::classification::CacheLevels<enum vyr::cache::Level>::getOrCreate");
            EXPECT_EQ(reports[0].fileName, kLevelsFile);
        } else {
            EXPECT_EQ(capture.count(), 0U);
        }
    }
}

TEST(CacheLevelsRemovals, AtAnAbsentLevelReportEachAndChangeNothing) {
    for (const bool boEnabled : {true, false}) {
        CountingCache cache;
        cache.vLevelSet(Sys, mappingOf("sys", {{"s", {"a", "b"}}}), false);
        const auto before = cache.levels;
        const AssertCapture capture(boEnabled);

        cache.vMappingRemove("s", "a", User);
        cache.vMappedToSourceRemove("s", Shared);
        cache.vMappedToClassifiedRemove("a", User);

        EXPECT_EQ(cache.levels, before);
        EXPECT_EQ(cache.rebuilds, 0);
        EXPECT_TRUE(cache.merged.sourceToClassified.empty());
        if (boEnabled) {
            const std::string message = "No cache to remove mapping from";
            const std::string prefix = "vyr::classification::CacheLevels<enum vyr::cache::Level>::";
            const std::vector<Report> expected = {
                {message, prefix + "vMappingRemove", kLevelsFile, 0},
                {message, prefix + "vMappedToSourceRemove", kLevelsFile, 0},
                {message, prefix + "vMappedToClassifiedRemove", kLevelsFile, 0},
            };
            EXPECT_EQ(reportsGet(), expected);
        } else {
            EXPECT_EQ(capture.count(), 0U);
        }
    }
}

TEST(CacheLevelsRemovals, AtAPresentLevelEditAndRefreshTheViewWithoutRebuild) {
    CountingCache cache;
    cache.vLevelSet(Sys, mappingOf("sys", {{"s", {"a"}}, {"t", {"a", "b"}}}), false);
    cache.vLevelSet(User, mappingOf("user", {{"s", {"a", "c"}}, {"t", {"b"}}}), true);
    ASSERT_EQ(cache.rebuilds, 1);

    // The view was current: each removal refreshes what it touched.
    cache.vMappingRemove("s", "a", User);
    EXPECT_EQ(cache.rebuilds, 1);
    EXPECT_EQ(*cache.merged.pClassifiedIdsGet("s"), (std::set<std::string>{"c"}));

    cache.vMappedToClassifiedRemove("b", User);
    EXPECT_EQ(cache.rebuilds, 1);
    EXPECT_EQ(*cache.merged.pClassifiedIdsGet("t"), std::set<std::string>());

    cache.vMappedToSourceRemove("s", User);
    EXPECT_EQ(cache.rebuilds, 1);
    // Emptied through removals, the level is still present and still decides.
    ASSERT_EQ(cache.levels.count(User), 1U);
    EXPECT_EQ(cache.levels.at(User).sourceToClassified, (Mapping::Relation{{"s", {}}, {"t", {}}}));
    EXPECT_EQ(cache.merged.mappingsGet(), Pairs());

    cache.vMappingRemove("nothing", "here", User);
    EXPECT_EQ(cache.rebuilds, 1);
    EXPECT_EQ(cache.merged.pClassifiedIdsGet("nothing"), nullptr);

    // After a level was stored without the hook, the next removal rebuilds.
    cache.vLevelSet(Shared, mappingOf("shared", {{"u", {"d"}}}), false);
    cache.vMappedToClassifiedRemove("x", Sys);
    EXPECT_EQ(cache.rebuilds, 2);
    EXPECT_EQ(cache.merged.mappingsGet(), (Pairs{{"u", "d"}}));
}

TEST(CacheLevelsSet, RebuildsOnlyWhenAsked) {
    CountingCache cache;
    Mapping sys = mappingOf("sys", {{"s", {"a"}}});
    cache.vLevelSet(Sys, sys, false);
    EXPECT_EQ(cache.rebuilds, 0);
    EXPECT_TRUE(cache.merged.sourceToClassified.empty());
    cache.vChanged();
    EXPECT_EQ(cache.merged.sourceToClassified, (Relation{{"s", {"a"}}}));

    // A whole copy is stored: the caller's mapping stays its own.
    sys.vMappingAdd("s", "late");
    EXPECT_EQ(cache.levels.at(Sys).sourceToClassified, (Mapping::Relation{{"s", {"a"}}}));

    cache.vLevelSet(User, mappingOf("user", {{"s", {"u"}}}), true);
    EXPECT_EQ(cache.rebuilds, 2);
    EXPECT_EQ(cache.merged.sourceToClassified, (Relation{{"s", {"u"}}}));

    // Storing over a present level replaces it entirely.
    cache.vLevelSet(User, mappingOf("user", {{"t", {"v"}}}), true);
    EXPECT_EQ(cache.merged.sourceToClassified, (Relation{{"s", {"a"}}, {"t", {"v"}}}));
}

TEST(CacheLevelsSet, IdFollowsTheMappingStoredLast) {
    CountingCache cache;
    EXPECT_EQ(cache.id, "");
    cache.vLevelSet(User, mappingOf("from-user"), false);
    EXPECT_EQ(cache.id, "from-user");
    cache.vLevelSet(Sys, mappingOf("from-sys"), false); // lower level, stored last
    EXPECT_EQ(cache.id, "from-sys");
    // Editing through the other operations leaves it alone.
    cache.getOrCreate(Shared).sId = "edited";
    cache.vMappingRemove("s", "c", Shared);
    EXPECT_EQ(cache.id, "from-sys");
}

TEST(CacheLevelsTop, TopMappingIsTheHighestPresentLevel) {
    CountingCache cache;
    EXPECT_EQ(cache.pTopMappingGet(), nullptr);
    cache.vLevelSet(Shared, mappingOf("shared"), false);
    cache.vLevelSet(Sys, mappingOf("sys"), false);
    EXPECT_EQ(cache.pTopMappingGet(), &cache.levels.at(Shared));
    cache.vLevelSet(User, mappingOf("user"), false);
    EXPECT_EQ(cache.pTopMappingGet(), &cache.levels.at(User));
    EXPECT_EQ(cache.pTopMappingGet()->sId, "user");
}

} // namespace
} // namespace vyr::test
