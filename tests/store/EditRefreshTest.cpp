// Edits through a write access leave the merged view exactly as a full
// rebuild of the levels would, and rebuild it only when it was not current:
// random sequences of every edit checked against a rebuild after each step,
// and a count of the rebuilds that edits of a large classification make;
// after each step, the view's hashed indexes hold exactly its maps' entries.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "tests/store/StoreTestSupport.h"

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using classification::WriteAccess;
using Records = std::map<Level, utilities::FileRecord>;

constexpr std::array<Level, 3> kLevels{Sys, Shared, User};
// Every id the random edits use, and one they never do.
const std::vector<std::string> kProbes{"s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7",
                                       "c0", "c1", "c2", "c3", "c4", "absent"};

// The view equals a fresh rebuild and the plain merge rule; the latter
// derives the inverse from the forward relation and holds no empty set, so
// the invariants hold as well.
void expectAsRebuilt(const Cache& cache, int step) {
    classification::CacheMerged<Level> rebuilt;
    rebuilt.vRebuild(cache.levels);
    const auto [forward, inverse] = mergeOf(cache.levels);
    EXPECT_EQ(cache.merged.sourceToClassified, rebuilt.sourceToClassified) << "step " << step;
    EXPECT_EQ(cache.merged.classifiedToSourceGet(), rebuilt.classifiedToSourceGet()) << "step " << step;
    EXPECT_EQ(cache.merged.sourceToClassified, forward) << "step " << step;
    EXPECT_EQ(cache.merged.classifiedToSourceGet(), inverse) << "step " << step;
}

// One question of a random kind, answered as the plain merge rule answers
// it: the view builds its inverse and indexes only when asked, so edits
// meet it with or without them.
void expectOneAnswerAsRebuilt(const Cache& cache, const std::string& sourceId, const std::string& classifiedId,
                              bool boInverse, int step) {
    const auto [forward, inverse] = mergeOf(cache.levels);
    const auto expected = [](const Relation& relation, const std::string& id) {
        const auto found = relation.find(id);
        return found == relation.end() ? std::optional<std::set<std::string>>() : found->second;
    };
    const auto actual = [](const std::set<std::string>* set) {
        return set == nullptr ? std::optional<std::set<std::string>>() : *set;
    };
    if (!boInverse) {
        EXPECT_EQ(actual(cache.merged.pClassifiedIdsGet(sourceId)), expected(forward, sourceId)) << "step " << step;
    } else {
        EXPECT_EQ(actual(cache.merged.pSourceIdsGet(classifiedId)), expected(inverse, classifiedId))
            << "step " << step;
    }
}

TEST(EditRefresh, RandomEditsLeaveTheViewAsARebuildWould) {
    const TempFolder folder;
    Records records;
    for (const Level level : kLevels) {
        records[level].filePath = folder / ("level-" + std::to_string(level) + ".xml");
    }
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const auto pick = [&random](unsigned count) { return static_cast<int>(random() % count); };
        // Few ids, so that levels share source ids and sets share classified ids.
        const auto source = [&pick] { return "s" + std::to_string(pick(8)); };
        const auto classified = [&pick] { return "c" + std::to_string(pick(5)); };
        const auto randomMapping = [&] {
            Mapping mapping = mappingOf("m");
            for (int entry = pick(7); entry > 0; --entry) {
                std::set<std::string>& set = mapping.sourceToClassified[source()]; // may stay empty
                for (int id = pick(4); id > 0; --id) {
                    set.insert(classified());
                }
            }
            return mapping;
        };

        for (const Level level : kLevels) {
            ASSERT_TRUE(writeMapping(records[level].filePath, mappingOf("m")));
        }
        Cache cache;
        WriteAccess access(&cache, &records);
        for (const Level level : kLevels) {
            ASSERT_TRUE(access.boLockFile(level));
        }
        // The locks read the files; the edits start from a random state.
        cache.levels.clear();
        for (const Level level : kLevels) {
            if (pick(3) != 0) {
                cache.vLevelSet(level, randomMapping(), false);
            }
        }
        if (pick(2) == 0) {
            cache.vChanged(); // otherwise the first edit finds the view stale
        }
        const AssertCapture capture(seed % 2 == 0);

        for (int step = 0; step < 150; ++step) {
            const Level level = kLevels[static_cast<std::size_t>(pick(3))];
            const std::string sourceId = source();
            const std::string classifiedId = classified();
            const std::string other = source();
            const std::set<std::string>* otherSet = cache.merged.pClassifiedIdsGet(other);
            const bool boCurrent = !cache.boChangePendingGet();
            const bool boPresent = cache.levels.count(level) != 0;
            const std::uint64_t rebuildsBefore = cache.rebuildCountGet();
            bool boRebuild = !boCurrent;
            int op = pick(9);
            if (op == 8 && pick(12) != 0) {
                op = pick(8); // making a level file syncs it to disk: kept rare
            }
            switch (op) {
            case 0:
                ASSERT_TRUE(access.boAddMapping(sourceId, classifiedId, level));
                boRebuild = boRebuild || !boPresent; // a level made from the lowest one
                break;
            case 1:
                ASSERT_TRUE(access.boSetMapping(sourceId, classifiedId, level));
                boRebuild = boRebuild || !boPresent;
                break;
            case 2:
                access.vMappingRemove(sourceId, classifiedId, level);
                boRebuild = boRebuild && boPresent;
                break;
            case 3:
                access.vMappedToSourceRemove(sourceId, level);
                boRebuild = boRebuild && boPresent;
                break;
            case 4:
                access.vMappedToClassifiedRemove(classifiedId, level);
                boRebuild = boRebuild && boPresent;
                break;
            case 5:
                // The source id leaves the level's own list; when no level
                // lists it, it leaves the view.
                access.vMappedToSourceInherit(sourceId, level);
                boRebuild = boRebuild && boPresent;
                break;
            case 6:
                // A level forgotten, as a level reset does.
                cache.levels.erase(level);
                cache.vChanged();
                boRebuild = true;
                break;
            case 7:
                // Stored without the hook: stale until an edit rebuilds it.
                cache.vLevelSet(level, randomMapping(), false);
                continue;
            default:
                // The level's file went missing and is made again: the level
                // is emptied without a rebuild.
                fs::remove(records[level].filePath);
                access.vCreateFileIfNotAtLevel(level);
                continue;
            }
            // Current or stale, the view's indexes match its maps. Checked
            // at random steps only, since the check builds them.
            const bool boWholeCheck = pick(3) == 0;
            if (boWholeCheck) {
                expectIndexExact(cache.merged, kProbes, "step " + std::to_string(step));
            }
            EXPECT_EQ(cache.rebuildCountGet() - rebuildsBefore, boRebuild ? 1U : 0U) << "step " << step;
            if (cache.boChangePendingGet()) {
                // Only a removal at an absent level leaves a stale view as it was.
                EXPECT_TRUE(!boCurrent && !boPresent) << "step " << step;
                continue;
            }
            if (boWholeCheck) {
                expectAsRebuilt(cache, step);
            } else {
                expectOneAnswerAsRebuilt(cache, source(), classified(), pick(2) == 0, step);
            }
            if (!boRebuild && other != sourceId && otherSet != nullptr) {
                EXPECT_EQ(cache.merged.pClassifiedIdsGet(other), otherSet) << "step " << step;
            }
            if (HasFailure()) {
                return;
            }
        }
    }
}

