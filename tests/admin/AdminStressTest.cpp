// Many threads on one admin through the wrapper: queries on shared and on
// absent ids, first-use loads, creations, write access with edits. Each
// writer thread edits only the classifications it created itself, since an
// edit changes a merged view without the admin's lock; the other threads
// read other classifications meanwhile. Afterwards the files and the store
// must tell the same story. The ThreadSanitizer build runs this test too.

#include <barrier>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/common/StoreFixture.h"

namespace vyr::test {
namespace {

constexpr int kThreads = 6;
constexpr int kOperations = 200;
constexpr int kReadOnlyIds = 24;
constexpr int kAbsentIds = 8;

// What a read-only classification must answer, computed from its files
// before the threads start; only read afterwards.
struct Expected {
    std::string id;
    Relation merged;
    Relation inverse;
    std::string sText2;
};

// A prefix followed by a number ("s3", "read-12"), built by appending: the
// concatenation of a literal and a temporary string trips a g++ 12 -Wrestrict
// false positive at -O3.
std::string named(std::string_view prefix, long long number) {
    std::string text(prefix);
    text.append(std::to_string(number));
    return text;
}

// One classification a writer thread made, and its levels as that thread
// changed them.
struct Owned {
    std::string id;
    std::string sText2;
    std::map<Level, Relation> levels;
};

class AdminStressTest : public StoreFixture {
protected:
    // Read-only classifications: every id has a Sys file, even ids a User
    // file, every third id a Shared file; the upper levels override some
    // source ids, one with an empty set.
    void vReadOnlyFilesWrite() {
        for (int index = 0; index < kReadOnlyIds; ++index) {
            const std::string id = named("read-", index);
            Relation sys;
            for (int source = 0; source < 6; ++source) {
                sys[named("s", source)] = {named("c", (source + index) % 5), named("c", (source * 3 + index) % 7)};
            }
            vWriteLevel(id, cache::Sys, mappingOf(id, sys, named("sys-", index)));
            if (index % 3 == 0) {
                vWriteLevel(id, cache::Shared,
                            mappingOf(id, {{"s1", {"c9"}}, {"s7", {"c1"}}}, named("shared-", index)));
            }
            if (index % 2 == 0) {
                vWriteLevel(id, cache::User,
                            mappingOf(id, {{"s2", {}}, {"s3", {"c8", "c9"}}}, named("user-", index)));
            }
            const std::map<Level, Mapping> files = filesOf(id);
            MergedRelations merged = mergeOf(files);
            Expected expected{id, std::move(merged.sourceToClassified), std::move(merged.classifiedToSource),
                              files.rbegin()->second.sText2};
            expectedIds.push_back(std::move(expected));
        }
    }

    // Compares what the store answers for the id with what its files say.
    void vExpectStoreMatchesFiles(AdminWrapper& wrapper, const std::string& id) {
        SCOPED_TRACE(id);
        const std::map<Level, Mapping> files = filesOf(id);
        ASSERT_FALSE(files.empty());
        const Relation merged = mergeOf(files).sourceToClassified;
        EXPECT_EQ(admin().mappingsGet(id), pairsOf(merged));
        for (const auto& [source, classified] : merged) {
            const std::set<std::string>* found = wrapper.pClassifiedIdsGet(id, source);
            ASSERT_NE(found, nullptr) << source;
            EXPECT_EQ(*found, classified) << source;
        }
        const Mapping& top = files.rbegin()->second;
        EXPECT_EQ(wrapper.sText2Get(id), top.sText2);
        EXPECT_EQ(wrapper.sText5Get(id), top.sText5);
        EXPECT_EQ(wrapper.sText6Get(id), top.sText6);
    }

