#pragma once

#include <map>
#include <string_view>
#include <utility>

#include "Source/Core/Utilities/Cache/CacheLevels.h"
#include "Source/Resource/Classification/ClassificationCacheMerged.h"
#include "assert/Check.h"
#include "external/classification/Mapping.h"

namespace vyr::classification {

// The level cache of one classification: its mapping at each level and the
// merged view over them, kept current by the change hook. Lives in the
// admin's cache map; write accesses point at it. Thread-compatible: used
// under the admin's mutex, or by the one thread that holds a write access.
template <class Level>
class CacheLevels : public utilities::CacheLevels<Level, Mapping> {
public:
    using Base = utilities::CacheLevels<Level, Mapping>;

    CacheLevels() = default;
    CacheLevels(const CacheLevels&) = default;
    CacheLevels(CacheLevels&&) noexcept = default;
    CacheLevels& operator=(const CacheLevels&) = default;
    CacheLevels& operator=(CacheLevels&&) noexcept = default;
    ~CacheLevels() override = default;

    // Rebuilds the merged view from every present level.
    void vChanged() override { merged.vRebuild(this->levels); }

    // Stores a copy of the mapping at the level and takes the id from it;
    // rebuilds the merged view only when asked to.
    void vLevelSet(const Level& level, const Mapping& mapping, bool boChanged) {
        this->id = mapping.sId;
        this->mappingAtLevel(level) = mapping;
        if (boChanged) {
            vChanged();
        }
    }

    // The same, taking over a mapping that the caller no longer needs (a
    // freshly read file): no copy of its relations.
    void vLevelSet(const Level& level, Mapping&& mapping, bool boChanged) {
        this->id = mapping.sId;
        this->mappingAtLevel(level) = std::move(mapping);
        if (boChanged) {
            vChanged();
        }
    }

    // The mapping at the highest level present, or null when there is none.
    [[nodiscard]] const Mapping* pTopMappingGet() const {
        return this->levels.empty() ? nullptr : &this->levels.rbegin()->second;
    }

    // The mapping at the level; when absent, a new one filled from the lowest
    // level present (after the insertion, so a new lowest level stays empty).
    // Does not call vChanged(): callers that edit the result do.
    Mapping& getOrCreate(const Level& level) {
        const auto found = this->levels.find(level);
        if (found != this->levels.end()) {
            return found->second;
        }
        if (this->levels.empty()) {
            VYR_ASSERT(!this->levels.empty(), "No existing classification to create from",
                       "vyr::classification::CacheLevels<enum vyr::cache::Level>::getOrCreate");
            return this->mappingAtLevel(level);
        }
        Mapping& created = this->mappingAtLevel(level);
        created.vSet(this->levels.begin()->second);
        return created;
    }

    // Removes one pair at the level.
    void vMappingRemove(std::string_view sourceId, std::string_view classifiedId, const Level& level) {
        Mapping* mapping = pPresentMapping(level);
        VYR_ASSERT(mapping != nullptr, "No cache to remove mapping from",
                   "vyr::classification::CacheLevels<enum vyr::cache::Level>::vMappingRemove");
        if (mapping != nullptr) {
            mapping->vRemoveMapping(sourceId, classifiedId);
            vChanged();
        }
    }

    // Removes every pair of the source id at the level.
    void vMappedToSourceRemove(std::string_view sourceId, const Level& level) {
        Mapping* mapping = pPresentMapping(level);
        VYR_ASSERT(mapping != nullptr, "No cache to remove mapping from",
                   "vyr::classification::CacheLevels<enum vyr::cache::Level>::vMappedToSourceRemove");
        if (mapping != nullptr) {
            mapping->vRemoveFromSource(sourceId);
            vChanged();
        }
    }

    // Unlists the source id at the level, so that the levels below decide
    // it again: the merged view is as if the level had never listed it.
    void vMappedToSourceInherit(std::string_view sourceId, const Level& level) {
        Mapping* mapping = pPresentMapping(level);
        VYR_ASSERT(mapping != nullptr, "No cache to remove mapping from",
                   "vyr::classification::CacheLevels<enum vyr::cache::Level>::vMappedToSourceInherit");
        if (mapping != nullptr) {
            mapping->vUnlistSource(sourceId);
            vChanged();
        }
    }

    // Removes the classified id from every source at the level.
    void vMappedToClassifiedRemove(std::string_view classifiedId, const Level& level) {
        Mapping* mapping = pPresentMapping(level);
        VYR_ASSERT(mapping != nullptr, "No cache to remove mapping from",
                   "vyr::classification::CacheLevels<enum vyr::cache::Level>::vMappedToClassifiedRemove");
        if (mapping != nullptr) {
            mapping->vRemoveFromClassified(classifiedId);
            vChanged();
        }
    }

    CacheMerged<Level> merged;

private:
    Mapping* pPresentMapping(const Level& level) {
        const auto found = this->levels.find(level);
        return found == this->levels.end() ? nullptr : &found->second;
    }
};

} // namespace vyr::classification
