#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "assert/Check.h"
#include "external/classification/Mapping.h"

namespace vyr::classification {

// The merged view of one classification: for every source id, the set that
// the highest level listing it gives it, and the inverse relation from
// classified ids back to source ids. Its level cache rebuilds it from scratch
// after a change that may touch many source ids, and refreshes the one
// source id that an edit touched otherwise; either way it ends up exactly as
// a rebuild would leave it. Owns both maps; thread-compatible (read and
// changed under the admin's mutex, or by the single thread that holds a
// write access).
//
// Invariants after every rebuild and refresh: (s, c) is in
// sourceToClassified exactly when (c, s) is in classifiedToSource;
// classifiedToSource holds no empty set; sourceToClassified may hold an
// empty set.
template <class Level>
class CacheMerged {
public:
    using IdSet = std::set<std::string>;
    using Relation = std::map<std::string, IdSet, std::less<>>;

    // Recomputes both maps from the level mappings. Costs one pass over
    // every entry of every level: the levels' relations are sorted alike, so
    // they are merged side by side, and each source id's set is copied once,
    // from the highest level that lists it.
    void vRebuild(const std::map<Level, Mapping>& levels) {
        sourceToClassified.clear();
        classifiedToSource.clear();

        using Cursor = std::pair<Mapping::Relation::const_iterator, Mapping::Relation::const_iterator>;
        std::vector<Cursor> cursors; // ascending level order
        cursors.reserve(levels.size());
        for (const auto& [level, mapping] : levels) {
            if (!mapping.sourceToClassified.empty()) {
                cursors.emplace_back(mapping.sourceToClassified.begin(), mapping.sourceToClassified.end());
            }
        }

        if (cursors.size() == 1) {
            // One level decides everything: copy its relation in order.
            for (auto it = cursors.front().first; it != cursors.front().second; ++it) {
                sourceToClassified.emplace_hint(sourceToClassified.end(), it->first, it->second);
            }
        } else {
            while (true) {
                const std::string* smallest = nullptr;
                for (const Cursor& cursor : cursors) {
                    if (cursor.first != cursor.second && (smallest == nullptr || cursor.first->first < *smallest)) {
                        smallest = &cursor.first->first;
                    }
                }
                if (smallest == nullptr) {
                    break;
                }
                // The last level listing the smallest source id is the highest one.
                const IdSet* deciding = nullptr;
                const std::string* key = nullptr;
                for (Cursor& cursor : cursors) {
                    if (cursor.first != cursor.second && cursor.first->first == *smallest) {
                        deciding = &cursor.first->second;
                        key = &cursor.first->first;
                    }
                }
                sourceToClassified.emplace_hint(sourceToClassified.end(), *key, *deciding);
                const std::string_view advanced = *key;
                for (Cursor& cursor : cursors) {
                    if (cursor.first != cursor.second && cursor.first->first == advanced) {
                        ++cursor.first;
                    }
                }
            }
        }

        // Source ids arrive in ascending order, so each goes at the end of
        // its classified id's set.
        for (const auto& [source, classified] : sourceToClassified) {
            for (const std::string& classifiedId : classified) {
                auto slot = classifiedToSource.lower_bound(classifiedId);
                if (slot == classifiedToSource.end() || slot->first != classifiedId) {
                    slot = classifiedToSource.emplace_hint(slot, classifiedId, IdSet());
                }
                slot->second.emplace_hint(slot->second.end(), source);
            }
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
    // is the only entry erased).
    // Requires: the view was current before the levels changed, and every
    // source id whose entries at the levels changed since is refreshed.
    void vSourceRefresh(std::string_view sourceId, const std::map<Level, Mapping>& levels) {
        // The levels' relations are keyed by plain strings: one copy of the
        // id serves every lookup, and stays valid while entries are erased.
        const std::string key(sourceId);
        const IdSet* deciding = nullptr;
        for (auto level = levels.rbegin(); level != levels.rend() && deciding == nullptr; ++level) {
            const auto found = level->second.sourceToClassified.find(key);
            if (found != level->second.sourceToClassified.end()) {
                deciding = &found->second;
            }
        }

        auto entry = sourceToClassified.lower_bound(key);
        const bool boListed = entry != sourceToClassified.end() && entry->first == key;
        if (deciding == nullptr) {
            if (boListed) {
                for (const std::string& classifiedId : entry->second) {
                    vInverseErase(classifiedId, key);
                }
                sourceToClassified.erase(entry);
            }
            return;
        }
        if (!boListed) {
            entry = sourceToClassified.emplace_hint(entry, key, IdSet());
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

    // The merged classified ids of the source id, or null. Valid until the
    // next rebuild, a refresh that takes the source id out of the view, or
    // the destruction of the level cache; a refresh of the source id edits
    // the set in place.
    [[nodiscard]] const IdSet* pClassifiedIdsGet(std::string_view sourceId) const {
        const auto found = sourceToClassified.find(sourceId);
        return found == sourceToClassified.end() ? nullptr : &found->second;
    }

    // The source ids mapped to the classified id, or null. Valid until the
    // next rebuild, a refresh that empties the set, or the destruction of
    // the level cache.
    [[nodiscard]] const IdSet* pSourceIdsGet(std::string_view classifiedId) const {
        const auto found = classifiedToSource.find(classifiedId);
        return found == classifiedToSource.end() ? nullptr : &found->second;
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

    Relation sourceToClassified;
    Relation classifiedToSource;

private:
    // Puts the source id into the classified id's inverse set. Bulk edits
    // mostly go in ascending source order, so a source id above every one in
    // the set goes to its end without a search.
    void vInverseInsert(const std::string& classifiedId, const std::string& sourceId) {
        IdSet& sources = classifiedToSource.try_emplace(classifiedId).first->second;
        if (sources.empty() || *sources.rbegin() < sourceId) {
            sources.emplace_hint(sources.end(), sourceId);
        } else {
            sources.insert(sourceId);
        }
    }

    // Takes the source id out of the classified id's inverse set, erasing
    // the set when it empties.
    void vInverseErase(const std::string& classifiedId, const std::string& sourceId) {
        const auto found = classifiedToSource.find(classifiedId);
        if (found != classifiedToSource.end()) {
            // One search: erasing by key would look for the whole range.
            const auto source = found->second.find(sourceId);
            if (source != found->second.end()) {
                found->second.erase(source);
            }
            if (found->second.empty()) {
                classifiedToSource.erase(found);
            }
        }
    }
};

} // namespace vyr::classification
