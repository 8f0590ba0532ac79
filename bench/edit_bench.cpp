// Cost of a bulk edit through a write access: N source ids, each with two
// classified ids, written into the User level of a classification whose Sys
// level already holds N source ids; the written ids overlap half of the Sys
// ones, so the merged view ends with 1.5 N source ids.
//
// - BM_BulkEdit/N: writeAccessGet, boLockFile(User), then boSetMapping and
//   boAddMapping for every written source id. The admin has loaded the
//   classification (its Sys file and a User file with no pairs) before the
//   clock starts; the write-back of the User file when the access goes is
//   not timed.
//   Baseline BM_RebuildFinal/N: one vRebuild of the merged view over the
//   final levels, the work of a single rebuild of the edited classification.
//
// Ratios printed: the bulk edit against its baseline at each N; the bulk
// edit at 100,000 against 10,000 (how the cost grows with the data), and the
// same for the baseline, which shows how much of that growth this machine's
// memory gives any pass over the larger data.
//
// The save that changes nothing, on a User level of N source ids (two
// classified ids each) in a file as the store writes it:
//
// - BM_QuietSave/N: with the level locked, an add of a pair the level holds
//   and boWriteBack(), which finds the file already holding the level and
//   writes nothing.
//   Baseline BM_Save/N: the same with an edit that changes the level each
//   round (one of two pairs added, the other removed), written back.
// - BM_QuietPatch/N: the test the quiet save makes: the file's bytes
//   patched toward the level's mapping and compared with the file's.
//   Baseline BM_ParseAndCompare/N: the same answer by reading the file (its
//   mapping built) and comparing the mappings.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Resource/Classification/ClassificationCacheMerged.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "bench/BenchLevels.h"
#include "bench/BenchSupport.h"
#include "external/classification/DocumentPatch.h"
#include "external/classification/Mapping.h"
#include "external/classification/XmlDocument.h"
#include "external/directories/Directories.h"

namespace {

namespace fs = std::filesystem;
using vyr::cache::Level;
using vyr::classification::Admin;
using vyr::classification::Mapping;
using vyr::classification::WriteAccess;

constexpr char kId[] = "edited";

struct Edit {
    std::string source;
    std::string first;
    std::string second;
};

// A temporary folder with the level folders, the directory service pointed
// at it, and per size the Sys file and the edits. Made on first use, removed
// at exit.
class EditData {
public:
    static EditData& get() {
        static EditData data;
        return data;
    }

    EditData(const EditData&) = delete;
    EditData& operator=(const EditData&) = delete;
    ~EditData() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Writes the Sys file of n source ids and a User file without pairs,
    // and returns the edits that write n source ids at User.
    const std::vector<Edit>& prepare(int n) {
        if (preparedFor != n) {
            Mapping sys(kId, "bench", "", "", "", false, false);
            Mapping user = sys;
            for (int index = 0; index < n; ++index) {
                const std::string source = vyr::bench::sourceId(index);
                sys.vMappingAdd(source, vyr::bench::classifiedId(index * 7));
                sys.vMappingAdd(source, vyr::bench::classifiedId(index * 7 + 500));
            }
            fileWrite(sysFile, sys);
            emptyUser = user;
            edits.clear();
            for (int index = n / 2; index < n / 2 + n; ++index) {
                edits.push_back({vyr::bench::sourceId(index), vyr::bench::classifiedId(index * 7 + 2),
                                 vyr::bench::classifiedId(index * 7 + 502)});
            }
            preparedFor = n;
        }
        fileWrite(userFile, emptyUser);
        return edits;
    }

    fs::path root;
    fs::path sysFile;
    fs::path userFile;

private:
    EditData() {
        root = fs::temp_directory_path() /
               ("vyr-edit-bench-" + std::to_string(::getpid()) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        vyr::Directories::vSysDirectorySet(root / "sys");
        vyr::Directories::vSharedDirectoriesSet({root / "shared"});
        vyr::Directories::vUserDirectorySet(root / "user");
        const fs::path sysFolder = root / "sys" / "Resources" / "Classification";
        const fs::path userFolder = root / "user" / "Classification";
        fs::create_directories(sysFolder);
        fs::create_directories(userFolder);
        sysFile = sysFolder / (std::string(kId) + ".xml");
        userFile = userFolder / (std::string(kId) + ".xml");
    }

    static void fileWrite(const fs::path& file, Mapping mapping) {
        if (!vyr::classification::XmlDocument(mapping).boWrite(file.string())) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            std::abort();
        }
    }

