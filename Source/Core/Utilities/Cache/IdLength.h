#pragma once

// The id-length rule: how long a classification id may be for its files in
// a level folder. The store's edits and creation follow it, and it is
// published on the outside face (AdminWrapper::sIdLengthProblemGet) so that
// a tool asks it instead of keeping a copy.

#include <filesystem>
#include <string>
#include <string_view>

namespace vyr::cache {

// Why the id is too long for its files in the level folder, or empty when
// it fits. The name of its level file must fit in the longest file name
// the folder's file system takes, and the file's path, with its
// terminating zero, in PATH_MAX; for writing, the same holds for the
// temporary file the store publishes the level file from. The whole id
// counts, separators included. The reason says which limit is passed and
// the longest id it allows ("its file name must fit in 255 bytes, which
// allows ids of at most 251 bytes"). Asks the file system once (statfs);
// takes no lock.
[[nodiscard]] std::string idLengthProblemGet(const std::filesystem::path& levelFolder, std::string_view id,
                                             bool boWriting);

} // namespace vyr::cache
