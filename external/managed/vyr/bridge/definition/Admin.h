#pragma once

#include <string_view>

#include "external/definition/AdminWrapper.h"

namespace managed::vyr::bridge::definition {

// Managed proxy of the definition library's admin. Points at the caller's
// admin handle without owning it. Immutable after construction.
class Admin {
public:
    static constexpr std::string_view managedTypeName = "vyr.bridge.definition.Admin";

    explicit Admin(::vyr::bridge::definition::AdminWrapper& admin) noexcept : admin_(admin) {}
    Admin(const Admin&) = delete;
    Admin& operator=(const Admin&) = delete;

    // Valid while the call that made the proxy runs.
    [[nodiscard]] ::vyr::bridge::definition::AdminWrapper& nativeGet() const noexcept { return admin_; }

private:
    ::vyr::bridge::definition::AdminWrapper& admin_;
};

} // namespace managed::vyr::bridge::definition
