#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "external/platform/Export.h"

namespace vyr::classification {
class Admin;
} // namespace vyr::classification

namespace vyr::bridge::classification {

// The process-wide owner of the admin, holding one after this call. The first
// creation and vAdminReset are serialised, so concurrent callers never make a
// second admin or lose one. Must not be called (nor a wrapper made) while
// holding an admin's mutex: creation takes the owner's lock, then the new
// admin's.
std::unique_ptr<vyr::classification::Admin>& adminInstanceGet();

// The handle through which code outside the store reaches the process-wide
// admin: a plain pointer to it, not owned. Every operation forwards to the
// admin with its arguments unchanged and returns its result; the admin takes
// its own lock, except around cachesGet, where the wrapper takes it.
// A wrapper, and every pointer and write access obtained through it, must not
// be used after vAdminReset.
class VYR_EXPORT AdminWrapper {
public:
    using Level = vyr::cache::Level;
    using Cache = vyr::classification::CacheLevels<Level>;

    // Binds to the process-wide admin, creating it on first use.
    AdminWrapper();

    [[nodiscard]] bool boClassificationExists(std::string_view id);
    [[nodiscard]] bool boCreateClassification(const std::string& id, const std::string& sText2,
                                              const std::string& sText3, const std::string& sText4,
                                              const std::string& sText5, bool boFlag1, bool boFlag2,
                                              const Level& level);
    // The id's level cache; never null. Valid until the admin is destroyed,
    // but read without the admin's lock once returned.
    [[nodiscard]] Cache* cachesGet(std::string_view id);
    [[nodiscard]] std::string sText2Get(std::string_view id);
    [[nodiscard]] std::string sText3Get(std::string_view id);
    [[nodiscard]] std::string sText6Get(std::string_view id);
    [[nodiscard]] std::string sText4Get(std::string_view id);
    [[nodiscard]] std::string sText5Get(std::string_view id);
    [[nodiscard]] bool boMappingExists(std::string_view id, std::string_view sSourceId,
                                       std::string_view sClassifiedId);
    // Set pointers stay valid until the classification's merged view is next
    // rebuilt, an edit takes their entry out of it, or the admin is destroyed.
    [[nodiscard]] const std::set<std::string>* pClassifiedIdsGet(std::string_view id, std::string_view sourceId);
    [[nodiscard]] const std::set<std::string>* pSourceIdsGet(std::string_view id, std::string_view classifiedId);
    [[nodiscard]] std::string sClassifiedIdGet(std::string_view id, std::string_view sourceId);
    [[nodiscard]] std::string sSourceIdGet(std::string_view id, std::string_view classifiedId);
    [[nodiscard]] vyr::classification::WriteAccess writeAccessGet(std::string_view id);

    // Destroys the process-wide admin (creating one first if there is none).
    // Must not run while any operation on the admin is in progress.
    static void vAdminReset();

private:
    vyr::classification::Admin* admin;
};

} // namespace vyr::bridge::classification
