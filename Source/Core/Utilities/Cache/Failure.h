#pragma once

#include <filesystem>
#include <string>

#include "Source/Core/Utilities/Cache/Level.h"

namespace vyr::cache {

// Why an operation of the store failed, as a value that a host reads: the
// level and its level file, what failed, and the reason. `sWhat` is the
// message of the assertion record that reports the failure, without the
// system's reason ("Level file could not be written back"); `error` is the
// system's error number (0 when the failure is not the system's) and
// `sReason` its text ("no space left on device"), or why a document does not
// read, with its line and column. When one failure leads to others, the
// first, its cause, is kept. Every field is empty (and boFailed() false)
// after an operation that succeeded. A plain value; thread-compatible.
struct Failure {
    [[nodiscard]] bool boFailed() const noexcept { return !sWhat.empty(); }

    Level level = Sys;
    std::filesystem::path file;
    std::string sWhat;
    int error = 0;
    std::string sReason;
};

} // namespace vyr::cache
