#pragma once

#include <string_view>

#include "external/classification/ClassificationUiCallbackInterface.h"

namespace managed::vyr::bridge::classification {

// Managed proxy of the native user interface's callback during a run. Points
// at the caller's callback without owning it. Immutable after construction.
class CommonClassificationCallback {
public:
    static constexpr std::string_view managedTypeName = "vyr.bridge.classification.CommonClassificationCallback";

    explicit CommonClassificationCallback(::vyr::classification::ClassificationUiCallbackInterface* callback) noexcept
        : callback_(callback) {}
    CommonClassificationCallback(const CommonClassificationCallback&) = delete;
    CommonClassificationCallback& operator=(const CommonClassificationCallback&) = delete;

    // Valid while the call that made the proxy runs.
    [[nodiscard]] ::vyr::classification::ClassificationUiCallbackInterface* nativeGet() const noexcept {
        return callback_;
    }

private:
    ::vyr::classification::ClassificationUiCallbackInterface* callback_;
};

} // namespace managed::vyr::bridge::classification
