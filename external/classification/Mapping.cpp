#include "external/classification/Mapping.h"

#include <utility>

namespace vyr::classification {

Mapping::Mapping(std::string id, std::string text2, std::string text3, std::string text4, std::string text5,
                 bool flag1, bool flag2)
    : sId(std::move(id)), sText2(std::move(text2)), sText3(std::move(text3)), sText4(std::move(text4)),
      sText5(std::move(text5)), boFlag1(flag1), boFlag2(flag2) {}

void Mapping::vMappingAdd(std::string_view sourceId, std::string_view classifiedId) {
    sourceToClassified[std::string(sourceId)].emplace(classifiedId);
}

void Mapping::vMappingSet(std::string_view sourceId, std::string_view classifiedId) {
    std::set<std::string>& classified = sourceToClassified[std::string(sourceId)];
    classified.clear();
    classified.emplace(classifiedId);
}

void Mapping::vRemoveMapping(std::string_view sourceId, std::string_view classifiedId) {
    const auto found = sourceToClassified.find(std::string(sourceId));
    if (found != sourceToClassified.end()) {
        found->second.erase(std::string(classifiedId));
    }
}

void Mapping::vRemoveFromSource(std::string_view sourceId) {
    const auto found = sourceToClassified.find(std::string(sourceId));
    if (found != sourceToClassified.end()) {
        found->second.clear();
    }
}

void Mapping::vRemoveFromClassified(std::string_view classifiedId) {
    const std::string key(classifiedId);
    for (auto& [source, classified] : sourceToClassified) {
        classified.erase(key);
    }
}

void Mapping::vUnlistSource(std::string_view sourceId) {
    const auto found = sourceToClassified.find(std::string(sourceId));
    if (found != sourceToClassified.end()) {
        sourceToClassified.erase(found);
    }
}

void Mapping::vSet(const Mapping& other) {
    if (this != &other) {
        *this = other;
    }
}

} // namespace vyr::classification
