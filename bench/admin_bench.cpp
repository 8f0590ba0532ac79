// Cost of the classification admin on a large classification: files at all
// three levels, each of 100,000 source ids with two classified ids (about
// 10 MB of XML per file). Level L lists the source ids
// [L * 50,000, L * 50,000 + 100,000), so the higher levels override half of
// the lower ones and the merged view holds 200,000 source ids.
//
// - BM_FirstUse: a fresh admin (vAdminReset, not timed) answers its first
//   query on the classification: it reads the three files, stores them at
//   their levels and builds the merged view and its inverse. The files'
//   times lie well before the store reads them, as for files that were not
//   just written: their stamps are not racy, so the load does not hash them.
//   Baseline BM_ParseOnly: the least work any reader must do, parsing the
//   same three files with pugixml and building each file's relation into a
//   std::map<std::string, std::set<std::string>>.
//   BM_StraightBuild: the rest of the floor, building the merged map and
//   its inverse (std::map<std::string, std::set<std::string>>) straight
//   from the three parsed relations, the highest level deciding a source
//   id's set, each inverse set found through a hash table. The first-use
//   ratio is against the sum of the two.
//   BM_XmlRead, for information: the same three files read with the real
//   XmlDocument into mappings, without the store.
// - BM_FirstUse is a first use followed by one lookup (pClassifiedIdsGet).
//   Views that are built when first asked for must not hide their cost, so
//   the same first use followed by one query of each other kind is measured
//   too, against the same floor: BM_FirstUseInverseLookup (one
//   pSourceIdsGet) and BM_FirstUseHashedLookup (kHashedLookups lookups of
//   different source ids, enough for the store to build its hashed index).
// - BM_FirstUseJustWritten: the same on files whose times are those of the
//   moment of the load (touched, untimed, before each run), as right after
//   another program saved them: their stamps are racy, so the load also
//   hashes their content. Baseline BM_FirstUse: the ratio is the cost of
//   the hashing.
// - BM_WrapperLookup: pClassifiedIdsGet through the wrapper on the cached
//   classification, for source ids in a shuffled order (some absent).
//   Baseline BM_UnorderedLookup: find of the same keys in an
//   std::unordered_map<std::string, std::set<std::string>> holding the same
//   merged relation. For information: BM_MergedLookup, the same lookups on
//   the CacheMerged directly (the wrapper's own share), and
//   BM_OrderedLookup, find in an std::map copy of the merged relation (the
//   tree walk that lookups cost before the view had its hashed index).
// - BM_WrapperInverseLookup: pSourceIdsGet through the wrapper, for
//   classified ids in a shuffled order (some absent). Baseline
//   BM_UnorderedInverseLookup: the same keys in an std::unordered_map copy
//   of the inverse relation.
// - BM_FirstUseMemory: the memory of a first use, counted by the global
//   operator new and delete of this executable. Counters:
//     peak_B_per_pair      highest live bytes during the load, above the
//                          live bytes before it,
//     retained_B_per_pair  live bytes after the load, above those before it,
//   each divided by `pairs`, the number of (source id, classified id) pairs
//   the loaded classification stores: 3 x 200,000 in the three level
//   mappings, plus 400,000 in the merged map, plus 400,000 in its inverse
//   (1,400,000). `level_pairs` and `merged_pairs` show the parts.
//   The hashed indexes of the merged view are part of what is retained;
//   `index_B_per_pair` is their share, `unindexed_B_per_pair` what is
//   retained without them (the view as it was before it had them), and
//   `retained_growth` the ratio of the two retained figures.
//
// The files are written once per process, with the real XmlDocument, into a
// temporary folder that is removed at exit. Their times are then set back,
// and the first use waits (untimed, once) until their change time, which
// cannot be set back, lies outside the window of racy stamps.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "bench/BenchLevels.h"
#include "bench/BenchSupport.h"
#include "external/classification/Mapping.h"
#include "external/classification/XmlDocument.h"
#include "external/directories/Directories.h"

