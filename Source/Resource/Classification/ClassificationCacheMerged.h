#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Source/Resource/Classification/ClassificationIdIndex.h"
#include "assert/Check.h"
#include "external/classification/Mapping.h"

namespace vyr::classification {

// The merged view of one classification: for every source id, the set that
// the highest level listing it gives it, and the inverse relation from
// classified ids back to source ids. Its level cache rebuilds it from scratch
// after a change that may touch many source ids, and refreshes the one
// source id that an edit touched otherwise; either way it ends up exactly as
// a rebuild would leave it. Owns both maps and a hashed index beside each;
// thread-compatible (read and changed under the admin's mutex, or by the
// single thread that holds a write access). Reading is not free of
// changes: the first reads build what they need (below), so even const
// reads of one view must not overlap.
//
// Built when first asked for, not at the rebuild: the inverse relation (by
// the first read of it: classifiedToSourceGet, pSourceIdsGet, sSourceIdGet)
// and each hashed index (the source ids' once kIndexAfter lookups of one
// id went without it, the inverse's with the inverse). Until then a lookup
// walks the ordered map, which costs a few hundred nanoseconds more than
// the index, and nothing. Once built, each is kept up to date by every
// refresh until the next rebuild drops it. What a read returns, and how
// long a pointer it gives stays valid, is the same either way.
//
// Invariants after every rebuild and refresh: (s, c) is in
// sourceToClassified exactly when (c, s) is in the inverse relation;
// the inverse holds no empty set; sourceToClassified may hold an empty set.
template <class Level>
class CacheMerged {
public:
    using IdSet = std::set<std::string>;
    using Relation = std::map<std::string, IdSet, std::less<>>;

    // Lookups of one id that walk the ordered map before the source ids'
    // hashed index is built: a few such lookups cost less than the index.
    static constexpr std::size_t kIndexAfter = 32;

