// Memory that the tool adds on top of its store, as a keeper of a large
// catalogue pays it: a user level of about 100 MB (2 classified ids per
// source id) over a small sys level, each command run as a child process.
// A command's figure is the peak resident memory of the child (ru_maxrss)
// minus that of `show ID --source S`, which loads the same store and prints
// one line, divided by the size of the user level file:
//
//     ratio peak(add)-peak(show --source)/level file = X.XX
//
// for `add` (an edit and its write-back), `show --level user`, `export` and
// `cat`. The level file's times lie outside the window of racy stamps
// before each run (the run waits untimed), as for a file that was not just
// saved, so the store reads it again under the lock of an edit.
//
// With VYR_BENCH_LARGE_LEVEL=1 in the environment, a level of about 1 GB is
// generated too (in the temporary folder, removed at exit) and edited once:
// BM_LargeLevel prints the wall time of the `add`, its peak, the peak of the
// store alone (`show --source`) and the ratio of what the edit adds to the
// file's size. The machine needs about ten times the file's size in memory.
//
// VYR_BENCH_TOOL=PATH measures another build of the tool (an older one, for
// figures before a change).

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/ChildRun.h"

namespace {

namespace fs = std::filesystem;
using vyr::bench::ChildRun;
using vyr::bench::childRun;

constexpr char kId[] = "bulk";
constexpr char kProbeSource[] = "source-00000001";
constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<classification version=\"1\" id=\"bulk\" text2=\"Bulk\" text3=\"\" text4=\"\" text5=\"\" text6=\"\" "
    "text7=\"\" flag1=\"false\" flag2=\"false\">\n  <relation>\n";
constexpr char kFooter[] = "  </relation>\n  <secondRelation />\n</classification>\n";
constexpr int kSysSources = 1000;

fs::path benchRoot() {
    static const fs::path base = [] {
        const fs::path folder = fs::temp_directory_path() / ("vyr-tool-memory-bench-" + std::to_string(::getpid()));
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(fs::temp_directory_path() / ("vyr-tool-memory-bench-" + std::to_string(::getpid())),
                           ignored);
        });
        return folder;
    }();
    return base;
}

// Writes a level file of `sources` source ids with two classified ids each,
// a line at a time, so that this process stays small: a child's peak
// resident memory can include its parent's at the spawn.
bool boLevelWrite(const fs::path& file, long sources, long first) {
    fs::create_directories(file.parent_path());
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    std::fputs(kHeader, out);
    // In byte order, as the store writes them.
    for (long index = first; index < first + sources; ++index) {
        const long one = index * 3 % 1000;
        const long other = (index * 3 + 1) % 1000;
        std::fprintf(out,
                     "    <source id=\"source-%08ld\">\n      <classified id=\"class-%04ld\" />\n"
                     "      <classified id=\"class-%04ld\" />\n    </source>\n",
                     index, std::min(one, other), std::max(one, other));
    }
    std::fputs(kFooter, out);
    return std::fclose(out) == 0;
}

// A root folder with a user level of about `bytes` bytes over a small sys
// level. Made on first use for each size.
struct Data {
    fs::path root;
    fs::path level;
    double levelBytes = 0;
};

const Data& dataGet(long bytes) {
    static std::map<long, Data> made;
    if (const auto found = made.find(bytes); found != made.end()) {
        return found->second;
    }
    Data data;
    data.root = benchRoot() / std::to_string(bytes);
    data.level = data.root / "user" / "Classification" / (std::string(kId) + ".xml");
    constexpr long kBytesPerSource = 123; // as boLevelWrite writes them
    if (!boLevelWrite(data.level, bytes / kBytesPerSource, 0) ||
        !boLevelWrite(data.root / "system" / "Resources" / "Classification" / (std::string(kId) + ".xml"),
                      kSysSources, 0)) {
        std::fprintf(stderr, "cannot write the bench's level files\n");
        std::abort();
    }
    data.levelBytes = static_cast<double>(fs::file_size(data.level));
    return made.emplace(bytes, std::move(data)).first->second;
}

