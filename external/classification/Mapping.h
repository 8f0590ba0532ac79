#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace vyr::classification {

// The mapping of one classification at one level: its id, six more text
// attributes, two flags, the relation from source id to classified ids that
// the store merges, and a second relation that is only carried along.
// A plain value type, whole in this header (hosts and modules use it
// without linking the store); thread-compatible.
//
// A removal keeps the source id listed (possibly with an empty set): in the
// merged view the highest level that lists a source id decides its whole
// set. Only vUnlistSource unlists it, which hands the decision back to the
// lower levels.
struct Mapping {
    using Relation = std::map<std::string, std::set<std::string>>;

    Mapping() = default;
    Mapping(std::string id, std::string text2, std::string text3, std::string text4, std::string text5,
            bool flag1, bool flag2)
        : sId(std::move(id)), sText2(std::move(text2)), sText3(std::move(text3)), sText4(std::move(text4)),
          sText5(std::move(text5)), boFlag1(flag1), boFlag2(flag2) {}

    // c joins the set of s; s becomes listed if it was not.
    void vMappingAdd(std::string_view sourceId, std::string_view classifiedId) {
        sourceToClassified[std::string(sourceId)].emplace(classifiedId);
    }
    // The set of s becomes exactly {c}.
    void vMappingSet(std::string_view sourceId, std::string_view classifiedId) {
        std::set<std::string>& classified = sourceToClassified[std::string(sourceId)];
        classified.clear();
        classified.emplace(classifiedId);
    }
    // c leaves the set of s; s stays listed if it was.
    void vRemoveMapping(std::string_view sourceId, std::string_view classifiedId) {
        const auto found = sourceToClassified.find(std::string(sourceId));
        if (found != sourceToClassified.end()) {
            found->second.erase(std::string(classifiedId));
        }
    }
    // The set of s becomes empty; s stays listed if it was.
    void vRemoveFromSource(std::string_view sourceId) {
        const auto found = sourceToClassified.find(std::string(sourceId));
        if (found != sourceToClassified.end()) {
            found->second.clear();
        }
    }
    // c leaves every set; every source stays listed.
    void vRemoveFromClassified(std::string_view classifiedId) {
        const std::string key(classifiedId);
        for (auto& entry : sourceToClassified) {
            entry.second.erase(key);
        }
    }
    // s is no longer listed, with whatever set it had.
    void vUnlistSource(std::string_view sourceId) {
        const auto found = sourceToClassified.find(std::string(sourceId));
        if (found != sourceToClassified.end()) {
            sourceToClassified.erase(found);
        }
    }
    // Whole copy of the other mapping.
    void vSet(const Mapping& other) {
        if (this != &other) {
            *this = other;
        }
    }

    bool operator==(const Mapping&) const = default;

    std::string sId;
    std::string sText2;
    std::string sText3;
    std::string sText4;
    std::string sText5;
    std::string sText6;
    std::string sText7;
    bool boFlag1 = false;
    bool boFlag2 = false;
    Relation sourceToClassified;
    Relation secondRelation;
};

} // namespace vyr::classification
