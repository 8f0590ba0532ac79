#pragma once

#include <cstdint>

namespace vyr::platform {

// One version of a file as far as its status tells: modification time,
// status change time, size and identity. The change time cannot be set by
// a user, so a rewrite that restores the modification time still differs.
// Times are 100 ns ticks since 1601-01-01 UTC.
struct FileStamp {
    std::int64_t lastWrite = 0;
    std::int64_t changeTime = 0;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool operator==(const FileStamp&) const = default;
};

} // namespace vyr::platform
