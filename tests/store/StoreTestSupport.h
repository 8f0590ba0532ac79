#pragma once

// Helpers for the store's tests: a check of the merged view's hashed
// indexes, a level cache that counts its rebuilds, and a small cache admin
// with no folders of its own.

#include <istream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Source/Core/Utilities/Cache/CacheAdminBase.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "external/classification/XmlDocument.h"
#include "tests/common/Mappings.h"
#include "tests/common/StoreFixture.h"

namespace vyr::test {

using Cache = classification::CacheLevels<Level>;

// Each hashed index of the merged view that is built holds exactly the
// entries of its map: as many as the map, each map entry found at its own
// address, and the probe ids that the map lacks found in neither direction.
// The lookups build what the view builds when asked.
inline void expectIndexExact(const classification::CacheMerged<Level>& merged,
                             const std::vector<std::string>& probes, const std::string& where) {
    const auto [sourcesIndexed, classifiedIndexed] = merged.indexSizesGet();
    EXPECT_TRUE(sourcesIndexed == 0 || sourcesIndexed == merged.sourceToClassified.size()) << where;
    EXPECT_TRUE(classifiedIndexed == 0 || classifiedIndexed == merged.classifiedToSourceGet().size()) << where;
    for (const auto& [source, classified] : merged.sourceToClassified) {
        EXPECT_EQ(merged.pClassifiedIdsGet(source), &classified) << where << ", source id " << source;
    }
    for (const auto& [id, sources] : merged.classifiedToSourceGet()) {
        EXPECT_EQ(merged.pSourceIdsGet(id), &sources) << where << ", classified id " << id;
    }
    for (const std::string& id : probes) {
        if (merged.sourceToClassified.count(id) == 0) {
            EXPECT_EQ(merged.pClassifiedIdsGet(id), nullptr) << where << ", absent source id " << id;
        }
        if (merged.classifiedToSourceGet().count(id) == 0) {
            EXPECT_EQ(merged.pSourceIdsGet(id), nullptr) << where << ", absent classified id " << id;
        }
    }
}

// A level cache that counts how often its merged view was rebuilt.
// Thread-compatible, like the cache it extends.
class CountingCache : public Cache {
public:
    void vChanged() override {
        ++rebuilds;
        Cache::vChanged();
    }
    int rebuilds = 0;
};

// A cache admin with the store's file naming but no folder until a test
// sets one; lets the tests reach the level folder operations of the admin
// base without the directory service. Owns what its base owns.
class TestAdmin final : public cache::CacheAdminBase<Cache> {
public:
    [[nodiscard]] std::filesystem::path extension() const override { return "xml"; }
    [[nodiscard]] bool boReadFromStream(std::istream& stream, const Level& level, Cache& cache) override {
        Mapping mapping;
        classification::XmlDocument document(mapping);
        if (!document.boRead(stream)) {
            return false;
        }
        cache.vLevelSet(level, mapping, false);
        return true;
    }
    [[nodiscard]] std::string sFolderName() const override { return "Classification"; }
};

} // namespace vyr::test
