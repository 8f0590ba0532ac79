// The merged view of a classification: the merge rule, its inverse relation
// and the lookups on it.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Source/Resource/Classification/ClassificationCacheMerged.h"
#include "tests/store/StoreTestSupport.h"

namespace vyr::test {
namespace {

constexpr const char* kMergedFile = "Source/Resource/Classification/ClassificationCacheMerged.h";

// Checks both invariants of a rebuilt view: the two relations hold the same
// pairs, and the inverse relation holds no empty set.
void expectConsistent(const classification::CacheMerged<Level>& merged) {
    Pairs forward;
    for (const auto& [source, classified] : merged.sourceToClassified) {
        for (const std::string& id : classified) {
            forward.emplace(source, id);
        }
    }
    Pairs backward;
    for (const auto& [id, sources] : merged.classifiedToSourceGet()) {
        EXPECT_FALSE(sources.empty()) << "empty source set under " << id;
        for (const std::string& source : sources) {
            backward.emplace(source, id);
        }
    }
    EXPECT_EQ(forward, backward);
}

TEST(MergeRule, HigherLevelReplacesTheWholeSetAndNeverUnites) {
    CountingCache cache;
    cache.vLevelSet(Sys, mappingOf("m", {{"s1", {"a", "b"}}, {"s2", {"x"}}, {"s3", {"a", "b", "c"}}}), false);
    cache.vLevelSet(Shared, mappingOf("m", {{"s3", {"b"}}}), false);
    cache.vLevelSet(User, mappingOf("m", {{"s1", {"c"}}}), true);

    const auto& merged = cache.merged;
    EXPECT_EQ(merged.sourceToClassified, (Relation{{"s1", {"c"}}, {"s2", {"x"}}, {"s3", {"b"}}}));
    // The inverse comes from the merged result: a and the Sys pairs of s1
    // and s3 are gone.
    EXPECT_EQ(merged.classifiedToSourceGet(), (Relation{{"b", {"s3"}}, {"c", {"s1"}}, {"x", {"s2"}}}));
    expectConsistent(merged);

    // Three levels listing one source id: the highest decides.
    cache.vLevelSet(Sys, mappingOf("m", {{"t", {"a"}}}), false);
    cache.vLevelSet(Shared, mappingOf("m", {{"t", {"b"}}}), false);
    cache.vLevelSet(User, mappingOf("m", {{"t", {"c"}}}), true);
    EXPECT_EQ(merged.sourceToClassified, (Relation{{"t", {"c"}}}));
    cache.levels.erase(User);
    cache.vChanged();
    EXPECT_EQ(merged.sourceToClassified, (Relation{{"t", {"b"}}}));
    EXPECT_EQ(merged.classifiedToSourceGet(), (Relation{{"b", {"t"}}}));
}

TEST(MergeRule, AnEmptySetAtTheTopLevelDecides) {
    CountingCache cache;
    cache.vLevelSet(Sys, mappingOf("m", {{"s1", {"a", "b"}}, {"s2", {"a"}}}), false);
    cache.vLevelSet(User, mappingOf("m", {{"s1", {}}}), true);

    const auto& merged = cache.merged;
    EXPECT_EQ(merged.sourceToClassified, (Relation{{"s1", {}}, {"s2", {"a"}}}));
    EXPECT_EQ(merged.classifiedToSourceGet(), (Relation{{"a", {"s2"}}}));
    const std::set<std::string>* classified = merged.pClassifiedIdsGet("s1");
    ASSERT_NE(classified, nullptr);
    EXPECT_TRUE(classified->empty());
    EXPECT_EQ(merged.pSourceIdsGet("b"), nullptr);
    EXPECT_EQ(merged.mappingsGet(), (Pairs{{"s2", "a"}}));
    expectConsistent(merged);
}

TEST(MergeRule, SourceOnlyAtSysSurvivesEditsAtUser) {
    CountingCache cache;
    cache.vLevelSet(Sys, mappingOf("m", {{"s1", {"a"}}, {"s2", {"b"}}}), false);
    cache.vLevelSet(User, mappingOf("m", {{"s2", {"c"}}}), true);

    cache.mappingAtLevel(User).vMappingSet("s2", "d");
    cache.vChanged();
    EXPECT_EQ(cache.merged.sourceToClassified, (Relation{{"s1", {"a"}}, {"s2", {"d"}}}));

    cache.mappingAtLevel(User).vMappingAdd("s3", "a");
    cache.vChanged();
    EXPECT_EQ(cache.merged.sourceToClassified, (Relation{{"s1", {"a"}}, {"s2", {"d"}}, {"s3", {"a"}}}));
    EXPECT_EQ(cache.merged.classifiedToSourceGet(), (Relation{{"a", {"s1", "s3"}}, {"d", {"s2"}}}));

    // Emptying s2 at User keeps it listed there: the Sys pair does not come back.
    cache.vMappedToSourceRemove("s2", User);
    EXPECT_EQ(cache.merged.sourceToClassified, (Relation{{"s1", {"a"}}, {"s2", {}}, {"s3", {"a"}}}));
    EXPECT_EQ(cache.merged.pSourceIdsGet("b"), nullptr);
    expectConsistent(cache.merged);
}

// Random edits on every level, each followed by a rebuild, always agree with
// the plain merge computed here.
TEST(MergeRule, RandomEditsAgreeWithAPlainMerge) {
    const std::vector<std::string> sources = {"s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7"};
    const std::vector<std::string> classifiedIds = {"c0", "c1", "c2", "c3", "c4"};
    const Level allLevels[] = {Sys, Shared, User};
    std::vector<std::string> probes = sources;
    probes.insert(probes.end(), classifiedIds.begin(), classifiedIds.end());

    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 engine(seed);
        const auto pick = [&engine](const auto& values) {
            return values[std::uniform_int_distribution<std::size_t>(0, std::size(values) - 1)(engine)];
        };
        CountingCache cache;
        for (int step = 0; step < 200; ++step) {
            const Level level = pick(allLevels);
            const std::string& source = pick(sources);
            const std::string& classified = pick(classifiedIds);
            switch (std::uniform_int_distribution<int>(0, 7)(engine)) {
            case 0:
                cache.mappingAtLevel(level).vMappingAdd(source, classified);
                cache.vChanged();
                break;
            case 1:
                cache.mappingAtLevel(level).vMappingSet(source, classified);
                cache.vChanged();
                break;
            case 2:
                cache.vMappingRemove(source, classified, level);
                break;
            case 3:
                cache.vMappedToSourceRemove(source, level);
                break;
            case 4:
                cache.vMappedToClassifiedRemove(classified, level);
                break;
            case 5:
                cache.levels.erase(level);
                cache.vChanged();
                break;
            case 6: {
                Mapping mapping = mappingOf("m");
                for (const std::string& each : sources) {
                    if (engine() % 3 == 0) {
                        mapping.vMappingAdd(each, pick(classifiedIds));
                    }
                }
                cache.vLevelSet(level, mapping, true);
                break;
            }
            default:
                cache.mappingAtLevel(level).sourceToClassified.erase(source);
                cache.vChanged();
                break;
            }
            const auto [sourceToClassified, classifiedToSource] = mergeOf(cache.levels);
            ASSERT_EQ(cache.merged.sourceToClassified, sourceToClassified) << "seed " << seed << " step " << step;
            ASSERT_EQ(cache.merged.classifiedToSourceGet(), classifiedToSource) << "seed " << seed << " step " << step;
            expectConsistent(cache.merged);
            expectIndexExact(cache.merged, probes, "seed " + std::to_string(seed) + " step " + std::to_string(step));
            if (HasFailure()) {
                return;
            }
        }
        // A copy indexes its own entries; a move takes the indexes along.
        classification::CacheMerged<Level> copy(cache.merged);
        cache.vChanged();
        expectIndexExact(copy, probes, "copy");
        const classification::CacheMerged<Level> moved(std::move(copy));
        expectIndexExact(moved, probes, "moved");
        EXPECT_EQ(moved.sourceToClassified, cache.merged.sourceToClassified);
    }
}

// One classification whose merged view has a source id with one classified
// id, one with several, one with an empty set, and a classified id shared by
// three source ids from two levels.
class MergedLookups : public ::testing::Test {
protected:
    void SetUp() override {
        cache.vLevelSet(Sys, mappingOf("m", {{"one", {"x"}}, {"many", {"b", "a", "A"}}, {"shared1", {"k"}}}), false);
        cache.vLevelSet(User, mappingOf("m", {{"empty", {}}, {"shared2", {"k"}}, {"shared0", {"k"}}}), true);
    }
    CountingCache cache;
};

TEST_F(MergedLookups, AbsentIdsGiveNullOrEmptyWithoutAReport) {
    const AssertCapture capture;
    const auto& merged = cache.merged;
    EXPECT_EQ(merged.pClassifiedIdsGet("absent"), nullptr);
    EXPECT_EQ(merged.pClassifiedIdsGet(""), nullptr);
    EXPECT_EQ(merged.pSourceIdsGet("absent"), nullptr);
    EXPECT_EQ(merged.sClassifiedIdGet("absent"), "");
    EXPECT_EQ(merged.sSourceIdGet("absent"), "");
    // A key that is a prefix of a stored one is not found either.
    EXPECT_EQ(merged.pClassifiedIdsGet("on"), nullptr);
    EXPECT_EQ(capture.count(), 0U);
}

TEST_F(MergedLookups, AnEmptySetGivesTheEmptyStringWithoutAReport) {
    const AssertCapture capture;
    EXPECT_EQ(cache.merged.sClassifiedIdGet("empty"), "");
    EXPECT_EQ(capture.count(), 0U);
}

TEST_F(MergedLookups, PointerLookupsReturnTheStoredSet) {
    const auto& merged = cache.merged;
    EXPECT_EQ(merged.pClassifiedIdsGet("many"), &merged.sourceToClassified.find("many")->second);
    EXPECT_EQ(*merged.pClassifiedIdsGet("many"), (std::set<std::string>{"A", "a", "b"}));
    EXPECT_EQ(merged.pSourceIdsGet("k"), &merged.classifiedToSourceGet().find("k")->second);
    EXPECT_EQ(*merged.pSourceIdsGet("k"), (std::set<std::string>{"shared0", "shared1", "shared2"}));
}

TEST_F(MergedLookups, SeveralIdsGiveTheSmallestAndOneReportWhenEnabled) {
    const auto& merged = cache.merged;
    {
        const AssertCapture capture;
        EXPECT_EQ(merged.sClassifiedIdGet("many"), "A"); // byte order: upper case first
        EXPECT_EQ(merged.sClassifiedIdGet("one"), "x");
        const std::vector<Report> reports = reportsGet();
        ASSERT_EQ(reports.size(), 1U);
        EXPECT_EQ(reports[0].message,
                  "sClassifiedIdGet called when there is multiple classified. Use pClassifiedIdsGet() instead");
        EXPECT_EQ(reports[0].function, "vyr::classification::CacheMerged<enum vyr::cache::Level>::sClassifiedIdGet");
        EXPECT_EQ(reports[0].fileName, kMergedFile);
        EXPECT_EQ(reports[0].type, 0);
        capture.clear();

        EXPECT_EQ(merged.sSourceIdGet("k"), "shared0");
        EXPECT_EQ(merged.sSourceIdGet("x"), "one");
        const std::vector<Report> sourceReports = reportsGet();
        ASSERT_EQ(sourceReports.size(), 1U);
        EXPECT_FALSE(sourceReports[0].message.empty());
        EXPECT_EQ(sourceReports[0].function, "vyr::classification::CacheMerged<enum vyr::cache::Level>::sSourceIdGet");
        EXPECT_EQ(sourceReports[0].fileName, kMergedFile);
    }
    {
        const AssertCapture disabled(false);
        EXPECT_EQ(merged.sClassifiedIdGet("many"), "A");
        EXPECT_EQ(merged.sSourceIdGet("k"), "shared0");
        EXPECT_EQ(disabled.count(), 0U);
    }
}

TEST(MergedMappings, PairsAreOrderedBySourceThenClassifiedInByteOrder) {
    CountingCache cache;
    cache.vLevelSet(Sys, mappingOf("m", {{"b", {"2", "10"}}, {"\xc3\xa9", {"z"}}, {"B", {"y"}}}), false);
    cache.vLevelSet(Shared, mappingOf("m", {{"a", {"x", "X"}}, {"nothing", {}}}), true);

    const Pairs pairs = cache.merged.mappingsGet();
    const std::vector<std::pair<std::string, std::string>> ordered(pairs.begin(), pairs.end());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"B", "y"}, {"a", "X"}, {"a", "x"}, {"b", "10"}, {"b", "2"}, {"\xc3\xa9", "z"}};
    EXPECT_EQ(ordered, expected);
}

} // namespace
} // namespace vyr::test
