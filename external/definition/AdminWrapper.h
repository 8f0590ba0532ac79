#pragma once

#include <string>
#include <utility>

namespace vyr::bridge::definition {

// Handle to the definition library's admin. The classification bridge only
// passes its address to the managed definition proxy.
class AdminWrapper {
public:
    AdminWrapper() = default;
    explicit AdminWrapper(std::string name) : name_(std::move(name)) {}
    [[nodiscard]] const std::string& nameGet() const noexcept { return name_; }

private:
    std::string name_;
};

} // namespace vyr::bridge::definition
