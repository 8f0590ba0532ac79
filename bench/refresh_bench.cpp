// The refresh of changed ids when nothing changed, with 1,000 loaded
// classifications of one small file at each of the three levels, every
// folder polled (the watch refused), so every level file is looked at;
// against one bare fstatat per level file, in the same run.
//
//     ratio BM_ChangedRefreshPolled/BM_BareFstatat: the refresh's cost per
//     level file over that of the status call alone.
//     ratio BM_ChangedRefreshWatched/BM_BareFstatat: the same, watched and
//     quiet (only the drain of an empty descriptor).

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "bench/BenchSupport.h"
#include "external/classification/Mapping.h"
#include "external/classification/XmlDocument.h"
#include "external/directories/Directories.h"
#include "external/platform/SystemCalls.h"

namespace {

namespace fs = std::filesystem;
using vyr::bridge::classification::AdminWrapper;

constexpr int kIds = 1000;

int refusedWatch(int, const char*, uint32_t) {
    errno = ENOSPC;
    return -1;
}

// The store's level folders under a fresh temporary folder, with the
// files of every id at every level, old enough not to be racy.
struct Store {
    Store() {
        char pattern[] = "/tmp/vyr-refresh-bench-XXXXXX";
        root = ::mkdtemp(pattern);
        vyr::Directories::vSysDirectorySet(root / "sys");
        vyr::Directories::vSharedDirectoriesSet({root / "shared"});
        vyr::Directories::vUserDirectorySet(root / "user");
        const fs::path folders[] = {root / "sys" / "Resources" / "Classification", root / "shared" / "Classification",
                                    root / "user" / "Classification"};
        for (const fs::path& folder : folders) {
            fs::create_directories(folder);
            for (int index = 0; index < kIds; ++index) {
                const std::string id = "id" + std::to_string(index);
                vyr::classification::Mapping mapping(id, "t", "", "", "", false, false);
                mapping.vMappingAdd("source", "classified");
                const fs::path file = folder / (id + ".xml");
                (void)vyr::classification::XmlDocument(mapping).boWrite(file.string());
                fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(1));
                files.push_back(file);
            }
        }
    }
    ~Store() { fs::remove_all(root); }
    // Loads every id into a new admin.
    void vLoad(bool boPolled) const {
        AdminWrapper::vAdminReset();
        vyr::platform::vSystemCallsReset();
        if (boPolled) {
            vyr::platform::systemCalls().inotify_add_watch = &refusedWatch;
        }
        AdminWrapper wrapper;
        for (int index = 0; index < kIds; ++index) {
            (void)wrapper.cachesGet("id" + std::to_string(index));
        }
        vyr::classification::Failure failure;
        (void)wrapper.changedRefresh(failure); // the first one checks all
    }

    fs::path root;
    std::vector<fs::path> files;
};

Store& store() {
    static Store instance;
    return instance;
}

void BM_BareFstatat(benchmark::State& state) {
    const Store& files = store();
    struct stat status {};
    for (auto _ : state) {
        for (const fs::path& file : files.files) {
            benchmark::DoNotOptimize(::fstatat(AT_FDCWD, file.c_str(), &status, 0));
        }
    }
}

void refreshRun(benchmark::State& state, bool boPolled) {
    store().vLoad(boPolled);
    AdminWrapper wrapper;
    vyr::classification::Failure failure;
    for (auto _ : state) {
        const std::vector<std::string> changed = wrapper.changedRefresh(failure);
        if (!changed.empty()) {
            state.SkipWithError("a refresh saw a change");
        }
    }
    vyr::platform::vSystemCallsReset();
}

void BM_ChangedRefreshPolled(benchmark::State& state) { refreshRun(state, true); }
void BM_ChangedRefreshWatched(benchmark::State& state) { refreshRun(state, false); }

BENCHMARK(BM_BareFstatat)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ChangedRefreshPolled)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ChangedRefreshWatched)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    const int result = vyr::bench::runWithRatios(
        argc, argv,
        {{"BM_ChangedRefreshPolled", "BM_BareFstatat"}, {"BM_ChangedRefreshWatched", "BM_BareFstatat"}});
    AdminWrapper::vAdminReset();
    return result;
}
