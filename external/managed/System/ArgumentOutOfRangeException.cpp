#include "external/managed/System/ArgumentOutOfRangeException.h"

#include <utility>

namespace managed::System {

ArgumentOutOfRangeException::ArgumentOutOfRangeException(std::string sMessage) : message_(std::move(sMessage)) {}

ArgumentOutOfRangeException::~ArgumentOutOfRangeException() = default;

const char* ArgumentOutOfRangeException::what() const noexcept { return message_.c_str(); }

} // namespace managed::System