    int preparedFor = -1;
    Mapping emptyUser;
    std::vector<Edit> edits;
};

// The levels of the classification after one bulk edit of n source ids.
std::map<Level, Mapping> finalLevelsGet(int n) {
    EditData& data = EditData::get();
    const std::vector<Edit>& edits = data.prepare(n);
    Admin admin;
    {
        WriteAccess access = admin.writeAccessGet(kId);
        if (!access.boLockFile(vyr::cache::User)) {
            std::abort();
        }
        for (const Edit& edit : edits) {
            (void)access.boSetMapping(edit.source, edit.first, vyr::cache::User);
            (void)access.boAddMapping(edit.source, edit.second, vyr::cache::User);
        }
    }
    const std::lock_guard lock(admin.mutex);
    return admin.cachesGet(kId)->levels;
}

void BM_BulkEdit(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    EditData& data = EditData::get();
    std::optional<Admin> admin;
    std::optional<WriteAccess> access;
    std::size_t sources = 0;
    std::uint64_t rebuilds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        access.reset(); // the previous run's write-back
        admin.reset();
        const std::vector<Edit>& edits = data.prepare(n);
        admin.emplace();
        if (!admin->boClassificationExists(kId)) { // loads both levels
            state.SkipWithError("the classification does not load");
            return;
        }
        const std::uint64_t rebuildsBefore = admin->caches.at(kId).rebuildCountGet();
        state.ResumeTiming();

        access.emplace(admin->writeAccessGet(kId));
        if (!access->boLockFile(vyr::cache::User)) {
            state.SkipWithError("the User file does not lock");
            return;
        }
        for (const Edit& edit : edits) {
            benchmark::DoNotOptimize(access->boSetMapping(edit.source, edit.first, vyr::cache::User));
            benchmark::DoNotOptimize(access->boAddMapping(edit.source, edit.second, vyr::cache::User));
        }

        state.PauseTiming();
        const auto& cache = admin->caches.at(kId);
        sources = cache.merged.sourceToClassified.size();
        rebuilds = cache.rebuildCountGet() - rebuildsBefore;
        state.ResumeTiming();
    }
    access.reset();
    admin.reset();
    state.counters["sources"] = static_cast<double>(sources);
    state.counters["rebuilds"] = static_cast<double>(rebuilds);
}

void BM_RebuildFinal(benchmark::State& state) {
    const std::map<Level, Mapping> levels = finalLevelsGet(static_cast<int>(state.range(0)));
    vyr::classification::CacheMerged<Level> merged;
    for (auto _ : state) {
        merged.vRebuild(levels);
        benchmark::DoNotOptimize(merged.sourceToClassified.size());
    }
    state.counters["sources"] = static_cast<double>(merged.sourceToClassified.size());
}

// A User level of n source ids, two classified ids each.
Mapping userLevelOf(int n) {
    Mapping user(kId, "bench", "", "", "", false, false);
    for (int index = 0; index < n; ++index) {
        user.vMappingAdd(vyr::bench::sourceId(index), vyr::bench::classifiedId(index * 7));
        user.vMappingAdd(vyr::bench::sourceId(index), vyr::bench::classifiedId(index * 7 + 500));
    }
    return user;
}

// Locks the User level of n source ids and saves it once per round: with an
// add of a pair it holds, or with an add and, the next round, its removal.
void vSaveRounds(benchmark::State& state, bool boChanging) {
    const int n = static_cast<int>(state.range(0));
    EditData& data = EditData::get();
    (void)data.prepare(1);
    Mapping user = userLevelOf(n);
    if (!vyr::classification::XmlDocument(user).boWrite(data.userFile.string())) {
        state.SkipWithError("the User file cannot be written");
        return;
    }
    const std::string source = vyr::bench::sourceId(n / 2);
    const std::string held = vyr::bench::classifiedId(n / 2 * 7);
    Admin admin;
    WriteAccess access = admin.writeAccessGet(kId);
    if (!access.boLockFile(vyr::cache::User)) {
        state.SkipWithError("the User file does not lock");
        return;
    }
    bool boOdd = false;
    for (auto _ : state) {
        if (boChanging) {
            benchmark::DoNotOptimize(access.boAddMapping(source, boOdd ? "new-1" : "new-2", vyr::cache::User));
            access.vMappingRemove(source, boOdd ? "new-2" : "new-1", vyr::cache::User);
        } else {
            benchmark::DoNotOptimize(access.boAddMapping(source, held, vyr::cache::User));
        }
        boOdd = !boOdd;
        if (!access.boWriteBack()) {
            state.SkipWithError("the write-back failed");
            return;
        }
    }
}

void BM_QuietSave(benchmark::State& state) { vSaveRounds(state, false); }
void BM_Save(benchmark::State& state) { vSaveRounds(state, true); }

void BM_QuietPatch(benchmark::State& state) {
    Mapping user = userLevelOf(static_cast<int>(state.range(0)));
    std::ostringstream out;
    (void)vyr::classification::XmlDocument(user).boWrite(out);
    const std::string bytes = out.str();
    std::string patched;
    std::string error;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vyr::classification::boDocumentPatch(bytes, user, patched, error) &&
                                 patched == bytes);
    }
}

void BM_ParseAndCompare(benchmark::State& state) {
    Mapping user = userLevelOf(static_cast<int>(state.range(0)));
    std::ostringstream out;
    (void)vyr::classification::XmlDocument(user).boWrite(out);
    const std::string bytes = out.str();
    for (auto _ : state) {
        Mapping read;
        std::istringstream in(bytes);
        benchmark::DoNotOptimize(vyr::classification::XmlDocument(read).boRead(in) && read == user);
    }
}

BENCHMARK(BM_BulkEdit)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildFinal)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuietSave)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Save)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QuietPatch)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndCompare)->Arg(100'000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return vyr::bench::runWithRatios(argc, argv,
                                     {{"BM_BulkEdit/100000", "BM_RebuildFinal/100000"},
                                      {"BM_BulkEdit/10000", "BM_RebuildFinal/10000"},
                                      {"BM_BulkEdit/100000", "BM_BulkEdit/10000"},
                                      {"BM_RebuildFinal/100000", "BM_RebuildFinal/10000"},
                                      {"BM_QuietSave/100000/real_time", "BM_Save/100000/real_time"},
                                      {"BM_QuietPatch/100000", "BM_ParseAndCompare/100000"}});
}
