#pragma once

// Mappings for the tests: one builder, readable failure messages, the pairs
// of a relation, and the merge rule of the store computed independently, as
// an oracle for what the merged view must hold.

#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Resource/Classification/ClassificationCacheMerged.h"
#include "external/classification/Mapping.h"

namespace vyr::classification {

// Readable failure messages for mappings.
inline void PrintTo(const Mapping& mapping, std::ostream* out) {
    *out << "{id '" << mapping.sId << "', texts '" << mapping.sText2 << "' '" << mapping.sText3 << "' '"
         << mapping.sText4 << "' '" << mapping.sText5 << "' '" << mapping.sText6 << "' '" << mapping.sText7
         << "', flags " << mapping.boFlag1 << mapping.boFlag2 << ", relation {";
    for (const auto& [source, classified] : mapping.sourceToClassified) {
        *out << " " << source << ":{";
        for (const std::string& id : classified) {
            *out << " " << id;
        }
        *out << " }";
    }
    *out << " }, second relation of " << mapping.secondRelation.size() << "}";
}

} // namespace vyr::classification

namespace vyr::test {

using cache::Level;
using classification::Mapping;
// A relation as the merged view holds it.
using Relation = classification::CacheMerged<Level>::Relation;
using Pairs = std::set<std::pair<std::string, std::string>>;

// A mapping with the given id and relation (of either map type), flags true
// and false, and texts 2 to 7 made of the prefix and the text's number.
// Without a prefix the texts name the id ("id-2"), so that copies can be
// told apart.
template <class AnyRelation = Relation>
Mapping mappingOf(const std::string& id, const AnyRelation& relation = {}, const std::string& textPrefix = {}) {
    const std::string prefix = textPrefix.empty() ? id + "-" : textPrefix;
    Mapping mapping(id, prefix + "2", prefix + "3", prefix + "4", prefix + "5", true, false);
    mapping.sText6 = prefix + "6";
    mapping.sText7 = prefix + "7";
    mapping.sourceToClassified.insert(relation.begin(), relation.end());
    return mapping;
}

// The pairs of a relation (of either map type), as mappingsGet lists them.
template <class AnyRelation>
Pairs pairsOf(const AnyRelation& relation) {
    Pairs pairs;
    for (const auto& [source, classified] : relation) {
        for (const std::string& classifiedId : classified) {
            pairs.emplace(source, classifiedId);
        }
    }
    return pairs;
}

// Both directions of a merged view.
struct MergedRelations {
    Relation sourceToClassified;
    Relation classifiedToSource;
};

// The merged view as the plain merge rule gives it: levels in ascending
// order, each listed source id's set replacing what a lower level gave it;
// the inverse relation computed from that result.
inline MergedRelations mergeOf(const std::map<Level, Mapping>& levels) {
    MergedRelations merged;
    for (const auto& [level, mapping] : levels) {
        for (const auto& [source, classified] : mapping.sourceToClassified) {
            merged.sourceToClassified[source] = classified;
        }
    }
    for (const auto& [source, classified] : merged.sourceToClassified) {
        for (const std::string& id : classified) {
            merged.classifiedToSource[id].insert(source);
        }
    }
    return merged;
}

} // namespace vyr::test
