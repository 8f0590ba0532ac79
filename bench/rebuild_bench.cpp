// Cost of rebuilding a classification's merged view, which follows every
// edit. The classification has three levels of 100,000 source ids with two
// classified ids each; the levels overlap by half, so the higher levels
// override part of the lower ones. The baseline builds the same two maps by
// plain insertion from the already merged relation: the least work any
// rebuild must do.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <string>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "Source/Resource/Classification/ClassificationCacheMerged.h"
#include "bench/BenchSupport.h"
#include "external/classification/Mapping.h"

namespace {

using vyr::cache::Level;
using Cache = vyr::classification::CacheLevels<Level>;
using Merged = vyr::classification::CacheMerged<Level>;

constexpr int kSourcesPerLevel = 100'000;
constexpr int kClassifiedIds = 1'000;

std::string sourceId(int index) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "source-%06d", index);
    return text.data();
}

std::string classifiedId(int index) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "class-%04d", index % kClassifiedIds);
    return text.data();
}

// Level L lists the source ids [L * 50,000, L * 50,000 + 100,000), each with
// two classified ids that differ from level to level.
const Cache& cacheGet() {
    static const Cache cache = [] {
        Cache built;
        for (const Level level : {vyr::cache::Sys, vyr::cache::Shared, vyr::cache::User}) {
            const int iLevel = static_cast<int>(level);
            vyr::classification::Mapping mapping("bench", "", "", "", "", false, false);
            for (int index = iLevel * kSourcesPerLevel / 2; index < iLevel * kSourcesPerLevel / 2 + kSourcesPerLevel;
                 ++index) {
                const std::string source = sourceId(index);
                mapping.vMappingAdd(source, classifiedId(index * 7 + iLevel));
                mapping.vMappingAdd(source, classifiedId(index * 7 + iLevel + 500));
            }
            built.vLevelSet(level, mapping, false);
        }
        built.vChanged();
        return built;
    }();
    return cache;
}

void BM_Rebuild(benchmark::State& state) {
    const Cache& source = cacheGet();
    Merged merged;
    for (auto _ : state) {
        merged.vRebuild(source.levels);
        benchmark::DoNotOptimize(merged.sourceToClassified.size());
    }
    state.counters["sources"] = static_cast<double>(merged.sourceToClassified.size());
    state.counters["classified"] = static_cast<double>(merged.classifiedToSource.size());
}

void BM_BuildFromMerged(benchmark::State& state) {
    // One relation that is already merged: nothing to decide, only to build.
    const Merged::Relation merged = cacheGet().merged.sourceToClassified;
    for (auto _ : state) {
        Merged::Relation sourceToClassified;
        Merged::Relation classifiedToSource;
        for (const auto& [source, classified] : merged) {
            sourceToClassified.emplace_hint(sourceToClassified.end(), source, classified);
            for (const std::string& id : classified) {
                Merged::IdSet& sources = classifiedToSource[id];
                sources.emplace_hint(sources.end(), source);
            }
        }
        benchmark::DoNotOptimize(sourceToClassified.size());
        benchmark::DoNotOptimize(classifiedToSource.size());
    }
}

BENCHMARK(BM_Rebuild)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildFromMerged)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return vyr::bench::runWithRatios(argc, argv, {{"BM_Rebuild", "BM_BuildFromMerged"}});
}
