#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <system_error>

namespace vyr::utilities {

// File times as the store records them: 100 ns ticks since 1601-01-01 UTC,
// so that every real file time is positive and 0 can mean "never read".
inline constexpr std::int64_t kFileTimeUnknown = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000;

[[nodiscard]] inline std::int64_t fileTimeTicks(std::filesystem::file_time_type time) {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    const auto sinceUnixEpoch = std::chrono::file_clock::to_sys(time).time_since_epoch();
    return std::chrono::duration_cast<Ticks>(sinceUnixEpoch).count() + kTicksFrom1601To1970;
}

// The last-write time of the file in ticks, or kFileTimeUnknown when it
// cannot be read.
[[nodiscard]] inline std::int64_t lastWriteTicksGet(const std::filesystem::path& file) {
    std::error_code error;
    const auto time = std::filesystem::last_write_time(file, error);
    return error ? kFileTimeUnknown : fileTimeTicks(time);
}

// The file of one cached item at one level.
struct FileRecord {
    // Empty until the item's path at the level is first computed, and for
    // good when the item's id cannot name a file inside the level folder.
    std::filesystem::path filePath;
    // The file's last-write time as of the store's last successful read or
    // write of it; 0 when never read or written, or reset; kFileTimeUnknown
    // when the time was not readable.
    std::int64_t lastWrite = 0;
};

// Sets lastWrite of the record at the level (created if absent) to the
// last-write time of its file, or to kFileTimeUnknown.
template <class Level>
void vLastWriteUpdate(std::map<Level, FileRecord>& records, const Level& level) {
    FileRecord& record = records[level];
    record.lastWrite = lastWriteTicksGet(record.filePath);
}

} // namespace vyr::utilities