// Live heap bytes of this process, kept by the replaced global allocation
// functions below. Relaxed atomics: the peak is exact when one thread
// allocates, which is the case while a benchmark runs.
namespace {
std::atomic<long long> liveBytes{0};
std::atomic<long long> peakBytes{0};

void* allocate(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    const auto usable = static_cast<long long>(malloc_usable_size(block));
    const long long now = liveBytes.fetch_add(usable, std::memory_order_relaxed) + usable;
    if (now > peakBytes.load(std::memory_order_relaxed)) {
        peakBytes.store(now, std::memory_order_relaxed);
    }
    return block;
}

void release(void* block) noexcept {
    if (block != nullptr) {
        liveBytes.fetch_sub(static_cast<long long>(malloc_usable_size(block)), std::memory_order_relaxed);
        std::free(block);
    }
}

// pugixml allocates through its own functions; they are counted too.
void* pugiAllocate(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { release(block); }

namespace {

namespace fs = std::filesystem;
using vyr::bridge::classification::AdminWrapper;
using vyr::cache::Level;
using Relation = std::map<std::string, std::set<std::string>>;

constexpr char kId[] = "bench";
using vyr::bench::kSourcesPerLevel;
using vyr::bench::sourceId;

// The temporary folder with the three level files, and the directory service
// pointed at it. Made on first use, removed at exit.
class BenchData {
public:
    static const BenchData& get() {
        static const BenchData data;
        return data;
    }

    BenchData(const BenchData&) = delete;
    BenchData& operator=(const BenchData&) = delete;
    ~BenchData() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path root;
    std::vector<fs::path> files; // Sys, Shared, User
    std::vector<std::string> lookups; // source ids in a shuffled order, some absent
    std::vector<std::string> inverseLookups; // classified ids in a shuffled order, some absent

    // Sets the files' modification times an hour back and waits until their
    // change times, which follow any change, lie outside the racy window.
    void vTimesSetBack() const {
        std::chrono::system_clock::time_point latest;
        for (const fs::path& file : files) {
            fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(1));
            struct stat status {};
            if (::stat(file.c_str(), &status) != 0) {
                std::abort();
            }
            const auto changed = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::seconds(status.st_ctim.tv_sec) + std::chrono::nanoseconds(status.st_ctim.tv_nsec)));
            latest = std::max(latest, changed);
        }
        const auto window = std::chrono::nanoseconds(vyr::utilities::kRacyWindow * 100);
        std::this_thread::sleep_until(latest + window + std::chrono::milliseconds(100));
    }

