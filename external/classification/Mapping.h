#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

namespace vyr::classification {

// The mapping of one classification at one level: its id, six more text
// attributes, two flags, the relation from source id to classified ids that
// the store merges, and a second relation that is only carried along.
// A plain value type; thread-compatible.
//
// A removal keeps the source id listed (possibly with an empty set): in the
// merged view the highest level that lists a source id decides its whole
// set. Only vUnlistSource unlists it, which hands the decision back to the
// lower levels.
struct Mapping {
    using Relation = std::map<std::string, std::set<std::string>>;

    Mapping() = default;
    Mapping(std::string id, std::string text2, std::string text3, std::string text4, std::string text5,
            bool flag1, bool flag2);

    // c joins the set of s; s becomes listed if it was not.
    void vMappingAdd(std::string_view sourceId, std::string_view classifiedId);
    // The set of s becomes exactly {c}.
    void vMappingSet(std::string_view sourceId, std::string_view classifiedId);
    // c leaves the set of s; s stays listed if it was.
    void vRemoveMapping(std::string_view sourceId, std::string_view classifiedId);
    // The set of s becomes empty; s stays listed if it was.
    void vRemoveFromSource(std::string_view sourceId);
    // c leaves every set; every source stays listed.
    void vRemoveFromClassified(std::string_view classifiedId);
    // s is no longer listed, with whatever set it had.
    void vUnlistSource(std::string_view sourceId);
    // Whole copy of the other mapping.
    void vSet(const Mapping& other);

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
