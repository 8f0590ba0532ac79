#pragma once

// Every name the store gives a file in a level folder, built in one place:
// the level file of a classification, the lock file beside it and the
// temporary files its writers publish from, and the one parse that tells
// them apart. The store, `check` and the tool all ask here; nothing else
// builds or takes apart such a name.

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

// "<id>.<extension>": the id a.b gives a.b.xml, m.xml gives m.xml.xml.
[[nodiscard]] inline std::string levelFileName(std::string_view id,
                                               std::string_view extension = kLevelFileExtension) {
    std::string name;
    name.reserve(id.size() + 1 + extension.size());
    name += id;
    name += '.';
    name += extension;
    return name;
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

// The kinds of file the store keeps in a level folder.
enum class FileType { Level, Lock, Temporary };

// What a file name in a level folder is, and the classification id it
// belongs to. A plain value.
struct ParsedFileName {
    FileType type;
    std::string id;
};

// Takes apart a name made by levelFileName, lockFileName or
// temporaryFileName (the three end differently, so no name is two kinds):
// parseFileName(lockFileName(levelFileName("m"))) is {Lock, "m"}. Nothing
// for any other name, and for a name whose id would be empty.
[[nodiscard]] inline std::optional<ParsedFileName> parseFileName(std::string_view name) {
    FileType type = FileType::Level;
    if (name.ends_with(kTemporaryFileSuffix)) {
        // ".<level file name>.<16 lowercase hex digits>.tmp"
        if (name.size() <= kTemporaryNameExtra || name.front() != '.') {
            return std::nullopt;
        }
        const std::size_t hexAt = name.size() - kTemporaryFileSuffix.size() - 16;
        if (name[hexAt - 1] != '.' || name.substr(hexAt, 16).find_first_not_of("0123456789abcdef") !=
                                          std::string_view::npos) {
            return std::nullopt;
        }
        type = FileType::Temporary;
        name = name.substr(1, hexAt - 2);
    } else if (name.ends_with(kLockFileSuffix)) {
        type = FileType::Lock;
        name.remove_suffix(kLockFileSuffix.size());
    }
    if (name.size() <= kLevelFileSuffix.size() || !name.ends_with(kLevelFileSuffix)) {
        return std::nullopt;
    }
    return ParsedFileName{type, std::string(name.substr(0, name.size() - kLevelFileSuffix.size()))};
}

} // namespace vyr::cache