    // Gives the files the times of now, as if they were just saved.
    void vTimesSetNow() const {
        for (const fs::path& file : files) {
            if (::utimensat(AT_FDCWD, file.c_str(), nullptr, 0) != 0) {
                std::abort();
            }
        }
    }

private:
    BenchData() {
        pugi::set_memory_management_functions(pugiAllocate, release);
        root = fs::temp_directory_path() /
               ("vyr-admin-bench-" + std::to_string(::getpid()) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        vyr::Directories::vSysDirectorySet(root / "sys");
        vyr::Directories::vSharedDirectoriesSet({root / "shared"});
        vyr::Directories::vUserDirectorySet(root / "user");
        const std::array<fs::path, 3> folders{root / "sys" / "Resources" / "Classification",
                                              root / "shared" / "Classification", root / "user" / "Classification"};
        for (const Level level : {vyr::cache::Sys, vyr::cache::Shared, vyr::cache::User}) {
            const int iLevel = static_cast<int>(level);
            vyr::classification::Mapping mapping = vyr::bench::levelMappingMake(
                level, vyr::classification::Mapping(kId, "text2-" + std::to_string(iLevel), "text3", "text4", "text5",
                                                    false, true));
            const fs::path& folder = folders[static_cast<std::size_t>(iLevel)];
            fs::create_directories(folder);
            const fs::path file = folder / (std::string(kId) + ".xml");
            if (!vyr::classification::XmlDocument(mapping).boWrite(file.string())) {
                std::fprintf(stderr, "cannot write %s\n", file.c_str());
                std::abort();
            }
            files.push_back(file);
        }
        for (int index = 0; index < 4096; ++index) {
            lookups.push_back(sourceId(index * 53 % (2 * kSourcesPerLevel + 1000)));
        }
        std::shuffle(lookups.begin(), lookups.end(), std::mt19937(42));
        for (int index = 0; index < 4096; ++index) {
            inverseLookups.push_back(index % 16 == 15 ? "absent-" + std::to_string(index)
                                                      : vyr::bench::classifiedId(index * 37));
        }
        std::shuffle(inverseLookups.begin(), inverseLookups.end(), std::mt19937(43));
        vTimesSetBack();
    }
};

// Every reset of the process-wide admin in this file goes through here, so
// that a wrapper kept across benchmarks knows when its admin is gone.
int resets = 0;
void vAdminReset() {
    AdminWrapper::vAdminReset();
    ++resets;
}

// Both lookup benchmarks use one loaded admin, so that they walk the same
// maps in the same memory; it is loaded again after any reset.
AdminWrapper& loadedWrapperGet() {
    static int loadedAt = -1;
    static std::optional<AdminWrapper> wrapper;
    if (loadedAt != resets || !wrapper) {
        (void)BenchData::get();
        vAdminReset();
        wrapper.emplace();
        (void)wrapper->boClassificationExists(kId); // loads it
        loadedAt = resets;
    }
    return *wrapper;
}

void BM_FirstUse(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    std::size_t sources = 0;
    for (auto _ : state) {
        state.PauseTiming();
        vAdminReset(); // frees the previous admin, untimed
        state.ResumeTiming();
        AdminWrapper wrapper;
        benchmark::DoNotOptimize(wrapper.pClassifiedIdsGet(kId, data.lookups.front()));
        state.PauseTiming();
        sources = wrapper.cachesGet(kId)->merged.sourceToClassified.size();
        state.ResumeTiming();
    }
    state.counters["sources"] = static_cast<double>(sources);
    vAdminReset();
}

// Enough lookups on one classification for the store to look them up
// through its hashed index.
constexpr std::size_t kHashedLookups = 100;

// A fresh admin's first use, then `query` on the wrapper; the reset untimed.
template <class Query>
void vFirstUseThen(benchmark::State& state, Query query) {
    (void)BenchData::get();
    for (auto _ : state) {
        state.PauseTiming();
        vAdminReset();
        state.ResumeTiming();
        AdminWrapper wrapper;
        query(wrapper);
    }
    vAdminReset();
}

void BM_FirstUseInverseLookup(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    vFirstUseThen(state, [&](AdminWrapper& wrapper) {
        benchmark::DoNotOptimize(wrapper.pSourceIdsGet(kId, data.inverseLookups.front()));
    });
}

void BM_FirstUseHashedLookup(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    vFirstUseThen(state, [&](AdminWrapper& wrapper) {
        for (std::size_t index = 0; index < kHashedLookups; ++index) {
            benchmark::DoNotOptimize(wrapper.pClassifiedIdsGet(kId, data.lookups[index]));
        }
    });
}

void BM_FirstUseJustWritten(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    for (auto _ : state) {
        state.PauseTiming();
        vAdminReset();
        data.vTimesSetNow();
        state.ResumeTiming();
        AdminWrapper wrapper;
        benchmark::DoNotOptimize(wrapper.pClassifiedIdsGet(kId, data.lookups.front()));
    }
    vAdminReset();
    data.vTimesSetBack(); // for the benchmarks after this one
}

// Reads the relation of one mapping file as any reader must: parse the
// document and insert every source id with its classified ids.
Relation relationRead(const fs::path& file) {
    pugi::xml_document document;
    if (!document.load_file(file.c_str())) {
        std::abort();
    }
    Relation relation;
    for (const pugi::xml_node source : document.child("classification").child("relation").children("source")) {
        std::set<std::string>& classified = relation[source.attribute("id").value()];
        for (const pugi::xml_node item : source.children("classified")) {
            classified.emplace(item.attribute("id").value());
        }
    }
    return relation;
}

void BM_ParseOnly(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    std::vector<Relation> kept;
    for (auto _ : state) {
        for (const fs::path& file : data.files) {
            kept.push_back(relationRead(file));
        }
        state.PauseTiming();
        kept.clear(); // freeing is not part of the work, as for the admin
        state.ResumeTiming();
    }
}

void BM_StraightBuild(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    std::vector<Relation> levels;
    for (const fs::path& file : data.files) {
        levels.push_back(relationRead(file));
    }
    for (auto _ : state) {
        // One walk over the levels' source ids in ascending order; each goes
        // to the end of the merged map with the set of the highest level
        // that lists it.
        Relation merged;
        std::vector<Relation::const_iterator> at;
        for (const Relation& level : levels) {
            at.push_back(level.begin());
        }
        for (;;) {
            const std::string* lowest = nullptr;
            for (std::size_t index = 0; index < levels.size(); ++index) {
                if (at[index] != levels[index].end() && (lowest == nullptr || at[index]->first < *lowest)) {
                    lowest = &at[index]->first;
                }
            }
            if (lowest == nullptr) {
                break;
            }
            const std::set<std::string>* decided = nullptr;
            const std::string source = *lowest;
            for (std::size_t index = 0; index < levels.size(); ++index) {
                if (at[index] != levels[index].end() && at[index]->first == source) {
                    decided = &at[index]->second;
                    ++at[index];
                }
            }
            merged.emplace_hint(merged.end(), source, *decided);
        }
        // Each classified id's set found through a hash table rather than a
        // walk down the map: the fastest plain way to the same map.
        Relation inverse;
        std::unordered_map<std::string_view, std::set<std::string>*> sets;
        for (const auto& [source, classified] : merged) {
            for (const std::string& id : classified) {
                std::set<std::string>*& sources = sets[id];
                if (sources == nullptr) {
                    sources = &inverse.try_emplace(id).first->second;
                }
                sources->emplace_hint(sources->end(), source); // sources come in order
            }
        }
        benchmark::DoNotOptimize(merged.size() + inverse.size());
        state.PauseTiming();
        merged.clear();
        inverse.clear();
        state.ResumeTiming();
    }
}

void BM_WrapperLookup(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    AdminWrapper& wrapper = loadedWrapperGet();
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(wrapper.pClassifiedIdsGet(kId, data.lookups[next]));
        next = (next + 1) % data.lookups.size();
    }
}

