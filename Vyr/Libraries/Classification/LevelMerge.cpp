#include "Vyr/Libraries/Classification/LevelMerge.h"

#include <set>
#include <string>
#include <utility>

namespace vyr::classification {
namespace {

template <class Field>
void vFieldMerge(const Field& base, const Field& ours, Field& theirs) {
    if (ours != base) {
        theirs = ours;
    }
}

// One source id's entry changed from `before` to `after` by the edits.
void vSourceMerge(Mapping::Relation& theirs, const std::string& source, const std::set<std::string>* before,
                  const std::set<std::string>& after) {
    auto found = theirs.find(source);
    if (before != nullptr) {
        if (found != theirs.end()) {
            for (const std::string& id : *before) {
                if (after.count(id) == 0) {
                    found->second.erase(id);
                }
            }
        }
        bool boAdds = false;
        for (const std::string& id : after) {
            if (before->count(id) == 0) {
                boAdds = true;
                break;
            }
        }
        // Only removals, on a source id that theirs no longer lists: it
        // stays unlisted.
        if (!boAdds) {
            return;
        }
    }
    if (found == theirs.end()) {
        found = theirs.try_emplace(source).first;
    }
    for (const std::string& id : after) {
        if (before == nullptr || before->count(id) == 0) {
            found->second.insert(id);
        }
    }
}

void vRelationMerge(const Mapping::Relation& base, const Mapping::Relation& ours, Mapping::Relation& theirs) {
    auto edited = ours.begin();
    auto original = base.begin();
    while (edited != ours.end() || original != base.end()) {
        if (original == base.end() || (edited != ours.end() && edited->first < original->first)) {
            vSourceMerge(theirs, edited->first, nullptr, edited->second);
            ++edited;
        } else if (edited == ours.end() || original->first < edited->first) {
            theirs.erase(original->first);
            ++original;
        } else {
            if (edited->second != original->second) {
                vSourceMerge(theirs, edited->first, &original->second, edited->second);
            }
            ++edited;
            ++original;
        }
    }
}

} // namespace

Mapping mergeLevel(const Mapping& base, const Mapping& ours, Mapping theirs) {
    vFieldMerge(base.sId, ours.sId, theirs.sId);
    vFieldMerge(base.sText2, ours.sText2, theirs.sText2);
    vFieldMerge(base.sText3, ours.sText3, theirs.sText3);
    vFieldMerge(base.sText4, ours.sText4, theirs.sText4);
    vFieldMerge(base.sText5, ours.sText5, theirs.sText5);
    vFieldMerge(base.sText6, ours.sText6, theirs.sText6);
    vFieldMerge(base.sText7, ours.sText7, theirs.sText7);
    vFieldMerge(base.boFlag1, ours.boFlag1, theirs.boFlag1);
    vFieldMerge(base.boFlag2, ours.boFlag2, theirs.boFlag2);
    vRelationMerge(base.sourceToClassified, ours.sourceToClassified, theirs.sourceToClassified);
    vRelationMerge(base.secondRelation, ours.secondRelation, theirs.secondRelation);
    return theirs;
}

} // namespace vyr::classification