// Waits until the file's times lie outside the window of racy stamps.
void vOutOfRacyWindow(const fs::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return;
    }
    // The change time follows every change of the file, its times included.
    const auto changed = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(status.st_ctim.tv_sec) + std::chrono::nanoseconds(status.st_ctim.tv_nsec)));
    std::this_thread::sleep_until(changed + std::chrono::milliseconds(2100));
}

const char* toolPath() {
    const char* other = std::getenv("VYR_BENCH_TOOL");
    return other != nullptr && *other != '\0' ? other : VYR_TOOL_PATH;
}

// Runs the tool with the arguments, output to /dev/null.
ChildRun toolRun(const std::vector<std::string>& args) { return childRun(toolPath(), args); }

// The commands measured; the first is the baseline of the others.
enum Command { kShowSource, kAdd, kShowLevel, kExport, kCat };
constexpr const char* kCommandNames[] = {"show --source", "add", "show --level", "export", "cat"};

std::vector<std::string> commandArgs(const Data& data, int command, int run) {
    const std::string root = data.root.string();
    switch (command) {
    case kShowSource: return {"--root", root, "show", kId, "--source", kProbeSource};
    case kAdd: return {"--root", root, "add", kId, kProbeSource, "added-" + std::to_string(run), "--level", "user"};
    case kShowLevel: return {"--root", root, "show", kId, "--level", "user"};
    case kExport: return {"--root", root, "export", kId};
    default: return {"--root", root, "cat", kId};
    }
}

// Peak of each command in this run, by level size, for the ratios.
std::map<std::pair<long, int>, double>& peaks() {
    static std::map<std::pair<long, int>, double> table;
    return table;
}

int runs = 0;

void vMeasure(benchmark::State& state, long bytes, int command, const char* label) {
    const Data& data = dataGet(bytes);
    double peak = 0;
    for (auto _ : state) {
        vOutOfRacyWindow(data.level);
        const ChildRun run = toolRun(commandArgs(data, command, ++runs));
        if (!run.boOk) {
            state.SkipWithError("the tool failed");
            return;
        }
        peak = std::max(peak, run.peakBytes);
        state.SetIterationTime(run.wallSeconds);
    }
    peaks()[{bytes, command}] = peak;
    state.counters["peak_MB"] = peak / 1e6;
    state.counters["level_MB"] = data.levelBytes / 1e6;
    const auto baseline = peaks().find({bytes, kShowSource});
    if (command != kShowSource && baseline != peaks().end()) {
        const double added = (peak - baseline->second) / data.levelBytes;
        state.counters["added_per_level_byte"] = added;
        vyr::bench::vRatioNote(std::string("peak(") + kCommandNames[command] + ")-peak(show --source)/" + label,
                               added);
    }
}

constexpr long kLevelBytes = 100'000'000;
constexpr long kLargeLevelBytes = 1'000'000'000;

void BM_ToolPeak(benchmark::State& state) {
    vMeasure(state, kLevelBytes, static_cast<int>(state.range(0)), "level file");
}

// Registered only when asked for, see above: the baseline first.
void BM_LargeLevel(benchmark::State& state) {
    const int command = static_cast<int>(state.range(0));
    vMeasure(state, kLargeLevelBytes, command, "1 GB level file");
    if (command == kAdd) {
        const auto store = peaks().find({kLargeLevelBytes, kShowSource});
        const auto edit = peaks().find({kLargeLevelBytes, kAdd});
        if (store != peaks().end() && edit != peaks().end()) {
            state.counters["store_share"] = store->second / edit->second;
        }
    }
}

BENCHMARK(BM_ToolPeak)
    ->Arg(kShowSource)
    ->Arg(kAdd)
    ->Arg(kShowLevel)
    ->Arg(kExport)
    ->Arg(kCat)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (const char* large = std::getenv("VYR_BENCH_LARGE_LEVEL"); large != nullptr && std::string(large) == "1") {
        benchmark::RegisterBenchmark("BM_LargeLevel", BM_LargeLevel)
            ->Arg(kShowSource)
            ->Arg(kAdd)
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    return vyr::bench::runWithRatios(argc, argv, {});
}
