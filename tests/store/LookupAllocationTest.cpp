// Lookups on the merged view take string views and build no string: this
// executable replaces the global allocation functions with counting ones and
// counts what the lookups allocate. Ids are longer than any small-string
// buffer, so a string built from them would have to allocate.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "tests/store/StoreTestSupport.h"

namespace {

// Counted only while a test opens a window; the tests run on one thread.
std::atomic<bool> boCounting{false};
std::atomic<long> allocations{0};

void* allocate(std::size_t size) {
    if (boCounting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace vyr::test {
namespace {

// Counts the allocations of what runs while it is open.
class AllocationWindow {
public:
    AllocationWindow() {
        allocations = 0;
        boCounting = true;
    }
    AllocationWindow(const AllocationWindow&) = delete;
    AllocationWindow& operator=(const AllocationWindow&) = delete;
    ~AllocationWindow() { boCounting = false; }
    [[nodiscard]] long count() const { return allocations.load(); }
};

std::string longId(const std::string& stem) { return stem + std::string(80, '-') + stem; }

TEST(LookupAllocations, MergedViewLookupsBuildNoString) {
    const std::string source = longId("source");
    const std::string classified = longId("classified");
    const std::string other = longId("other");
    CountingCache cache;
    cache.vLevelSet(Sys, mappingOf("m", {{source, {classified, other}}, {other, {classified}}}), true);
    const auto& merged = cache.merged;

    // The keys are views on other buffers than the stored strings.
    const std::string sourceKey = source;
    const std::string classifiedKey = classified;
    const std::string missingKey = longId("missing");

    const std::set<std::string>* classifiedIds = nullptr;
    const std::set<std::string>* sourceIds = nullptr;
    const std::set<std::string>* missing = nullptr;
    long counted = 0;
    // The view builds its inverse and its indexes when first asked (those
    // builds allocate); every lookup after them allocates nothing.
    {
        const AllocationWindow window;
        for (std::size_t lookup = 0; lookup < classification::CacheMerged<Level>::kIndexAfter; ++lookup) {
            classifiedIds = merged.pClassifiedIdsGet(std::string_view(sourceKey));
        }
        counted = window.count();
    }
    EXPECT_EQ(counted, 0);
    (void)merged.pClassifiedIdsGet(std::string_view(missingKey));
    (void)merged.classifiedToSourceGet();
    {
        const AllocationWindow window;
        classifiedIds = merged.pClassifiedIdsGet(std::string_view(sourceKey));
        sourceIds = merged.pSourceIdsGet(std::string_view(classifiedKey));
        missing = merged.pClassifiedIdsGet(std::string_view(missingKey));
        missing = missing != nullptr ? missing : merged.pSourceIdsGet(std::string_view(missingKey));
        counted = window.count();
    }
    EXPECT_EQ(counted, 0);
    ASSERT_NE(classifiedIds, nullptr);
    ASSERT_NE(sourceIds, nullptr);
    EXPECT_EQ(classifiedIds->size(), 2U);
    EXPECT_EQ(sourceIds->size(), 2U);
    EXPECT_EQ(missing, nullptr);

    // A single-id lookup copies exactly its one answer out, and a miss nothing.
    const std::string otherKey = other;
    std::string answer;
    std::string none;
    {
        const AllocationWindow window;
        answer = merged.sClassifiedIdGet(std::string_view(otherKey));
        counted = window.count();
    }
    EXPECT_EQ(counted, 1);
    EXPECT_EQ(answer, classified);
    {
        const AllocationWindow window;
        none = merged.sSourceIdGet(std::string_view(missingKey));
        counted = window.count();
    }
    EXPECT_EQ(counted, 0);
    EXPECT_EQ(none, "");
}

TEST(LookupAllocations, AdminLookupsOnALoadedClassificationBuildNoString) {
    const StoreFolders folders;
    const std::string id = longId("classification");
    const std::string source = longId("source");
    const std::string classified = longId("classified");
    ASSERT_TRUE(writeMapping(folders.fileAt(id, Sys), mappingOf(id, {{source, {classified}}})));

    classification::Admin admin;
    ASSERT_TRUE(admin.boClassificationExists(id)); // the first use loads the file
    // The first inverse lookup builds the inverse; then none allocates.
    (void)admin.pSourceIdsGet(id, classified);

    const std::string idKey = id;
    const std::string sourceKey = source;
    const std::string classifiedKey = classified;
    const std::set<std::string>* classifiedIds = nullptr;
    const std::set<std::string>* sourceIds = nullptr;
    long counted = 0;
    {
        const AllocationWindow window;
        classifiedIds = admin.pClassifiedIdsGet(idKey, sourceKey);
        sourceIds = admin.pSourceIdsGet(idKey, classifiedKey);
        counted = window.count();
    }
    EXPECT_EQ(counted, 0);
    ASSERT_NE(classifiedIds, nullptr);
    ASSERT_NE(sourceIds, nullptr);
    EXPECT_EQ(*classifiedIds, std::set<std::string>{classified});
    EXPECT_EQ(*sourceIds, std::set<std::string>{source});
}

} // namespace
} // namespace vyr::test
