#pragma once

#include <string>
#include <string_view>
#include <system_error>

#include "assert/AssertInfo.h"
#include "external/assert/Assert.h"

// Advisory check used by every broken-precondition report of the store.
// The condition is evaluated only when the sink is enabled; a failing
// condition reports one record of type 0 with the given literal message and
// function name, the source file and the line, and execution goes on with
// the next statement in every case.
#define VYR_ASSERT(condition, message, function)                                                   \
    do {                                                                                           \
        if (::vyr::assert::Assert::isEnabled() && !(condition)) {                                  \
            const ::vyr::assert::AssertInfo vyrAssertInfo_{::vyr::assert::Type::Advisory, message, \
                                                           function, __FILE__, __LINE__};          \
            ::vyr::assert::Assert::addAssert(vyrAssertInfo_);                                      \
        }                                                                                          \
    } while (false)

// Reports a failure that the code has already detected: one record, when the
// sink is enabled, with the given literal message and function name.
#define VYR_REPORT(message, function) VYR_ASSERT(false, message, function)

namespace vyr::assert {

// The reason of an errno value as a person reads it inside a sentence ("no
// space left on device", "read-only file system").
[[nodiscard]] inline std::string errnoReason(int error) {
    std::string reason = std::generic_category().message(error);
    if (reason.size() > 1 && reason[0] >= 'A' && reason[0] <= 'Z' && !(reason[1] >= 'A' && reason[1] <= 'Z')) {
        reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
    }
    return reason;
}

// "<what>: <reason><after>" for an errno value (see errnoReason).
[[nodiscard]] inline std::string errnoMessage(std::string_view what, int error, std::string_view after = {}) {
    const std::string reason = errnoReason(error);
    std::string message;
    message.reserve(what.size() + 2 + reason.size() + after.size());
    message += what;
    message += ": ";
    message += reason;
    message += after;
    return message;
}

} // namespace vyr::assert

// Reports a failure of a system call with its reason: one record whose
// message is "<what>: <reason><after>" (see errnoMessage).
#define VYR_REPORT_ERRNO(what, error, after, function)                                               \
    do {                                                                                             \
        if (::vyr::assert::Assert::isEnabled()) {                                                    \
            const std::string vyrAssertText_ = ::vyr::assert::errnoMessage(what, error, after);       \
            const ::vyr::assert::AssertInfo vyrAssertInfo_{::vyr::assert::Type::Advisory, vyrAssertText_, \
                                                           function, __FILE__, __LINE__};            \
            ::vyr::assert::Assert::addAssert(vyrAssertInfo_);                                        \
        }                                                                                            \
    } while (false)
