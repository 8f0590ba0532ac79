#pragma once

#include <filesystem>
#include <string>

#include "Source/Core/Utilities/Cache/Level.h"

namespace vyr::cache {

// How one level folder is followed for changes. A plain value.
struct LevelWatch {
    Level level = Sys;
    std::filesystem::path folder;
    // True when changes in the folder make the store's change descriptor
    // readable; false when the folder is polled (its files are looked at
    // on every refresh of changes).
    bool boWatched = false;
    // Why the folder is polled ("watch limit reached", "network or FUSE
    // file system (nfs4): ..."), or, for a watched folder that does not
    // exist yet, where its creation is awaited; empty otherwise.
    std::string sReason;
};

} // namespace vyr::cache
