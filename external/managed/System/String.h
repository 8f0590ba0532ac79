#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "external/managed/System/ArgumentOutOfRangeException.h"

namespace managed::System {

// The runtime's immutable string of UTF-16 code units, whose length is a
// signed 32-bit count. Owns its code units. Immutable, so thread-safe.
class String {
public:
    static constexpr std::string_view managedTypeName = "System.String";

    // Copies `count` code units from `codeUnits`, which may hold NULs; any
    // 16-bit character type is taken as UTF-16. A negative count is an
    // ArgumentOutOfRangeException.
    template <class CodeUnit>
        requires(sizeof(CodeUnit) == sizeof(char16_t) && std::is_integral_v<CodeUnit>)
    String(const CodeUnit* codeUnits, std::int32_t count) {
        if (count < 0) {
            throw ArgumentOutOfRangeException("Length cannot be less than zero.");
        }
        codeUnits_.resize(static_cast<std::size_t>(count));
        for (std::int32_t index = 0; index < count; ++index) {
            codeUnits_[static_cast<std::size_t>(index)] = static_cast<char16_t>(codeUnits[index]);
        }
    }

    [[nodiscard]] std::int32_t Length() const noexcept { return static_cast<std::int32_t>(codeUnits_.size()); }
    // The code units; valid while the string lives.
    [[nodiscard]] std::u16string_view view() const noexcept { return codeUnits_; }

private:
    std::u16string codeUnits_;
};

} // namespace managed::System