    CacheMerged() = default;
    // A copy holds the maps the other had built and indexes the entries of
    // its own inverse; its source ids' index is built when lookups ask.
    CacheMerged(const CacheMerged& other)
        : sourceToClassified(other.sourceToClassified), classifiedToSource(other.classifiedToSource),
          boInverseBuilt(other.boInverseBuilt) {
        if (boInverseBuilt) {
            inverseIndex.vAssign(classifiedToSource);
        }
    }
    CacheMerged& operator=(const CacheMerged& other) {
        if (this != &other) {
            CacheMerged copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    // Map entries move with their map, so each index moves with its map.
    CacheMerged(CacheMerged&&) noexcept = default;
    CacheMerged& operator=(CacheMerged&&) noexcept = default;
    ~CacheMerged() = default;

    // Recomputes the merged map from the level mappings, and drops the
    // inverse and the indexes, to be built again when first asked for.
    // Costs one pass over every entry of every level: the levels' relations
    // are sorted alike, so they are merged side by side, and each source
    // id's set is copied once, from the highest level that lists it. When an
    // allocation fails, the view is left empty.
    void vRebuild(const std::map<Level, Mapping>& levels) {
        vEmpty();
        try {
            vBuild(levels);
        } catch (...) {
            vEmpty();
            throw;
        }
    }

    // Brings the entry of one source id up to date with the levels, as a
    // rebuild would: the highest level listing it decides its set, and a
    // source id that no level lists leaves the view. The inverse relation
    // changes by the difference between the old and the new set; an inverse
    // set that becomes empty is erased. Costs one lookup per level and one
    // map operation per element of the old and the new set, however many
    // other source ids there are. The entries of other source ids are left
    // as they are, and so are pointers to them (an inverse set that empties
    // is the only entry erased). The indexes follow every entry added or
    // erased, even when an allocation fails part way.
    // Requires: the view was current before the levels changed, and every
    // source id whose entries at the levels changed since is refreshed.
    void vSourceRefresh(std::string_view sourceId, const std::map<Level, Mapping>& levels) {
        // The levels' relations are keyed by plain strings: one copy of the
        // id serves every lookup, and stays valid while entries are erased.
        const std::string key(sourceId);
        const IdSet* deciding = pDecidingSetGet(levels, key);

        Entry* entry = pSourceEntryFind(key);
        if (deciding == nullptr) {
            if (entry != nullptr) {
                for (const std::string& classifiedId : entry->second) {
                    vInverseErase(classifiedId, key);
                }
                sourceIndex.vErase(*entry); // before the entry goes
                sourceToClassified.erase(key);
            }
            return;
        }
        if (entry == nullptr) {
            entry = &vEntryAdd(sourceToClassified, sourceIndex, boSourceIndexed, key);
        }

        // Both sets are sorted alike: walk them side by side and edit the
        // merged set in place, so that its address stays what lookups gave.
        IdSet& merged = entry->second;
        auto before = merged.begin();
        auto after = deciding->begin();
        while (before != merged.end() || after != deciding->end()) {
            const int order = before == merged.end()    ? 1
                              : after == deciding->end() ? -1
                                                         : before->compare(*after);
            if (order < 0) {
                vInverseErase(*before, key);
                before = merged.erase(before);
            } else if (order > 0) {
                vInverseInsert(*after, key);
                merged.emplace_hint(before, *after);
                ++after;
            } else {
                ++before;
                ++after;
            }
        }
    }

    // The merge rule for one source id: the set of the highest level that
    // lists it, or null when no level does. Levels: a map from level to
    // Mapping, in ascending level order.
    template <class Levels>
    [[nodiscard]] static const IdSet* pDecidingSetGet(const Levels& levels, const std::string& sourceId) {
        for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
            const auto found = level->second.sourceToClassified.find(sourceId);
            if (found != level->second.sourceToClassified.end()) {
                return &found->second;
            }
        }
        return nullptr;
    }

    // The single-id lookups below go through the hashed index once it is
    // built: one hash of the id and, mostly, one slot and one entry read,
    // however large the view.

    // The merged classified ids of the source id, or null. Valid until the
    // next rebuild, a refresh that takes the source id out of the view, or
    // the destruction of the level cache; a refresh of the source id edits
    // the set in place.
    [[nodiscard]] const IdSet* pClassifiedIdsGet(std::string_view sourceId) const {
        const Entry* found = pSourceEntryFind(sourceId);
        return found == nullptr ? nullptr : &found->second;
    }

    // The source ids mapped to the classified id, or null. Valid until the
    // next rebuild, a refresh that empties the set, or the destruction of
    // the level cache.
    [[nodiscard]] const IdSet* pSourceIdsGet(std::string_view classifiedId) const {
        vInverseEnsure();
        const Entry* found = inverseIndex.pFind(classifiedId);
        return found == nullptr ? nullptr : &found->second;
    }

    // The inverse relation: classified id to the source ids whose merged set
    // holds it. Built on the first call after a rebuild. Valid, and entries
    // stay where they are, until the next rebuild or the destruction of the
    // level cache; a refresh changes the entries of the classified ids it
    // touches (and erases a set that empties).
    [[nodiscard]] const Relation& classifiedToSourceGet() const {
        vInverseEnsure();
        return classifiedToSource;
    }

    // The one classified id of the source id: the smallest when there are
    // several (reported), empty when the source id is absent or its set is.
    [[nodiscard]] std::string sClassifiedIdGet(std::string_view sourceId) const {
        const IdSet* classified = pClassifiedIdsGet(sourceId);
        if (classified == nullptr || classified->empty()) {
            return {};
        }
        VYR_ASSERT(classified->size() <= 1,
                   "sClassifiedIdGet called when there is multiple classified. Use pClassifiedIdsGet() instead",
                   "vyr::classification::CacheMerged<enum vyr::cache::Level>::sClassifiedIdGet");
        return *classified->begin();
    }

    // The one source id of the classified id: the smallest when there are
    // several (reported), empty when the classified id is absent.
    [[nodiscard]] std::string sSourceIdGet(std::string_view classifiedId) const {
        const IdSet* sources = pSourceIdsGet(classifiedId);
        if (sources == nullptr || sources->empty()) {
            return {};
        }
        VYR_ASSERT(sources->size() <= 1,
                   "sSourceIdGet called when several source ids map to the classified id. Use pSourceIdsGet() instead",
                   "vyr::classification::CacheMerged<enum vyr::cache::Level>::sSourceIdGet");
        return *sources->begin();
    }

    // Every merged (source id, classified id) pair, ordered by source id,
    // then classified id. A source id with an empty set gives no pair.
    [[nodiscard]] std::set<std::pair<std::string, std::string>> mappingsGet() const {
        std::set<std::pair<std::string, std::string>> pairs;
        for (const auto& [source, classified] : sourceToClassified) {
            for (const std::string& classifiedId : classified) {
                pairs.emplace_hint(pairs.end(), source, classifiedId);
            }
        }
        return pairs;
    }

    // How many entries each index holds: (source ids, classified ids). Equal
    // to the sizes of the maps once the index is built, 0 before.
    [[nodiscard]] std::pair<std::size_t, std::size_t> indexSizesGet() const {
        return {sourceIndex.sizeGet(), inverseIndex.sizeGet()};
    }

    // The heap bytes of both indexes' slot arrays.
    [[nodiscard]] std::size_t indexBytesGet() const { return sourceIndex.bytesGet() + inverseIndex.bytesGet(); }

    // Read freely; changed only by the operations of this class, which keep
    // the indexes below in step. Code that changed the map directly would
    // leave its index stale (and holding addresses of erased entries).
    Relation sourceToClassified;

private:
    using Entry = typename Relation::value_type;

    // The inverse relation, built by vInverseEnsure; empty until then.
    mutable Relation classifiedToSource;
    mutable bool boInverseBuilt = false;
    // Whether sourceIndex is built, and the lookups that went without it
    // since the last rebuild.
    mutable bool boSourceIndexed = false;
    mutable std::size_t unindexedLookups = 0;

    // Beside each map, the address of each of its entries, hashed by the
    // entry's key: every lookup of one id goes through it. Exact after every
    // operation of this class, failed ones included: an entry is indexed
    // once it is in its map, and leaves the index before it leaves the map.
    // Invalidated by any change of a map outside this class; a move of the
    // view keeps it, a copy indexes its own entries.
    mutable IdIndex<Entry> sourceIndex;
    mutable IdIndex<Entry> inverseIndex;

    // Empties both maps and both indexes; the indexes first, so that they
    // never hold an address the maps have freed. Nothing is built after it.
    void vEmpty() noexcept {
        sourceIndex.vClear();
        inverseIndex.vClear();
        sourceToClassified.clear();
        classifiedToSource.clear();
        boInverseBuilt = false;
        boSourceIndexed = false;
        unindexedLookups = 0;
    }

    // The entry of the source id, or null: through the index once it is
    // built, else by a walk down the map, which builds the index when
    // enough lookups went without it. The entry belongs to the view's own
    // map, which is not const: only the callers' view of it is.
    Entry* pSourceEntryFind(std::string_view sourceId) const {
        auto& map = const_cast<Relation&>(sourceToClassified);
        if (!boSourceIndexed && ++unindexedLookups > kIndexAfter) {
            sourceIndex.vAssign(map); // empty again if it throws
            boSourceIndexed = true;
        }
        if (boSourceIndexed) {
            return sourceIndex.pFind(sourceId);
        }
        const auto found = map.find(sourceId);
        return found == map.end() ? nullptr : &*found;
    }

    // Builds the inverse relation and its index from sourceToClassified,
    // unless they are built. Source ids arrive in ascending order, so each
    // goes at the end of its classified id's set; the index, filled as the
    // entries come, finds each classified id's entry without a walk down
    // the map. When an allocation fails, both are left empty and unbuilt.
    void vInverseEnsure() const {
        if (boInverseBuilt) {
            return;
        }
        try {
            for (const auto& [source, classified] : sourceToClassified) {
                for (const std::string& classifiedId : classified) {
                    Entry* entry = inverseIndex.pFind(classifiedId);
                    if (entry == nullptr) {
                        entry = &vEntryAdd(classifiedToSource, inverseIndex, true, classifiedId);
                    }
                    entry->second.emplace_hint(entry->second.end(), source);
                }
            }
        } catch (...) {
            inverseIndex.vClear();
            classifiedToSource.clear();
            throw;
        }
        boInverseBuilt = true;
    }

    // The merge of vRebuild, into empty maps and indexes.
    void vBuild(const std::map<Level, Mapping>& levels) {
        // Where the merge stands in one level's relation, and the last
        // round that found the level at the smallest source id.
        struct Cursor {
            Mapping::Relation::const_iterator at;
            Mapping::Relation::const_iterator end;
            std::size_t round = 0;
        };
        std::vector<Cursor> cursors; // ascending level order
        cursors.reserve(levels.size());
        for (const auto& [level, mapping] : levels) {
            if (!mapping.sourceToClassified.empty()) {
                cursors.push_back({mapping.sourceToClassified.begin(), mapping.sourceToClassified.end()});
            }
        }

        if (cursors.size() == 1) {
            // One level decides everything: copy its relation in order.
            for (auto it = cursors.front().at; it != cursors.front().end; ++it) {
                sourceToClassified.emplace_hint(sourceToClassified.end(), it->first, it->second);
            }
        } else {
            // One comparison per level and source id: each smaller id found
            // starts a new round, and the levels marked with the last round
            // are those at the smallest id; the highest of them decides.
            std::size_t round = 0;
            while (true) {
                const Cursor* deciding = nullptr;
                for (Cursor& cursor : cursors) {
                    if (cursor.at == cursor.end) {
                        continue;
                    }
                    const int order = deciding == nullptr ? -1 : cursor.at->first.compare(deciding->at->first);
                    if (order < 0) {
                        ++round;
                    }
                    if (order <= 0) {
                        deciding = &cursor;
                        cursor.round = round;
                    }
                }
                if (deciding == nullptr) {
                    break;
                }
                sourceToClassified.emplace_hint(sourceToClassified.end(), deciding->at->first, deciding->at->second);
                for (Cursor& cursor : cursors) {
                    if (cursor.round == round && cursor.at != cursor.end) {
                        ++cursor.at;
                    }
                }
            }
        }
    }

    // Adds an empty entry for the id, which the map does not hold, to the
    // map and, when it is built, to the index; room in the index is made
    // first, so that the entry is indexed once it is in the map.
    static Entry& vEntryAdd(Relation& map, IdIndex<Entry>& index, bool boIndexed, const std::string& id) {
        if (!boIndexed) {
            return *map.try_emplace(id).first;
        }
        index.vReserve(index.sizeGet() + 1);
        Entry& entry = *map.try_emplace(id).first;
        index.vInsert(entry);
        return entry;
    }

    // Puts the source id into the classified id's inverse set. Bulk edits
    // mostly go in ascending source order, so a source id above every one in
    // the set goes to its end without a search.
    void vInverseInsert(const std::string& classifiedId, const std::string& sourceId) {
        if (!boInverseBuilt) {
            return; // built from the merged sets when first asked for
        }
        Entry* entry = inverseIndex.pFind(classifiedId);
        if (entry == nullptr) {
            entry = &vEntryAdd(classifiedToSource, inverseIndex, true, classifiedId);
        }
        IdSet& sources = entry->second;
        if (sources.empty() || *sources.rbegin() < sourceId) {
            sources.emplace_hint(sources.end(), sourceId);
        } else {
            sources.insert(sourceId);
        }
    }

    // Takes the source id out of the classified id's inverse set, erasing
    // the set when it empties.
    void vInverseErase(const std::string& classifiedId, const std::string& sourceId) {
        if (!boInverseBuilt) {
            return;
        }
        Entry* entry = inverseIndex.pFind(classifiedId);
        if (entry != nullptr) {
            // One search: erasing by key would look for the whole range.
            const auto source = entry->second.find(sourceId);
            if (source != entry->second.end()) {
                entry->second.erase(source);
            }
            if (entry->second.empty()) {
                inverseIndex.vErase(*entry); // before the entry goes
                classifiedToSource.erase(classifiedId);
            }
        }
    }
};

} // namespace vyr::classification
