#pragma once

#include <string_view>

#include "external/directories/Directories.h"
#include "external/managed/vyr/bridge/IDirectories.h"

namespace managed::vyr::bridge {

// Managed proxy of the native directory service. Points at the caller's
// service without owning it. Immutable after construction.
class Directories final : public IDirectories {
public:
    static constexpr std::string_view managedTypeName = "vyr.bridge.Directories";

    explicit Directories(const ::vyr::DirectoriesInterface& directories) noexcept : directories_(directories) {}

    [[nodiscard]] const ::vyr::DirectoriesInterface& nativeGet() const noexcept override { return directories_; }

private:
    const ::vyr::DirectoriesInterface& directories_;
};

} // namespace managed::vyr::bridge
