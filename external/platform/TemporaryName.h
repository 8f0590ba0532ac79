#pragma once

// The rule for the name of a temporary file that a writer fills in full
// and then renames over the file it replaces, in one place below every
// writer: the store's level files and XmlDocument's new files. Temporary
// files are found and removed by their name alone, so every writer names
// them so.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace vyr::platform {

inline constexpr std::string_view kTemporaryFileSuffix = ".tmp";
// The hexadecimal digits of the value that tells writers' names apart.
inline constexpr std::size_t kTemporaryUniqueDigits = 16;
// The bytes a temporary file's name adds to the name of the file it
// becomes: "." + name + "." + the digits + ".tmp".
inline constexpr std::size_t kTemporaryNameExtra = 1 + 1 + kTemporaryUniqueDigits + kTemporaryFileSuffix.size();

// ".<name>.<16 hex digits>.tmp": the temporary file that becomes `name`.
[[nodiscard]] inline std::string temporaryFileName(std::string_view name, std::uint64_t unique) {
    char hex[kTemporaryUniqueDigits + 1];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(unique));
    std::string temporary;
    temporary.reserve(name.size() + kTemporaryNameExtra);
    temporary += '.';
    temporary += name;
    temporary += '.';
    temporary += std::string_view(hex, kTemporaryUniqueDigits);
    temporary += kTemporaryFileSuffix;
    return temporary;
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

// The name of the file that a temporary file made by temporaryFileName
// becomes; nothing for any other name.
[[nodiscard]] inline std::optional<std::string_view> temporaryTargetOf(std::string_view name) {
    if (!name.ends_with(kTemporaryFileSuffix) || name.size() <= kTemporaryNameExtra || name.front() != '.') {
        return std::nullopt;
    }
    const std::size_t hexAt = name.size() - kTemporaryFileSuffix.size() - kTemporaryUniqueDigits;
    if (name[hexAt - 1] != '.' ||
        name.substr(hexAt, kTemporaryUniqueDigits).find_first_not_of("0123456789abcdef") != std::string_view::npos) {
        return std::nullopt;
    }
    return name.substr(1, hexAt - 2);
}

} // namespace vyr::platform
