#include "external/managed/System/ArgumentOutOfRangeException.h"

#include <utility>

namespace managed::System {

ArgumentOutOfRangeException::ArgumentOutOfRangeException(std::string sMessage, std::string sStackTrace)
    : message_(std::move(sMessage)), stackTrace_(std::move(sStackTrace)) {}

ArgumentOutOfRangeException::~ArgumentOutOfRangeException() = default;

const char* ArgumentOutOfRangeException::what() const noexcept { return message_.c_str(); }

} // namespace managed::System
