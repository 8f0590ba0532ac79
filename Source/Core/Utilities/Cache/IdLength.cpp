#include "Source/Core/Utilities/Cache/IdLength.h"

#include <climits>
#include <cstddef>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "external/platform/FileSystemKind.h"

namespace vyr::cache {

std::string idLengthProblemGet(const std::filesystem::path& levelFolder, std::string_view id, bool boWriting) {
    const std::size_t limit = platform::fileNameMaxGet(levelFolder);
    // The bytes the store's names add to the id.
    const std::string empty = levelFileName("");
    const std::size_t extra = (boWriting ? temporaryFileName(empty, 0) : empty).size();
    if (id.size() + extra > limit) {
        return std::string(boWriting ? "its file name and the store's temporary file name" : "its file name") +
               " must fit in " + std::to_string(limit) + " bytes, which allows ids of at most " +
               std::to_string(limit > extra ? limit - extra : 0) + " bytes";
    }
    const std::size_t pathLength = levelFolder.native().size() + 1 + id.size() + extra;
    if (pathLength >= PATH_MAX) {
        return std::string("the path of its ") + (boWriting ? "temporary file" : "file") + " would be " +
               std::to_string(pathLength) + " bytes, and paths may have at most " + std::to_string(PATH_MAX - 1);
    }
    return {};
}

} // namespace vyr::cache
