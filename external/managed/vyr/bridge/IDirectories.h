#pragma once

namespace vyr {
class DirectoriesInterface;
} // namespace vyr

namespace managed::vyr::bridge {

// The managed face of the directory service that a module is initialised
// with. Implementations point at a native service they do not own.
class IDirectories {
public:
    IDirectories() = default;
    IDirectories(const IDirectories&) = delete;
    IDirectories& operator=(const IDirectories&) = delete;
    virtual ~IDirectories() = default;

    // The native service behind the proxy; valid while the call that made
    // the proxy runs.
    [[nodiscard]] virtual const ::vyr::DirectoriesInterface& nativeGet() const noexcept = 0;
};

} // namespace managed::vyr::bridge
