#pragma once

#include <cstdint>
#include <string_view>

namespace vyr::assert {

// Kind of an assertion record. Every check of the store reports type 0.
enum class Type : std::int32_t { Advisory = 0 };

// One assertion record, passed by const reference to the sink.
// Owns nothing: the three views point at constant text (literals and
// __FILE__) that a sink may rely on only during the call.
class AssertInfo {
public:
    constexpr AssertInfo(Type type, std::string_view message, std::string_view function,
                         std::string_view fileName, std::int32_t lineNo) noexcept
        : type_(type), message_(message), function_(function), fileName_(fileName), lineNo_(lineNo) {}

    [[nodiscard]] constexpr Type type() const noexcept { return type_; }
    [[nodiscard]] constexpr std::string_view message() const noexcept { return message_; }
    [[nodiscard]] constexpr std::string_view function() const noexcept { return function_; }
    [[nodiscard]] constexpr std::string_view fileName() const noexcept { return fileName_; }
    [[nodiscard]] constexpr std::int32_t lineNo() const noexcept { return lineNo_; }

private:
    Type type_;
    std::string_view message_;
    std::string_view function_;
    std::string_view fileName_;
    std::int32_t lineNo_;
};

} // namespace vyr::assert
