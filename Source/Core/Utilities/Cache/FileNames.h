#pragma once

// Every name the store gives a file in a level folder, built in one place:
// the level file of a classification, the lock file beside it and the
// temporary files its writers publish from. The store, the document writer
// and the tool all ask here.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace vyr::cache {

// The extension of level files, without the dot.
inline constexpr std::string_view kLevelFileExtension = "xml";
inline constexpr std::string_view kLevelFileSuffix = ".xml";
inline constexpr std::string_view kLockFileSuffix = ".lock";
inline constexpr std::string_view kTemporaryFileSuffix = ".tmp";
// The bytes a temporary file's name adds to the name of the file it
// becomes: "." + name + "." + 16 hex digits + ".tmp".
inline constexpr std::size_t kTemporaryNameExtra = 22;

// "<id>.xml".
[[nodiscard]] inline std::string levelFileName(std::string_view id) {
    std::string name;
    name.reserve(id.size() + kLevelFileSuffix.size());
    name += id;
    name += kLevelFileSuffix;
    return name;
}

// The id of a level file's name, or nothing for a name that is not one
// (lock and temporary files are not).
[[nodiscard]] inline std::optional<std::string> idOfLevelFileName(std::string_view fileName) {
    if (fileName.size() <= kLevelFileSuffix.size() || !fileName.ends_with(kLevelFileSuffix)) {
        return std::nullopt;
    }
    return std::string(fileName.substr(0, fileName.size() - kLevelFileSuffix.size()));
}

// "<level file name>.lock": the file that carries the lock between
// processes. Never removed by the store.
[[nodiscard]] inline std::string lockFileName(std::string_view levelFileName) {
    std::string name;
    name.reserve(levelFileName.size() + kLockFileSuffix.size());
    name += levelFileName;
    name += kLockFileSuffix;
    return name;
}

// ".<level file name>.<16 hex digits>.tmp": a file written in full before
// it is renamed to the level file name. Its writer holds the level's lock
// while it exists.
[[nodiscard]] inline std::string temporaryFileName(std::string_view levelFileName, std::uint64_t unique) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(unique));
    std::string name;
    name.reserve(levelFileName.size() + kTemporaryNameExtra);
    name += '.';
    name += levelFileName;
    name += '.';
    name += std::string_view(hex, 16);
    name += kTemporaryFileSuffix;
    return name;
}

// A value for a temporary file's name that no other writer, in this
// process or another, picks at the same time: a per-process random start,
// a step through the counter space, and the clock.
[[nodiscard]] inline std::uint64_t temporaryUniqueGet() {
    static std::atomic<std::uint64_t> counter{(static_cast<std::uint64_t>(std::random_device{}()) << 32) ^
                                              std::random_device{}()};
    return counter.fetch_add(0x9E3779B97F4A7C15ULL) ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// The name of the file that a temporary file of that name was to become, or
// nothing for a name that no writer of the store makes.
[[nodiscard]] inline std::optional<std::string> levelFileOfTemporary(std::string_view fileName) {
    if (fileName.size() <= kTemporaryNameExtra || fileName.front() != '.' ||
        !fileName.ends_with(kTemporaryFileSuffix)) {
        return std::nullopt;
    }
    const std::size_t hexAt = fileName.size() - kTemporaryFileSuffix.size() - 16;
    if (fileName[hexAt - 1] != '.') {
        return std::nullopt;
    }
    for (std::size_t i = hexAt; i < hexAt + 16; ++i) {
        const char c = fileName[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return std::nullopt;
        }
    }
    return std::string(fileName.substr(1, hexAt - 2));
}

} // namespace vyr::cache
