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
//
// One-shot commands, each measured as the wall time of one whole process,
// on one classification of 200,000 source ids with two classified ids each
// at the user level alone:
// - BM_OneShotLookup: `show ID --source S`; BM_OneShotEdit: `add ID S C
//   --level user`, a new classified id each run, so that every run writes.
// - Baselines: the floor (oneshot_floor: one read of the file, pugixml's
//   default parse, a walk of the relation to S; for the edit also a
//   temporary file written, synced, renamed over the file and the folder
//   synced), and `git config` on a file of the same 200,000 keys with two
//   values each (`--get-all`, and `--add`). Without git those say so and
//   their ratios are n/a.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
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

// The one-shot shape: the user level alone, 200,000 source ids with two
// classified ids each, and the same pairs as a git configuration file
// (section "m", one key per source id, one value per classified id). Made
// on first use under the folder of dataGet.
constexpr char kOneShotId[] = "oneshot";
constexpr int kOneShotSources = 200'000;
constexpr char kOneShotSource[] = "source-0123457";

struct OneShot {
    fs::path root;
    fs::path level;
    fs::path gitConfig;
};

const OneShot& oneShotGet() {
    static const OneShot made = [] {
        const Data& base = dataGet(2, false); // for the temporary folder it lives in
        OneShot data;
        data.root = base.root.parent_path() / "oneshot";
        data.level = data.root / "user" / "Classification" / (std::string(kOneShotId) + ".xml");
        data.gitConfig = data.root / "pairs.gitconfig";
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<classification version=\"1\" id=\"oneshot\" text2=\"One shot\" text3=\"\" text4=\"\" "
                          "text5=\"\" text6=\"\" text7=\"\" flag1=\"false\" flag2=\"false\">\n  <relation>\n";
        std::string git = "[m]\n";
        char line[200];
        for (int index = 0; index < kOneShotSources; ++index) {
            const int first = index * 7 % 1000;
            const int second = (index * 7 + 500) % 1000;
            std::snprintf(line, sizeof line,
                          "    <source id=\"source-%07d\">\n      <classified id=\"class-%04d\" />\n"
                          "      <classified id=\"class-%04d\" />\n    </source>\n",
                          index, first, second);
            xml += line;
            std::snprintf(line, sizeof line, "\tsource-%07d = class-%04d\n\tsource-%07d = class-%04d\n", index, first,
                          index, second);
            git += line;
        }
        xml += "  </relation>\n  <secondRelation />\n</classification>\n";
        vWrite(data.level, xml);
        vWrite(data.gitConfig, git);
        return data;
    }();
    return made;
}

// The git program on PATH, or empty.
std::string gitPathGet() {
    const char* path = std::getenv("PATH");
    std::string_view rest = path == nullptr ? "" : path;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const fs::path candidate = fs::path(rest.substr(0, colon)) / "git";
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
    }
    return {};
}

// Runs each iteration's command line as a child and times its whole run,
// wall time; `argsOf` gives the program and its arguments for run N.
// On a busy machine the wall time waits for the processor too: the
// counter cpu_ms gives the CPU time (user and system) of a run beside it.
template <class ArgsOf>
void vWallTimed(benchmark::State& state, ArgsOf argsOf) {
    int run = 0;
    double cpuSeconds = 0;
    for (auto _ : state) {
        std::vector<std::string> args = argsOf(run++);
        const std::string program = args.front();
        args.erase(args.begin());
        const vyr::bench::ChildRun child = vyr::bench::childRun(program.c_str(), args);
        if (!child.boOk) {
            state.SkipWithError(("failed: " + program).c_str());
            break;
        }
        state.SetIterationTime(child.wallSeconds);
        cpuSeconds += child.cpuSeconds;
    }
    state.counters["cpu_ms"] = run == 0 ? 0.0 : cpuSeconds * 1000.0 / run;
}

void BM_OneShotLookup(benchmark::State& state) {
    const OneShot& data = oneShotGet();
    vWallTimed(state, [&](int) {
        return std::vector<std::string>{VYR_TOOL_PATH, "--root", data.root.string(), "show", kOneShotId, "--source",
                                        kOneShotSource};
    });
}

void BM_OneShotEdit(benchmark::State& state) {
    const OneShot& data = oneShotGet();
    vWallTimed(state, [&](int run) {
        return std::vector<std::string>{VYR_TOOL_PATH,  "--root", data.root.string(),
                                        "add",          kOneShotId, kOneShotSource,
                                        "added-" + std::to_string(::getpid()) + "-" + std::to_string(run),
                                        "--level",      "user"};
    });
}

void BM_FloorLookup(benchmark::State& state) {
    const OneShot& data = oneShotGet();
    vWallTimed(state, [&](int) {
        return std::vector<std::string>{VYR_FLOOR_PATH, "lookup", kOneShotSource, data.level.string()};
    });
}

void BM_FloorEdit(benchmark::State& state) {
    const OneShot& data = oneShotGet();
    vWallTimed(state, [&](int) {
        return std::vector<std::string>{VYR_FLOOR_PATH, "edit", kOneShotSource, data.level.string()};
    });
}

void BM_GitLookup(benchmark::State& state) {
    const std::string git = gitPathGet();
    if (git.empty()) {
        state.SkipWithError("git is not on PATH: no git config baseline");
        return;
    }
    const OneShot& data = oneShotGet();
    vWallTimed(state, [&](int) {
        return std::vector<std::string>{git, "config", "--file", data.gitConfig.string(), "--get-all",
                                        std::string("m.") + kOneShotSource};
    });
}

void BM_GitEdit(benchmark::State& state) {
    const std::string git = gitPathGet();
    if (git.empty()) {
        state.SkipWithError("git is not on PATH: no git config baseline");
        return;
    }
    const OneShot& data = oneShotGet();
    vWallTimed(state, [&](int run) {
        return std::vector<std::string>{git, "config", "--file", data.gitConfig.string(), "--add",
                                        std::string("m.") + kOneShotSource,
                                        "added-" + std::to_string(::getpid()) + "-" + std::to_string(run)};
    });
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
BENCHMARK(BM_OneShotLookup)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorLookup)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GitLookup)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneShotEdit)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorEdit)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GitEdit)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return vyr::bench::runWithRatios(
        argc, argv,
        {{"BM_Import/100000/1/iterations:10/manual_time", "BM_Show/100000/1/iterations:10/manual_time"},
         {"BM_Import/100000/0/iterations:10/manual_time", "BM_Show/100000/0/iterations:10/manual_time"},
         {"BM_Import/1000000/0/iterations:3/manual_time", "BM_Import/100000/0/iterations:10/manual_time"},
         {"BM_OneShotLookup", "BM_FloorLookup"},
         {"BM_OneShotEdit", "BM_FloorEdit"},
         {"BM_OneShotLookup", "BM_GitLookup"},
         {"BM_OneShotEdit", "BM_GitEdit"},
         {"BM_GitLookup", "BM_FloorLookup"},
         {"BM_GitEdit", "BM_FloorEdit"}});
}
