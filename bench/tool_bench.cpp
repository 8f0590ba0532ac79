// Cost of the tool's bulk edit, as a person pays it: `vyr-classification
// import ID --level user --replace FILE` of N pairs (N / 2 source ids with
// two classified ids each) into the user level of a classification, against
// `vyr-classification show ID` on the data the import leaves. Each run is a
// child process; its time is the CPU time (user and system) that the child
// used, start-up, reading and the write-back included. The user level file
// is put back to a header with no pairs before each import, outside the
// measured child.
//
// Two shapes of classification (the second argument):
// - 1: the sys level holds 100,000 source ids with two classified ids each
//   and the imported source ids overlap half of them, as in edit_bench;
// - 0: the user level is the only level, the case where the import's own
//   work weighs most against `show`.
//
// Ratios printed: the import of 100,000 pairs against `show` of the result,
// for both shapes, and the import of 1,000,000 pairs against 100,000 into a
// level alone (how the import's cost grows with its size).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/ChildRun.h"

namespace {

namespace fs = std::filesystem;

constexpr char kId[] = "bulk";
// The user level file with a header and no pairs, as `create` makes it.
constexpr char kEmptyLevel[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<classification version=\"1\" id=\"bulk\" text2=\"Bulk\" text3=\"\" text4=\"\" text5=\"\" text6=\"\" "
    "text7=\"\" flag1=\"false\" flag2=\"false\">\n  <relation />\n  <secondRelation />\n</classification>\n";

void vWrite(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A root folder per size and shape with the user level folder, the sys
// level when asked for, and the pairs to import, in `export` form. Made on
// first use, removed at exit.
struct Data {
    fs::path root;
    fs::path pairs;
    fs::path level;
};

constexpr int kSysSources = 100'000;

const Data& dataGet(int pairs, bool boOverSys) {
    static std::map<std::pair<int, bool>, Data> made;
    static const fs::path base = [] {
        const fs::path folder = fs::temp_directory_path() / ("vyr-tool-bench-" + std::to_string(::getpid()));
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(fs::temp_directory_path() / ("vyr-tool-bench-" + std::to_string(::getpid())), ignored);
        });
        return folder;
    }();
    auto found = made.find({pairs, boOverSys});
    if (found != made.end()) {
        return found->second;
    }
    Data data;
    data.root = base / (std::to_string(pairs) + (boOverSys ? "-over-sys" : "-alone"));
    data.level = data.root / "user" / "Classification" / (std::string(kId) + ".xml");
    data.pairs = data.root / "pairs.json";
    char line[200];
    // The imported source ids are [0, pairs / 2); the sys level's start half
    // way through them.
    std::string json = "{\"id\": \"bulk\", \"view\": \"merged\", \"pairs\": [\n";
    for (int index = 0; index < pairs; ++index) {
        std::snprintf(line, sizeof line,
                      "%s{\"source\": \"source-%07d\", \"classified\": \"class-%04d\", \"level\": \"user\", "
                      "\"overrides\": []}",
                      index == 0 ? "" : ",\n", index / 2, (index * 7 + index % 2 * 500) % 1000);
        json += line;
    }
    json += "\n]}\n";
    vWrite(data.pairs, json);
    vWrite(data.level, kEmptyLevel);
    if (boOverSys) {
        std::string sys = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<classification version=\"1\" id=\"bulk\" text2=\"Bulk\" text3=\"\" text4=\"\" text5=\"\" "
                          "text6=\"\" text7=\"\" flag1=\"false\" flag2=\"false\">\n  <relation>\n";
        for (int index = pairs / 4; index < pairs / 4 + kSysSources; ++index) {
            std::snprintf(line, sizeof line,
                          "    <source id=\"source-%07d\">\n      <classified id=\"class-%04d\" />\n"
                          "      <classified id=\"class-%04d\" />\n    </source>\n",
                          index, index * 3 % 1000, (index * 3 + 1) % 1000);
            sys += line;
        }
        sys += "  </relation>\n  <secondRelation />\n</classification>\n";
        vWrite(data.root / "system" / "Resources" / "Classification" / (std::string(kId) + ".xml"), sys);
    }
    return made.emplace(std::make_pair(pairs, boOverSys), std::move(data)).first->second;
}

// Runs the tool with the arguments, output to /dev/null, and returns the
// CPU seconds the child used; negative when it failed.
double childSeconds(const std::vector<std::string>& args) {
    const vyr::bench::ChildRun run = vyr::bench::childRun(VYR_TOOL_PATH, args);
    return run.boOk ? run.cpuSeconds : -1.0;
}

std::vector<std::string> importArgs(const Data& data) {
    return {"--root", data.root.string(), "import", kId, "--level", "user", "--replace", data.pairs.string()};
}

void BM_Import(benchmark::State& state) {
    const Data& data = dataGet(static_cast<int>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) {
        vWrite(data.level, kEmptyLevel);
        const double seconds = childSeconds(importArgs(data));
        if (seconds < 0.0) {
            state.SkipWithError("the import failed");
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Show(benchmark::State& state) {
    const Data& data = dataGet(static_cast<int>(state.range(0)), state.range(1) != 0);
    vWrite(data.level, kEmptyLevel);
    if (childSeconds(importArgs(data)) < 0.0) {
        state.SkipWithError("the import failed");
        return;
    }
    for (auto _ : state) {
        const double seconds = childSeconds({"--root", data.root.string(), "show", kId});
        if (seconds < 0.0) {
            state.SkipWithError("show failed");
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Child processes on a shared machine: enough runs to steady the means.
BENCHMARK(BM_Show)
    ->Args({100'000, 1})
    ->Args({100'000, 0})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Import)
    ->Args({100'000, 1})
    ->Args({100'000, 0})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Import)->Args({1'000'000, 0})->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return vyr::bench::runWithRatios(
        argc, argv,
        {{"BM_Import/100000/1/iterations:10/manual_time", "BM_Show/100000/1/iterations:10/manual_time"},
         {"BM_Import/100000/0/iterations:10/manual_time", "BM_Show/100000/0/iterations:10/manual_time"},
         {"BM_Import/1000000/0/iterations:3/manual_time", "BM_Import/100000/0/iterations:10/manual_time"}});
}
