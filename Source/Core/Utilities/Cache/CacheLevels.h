#pragma once

#include <map>
#include <string>

namespace vyr::utilities {

// The mappings of one cached item, one per level that has one, in ascending
// level order. Owns its mappings by value. Thread-compatible: used under the
// admin's mutex, or by one thread at a time.
//
// What a derived cache computes from `levels` in vChanged() is current only
// as long as `levels` does not change behind it. The operations here that
// hand out a mapping for editing mark a change as pending; vChanged() of a
// derived cache clears the mark once it has caught up. A caller that edits
// `levels` directly (inserting, erasing or editing a mapping) must call
// vChanged() afterwards: such an edit cannot be seen here.
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
    // level is absent. Does not call vChanged(); since the caller may edit
    // the mapping, a change counts as pending from here on.
    Mapping& mappingAtLevel(const Level& level) {
        boChangePending = true;
        return levels[level];
    }

    // True when `levels` may have changed through this class's operations
    // (or a caller said so) since vChanged() last caught up.
    [[nodiscard]] bool boChangePendingGet() const { return boChangePending; }

    // Records that `levels` changed and vChanged() has not yet run.
    void vChangePendingMark() { boChangePending = true; }

    // The item's id, taken from the mapping stored last by vLevelSet.
    std::string id;
    std::map<Level, Mapping> levels;

protected:
    // Set by the operations that hand out or replace a mapping; cleared by
    // a derived vChanged() that rebuilt what it derives from `levels`.
    bool boChangePending = false;
};

} // namespace vyr::utilities
