#pragma once

#include <exception>
#include <string>

#include "external/platform/Export.h"

namespace managed::System {

// The runtime's error for an argument outside the range its operation
// accepts. Owns a copy of its message. Thrown as a C++ exception; defined in
// the runtime library so that every module catches the same type.
class VYR_EXPORT ArgumentOutOfRangeException : public std::exception {
public:
    explicit ArgumentOutOfRangeException(std::string sMessage);
    ~ArgumentOutOfRangeException() override;

    [[nodiscard]] const std::string& Message() const noexcept { return message_; }
    [[nodiscard]] const char* what() const noexcept override;

private:
    std::string message_;
};

} // namespace managed::System