// The same merged relations in the unordered and ordered standard maps,
// copied once from the loaded view.
struct Copies {
    std::unordered_map<std::string, std::set<std::string>> sourceToClassified;
    std::unordered_map<std::string, std::set<std::string>> classifiedToSource;
    Relation ordered;
};

const Copies& copiesGet() {
    static const Copies copies = [] {
        const auto& merged = loadedWrapperGet().cachesGet(kId)->merged;
        Copies made;
        made.sourceToClassified.insert(merged.sourceToClassified.begin(), merged.sourceToClassified.end());
        made.classifiedToSource.insert(merged.classifiedToSourceGet().begin(), merged.classifiedToSourceGet().end());
        made.ordered.insert(merged.sourceToClassified.begin(), merged.sourceToClassified.end());
        return made;
    }();
    return copies;
}

template <class Map>
const std::set<std::string>* pFound(const Map& map, const std::string& key) {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

void BM_UnorderedLookup(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    const auto& map = copiesGet().sourceToClassified;
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pFound(map, data.lookups[next]));
        next = (next + 1) % data.lookups.size();
    }
}

void BM_OrderedLookup(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    const auto& map = copiesGet().ordered;
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pFound(map, data.lookups[next]));
        next = (next + 1) % data.lookups.size();
    }
}

void BM_WrapperInverseLookup(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    AdminWrapper& wrapper = loadedWrapperGet();
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(wrapper.pSourceIdsGet(kId, data.inverseLookups[next]));
        next = (next + 1) % data.inverseLookups.size();
    }
}

void BM_UnorderedInverseLookup(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    const auto& map = copiesGet().classifiedToSource;
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pFound(map, data.inverseLookups[next]));
        next = (next + 1) % data.inverseLookups.size();
    }
}

void BM_MergedLookup(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    const auto& merged = loadedWrapperGet().cachesGet(kId)->merged;
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(merged.pClassifiedIdsGet(data.lookups[next]));
        next = (next + 1) % data.lookups.size();
    }
}

