#pragma once

#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace vyr::classification {

// The store's read interface. Every query loads the classification on first
// use and answers from its merged view. Implementations say how they lock.
class AdminInterface {
public:
    virtual ~AdminInterface() = default;

    // Whether the store knows the classification, after loading it if needed.
    [[nodiscard]] virtual bool boClassificationExists(std::string_view id) = 0;
    // The merged classified ids of the source id, or null; valid until the
    // classification's merged view is next rebuilt, an edit takes the entry
    // out of it, or the store is destroyed.
    [[nodiscard]] virtual const std::set<std::string>* pClassifiedIdsGet(std::string_view id,
                                                                         std::string_view sourceId) = 0;
    // The source ids mapped to the classified id, or null; same lifetime.
    [[nodiscard]] virtual const std::set<std::string>* pSourceIdsGet(std::string_view id,
                                                                     std::string_view classifiedId) = 0;
    [[nodiscard]] virtual std::string sClassifiedIdGet(std::string_view id, std::string_view sourceId) = 0;
    [[nodiscard]] virtual std::string sSourceIdGet(std::string_view id, std::string_view classifiedId) = 0;
    // Every merged (source id, classified id) pair.
    [[nodiscard]] virtual std::set<std::pair<std::string, std::string>> mappingsGet(std::string_view id) = 0;

protected:
    AdminInterface() = default;
    AdminInterface(const AdminInterface&) = default;
    AdminInterface& operator=(const AdminInterface&) = default;
};

} // namespace vyr::classification
