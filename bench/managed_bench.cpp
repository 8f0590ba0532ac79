// Cost of the entry points under the .NET runtime, with a module of this
// benchmark's own (BenchModule/, named with vModuleFileSet), against the
// same work done in C++ in this process. The level files lie in a temporary
// folder, removed at exit: at the sys level "bench-pairs", 50,000 source ids
// with two classified ids each (100,000 pairs, classified ids class-0000 to
// class-0999, both of a source even or both odd), and "bench-filter", which
// maps each even class-NNNN to "allow": half the source ids keep both their
// pairs, the others none.
//
// - BM_FirstClassify: the first vClassify of the process (the runtime's
//   start, the bridge assemblies' and the module's load, a run that does
//   nothing), timed once in main before any benchmark runs and reported here
//   as the one iteration's time, in milliseconds. The admin is loaded before
//   (the store's own first use is not part of it).
// - BM_ClassifyNothing: a warm vClassify whose module returns at once.
//   Baseline BM_NativeNothing: a C++ function with the same parameters that
//   does nothing, called through a volatile function pointer.
// - BM_ProxyLookup: sClassifiedIdGet("bench-filter", "class-0000") called
//   from C# in a loop of 100,000 inside one vClassify, 20 such calls; each
//   call is one iteration, and its time is the whole call's divided by
//   100,000 (the entry point's own cost included), so the table shows one
//   lookup. Baseline BM_NativeLookup: the same call on the AdminWrapper in a
//   C++ loop.
// - BM_ProxySetLookup: likewise pClassifiedIdsGet("bench-pairs", a source id
//   with two classified ids), which the proxy hands over as a managed set.
//   Baselines BM_NativeSetLookup (the wrapper's pointer into the store) and
//   BM_NativeSetCopyLookup (classifiedIdsCopyGet, a copy of the set).
// - BM_SampleWorkManaged: the sample module's work (examples/module/
//   SampleModule.cs) on bench-pairs filtered by bench-filter, written into
//   "kept-managed" at the user level, its in-memory part only: the module
//   times with a stopwatch the existence checks and the relation read up to
//   the level (cachesGet), then, once the output level is locked, the
//   output level's listed sources, the 100,000 filter lookups and the 50,000
//   edits (25,000 boSetMapping, 25,000 boAddMapping), and hands the sum over through the callback. Left out: the entry
//   point's own cost, the creation of the output classification, the write
//   access and its lock, and the write-back. Baseline BM_SampleWorkNative:
//   the same work written in C++ against the AdminWrapper into
//   "kept-native", timed over the same spans.
// - BM_SampleRunManaged: the whole vClassify of that work, write-back
//   included. Baseline BM_SampleRunNative: the whole C++ function.
//   Both sides first run the work untimed a few times (kWarmRuns
//   says why); every later run sets again the pairs that the output level
//   holds already; both sides go through the same
//   write-back. The counters read_ms and edits_ms show the two spans apart.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "bench/BenchLevels.h"
#include "bench/BenchSupport.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/definition/AdminWrapper.h"
#include "external/directories/Directories.h"
#include "external/managed/ModuleLoader.h"

namespace {

namespace fs = std::filesystem;
using vyr::bridge::classification::AdminWrapper;
using vyr::cache::Level;
using Clock = std::chrono::steady_clock;

constexpr char kPairs[] = "bench-pairs";
constexpr char kFilter[] = "bench-filter";
constexpr char kAllowed[] = "allow";
constexpr int kSources = 50'000;
constexpr int kLookups = 100'000;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The temporary folder with the level files, the directory service pointed
// at it, the module named, and the admins the calls use. Made once, before
// the first call; the folder is removed at exit.
class BenchData {
public:
    static BenchData& get() {
        static BenchData data;
        return data;
    }

    BenchData(const BenchData&) = delete;
    BenchData& operator=(const BenchData&) = delete;
    ~BenchData() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path root;
    std::optional<AdminWrapper> classifications;
    vyr::bridge::definition::AdminWrapper definitions{"definitions"};
    std::string lookupSource = vyr::bench::classifiedId(0); // in bench-filter, one classified id
    std::string setSource = vyr::bench::sourceId(12'345);   // in bench-pairs, two classified ids

private:
    // A level file of the id whose relation `body` writes, source by source.
    template <class Body>
    static void vFileWrite(const fs::path& file, const char* id, Body body) {
        std::ofstream out(file, std::ios::out | std::ios::binary);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            << "<classification version=\"1\" id=\"" << id << "\" text2=\"\" text3=\"\" text4=\"\" text5=\"\" "
            << "text6=\"\" text7=\"\" flag1=\"false\" flag2=\"false\">\n  <relation>\n";
        body(out);
        out << "  </relation>\n  <secondRelation />\n</classification>\n";
        if (!out.flush()) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            std::abort();
        }
    }

