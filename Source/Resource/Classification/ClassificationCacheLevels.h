#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Source/Core/Utilities/Cache/CacheLevels.h"
#include "Source/Resource/Classification/ClassificationCacheMerged.h"
#include "assert/Check.h"
#include "external/classification/Mapping.h"

namespace vyr::classification {

// The level cache of one classification: its mapping at each level and the
// merged view over them. The change hook rebuilds the view whole; an edit of
// one source id refreshes only that source id's entry (vSourceRefresh), or
// rebuilds whole when the view was not current before the edit (a level was
// handed out or replaced since the last rebuild). A caller that edits
// `levels` directly calls vChanged() afterwards. Lives in the admin's cache
// map; write accesses point at it. Thread-compatible: used under the admin's
// mutex, or by the one thread that holds a write access.
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

    // Rebuilds the merged view from every present level; it is current
    // afterwards. A rebuild that fails leaves the view empty and the change
    // pending, so that the next edit rebuilds instead of refreshing.
    void vChanged() override {
        this->boChangePending = true;
        merged.vRebuild(this->levels);
        this->boChangePending = false;
        ++rebuildCount;
        ++changeCount;
    }

    // Brings the merged view up to date after an edit of the source id's
    // entries at the levels, and of nothing else: refreshes that one entry
    // when the view was current before the edit, else rebuilds it whole.
    void vSourceRefresh(std::string_view sourceId) {
        if (this->boChangePending) {
            vChanged();
            return;
        }
        // Pending while the refresh runs: a failed allocation part way
        // leaves the view to the next edit's rebuild.
        this->boChangePending = true;
        merged.vSourceRefresh(sourceId, this->levels);
        this->boChangePending = false;
        ++changeCount;
    }

    // How often vChanged() of this class rebuilt the merged view whole.
    [[nodiscard]] std::uint64_t rebuildCountGet() const { return rebuildCount; }

    // Moves whenever the merged view changes: a rebuild, or an edit's
    // refresh of some of its entries.
    [[nodiscard]] std::uint64_t changeCountGet() const { return changeCount; }

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

    // The levels that list the source id, highest first: the first decides
    // its set in the merged view and hides the others.
    [[nodiscard]] std::vector<Level> sourceLevelsGet(std::string_view sourceId) const {
        const std::string key(sourceId);
        std::vector<Level> listing;
        for (auto level = this->levels.rbegin(); level != this->levels.rend(); ++level) {
            if (level->second.sourceToClassified.count(key) != 0) {
                listing.push_back(level->first);
            }
        }
        return listing;
    }

    // The mapping at the highest level present, or null when there is none.
    [[nodiscard]] const Mapping* pTopMappingGet() const {
        return this->levels.empty() ? nullptr : &this->levels.rbegin()->second;
    }

    // The mapping at the level; when absent, a new one filled from the lowest
    // level present (after the insertion, so a new lowest level stays empty),
    // which leaves a change pending. Does not call vChanged(): callers that
    // edit the result call it, or vSourceRefresh() for the one source id
    // they edited.
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
            vSourceRefresh(sourceId);
        }
    }

    // Removes every pair of the source id at the level.
    void vMappedToSourceRemove(std::string_view sourceId, const Level& level) {
        Mapping* mapping = pPresentMapping(level);
        VYR_ASSERT(mapping != nullptr, "No cache to remove mapping from",
                   "vyr::classification::CacheLevels<enum vyr::cache::Level>::vMappedToSourceRemove");
        if (mapping != nullptr) {
            mapping->vRemoveFromSource(sourceId);
            vSourceRefresh(sourceId);
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
            vSourceRefresh(sourceId);
        }
    }

    // Removes the classified id from every source at the level.
    void vMappedToClassifiedRemove(std::string_view classifiedId, const Level& level) {
        Mapping* mapping = pPresentMapping(level);
        VYR_ASSERT(mapping != nullptr, "No cache to remove mapping from",
                   "vyr::classification::CacheLevels<enum vyr::cache::Level>::vMappedToClassifiedRemove");
        if (mapping == nullptr) {
            return;
        }
        if (this->boChangePending) {
            mapping->vRemoveFromClassified(classifiedId);
            vChanged();
            return;
        }
        // A source id's merged set changes only if the level decides it and
        // lists the classified id for it; then the merged set holds the
        // classified id too. So the source ids that the view maps to the
        // classified id are the only ones to refresh.
        std::vector<std::string> touched;
        if (const auto* sources = merged.pSourceIdsGet(classifiedId)) {
            touched.assign(sources->begin(), sources->end());
        }
        this->boChangePending = true; // as in vSourceRefresh
        mapping->vRemoveFromClassified(classifiedId);
        for (const std::string& sourceId : touched) {
            merged.vSourceRefresh(sourceId, this->levels);
        }
        this->boChangePending = false;
        ++changeCount;
    }

    CacheMerged<Level> merged;

private:
    std::uint64_t rebuildCount = 0;
    std::uint64_t changeCount = 0;

    Mapping* pPresentMapping(const Level& level) {
        const auto found = this->levels.find(level);
        return found == this->levels.end() ? nullptr : &found->second;
    }
};

} // namespace vyr::classification
