#pragma once

// Filling a failure value together with the assertion record that reports
// the same failure. Internal to the store: no installed header includes it.

#include <string>
#include <string_view>
#include <utility>

#include "Source/Core/Utilities/Cache/Failure.h"
#include "assert/Check.h"

namespace vyr::cache {

// Notes the kind, what failed and why, unless the value already holds a
// failure: the first failure of an operation is its cause. The reason of an
// errno value is the system's text. Level and file are set by the operation.
inline void vFailureNote(Failure& failure, FailureKind kind, std::string_view what, std::string_view after,
                         int error, std::string reason) {
    if (failure.boFailed()) {
        return;
    }
    failure.kind = kind;
    failure.sWhat.reserve(what.size() + after.size());
    failure.sWhat.assign(what).append(after);
    failure.error = error;
    failure.sReason = error != 0 && reason.empty() ? assert::errnoReason(error) : std::move(reason);
}

// Names the level and the file of the failure just noted, if there is one.
inline void vFailureTargetSet(Failure& failure, Level level, const std::filesystem::path& file) {
    if (failure.boFailed()) {
        failure.level = level;
        failure.file = file;
    }
}

// Empties the value at the start of an operation.
inline void vFailureClear(Failure& failure) {
    if (failure.boFailed()) {
        failure = Failure();
    }
}

} // namespace vyr::cache

// Reports a failure as VYR_REPORT does and notes it in the value, with its
// kind (a FailureKind name: Busy, Link, ...) and the reason given (a
// document's parse error, or empty).
#define VYR_FAIL(failure, kind, message, reason, function)                                           \
    do {                                                                                             \
        ::vyr::cache::vFailureNote(failure, ::vyr::cache::FailureKind::kind, message, {}, 0, reason); \
        VYR_REPORT(message, function);                                                               \
    } while (false)

// Reports a failed system call as VYR_REPORT_ERRNO does ("<what>: <reason>
// <after>") and notes it in the value as a SystemError: what and after, the
// error number and the system's reason.
#define VYR_FAIL_ERRNO(failure, what, error, after, function)                                              \
    do {                                                                                                   \
        ::vyr::cache::vFailureNote(failure, ::vyr::cache::FailureKind::SystemError, what, after, error, {}); \
        VYR_REPORT_ERRNO(what, error, after, function);                                                    \
    } while (false)
