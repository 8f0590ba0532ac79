#pragma once

#include <map>
#include <string>

namespace vyr::utilities {

// The mappings of one cached item, one per level that has one, in ascending
// level order. Owns its mappings by value. Thread-compatible: used under the
// admin's mutex, or by one thread at a time.
template <class Level, class Mapping>
class CacheLevels {
public:
    CacheLevels() = default;
    CacheLevels(const CacheLevels&) = default;
    CacheLevels(CacheLevels&&) noexcept = default;
    CacheLevels& operator=(const CacheLevels&) = default;
    CacheLevels& operator=(CacheLevels&&) noexcept = default;
    virtual ~CacheLevels() = default;

    // Called after the content of `levels` changed.
    virtual void vChanged() {}

    // The mapping at the level; an empty mapping is inserted first when the
    // level is absent. Does not call vChanged().
    Mapping& mappingAtLevel(const Level& level) { return levels[level]; }

    // The item's id, taken from the mapping stored last by vLevelSet.
    std::string id;
    std::map<Level, Mapping> levels;
};

} // namespace vyr::utilities
