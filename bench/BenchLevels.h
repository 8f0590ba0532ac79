#pragma once

// The classification the benchmarks measure: three levels of 100,000 source
// ids with two classified ids each. Level L lists the source ids
// [L * 50,000, L * 50,000 + 100,000), so the levels overlap by half and the
// higher ones override part of the lower ones; the classified ids differ
// from level to level.

#include <array>
#include <cstdio>
#include <string>

#include "Source/Core/Utilities/Cache/Level.h"
#include "external/classification/Mapping.h"

namespace vyr::bench {

inline constexpr int kSourcesPerLevel = 100'000;
inline constexpr int kClassifiedIds = 1'000;

inline std::string sourceId(int index) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "source-%06d", index);
    return text.data();
}

inline std::string classifiedId(int index) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "class-%04d", index % kClassifiedIds);
    return text.data();
}

// The level's mapping, with the given header.
inline classification::Mapping levelMappingMake(cache::Level level, classification::Mapping header) {
    const int iLevel = static_cast<int>(level);
    const int first = iLevel * kSourcesPerLevel / 2;
    for (int index = first; index < first + kSourcesPerLevel; ++index) {
        const std::string source = sourceId(index);
        header.vMappingAdd(source, classifiedId(index * 7 + iLevel));
        header.vMappingAdd(source, classifiedId(index * 7 + iLevel + 500));
    }
    return header;
}

} // namespace vyr::bench
