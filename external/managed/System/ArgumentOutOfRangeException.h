#pragma once

#include <exception>
#include <string>

#include "external/platform/Export.h"

namespace managed::System {

// The runtime's error for an argument outside the range its operation
// accepts (System.ArgumentOutOfRangeException), as a host catches it: thrown
// by the entry points' string conversion, and for that managed exception
// when a module lets one out, with its stack trace. Owns copies of its
// texts; immutable, so thread-safe.
class VYR_EXPORT ArgumentOutOfRangeException : public std::exception {
public:
    explicit ArgumentOutOfRangeException(std::string sMessage, std::string sStackTrace = {});
    ~ArgumentOutOfRangeException() override;

    [[nodiscard]] const std::string& Message() const noexcept { return message_; }
    // "System.ArgumentOutOfRangeException".
    [[nodiscard]] static const char* sTypeNameGet() noexcept { return "System.ArgumentOutOfRangeException"; }
    // The managed stack trace; empty when the entry point threw it itself.
    [[nodiscard]] const std::string& sStackTraceGet() const noexcept { return stackTrace_; }
    [[nodiscard]] const char* what() const noexcept override;

private:
    std::string message_;
    std::string stackTrace_;
};

} // namespace managed::System
