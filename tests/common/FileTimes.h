#pragma once

// File times in the store's scale (100 ns ticks since 1601-01-01 UTC), for
// tests that compare what the store recorded with the file's own time.

#include <chrono>
#include <cstdint>
#include <filesystem>

#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "external/platform/FileSystem.h"

namespace vyr::test {

// Seconds and nanoseconds since 1970 as ticks, saturating.
[[nodiscard]] inline std::int64_t ticksFromUnix(std::int64_t seconds, std::int64_t nanoseconds) noexcept {
    return platform::ticksFromUnix(seconds, nanoseconds);
}

// A standard-library file time as ticks, saturating: every time the type can
// hold gives a real, ordered value.
[[nodiscard]] inline std::int64_t fileTimeTicks(std::filesystem::file_time_type time) {
    using std::chrono::duration_cast;
    using std::chrono::nanoseconds;
    const std::int64_t sinceClockEpoch = duration_cast<nanoseconds>(time.time_since_epoch()).count();
    const std::int64_t clockEpochSinceUnix =
        duration_cast<nanoseconds>(
            std::chrono::file_clock::to_sys(std::filesystem::file_time_type()).time_since_epoch())
            .count();
    // Whole seconds on each side first, so that no sum can overflow.
    constexpr std::int64_t kBillion = 1'000'000'000;
    std::int64_t seconds = sinceClockEpoch / kBillion + clockEpochSinceUnix / kBillion;
    std::int64_t nanos = sinceClockEpoch % kBillion + clockEpochSinceUnix % kBillion;
    seconds += nanos / kBillion;
    nanos %= kBillion;
    if (nanos < 0) {
        nanos += kBillion;
        --seconds;
    }
    return ticksFromUnix(seconds, nanos);
}

// The last-write time of the file in ticks (following links), or
// kFileTimeUnknown when it cannot be read.
[[nodiscard]] inline std::int64_t lastWriteTicksGet(const std::filesystem::path& file) {
    platform::FileStamp stamp;
    return utilities::boFileStampGet(file, stamp) ? stamp.lastWrite : utilities::kFileTimeUnknown;
}

} // namespace vyr::test