    std::vector<Expected> expectedIds;
};

// The work of one thread; problems are collected, not asserted, and
// reported after the join.
void vRun(int index, const std::vector<Expected>& expectedIds, Admin& target, std::barrier<>& start,
          std::vector<Owned>& owned, std::vector<std::string>& problems) {
    std::mt19937 random(static_cast<unsigned>(index) * 7919U + 1U);
    const auto pick = [&random](int count) { return static_cast<int>(random() % static_cast<unsigned>(count)); };
    const auto problem = [&problems](const std::string& what) { problems.push_back(what); };

    AdminWrapper wrapper;
    start.arrive_and_wait();
    for (int operation = 0; operation < kOperations; ++operation) {
        const int roll = pick(100);
        if (roll < 40) {
            // A query on a read-only classification, loaded by whichever
            // thread comes first.
            const Expected& expected = expectedIds[static_cast<std::size_t>(pick(kReadOnlyIds))];
            const std::string source = named("s", pick(8));
            const std::string classified = named("c", pick(10));
            const auto mergedSet = expected.merged.find(source);
            const auto inverseSet = expected.inverse.find(classified);
            switch (pick(6)) {
            case 0: {
                const std::set<std::string>* found = wrapper.pClassifiedIdsGet(expected.id, source);
                if ((found == nullptr) != (mergedSet == expected.merged.end()) ||
                    (found != nullptr && *found != mergedSet->second)) {
                    problem("pClassifiedIdsGet " + expected.id + " " + source);
                }
                break;
            }
            case 1: {
                const std::set<std::string>* found = wrapper.pSourceIdsGet(expected.id, classified);
                if ((found == nullptr) != (inverseSet == expected.inverse.end()) ||
                    (found != nullptr && *found != inverseSet->second)) {
                    problem("pSourceIdsGet " + expected.id + " " + classified);
                }
                break;
            }
            case 2: {
                const std::string want = mergedSet == expected.merged.end() || mergedSet->second.empty()
                                             ? std::string()
                                             : *mergedSet->second.begin();
                if (wrapper.sClassifiedIdGet(expected.id, source) != want) {
                    problem("sClassifiedIdGet " + expected.id + " " + source);
                }
                break;
            }
            case 3: {
                const std::string want =
                    inverseSet == expected.inverse.end() ? std::string() : *inverseSet->second.begin();
                if (wrapper.sSourceIdGet(expected.id, classified) != want) {
                    problem("sSourceIdGet " + expected.id + " " + classified);
                }
                break;
            }
            case 4: {
                const bool want = mergedSet != expected.merged.end() && mergedSet->second.count(classified) == 1;
                if (wrapper.boMappingExists(expected.id, source, classified) != want) {
                    problem("boMappingExists " + expected.id + " " + source + " " + classified);
                }
                break;
            }
            default:
                if (wrapper.sText2Get(expected.id) != expected.sText2 ||
                    !wrapper.boClassificationExists(expected.id)) {
                    problem("texts " + expected.id);
                }
                break;
            }
        } else if (roll < 48) {
            const std::string id = named("absent-", pick(kAbsentIds));
            if (wrapper.boClassificationExists(id) || wrapper.pClassifiedIdsGet(id, "s1") != nullptr ||
                !wrapper.sText3Get(id).empty()) {
                problem("absent " + id);
            }
        } else if (roll < 56) {
            // Write access to a read-only classification, never locked: it
            // reads nothing new and writes nothing.
            const std::string& id = expectedIds[static_cast<std::size_t>(pick(kReadOnlyIds))].id;
            const auto access = wrapper.writeAccessGet(id);
        } else if (roll < 70 || owned.empty()) {
            const std::string id = named("own-", index).append("-").append(std::to_string(owned.size()));
            const Level level = pick(2) == 0 ? cache::User : cache::Shared;
            const std::string text = "text-" + id;
            if (!wrapper.boCreateClassification(id, text, "3", "4", "5", index % 2 == 0, false, level)) {
                problem("create " + id);
                continue;
            }
            owned.push_back(Owned{id, text, {{level, {}}}});
        } else if (roll < 92) {
            Owned& own = owned[static_cast<std::size_t>(pick(static_cast<int>(owned.size())))];
            const Level level = pick(2) == 0 ? cache::User : cache::Shared;
            {
                auto access = wrapper.writeAccessGet(own.id);
                if (!access.boLockFile(level)) {
                    problem("lock " + own.id);
                    continue;
                }
                Relation& relation = own.levels[level]; // a level made by the lock starts empty
                for (int edit = 1 + pick(3); edit > 0; --edit) {
                    const std::string source = named("s", pick(6));
                    const std::string classified = named("c", pick(6));
                    if (pick(4) == 0) {
                        access.vMappingRemove(source, classified, level);
                        const auto found = relation.find(source);
                        if (found != relation.end()) {
                            found->second.erase(classified);
                        }
                    } else {
                        if (!access.boAddMapping(source, classified, level)) {
                            problem("add " + own.id);
                        }
                        relation[source].insert(classified);
                    }
                }
            }
            std::map<Level, Mapping> model;
            for (const auto& [level, relation] : own.levels) {
                model[level].sourceToClassified.insert(relation.begin(), relation.end());
            }
            if (target.mappingsGet(own.id) != pairsOf(mergeOf(model).sourceToClassified)) {
                problem("edits " + own.id);
            }
        } else {
            const Owned& own = owned[static_cast<std::size_t>(pick(static_cast<int>(owned.size())))];
            if (wrapper.sText2Get(own.id) != own.sText2 || wrapper.sText3Get(own.id) != "3") {
                problem("own texts " + own.id);
            }
        }
    }
}

TEST_F(AdminStressTest, ThreadsAgreeWithTheFilesAfterwards) {
    vReadOnlyFilesWrite();
    Admin& target = admin();

    std::barrier<> start(kThreads);
    std::vector<std::vector<Owned>> owned(kThreads);            // one per thread
    std::vector<std::vector<std::string>> problems(kThreads);   // one per thread
    std::vector<std::thread> threads;
    for (int index = 0; index < kThreads; ++index) {
        const auto slot = static_cast<std::size_t>(index);
        threads.emplace_back(vRun, index, std::cref(expectedIds), std::ref(target), std::ref(start),
                             std::ref(owned[slot]), std::ref(problems[slot]));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const auto& list : problems) {
        for (const std::string& what : list) {
            ADD_FAILURE() << what;
        }
    }

    // Every file in the level folders parses, and no temporary file is left.
    std::size_t fileCount = 0;
    for (const Level level : {cache::Sys, cache::Shared, cache::User}) {
        for (const auto& entry : fs::directory_iterator(levelFolder(level))) {
            if (entry.path().extension() == ".lock") {
                continue; // kept beside the level file it locks
            }
            Mapping mapping;
            EXPECT_TRUE(readMapping(entry.path(), mapping)) << entry.path();
            EXPECT_EQ(entry.path().extension(), ".xml") << entry.path();
            ++fileCount;
        }
    }
    EXPECT_GT(fileCount, static_cast<std::size_t>(kReadOnlyIds));

    // Every created classification is found, and the store's merged view of
    // every classification is what its files say: in the admin that did
    // the work, and in a fresh one that reads the files again.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "same admin" : "fresh admin");
        AdminWrapper wrapper;
        for (const auto& list : owned) {
            for (const Owned& own : list) {
                EXPECT_TRUE(wrapper.boClassificationExists(own.id)) << own.id;
                EXPECT_EQ(wrapper.sText2Get(own.id), own.sText2);
                vExpectStoreMatchesFiles(wrapper, own.id);
            }
        }
        for (const Expected& expected : expectedIds) {
            vExpectStoreMatchesFiles(wrapper, expected.id);
        }
        AdminWrapper::vAdminReset();
    }
}

} // namespace
} // namespace vyr::test
