#pragma once

#include <string>

#include "assert/AssertInfo.h"

namespace vyr::assert {

// Owning form of an AssertInfo, for a sink that keeps records. The inner
// record's views always point at this object's own strings, never at the
// source's: copies and moves re-point them.
class AssertInfoWrapper {
public:
    explicit AssertInfoWrapper(const AssertInfo& info)
        : message_(info.message()), function_(info.function()), fileName_(info.fileName()),
          info_(info.type(), message_, function_, fileName_, info.lineNo()) {}

    AssertInfoWrapper(const AssertInfoWrapper& other)
        : message_(other.message_), function_(other.function_), fileName_(other.fileName_),
          info_(other.info_.type(), message_, function_, fileName_, other.info_.lineNo()) {}

    AssertInfoWrapper(AssertInfoWrapper&& other) noexcept
        : message_(std::move(other.message_)), function_(std::move(other.function_)),
          fileName_(std::move(other.fileName_)),
          info_(other.info_.type(), message_, function_, fileName_, other.info_.lineNo()) {}

    AssertInfoWrapper& operator=(const AssertInfoWrapper& other) {
        if (this != &other) {
            AssertInfoWrapper copy(other);
            *this = std::move(copy);
        }
        return *this;
    }

    AssertInfoWrapper& operator=(AssertInfoWrapper&& other) noexcept {
        message_ = std::move(other.message_);
        function_ = std::move(other.function_);
        fileName_ = std::move(other.fileName_);
        info_ = AssertInfo(other.info_.type(), message_, function_, fileName_, other.info_.lineNo());
        return *this;
    }

    ~AssertInfoWrapper() = default;

    const AssertInfo* operator->() const noexcept { return &info_; }
    const AssertInfo& operator*() const noexcept { return info_; }

private:
    std::string message_;
    std::string function_;
    std::string fileName_;
    AssertInfo info_;
};

} // namespace vyr::assert