TEST(EditRefresh, EditsOfALargeClassificationDoNotRebuildIt) {
    const StoreFolders folders;
    constexpr int kSources = 20'000;
    Mapping sys = mappingOf("big");
    for (int index = 0; index < kSources; ++index) {
        sys.vMappingAdd("s" + std::to_string(index), "c" + std::to_string(index % 100));
    }
    ASSERT_TRUE(writeMapping(folders.fileAt("big", Sys), sys));
    classification::Admin admin;
    WriteAccess access = admin.writeAccessGet("big");
    const Cache& cache = admin.caches.at("big");
    // The lock makes the missing User file and its level without a rebuild;
    // the first edit then finds the view stale and rebuilds it once.
    ASSERT_TRUE(access.boLockFile(User));
    const std::uint64_t rebuildsAfterLoad = cache.rebuildCountGet();
    ASSERT_TRUE(access.boSetMapping("s0", "x", User));
    EXPECT_EQ(cache.rebuildCountGet(), rebuildsAfterLoad + 1);

    const std::set<std::string>* untouched = admin.pClassifiedIdsGet("big", "s19999");
    for (int index = 1; index < 2'000; ++index) {
        const std::string sourceId = "s" + std::to_string(index);
        ASSERT_TRUE(access.boSetMapping(sourceId, "x", User));
        ASSERT_TRUE(access.boAddMapping(sourceId, "y", User));
        access.vMappingRemove(sourceId, "x", User);
    }
    access.vMappedToSourceRemove("s1", User);
    access.vMappedToClassifiedRemove("y", User);
    // Source ids that enter the view and leave it again, many times over:
    // the index grows, and its erasures close up long probe runs.
    for (int index = 0; index < 3'000; ++index) {
        const std::string sourceId = "new" + std::to_string(index);
        ASSERT_TRUE(access.boSetMapping(sourceId, "n" + std::to_string(index % 7), User));
        if (index % 3 != 0) {
            access.vMappedToSourceInherit(sourceId, User);
        }
    }
    EXPECT_EQ(cache.rebuildCountGet(), rebuildsAfterLoad + 1);
    expectIndexExact(cache.merged, {"new1", "new2", "n0", "y", "x"}, "after the edits");
    EXPECT_EQ(admin.pClassifiedIdsGet("big", "s19999"), untouched);
    EXPECT_EQ(admin.pSourceIdsGet("big", "y"), nullptr);
    EXPECT_EQ(admin.sClassifiedIdGet("big", "s0"), "x");
    EXPECT_EQ(admin.mappingsGet("big").size(), 1U + kSources - 2'000U + 1'000U);
}

} // namespace
} // namespace vyr::test
