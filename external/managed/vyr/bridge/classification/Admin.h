#pragma once

#include <string_view>

namespace vyr::bridge::classification {
class AdminWrapper;
} // namespace vyr::bridge::classification

namespace managed::vyr::bridge::classification {

// Managed proxy of the classification store: holds the caller's store handle,
// through which a module reaches every store operation. Points at the handle
// without owning it. Immutable after construction.
class Admin {
public:
    static constexpr std::string_view managedTypeName = "vyr.bridge.classification.Admin";

    explicit Admin(::vyr::bridge::classification::AdminWrapper& admin) noexcept : admin_(admin) {}
    Admin(const Admin&) = delete;
    Admin& operator=(const Admin&) = delete;

    // Valid while the call that made the proxy runs.
    [[nodiscard]] ::vyr::bridge::classification::AdminWrapper& nativeGet() const noexcept { return admin_; }

private:
    ::vyr::bridge::classification::AdminWrapper& admin_;
};

} // namespace managed::vyr::bridge::classification
