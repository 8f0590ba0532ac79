#pragma once

// What the bridge's own native code needs of the store's C face beyond the
// face itself. Not installed.

#include <cstdint>

namespace vyr::bridge::face {

// Marks a classification run in progress for its lifetime: the face refuses
// to reset the store meanwhile. Thread-safe.
class RunScope {
public:
    RunScope() noexcept;
    ~RunScope();
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;
};

// Throws again, unchanged, the C++ exception that the face kept under the
// token when it ended a face function with VYR_ERROR. Returns when the face
// no longer keeps it: it keeps the last few per process, so that a managed
// caller that carries the token back can have the original rethrown.
void vKeptErrorRethrow(std::uint64_t token);

} // namespace vyr::bridge::face