// Not a goal: the three files read with the real XmlDocument alone, to tell
// the XML layer's share of BM_FirstUse from the store's.
void BM_XmlRead(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    std::vector<vyr::classification::Mapping> kept;
    for (auto _ : state) {
        for (const fs::path& file : data.files) {
            std::ifstream stream(file, std::ios::in | std::ios::binary);
            vyr::classification::Mapping mapping;
            if (!vyr::classification::XmlDocument(mapping).boRead(stream)) {
                state.SkipWithError("a bench file does not read");
                return;
            }
            kept.push_back(std::move(mapping));
        }
        state.PauseTiming();
        kept.clear();
        state.ResumeTiming();
    }
}

void BM_FirstUseMemory(benchmark::State& state) {
    const BenchData& data = BenchData::get();
    long long peak = 0;
    long long retained = 0;
    long long indexBytes = 0;
    double levelPairs = 0;
    double mergedPairs = 0;
    for (auto _ : state) {
        vAdminReset();
        const long long before = liveBytes.load(std::memory_order_relaxed);
        peakBytes.store(before, std::memory_order_relaxed);
        AdminWrapper wrapper;
        benchmark::DoNotOptimize(wrapper.pClassifiedIdsGet(kId, data.lookups.front()));
        peak = peakBytes.load(std::memory_order_relaxed) - before;
        retained = liveBytes.load(std::memory_order_relaxed) - before;

        const auto* cache = wrapper.cachesGet(kId);
        levelPairs = 0;
        for (const auto& [level, mapping] : cache->levels) {
            for (const auto& [source, classified] : mapping.sourceToClassified) {
                levelPairs += static_cast<double>(classified.size());
            }
        }
        indexBytes = static_cast<long long>(cache->merged.indexBytesGet());
        mergedPairs = 0;
        for (const auto& [source, classified] : cache->merged.sourceToClassified) {
            mergedPairs += static_cast<double>(classified.size());
        }
    }
    vAdminReset();
    const double pairs = levelPairs + 2 * mergedPairs; // the inverse holds as many pairs as the merged map
    state.counters["pairs"] = pairs;
    state.counters["level_pairs"] = levelPairs;
    state.counters["merged_pairs"] = mergedPairs;
    state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
    state.counters["retained_MB"] = static_cast<double>(retained) / 1e6;
    state.counters["peak_B_per_pair"] = static_cast<double>(peak) / pairs;
    state.counters["retained_B_per_pair"] = static_cast<double>(retained) / pairs;
    state.counters["index_B_per_pair"] = static_cast<double>(indexBytes) / pairs;
    state.counters["unindexed_B_per_pair"] = static_cast<double>(retained - indexBytes) / pairs;
    state.counters["retained_growth"] = static_cast<double>(retained) / static_cast<double>(retained - indexBytes);
}

BENCHMARK(BM_FirstUse)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_FirstUseInverseLookup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_FirstUseHashedLookup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_FirstUseJustWritten)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_StraightBuild)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_XmlRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_FirstUseMemory)->Unit(benchmark::kMillisecond)->Iterations(1);
// After the first-use benchmarks, which reset the admin at will.
BENCHMARK(BM_WrapperLookup);
BENCHMARK(BM_UnorderedLookup);
BENCHMARK(BM_MergedLookup);
BENCHMARK(BM_OrderedLookup);
BENCHMARK(BM_WrapperInverseLookup);
BENCHMARK(BM_UnorderedInverseLookup);

} // namespace

int main(int argc, char** argv) {
    return vyr::bench::runWithRatios(argc, argv,
                                     {{"BM_FirstUse", "BM_ParseOnly"},
                                      {"BM_FirstUse", "BM_ParseOnly+BM_StraightBuild"},
                                      {"BM_FirstUseInverseLookup", "BM_ParseOnly+BM_StraightBuild"},
                                      {"BM_FirstUseHashedLookup", "BM_ParseOnly+BM_StraightBuild"},
                                      {"BM_FirstUseJustWritten", "BM_FirstUse"},
                                      {"BM_XmlRead", "BM_ParseOnly"},
                                      {"BM_WrapperLookup", "BM_UnorderedLookup"},
                                      {"BM_WrapperInverseLookup", "BM_UnorderedInverseLookup"},
                                      {"BM_WrapperLookup", "BM_MergedLookup"},
                                      {"BM_OrderedLookup", "BM_UnorderedLookup"}});
}
