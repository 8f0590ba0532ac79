#pragma once

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