    BenchData() {
        root = fs::temp_directory_path() /
               ("vyr-managed-bench-" + std::to_string(::getpid()) + "-" +
                std::to_string(Clock::now().time_since_epoch().count()));
        vyr::Directories::vSysDirectorySet(root / "sys");
        vyr::Directories::vSharedDirectoriesSet({root / "shared"});
        vyr::Directories::vUserDirectorySet(root / "user");
        const fs::path folder = root / "sys" / "Resources" / "Classification";
        fs::create_directories(folder);
        fs::create_directories(root / "shared" / "Classification");
        fs::create_directories(root / "user" / "Classification");

        vFileWrite(folder / (std::string(kPairs) + ".xml"), kPairs, [](std::ofstream& out) {
            for (int index = 0; index < kSources; ++index) {
                out << "    <source id=\"" << vyr::bench::sourceId(index) << "\">\n"
                    << "      <classified id=\"" << vyr::bench::classifiedId(index * 7) << "\" />\n"
                    << "      <classified id=\"" << vyr::bench::classifiedId(index * 7 + 500) << "\" />\n"
                    << "    </source>\n";
            }
        });
        vFileWrite(folder / (std::string(kFilter) + ".xml"), kFilter, [](std::ofstream& out) {
            for (int index = 0; index < vyr::bench::kClassifiedIds; index += 2) {
                out << "    <source id=\"" << vyr::bench::classifiedId(index) << "\">\n"
                    << "      <classified id=\"" << kAllowed << "\" />\n"
                    << "    </source>\n";
            }
        });
        managed::runtime::vModuleFileSet(VYR_BENCH_MODULE_PATH);
        classifications.emplace();
        // Both read now, so that no benchmark pays for the store's first use.
        if (!classifications->boClassificationExists(kPairs) || !classifications->boClassificationExists(kFilter)) {
            std::fprintf(stderr, "the bench files do not read\n");
            std::abort();
        }
    }
};

// The seconds of the sample work's in-memory spans: the relation read, and
// the edits with their filter lookups.
struct Spans {
    double read = -1.0;
    double edits = -1.0;
};

// Keeps the spans the module hands over.
class Callback final : public vyr::classification::ClassificationUiCallbackInterface {
public:
    void vProgress(int, int) override {}
    void vMessage(const std::string& sMessage) override {
        if (sMessage.rfind("memory ", 0) == 0) {
            char* edits = nullptr;
            spans.read = std::strtod(sMessage.c_str() + 7, &edits);
            spans.edits = std::strtod(edits, nullptr);
        }
    }
    Spans spans;
};

// One vClassify of the benchmark module, in the mode `what`.
void vClassify(const std::string& mapping, const std::string& filter, Level iLevel, Level outputLevel,
               const std::string& what, Callback* callback = nullptr) {
    BenchData& data = BenchData::get();
    vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), *data.classifications, data.definitions,
                                           mapping, filter, iLevel, outputLevel, what, callback);
}

double firstClassifySeconds = -1.0;

void BM_FirstClassify(benchmark::State& state) {
    for (auto _ : state) {
        state.SetIterationTime(firstClassifySeconds);
    }
}

void BM_ClassifyNothing(benchmark::State& state) {
    for (auto _ : state) {
        vClassify(kPairs, kFilter, Level::User, Level::User, "nothing");
    }
}

using EntryPoint = void (*)(const vyr::DirectoriesInterface&, AdminWrapper&, vyr::bridge::definition::AdminWrapper&,
                            const std::string&, const std::string&, const Level&, const Level&, const std::string&,
                            vyr::classification::ClassificationUiCallbackInterface*);

[[gnu::noinline]] void vNothing(const vyr::DirectoriesInterface&, AdminWrapper&, vyr::bridge::definition::AdminWrapper&,
                                const std::string&, const std::string&, const Level&, const Level&, const std::string&,
                                vyr::classification::ClassificationUiCallbackInterface*) {}

EntryPoint volatile nothingPointer = &vNothing;

void BM_NativeNothing(benchmark::State& state) {
    BenchData& data = BenchData::get();
    const std::string mapping = kPairs;
    const std::string filter = kFilter;
    const std::string what = "nothing";
    for (auto _ : state) {
        nothingPointer(vyr::Directories::getInstance(), *data.classifications, data.definitions, mapping, filter,
                       Level::User, Level::User, what, nullptr);
    }
}

