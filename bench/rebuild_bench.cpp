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
#include "bench/BenchLevels.h"
#include "bench/BenchSupport.h"
#include "external/classification/Mapping.h"

namespace {

using vyr::cache::Level;
using Cache = vyr::classification::CacheLevels<Level>;
using Merged = vyr::classification::CacheMerged<Level>;

const Cache& cacheGet() {
    static const Cache cache = [] {
        Cache built;
        for (const Level level : {vyr::cache::Sys, vyr::cache::Shared, vyr::cache::User}) {
            const vyr::classification::Mapping mapping = vyr::bench::levelMappingMake(
                level, vyr::classification::Mapping("bench", "", "", "", "", false, false));
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
    state.counters["classified"] = static_cast<double>(merged.classifiedToSourceGet().size());
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
