#include "Source/Core/Utilities/Cache/FileRecord.h"

#include "external/platform/FileSystem.h"

namespace vyr::utilities {

std::int64_t clockTicksGet() noexcept { return platform::clockTicksGet(); }

bool boFileStampGet(const std::filesystem::path& file, platform::FileStamp& stamp) noexcept {
    const platform::FileProbe found = platform::probe(file);
    if (found.kind == platform::FileKind::Missing || found.kind == platform::FileKind::Unknown) {
        return false;
    }
    stamp = found.stamp;
    return true;
}

} // namespace vyr::utilities