// `mode` run from C# kLookups times per vClassify; each iteration is one
// such call, timed as a kLookups-th of it (one lookup). The iterations are
// fixed: with the time of one lookup, the library would choose millions.
void vProxyLoop(benchmark::State& state, const char* mapping, const std::string& source, const char* mode) {
    // Untimed runs first, with a pause for the runtime's background
    // compiler, so that the timed runs meet the proxies' optimised code, as
    // the native loop meets compiled code.
    for (int round = 0; round < 2; ++round) {
        for (int warm = 0; warm < 5; ++warm) {
            vClassify(mapping, source, Level::User, static_cast<Level>(kLookups), mode);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        vClassify(mapping, source, Level::User, static_cast<Level>(kLookups), mode);
        state.SetIterationTime(secondsSince(start) / kLookups);
    }
}

void BM_ProxyLookup(benchmark::State& state) {
    vProxyLoop(state, kFilter, BenchData::get().lookupSource, "lookup");
}

void BM_NativeLookup(benchmark::State& state) {
    BenchData& data = BenchData::get();
    for (auto _ : state) {
        std::string classified = data.classifications->sClassifiedIdGet(kFilter, data.lookupSource);
        if (classified.empty()) {
            state.SkipWithError("no classified id");
            return;
        }
        benchmark::DoNotOptimize(classified);
    }
}

void BM_ProxySetLookup(benchmark::State& state) {
    vProxyLoop(state, kPairs, BenchData::get().setSource, "set");
}

void BM_NativeSetLookup(benchmark::State& state) {
    BenchData& data = BenchData::get();
    for (auto _ : state) {
        const std::set<std::string>* classified = data.classifications->pClassifiedIdsGet(kPairs, data.setSource);
        if (classified == nullptr) {
            state.SkipWithError("no classified ids");
            return;
        }
        benchmark::DoNotOptimize(classified);
    }
}

void BM_NativeSetCopyLookup(benchmark::State& state) {
    BenchData& data = BenchData::get();
    for (auto _ : state) {
        std::optional<std::set<std::string>> classified = data.classifications->classifiedIdsCopyGet(kPairs, data.setSource);
        if (!classified) {
            state.SkipWithError("no classified ids");
            return;
        }
        benchmark::DoNotOptimize(classified);
    }
}

bool boHasLevels(AdminWrapper& admin, const std::string& id) {
    return admin.boClassificationExists(id) && !admin.cachesGet(id)->levels.empty();
}

// The sample module's work in C++ against the wrapper, step for step as the
// benchmark module does it; returns the seconds of the same spans.
Spans nativeSampleWork(AdminWrapper& admin, const std::string& mappingId, const std::string& filterId, Level iLevel,
                        Level level, const std::string& updateId) {
    const Clock::time_point readStart = Clock::now();
    for (const std::string& id : {mappingId, filterId}) {
        if (!boHasLevels(admin, id)) {
            std::abort();
        }
    }
    std::map<std::string, std::set<std::string>> input;
    for (const auto& [at, mapping] : admin.cachesGet(mappingId)->levels) {
        if (at > iLevel) {
            break;
        }
        for (const auto& [source, classified] : mapping.sourceToClassified) {
            input[source] = classified;
        }
    }
    Spans spans;
    spans.read = secondsSince(readStart);

    if (!boHasLevels(admin, updateId)) {
        (void)admin.boCreateClassification(updateId, mappingId + " allowed by " + filterId, "", "", "", false, false,
                                           level);
    }
    {
        vyr::classification::WriteAccess access = admin.writeAccessGet(updateId);
        (void)access.boLockFile(level);
        const Clock::time_point editStart = Clock::now();
        std::unordered_set<std::string> listed;
        const auto& levels = admin.cachesGet(updateId)->levels;
        if (const auto before = levels.find(level); before != levels.end()) {
            for (const auto& [source, classified] : before->second.sourceToClassified) {
                if (!classified.empty()) {
                    listed.insert(source);
                }
            }
        }
        for (const auto& [source, classified] : input) {
            bool first = true;
            for (const std::string& classifiedId : classified) {
                if (!admin.boMappingExists(filterId, classifiedId, kAllowed)) {
                    continue;
                }
                (void)(first ? access.boSetMapping(source, classifiedId, level)
                             : access.boAddMapping(source, classifiedId, level));
                first = false;
            }
            if (first && listed.contains(source)) {
                access.vMappedToSourceRemove(source, level);
            }
        }
        spans.edits = secondsSince(editStart);
        (void)access.boWriteBack();
    }
    return spans;
}

constexpr char kManagedUpdate[] = "kept-managed";
constexpr char kNativeUpdate[] = "kept-native";

// Untimed sample runs before the first timed one: the first makes the
// output file; the runtime compiles the code that runs often again, with
// full optimisation, only after a pause of its compiler, so the first runs
// of a process run slower code (the module's loops, the proxies' members).
// The figures are those of a process that has run the work a few times.
constexpr int kWarmRuns = 4;

void vManagedSampleWarm() {
    static const bool warm = [] {
        // Twice, with a pause for the background compiler between.
        for (int round = 0; round < 2; ++round) {
            for (int run = 0; run < kWarmRuns; ++run) {
                vClassify(kPairs, kFilter, Level::User, Level::User, kManagedUpdate);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        return true;
    }();
    (void)warm;
}

void vNativeSampleWarm() {
    static const bool warm = [] {
        for (int run = 0; run < kWarmRuns; ++run) {
            (void)nativeSampleWork(*BenchData::get().classifications, kPairs, kFilter, Level::User, Level::User,
                                   kNativeUpdate);
        }
        return true;
    }();
    (void)warm;
}

// The spans' sum is the iteration's time; the counters show each span's mean.
void vSpansCount(benchmark::State& state, const Spans& sum) {
    state.counters["read_ms"] = benchmark::Counter(sum.read * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["edits_ms"] = benchmark::Counter(sum.edits * 1e3, benchmark::Counter::kAvgIterations);
}

void BM_SampleWorkManaged(benchmark::State& state) {
    vManagedSampleWarm();
    Spans sum{0.0, 0.0};
    for (auto _ : state) {
        Callback callback;
        vClassify(kPairs, kFilter, Level::User, Level::User, kManagedUpdate, &callback);
        if (callback.spans.read < 0.0 || callback.spans.edits < 0.0) {
            state.SkipWithError("the module reported no time");
            return;
        }
        state.SetIterationTime(callback.spans.read + callback.spans.edits);
        sum.read += callback.spans.read;
        sum.edits += callback.spans.edits;
    }
    vSpansCount(state, sum);
}

void BM_SampleWorkNative(benchmark::State& state) {
    vNativeSampleWarm();
    AdminWrapper& admin = *BenchData::get().classifications;
    Spans sum{0.0, 0.0};
    for (auto _ : state) {
        const Spans spans = nativeSampleWork(admin, kPairs, kFilter, Level::User, Level::User, kNativeUpdate);
        state.SetIterationTime(spans.read + spans.edits);
        sum.read += spans.read;
        sum.edits += spans.edits;
    }
    vSpansCount(state, sum);
}

void BM_SampleRunManaged(benchmark::State& state) {
    vManagedSampleWarm();
    for (auto _ : state) {
        vClassify(kPairs, kFilter, Level::User, Level::User, kManagedUpdate);
    }
}

void BM_SampleRunNative(benchmark::State& state) {
    vNativeSampleWarm();
    AdminWrapper& admin = *BenchData::get().classifications;
    for (auto _ : state) {
        const Spans spans = nativeSampleWork(admin, kPairs, kFilter, Level::User, Level::User, kNativeUpdate);
        benchmark::DoNotOptimize(spans);
    }
}

BENCHMARK(BM_FirstClassify)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_ClassifyNothing)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_NativeNothing)->UseRealTime();
BENCHMARK(BM_ProxyLookup)->UseManualTime()->Iterations(20);
BENCHMARK(BM_NativeLookup)->UseRealTime();
BENCHMARK(BM_ProxySetLookup)->UseManualTime()->Iterations(20);
BENCHMARK(BM_NativeSetLookup)->UseRealTime();
BENCHMARK(BM_NativeSetCopyLookup)->UseRealTime();
BENCHMARK(BM_SampleWorkManaged)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_SampleWorkNative)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_SampleRunManaged)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_SampleRunNative)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    // The process's first vClassify, before anything else can start the runtime.
    (void)BenchData::get();
    const Clock::time_point start = Clock::now();
    vClassify(kPairs, kFilter, Level::User, Level::User, "nothing");
    firstClassifySeconds = secondsSince(start);
    return vyr::bench::runWithRatios(argc, argv,
                                     {{"BM_ClassifyNothing", "BM_NativeNothing"},
                                      {"BM_ProxyLookup", "BM_NativeLookup"},
                                      {"BM_ProxySetLookup", "BM_NativeSetLookup"},
                                      {"BM_ProxySetLookup", "BM_NativeSetCopyLookup"},
                                      {"BM_SampleWorkManaged", "BM_SampleWorkNative"},
                                      {"BM_SampleRunManaged", "BM_SampleRunNative"}});
}
